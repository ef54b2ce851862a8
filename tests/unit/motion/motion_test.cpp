#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <string>
#include <vector>

#include "fake_host.h"
#include "motion/motion_channel.h"
#include "unit/web/loopback_http_server.h"

namespace vornak {
namespace {

using Results = std::vector<MotionResult>;

std::string Record(const std::string& lines) {
    return "Content-Type: text/plain\r\n\r\n" + lines + "--axismdb\r\n";
}

Results Feed(const std::string& stream, size_t piece, uint32_t* skipped = nullptr) {
    CAxisMDParser parser({0, 2});
    Results all;
    for (size_t at = 0; at < stream.size(); at += piece) {
        const std::string part = stream.substr(at, piece);
        const Results got =
            parser.Parse({reinterpret_cast<const uint8_t*>(part.data()), part.size()});
        all.insert(all.end(), got.begin(), got.end());
    }
    if (skipped != nullptr) {
        *skipped = parser.GetSkippedRecords();
    }
    return all;
}

TEST(MotionParser, RecordsAreJudgedAlikeWhereverTheStreamIsCut) {
    const std::string stream =
        "group=0;level=99;threshold=1;\r\n--axismdb\r\n"  // before the first boundary: no record
        + Record("group=0;level=30;threshold=30;\r\ngroup=2;level=31;threshold=30;\r\n") +
        Record("group=0;level=30;threshold=30;\r\n") +  // level equal to threshold is quiet
        Record("group=1;level=99;threshold=1;\r\n") +   // window not watched: no verdict
        Record("group=0;level=x;threshold=1;\ngroup=2;level=5;threshold=1;trailing\n") +
        Record("group=2;level=50;threshold=1;\r\ngroup=2;level=0;threshold=1;\r\n") +  // later wins
        "--" + Record("group=0;level=9;threshold=1;") +  // a boundary behind stray dashes
        Record("group=0;level=9;threshold=1;");          // not closed: not judged yet
    const std::string open = stream.substr(0, stream.size() - 11);
    const Results expected = {kMotionDetected, kMotionQuiet, kMotionDetected, kMotionQuiet,
                              kMotionDetected};
    for (size_t piece : {open.size(), size_t{1}, size_t{2}, size_t{5}, size_t{11}, size_t{64}}) {
        EXPECT_EQ(Feed(open, piece), expected) << "pieces of " << piece;
    }
}

TEST(MotionParser, OverlongRecordIsSkippedAndCountedWhereverTheStreamIsCut) {
    const std::string stream = "--axismdb\r\n" + std::string(CAxisMDParser::kMaxRecordBytes, 'x') +
                               Record("group=0;level=0;threshold=1;") +
                               Record("group=0;level=2;threshold=1;");
    for (size_t piece : {stream.size(), size_t{1000}}) {
        uint32_t skipped = 0;
        EXPECT_EQ(Feed(stream, piece, &skipped), Results{kMotionDetected}) << piece;
        EXPECT_EQ(skipped, 1u) << piece;
    }
}

TEST(MotionWindows, OnlyIncludeWindowsOfTheSourceAreWatched) {
    const std::string reply =
        "root.Motion.M0.ImageSource=0\r\nroot.Motion.M0.WindowType=include\r\n"
        "root.Motion.M1.ImageSource=1\r\nroot.Motion.M1.WindowType=include\r\n"
        "root.Motion.M2.ImageSource=0\r\nroot.Motion.M2.WindowType=exclude\r\n"
        "root.Motion.M7.ImageSource=0\n";  // no type: watched
    EXPECT_EQ(WatchedMotionWindows(reply, 0), (std::vector<uint32_t>{0, 7}));
    EXPECT_EQ(WatchedMotionWindows(reply, 1), (std::vector<uint32_t>{1}));
}

struct ReporterCase {
    const char* reason;
    std::vector<std::pair<MotionResult, uint64_t>> results;  // verdict, time in ms
    std::vector<bool> sent;
};

const ReporterCase kReporterCases[] = {
    {"the first motion decision is preceded by its opposite",
     {{kMotionDetected, 5000}},
     {false, true}},
    {"the first quiet decision too", {{kMotionQuiet, 5000}}, {true, false}},
    {"undecided records decide nothing", {{kMotionUndecided, 0}, {kMotionUndecided, 9000}}, {}},
    {"a change inside the hold-off waits; the next decision sees the state then",
     {{kMotionQuiet, 0}, {kMotionQuiet, 1999}, {kMotionQuiet, 2000}, {kMotionDetected, 4100}},
     {true, false, true}},
    {"motion that began and ended inside the hold-off is reported at the next decision, its "
     "end at the one after",
     {{kMotionQuiet, 0},
      {kMotionDetected, 500},
      {kMotionQuiet, 900},
      {kMotionQuiet, 2100},
      {kMotionQuiet, 4100}},
     {true, false, true, false}},
    {"a quiet spell inside the hold-off after reported motion is just the next state",
     {{kMotionDetected, 0}, {kMotionQuiet, 1500}, {kMotionQuiet, 2100}, {kMotionQuiet, 4200}},
     {false, true, false}},
};

TEST(MotionReporter, StatesReachTheHostAtMostOncePerHoldOff) {
    for (const ReporterCase& c : kReporterCases) {
        CMotionReporter reporter;
        std::vector<bool> sent;
        for (const auto& [result, at] : c.results) {
            const std::vector<bool> now = reporter.OnResult(result, at);
            sent.insert(sent.end(), now.begin(), now.end());
        }
        EXPECT_EQ(sent, c.sent) << c.reason;
    }
}

// A stopped channel no longer delivers; a running one hands over complete motion frames.
TEST(MotionChannel, FramesCarryTheStateAndStopEndsDelivery) {
    quillon::host::DeviceSettings settings;
    settings.address = "127.0.0.1";
    test::OpenedDriver driver(settings);
    ASSERT_TRUE(driver.opened);
    test::RecordingSink sink;
    CAxisMDChannel channel(0, &driver.driver, &sink);
    channel.OnMotionResult(kMotionDetected, 1000);
    const auto frames = sink.Frames();
    ASSERT_EQ(frames.size(), 2u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].fourcc, kFourCCMotion);
        EXPECT_EQ(frames[i].data, (std::vector<uint8_t>{1, static_cast<uint8_t>(i)}));
        EXPECT_EQ(frames[i].width * 1000 + frames[i].height, 320240u);
        EXPECT_EQ(frames[i].sizeClass, 2u);
        EXPECT_EQ(frames[i].stream, "Quillon::MotionDetection");
    }
    channel.Stop();
    channel.OnMotionResult(kMotionQuiet, 9000);
    EXPECT_EQ(sink.FrameCount(), 2u);
}

// A camera that ends every stream at once is asked again after the pause, not in a tight loop.
TEST(MotionChannel, StreamEndingBeforeAnyVerdictIsRetriedAfterThePause) {
    using testing_support::LoopbackHttpServer;
    std::atomic<int> streams{0};
    LoopbackHttpServer server{[&](const testing_support::HttpRequestSeen& request,
                                  testing_support::LoopbackConnection& connection) {
        const bool stream = request.path == "/axis-cgi/motion/motiondata.cgi";
        streams += stream ? 1 : 0;
        connection.Send(
            LoopbackHttpServer::Response(200, stream ? "" : "root.Motion.M0.ImageSource=0\r\n"));
    }};
    quillon::host::DeviceSettings settings;
    settings.address = "127.0.0.1";
    settings.port = server.port();
    test::OpenedDriver driver(settings);
    test::RecordingSink sink;
    CAxisMDChannel channel(0, &driver.driver, &sink);
    ASSERT_TRUE(channel.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    channel.Stop();
    EXPECT_GE(streams.load(), 1);
    EXPECT_LE(streams.load(), 2);
}

}  // namespace
}  // namespace vornak
