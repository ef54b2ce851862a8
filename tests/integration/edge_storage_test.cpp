// Gap fill through the library's exports: camsim keeps recording to its card while the driver's
// live stream is cut off, and after the signal returns the host gets the missing interval.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t kEdgeTestRate = 0x7019;
constexpr char kEdgeStream[] = "Quillon::EdgeChannel";
// A network time-out of 1 s makes the connection time-out, after which the signal counts as
// lost, 3 s; the outage lasts a little more than twice that. The behaviour is the one of a
// 20 s outage with a 15 s time-out, only sooner.
constexpr uint32_t kNetworkTimeoutMs = 1000;
constexpr auto kOutage = 7s;

struct EdgeRun {
    explicit EdgeRun(const camsim::DeviceClock& clock = {}) {
        camera.sim.SetDeviceClock(clock);
        const uint16_t on = 1;
        ok = camera.started && driver.opened &&
             driver.Capture()->SetOption("EdgeStorageState", &on, 2) &&
             driver.Capture()->StartStream(0, 0, &sink, &settings);
    }
    // Live frames, then none for the outage while the card records, then live frames again.
    bool Outage() {
        if (!WaitFor([&] { return sink.FrameCount() >= 25; }, 20s)) {
            return false;
        }
        camera.sim.StopMedia(true);
        std::this_thread::sleep_for(kOutage);
        camera.sim.StopMedia(false);
        return true;
    }
    size_t Requests(const std::string& path) {
        const auto log = camera.sim.HttpRequestLog();
        return static_cast<size_t>(std::count_if(
            log.begin(), log.end(), [&](const auto& t) { return t.rfind(path, 0) == 0; }));
    }

    Camera camera;
    DriverUnderTest driver{camera.sim.HttpPort(), FixedCameraParameters(kNetworkTimeoutMs)};
    RecordingSink sink;
    FakeSettings settings{3, 640, 480, kEdgeTestRate, 50};
    bool ok = false;
};

vornak::TimeValue TimeOf(const RecordingSink::Frame& frame) {
    return vornak::SystemTimeToTime(frame.time);
}

// The device clock runs 5 s ahead and its local time one hour east of UTC: the list asks from
// 60 s before the gap plus 5 s in device time, and the recovered frames, each 40 ms after the
// one before, all fall inside the gap.
TEST(EdgeStorageTest, GapIsFilledFromTheCard) {
    EdgeRun run({5000ms, 60min, true, true});
    ASSERT_TRUE(run.ok) << run.camera.error << run.driver.loadError;
    ASSERT_TRUE(run.Outage());
    ASSERT_TRUE(
        WaitFor([&] { return run.driver.logger.Count("- Processing finished.") == 1; }, 60s))
        << "the work item did not finish";
    ASSERT_TRUE(run.driver.Capture()->StopStream(0, 0));

    Frames live;
    Frames recovered;
    for (const auto& frame : run.sink.Frames()) {
        (frame.stream == kEdgeStream ? recovered : live).push_back(frame);
    }
    // The gap lies between the two live frames furthest apart.
    vornak::TimeValue begin = 0;
    vornak::TimeValue end = 0;
    for (size_t i = 1; i < live.size(); ++i) {
        if (TimeOf(live[i]) - TimeOf(live[i - 1]) > end - begin) {
            begin = TimeOf(live[i - 1]);
            end = TimeOf(live[i]);
        }
    }
    ASSERT_GT(end - begin, 50000000u) << "no outage of more than 5 s among the live frames";
    // The card holds every frame; delivery starts at the first key frame after the gap's start
    // (one per second).
    const size_t gapFrames = (end - begin) / 400000;
    ASSERT_GE(recovered.size() + 26, gapFrames);
    EXPECT_LE(recovered.size(), gapFrames);
    EXPECT_EQ(recovered[0].fourcc, vornak::kFourCCH264) << "the first is a key frame";
    std::set<vornak::TimeValue> liveTimes;
    for (const auto& frame : live) {
        liveTimes.insert(TimeOf(frame));
    }
    for (size_t i = 0; i < recovered.size(); ++i) {
        const vornak::TimeValue t = TimeOf(recovered[i]);
        EXPECT_GT(t, begin) << "frame " << i;
        EXPECT_LT(t, end) << "frame " << i;
        EXPECT_EQ(liveTimes.count(t), 0u) << "frame " << i << " repeats a live frame";
        if (i > 0) {
            const vornak::TimeValue step = t - TimeOf(recovered[i - 1]);
            EXPECT_NEAR(static_cast<double>(step), 400000.0, 10000.0) << "frame " << i;
        }
    }
    const std::string file = WriteStream(recovered, 3, "edge");
    EXPECT_EQ(DecodeErrors(file), "");
    std::filesystem::remove(file);

    const auto log = run.camera.sim.HttpRequestLog();
    const std::string list = "/axis-cgi/record/list.cgi?recordingid=all&starttime=";
    const auto asked = std::find_if(log.begin(), log.end(),
                                    [&](const std::string& t) { return t.rfind(list, 0) == 0; });
    ASSERT_NE(asked, log.end());
    // The offset is read over the network: a few milliseconds either way.
    const vornak::TimeValue from = vornak::ParseTime(asked->substr(list.size(), 24));
    EXPECT_NEAR(static_cast<double>(from), static_cast<double>(begin - 600000000 + 50000000),
                500000.0)
        << *asked;
    for (const char* line : {"- Processing started.", "- Processing finished.",
                             "Start receiving of recorded video since ", "frames were received"}) {
        EXPECT_EQ(run.driver.logger.Count(line), 1u) << line;
    }
    EXPECT_EQ(run.driver.allocator.Outstanding(), 0);
}

struct FailedPassCase {
    const char* name;
    camsim::CardState card;
    bool clockReadable;
    const char* logged;
    const char* retried;  // the request each pass starts with
};

class EdgeStoragePassTest : public ::testing::TestWithParam<FailedPassCase> {};

// A pass that cannot be done ends, and the item waits instead of asking again at once while
// the live signal is present; a released frame handler then ends the item with its line.
TEST_P(EdgeStoragePassTest, FailedPassWaitsAndReleasedHandlerEndsTheItem) {
    const FailedPassCase& c = GetParam();
    EdgeRun run({0ms, 0min, c.clockReadable, c.clockReadable});
    ASSERT_TRUE(run.ok) << run.camera.error << run.driver.loadError;
    run.camera.sim.SetCard(c.card);
    ASSERT_TRUE(run.Outage());
    ASSERT_TRUE(WaitFor([&] { return run.driver.logger.Count(c.logged) >= 1; }, 30s)) << c.logged;
    const size_t first = run.Requests(c.retried);
    const size_t liveBefore = run.sink.FrameCount();
    ASSERT_TRUE(WaitFor([&] { return run.sink.FrameCount() >= liveBefore + 50; }, 10s))
        << "the live signal is back";
    EXPECT_EQ(run.Requests(c.retried), first) << "a second pass came before the wait was over";
    EXPECT_EQ(run.driver.logger.Count("- Processing finished."), 0u);
    ASSERT_TRUE(run.driver.Capture()->StopStream(0, 0));
    EXPECT_TRUE(WaitFor(
        [&] {
            return run.driver.logger.Count(
                       "frame handler interface was released on recorder "
                       "side.") == 1 &&
                   run.driver.logger.Count("- Processing finished.") == 1;
        },
        10s));
    for (const auto& frame : run.sink.Frames()) {
        EXPECT_NE(frame.stream, kEdgeStream);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, EdgeStoragePassTest,
    ::testing::Values(
        FailedPassCase{"NoCard", camsim::CardState::kAbsent, true,
                       "has no storage card that can be read (no card)", "/axis-cgi/disks/"},
        FailedPassCase{"LockedCard", camsim::CardState::kLocked, true,
                       "has no storage card that can be read (locked", "/axis-cgi/disks/"},
        FailedPassCase{"UnreadableClock", camsim::CardState::kOk, false,
                       "returns time value in incorrect format", "/axis-cgi/date.cgi"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon::test
