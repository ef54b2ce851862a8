#include "edge/axis_edge_storage.h"

#include "edge_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "fake_host.h"
#include "recording_debug.h"
#include "stub_driver.h"

namespace vornak {
namespace {

using test::RecordingLog;
using test::RecordingSink;
using test::WaitFor;
using namespace std::chrono_literals;

constexpr TimeValue kSecond = 10000000;
const TimeValue kNoon = ParseTime("2024-03-05T12:00:00Z");

TEST(EdgeStorageClockTest, ConversionsAndListWindow) {
    struct Row {
        int64_t deviceAheadMs;
        TimeValue local, device;
        const char* listFrom;  // of a gap from noon to 12:00:30 local
        const char* why;
    } rows[] = {
        {5000, kNoon, kNoon + 5 * kSecond, "2024-03-05T11:59:05.000Z",
         "5 s ahead: 60 s before the gap plus 5 s"},
        {-5000, kNoon, kNoon - 5 * kSecond, "2024-03-05T11:58:55.000Z", "5 s behind"},
        {0, kNoon, kNoon, "2024-03-05T11:59:00.000Z", "no offset"},
    };
    for (const Row& r : rows) {
        CAxisTimeHelper clock;
        const TimeValue now = GetCurrentTime();
        clock.SetReadings(now, now + r.deviceAheadMs * kTicksPerMs);
        EXPECT_EQ(clock.LocalToDevice(r.local), r.device) << r.why;
        EXPECT_EQ(clock.DeviceToLocal(r.device), r.local) << r.why;
        EXPECT_EQ(RecordingListPath(clock, kNoon, kNoon + 30 * kSecond),
                  std::string("/axis-cgi/record/list.cgi?recordingid=all&starttime=") + r.listFrom +
                      "&stoptime=" + FormatTime(0, clock.LocalToDevice(kNoon + 31 * kSecond)))
            << r.why;
    }
    CAxisTimeHelper behind;
    behind.SetReadings(10 * kSecond, kSecond);
    EXPECT_EQ(behind.LocalToDevice(5 * kSecond), 0u) << "before the device's epoch";
    EXPECT_EQ(behind.DeviceText(5 * kSecond, 0), "");
    EXPECT_EQ(RecordingListPath(behind, 0, kNoon), "/axis-cgi/record/list.cgi?recordingid=all")
        << "no gap start, no window";
}

TEST(EdgeStorageListTest, RecordingPathsCandidatesAndClockReplies) {
    EXPECT_EQ(RecordingPath(0, 1), "root/recordings/recording[@diskid=\"SD_DISK\"]");
    EXPECT_EQ(RecordingPath(0, 4), "root/recordings/recording[@diskid=\"SD_DISK\"][@source=\"1\"]")
        << "the device numbers its sources from 1";

    const EdgeRecording done{"r1",  1,     "video/x-h264",      640, 480, 25,
                             false, kNoon, kNoon + 60 * kSecond};
    EdgeRecording running = done;
    running.inProgress = true;
    running.stop = 0;
    struct Row {
        EdgeRecording recording;
        TimeValue position, end;
        bool candidate;
        const char* why;
    } rows[] = {
        {done, kNoon + 10 * kSecond, kNoon + 20 * kSecond, true, "covers the gap"},
        {running, kNoon + 10 * kSecond, kNoon + 20 * kSecond, true,
         "in progress: runs up to the gap's end"},
        {done, kNoon + 60 * kSecond, kNoon + 70 * kSecond, false, "stopped before the position"},
        {done, kNoon - 20 * kSecond, kNoon, false, "starts at the gap's end"},
        {running, kNoon - 20 * kSecond, kNoon, false, "in progress but started after the gap"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(IsEdgeCandidate(r.recording, r.position, r.end, {}), r.candidate) << r.why;
    }
    EXPECT_FALSE(IsEdgeCandidate(done, kNoon, kNoon + kSecond, {"r1"})) << "already played";
    EdgeRecording noSize = done;
    noSize.height = 0;
    EXPECT_FALSE(IsEdgeCandidate(noSize, kNoon, kNoon + kSecond, {}));

    EXPECT_EQ(ParseDateTimeInfo(R"({"data":{"dateTime":"2024-03-05T12:00:00Z"}})"), kNoon);
    EXPECT_EQ(ParseDateTimeInfo(R"({"data":{"dateTime" : "2024-03-05T13:00:00+01:00"}})"), 0u)
        << "only a UTC text is a UTC reading";
    EXPECT_EQ(ParseDateTimeInfo(R"({"error":{"code":2002}})"), 0u);
}

class FakeEdgeChannel : public IEdgeMonitorChannel {
  public:
    FakeEdgeChannel(uint32_t index, ipcapture::IFrameSink* sink) : index_(index), sink_(sink) {}
    uint32_t GetChannelIndex() override { return index_; }
    ipcapture::IFrameSink* GetFrameSink() override { return sink_; }
    void SetEdgeMonitor(IEdgeStorageCallback* monitor) override { monitor_ = monitor; }
    std::atomic<IEdgeStorageCallback*> monitor_{nullptr};

  private:
    uint32_t index_;
    ipcapture::IFrameSink* sink_;
};

// The device-neutral handler with passes that report what a test tells them to.
class PassCountingHandler : public CBaseEdgeStorageHandler {
  public:
    explicit PassCountingHandler(IDriver* driver) : CBaseEdgeStorageHandler(driver, 3) {}
    ~PassCountingHandler() override { StopEdgeStorageThreads(); }
    using CBaseEdgeStorageHandler::DeliverToChannel;

    std::vector<CEdgeStorageTaskItem> Items() {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::atomic<bool> done{false};

  protected:
    PassResult RunRetrievalPass(const CEdgeStorageTaskItem& item) override {
        std::lock_guard lock(mutex_);
        items_.push_back(item);
        return done ? PassResult::kDone : PassResult::kNotDone;
    }

  private:
    std::mutex mutex_;
    std::vector<CEdgeStorageTaskItem> items_;
};

struct HandlerRun {
    explicit HandlerRun(uint32_t connectionTimeoutMs = 300) {
        driver.info.connectionTimeout = connectionTimeoutMs;
        handler.SetRetryWait(250);
    }
    RecordingLog<test::StubDriver> driver;
    PassCountingHandler handler{&driver};
};

// Recovered video goes to the earliest registered sink still present, and a channel's pairs go
// one by one.
TEST(EdgeStorageHandlerTest, FramesGoToTheSinkOfARegisteredPair) {
    HandlerRun run;
    RecordingSink first;
    RecordingSink second;
    FakeEdgeChannel recording(0, &first);
    FakeEdgeChannel live(0, &second);
    FakeEdgeChannel noSink(1, nullptr);
    run.handler.Register(&recording);
    run.handler.Register(&live);
    run.handler.Register(&noSink);
    EXPECT_EQ(recording.monitor_.load(), &run.handler);
    EXPECT_EQ(noSink.monitor_.load(), nullptr) << "a channel without a sink is not watched";
    quillon::host::HostVideoFrame frame(kFourCCH264, 16, "edge");
    EXPECT_TRUE(run.handler.DeliverToChannel(0, &frame));
    run.handler.Unregister(&recording);
    EXPECT_EQ(recording.monitor_.load(), nullptr);
    EXPECT_TRUE(run.handler.DeliverToChannel(0, &frame));
    second.throwOnFrame = true;
    EXPECT_FALSE(run.handler.DeliverToChannel(0, &frame));
    EXPECT_EQ(run.driver.Count("CaptureFrameCallback: Unhandled exception during processing frame "
                               "from device 127.0.0.1:80"),
              1u);
    run.handler.Unregister(&live);
    EXPECT_FALSE(run.handler.DeliverToChannel(0, &frame)) << "no sink of a stopped stream";
    EXPECT_EQ(first.FrameCount(), 1u);
    EXPECT_EQ(second.FrameCount(), 1u);
}

// Only a silence of every watched channel longer than the connection time-out is a loss; the
// data's return makes one item per channel that had data, from its last data to the return.
TEST(EdgeStorageHandlerTest, LossAndReturnMakeOneItemPerChannelWithData) {
    HandlerRun run;
    RecordingSink sink;
    FakeEdgeChannel withData(0, &sink);
    FakeEdgeChannel silent(1, &sink);
    run.handler.Register(&withData);
    run.handler.Register(&silent);
    ASSERT_TRUE(run.handler.StartEdgeStorageThreads());
    for (int i = 0; i < 8; ++i) {
        run.handler.OnDataReceived(0, GetCurrentTime());
        std::this_thread::sleep_for(100ms);  // a loss shorter than the time-out
    }
    const TimeValue last = GetCurrentTime();
    run.handler.OnDataReceived(0, last);
    run.handler.OnSignalLost(0);
    std::this_thread::sleep_for(900ms);
    EXPECT_TRUE(run.handler.Items().empty());
    const TimeValue back = GetCurrentTime();
    run.handler.done = true;
    run.handler.OnDataReceived(0, back);
    run.handler.OnDataReceived(7, back + 1);  // not watched
    ASSERT_TRUE(WaitFor([&] { return run.driver.Count("Processing finished.") == 1; }, 5s));
    const auto items = run.handler.Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].channel, 0u);
    EXPECT_EQ(items[0].begin, last);
    EXPECT_EQ(items[0].end, back);
    EXPECT_FALSE(run.handler.QueueItem(0, back, back)) << "an empty interval";
}

// A pass that is not done waits for the retry time, not for the live signal that is present;
// passes are bounded, and a released frame handler ends the item with its line.
TEST(EdgeStorageHandlerTest, FailedPassesWaitAreBoundedAndEndWithTheHandler) {
    HandlerRun run(60000);  // the live signal stays
    RecordingSink sink;
    FakeEdgeChannel channel(0, &sink);
    run.handler.Register(&channel);
    ASSERT_TRUE(run.handler.StartEdgeStorageThreads());
    run.handler.OnDataReceived(0, GetCurrentTime());
    ASSERT_TRUE(run.handler.QueueItem(0, kNoon, kNoon + kSecond));
    ASSERT_TRUE(WaitFor([&] { return run.handler.Items().size() == 1; }, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(run.handler.Items().size(), 1u) << "the next pass came before the wait";
    ASSERT_TRUE(WaitFor([&] { return run.driver.Count("after 6 passes") == 1; }, 10s));
    EXPECT_EQ(run.handler.Items().size(), CBaseEdgeStorageHandler::kMaxPasses);

    ASSERT_TRUE(run.handler.QueueItem(0, kNoon, kNoon + kSecond));
    ASSERT_TRUE(WaitFor([&] { return run.handler.Items().size() == 7; }, 5s));
    run.handler.Unregister(&channel);
    ASSERT_TRUE(WaitFor([&] { return run.driver.Count("Processing finished.") == 2; }, 5s));
    EXPECT_EQ(run.driver.Count("(channel 0) - frame handler interface was released on "
                               "recorder side."),
              1u);
    EXPECT_EQ(run.handler.Items().size(), 7u);
}

// quillon-host keeps recovered frames out of the live recording and counts them per fill.
TEST(EdgeTapTest, RecoveredFramesAreCountedPerFill) {
    RecordingSink live;
    quillon::host::EdgeTap tap(&live);
    SYSTEMTIME noon{};
    TimeToSystemTime(kNoon, noon);
    struct Row {
        const char* stream;
        int64_t arrivalMs;
        const char* text;  // after the frame
    } rows[] = {
        {"Quillon::RecStream", 1000, "gap fills 0"},
        {"Quillon::EdgeChannel", 2000, "gap fills 1 (1 frames), last 12:00:00.000-12:00:00.000"},
        {"Quillon::EdgeChannel", 2100, "gap fills 1 (2 frames), last 12:00:00.000-12:00:00.000"},
        {"Quillon::EdgeChannel", 9000,
         "gap fills 2 (3 frames), last 12:00:00.000-12:00:00.000 "
         "UTC 1 frames"},
    };
    for (const Row& r : rows) {
        quillon::host::HostVideoFrame frame(kFourCCH264, 16, r.stream);
        frame.SetTimestamp(&noon);
        EXPECT_TRUE(tap.OnFrameAt(&frame, r.arrivalMs));
        EXPECT_EQ(quillon::host::EdgeTap::Text(tap.Snapshot()).rfind(r.text, 0), 0u) << r.text;
    }
    EXPECT_EQ(live.FrameCount(), 1u);
}

}  // namespace
}  // namespace vornak
