#include "channels/base_camera_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "fake_host.h"
#include "recording_debug.h"

namespace vornak {
namespace {

using namespace std::chrono_literals;
using test::OpenedDriver;
using test::RecordingSink;

quillon::host::DeviceSettings ChannelDevice(uint32_t inputs) {
    quillon::host::DeviceSettings s;
    s.address = "10.9.8.7";
    s.model = "Q7404";
    s.videoInputs = inputs;
    s.parameters[1] = "100";  // short network time-out keeps stop tests quick
    return s;
}

// A channel whose capture loop the test supplies.
class ScriptedChannel : public CBaseCameraChannel {
  public:
    using Loop = std::function<void(ScriptedChannel&)>;
    ScriptedChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink, Loop loop)
        : CBaseCameraChannel(channel, driver, sink), loop_(std::move(loop)) {}
    ~ScriptedChannel() override { StopThread(); }

    void ApplyCaptureSettings(ipcapture::ICaptureSettings*) override {}
    bool UpdateSettings(const VideoCaptureRequest*) override { return true; }

    using CBaseCameraChannel::OnSignalLost;
    using CBaseCameraChannel::SendFrameCallback;
    using CBaseCameraChannel::SetCameraState;
    using CBaseCameraChannel::SetState;
    CManualEvent& StopEvent() { return stopEvent_; }
    std::atomic<int> stopRequests{0};
    CEvent unblock{false};

  protected:
    void ThreadFunction() override { loop_(*this); }
    void OnStopRequested() override {
        ++stopRequests;
        unblock.Set();
    }

  private:
    Loop loop_;
};

void IdleUntilStopped(ScriptedChannel& self) {
    self.StopEvent().Wait(kInfinite);
}

TEST(FrameRateCodeTest, Codes) {
    struct Row {
        uint32_t code, fps;
        const char* why;
    };
    const Row rows[] = {{0, 1, "zero means one per second"},
                        {0x7019, 25, "rate in the low 12 bits"},
                        {40, 25, "40 ms interval"},
                        {30, 33, "33.8 truncates after adding a half"},
                        {100, 10, "100 ms interval"},
                        {2001, 0, "long intervals round to nothing"},
                        {0x17019, 25, "only the low 16 bits count"}};
    for (const Row& row : rows) {
        EXPECT_EQ(FramesPerSecond(row.code), row.fps) << row.why;
    }
}

TEST(BaseCameraChannelTest, OnlineOfflineLinesOnePerChange) {
    OpenedDriver d(ChannelDevice(1));
    RecordingSink sink;
    ScriptedChannel channel(0, &d.driver, &sink, IdleUntilStopped);
    VideoCaptureRequest request{0, 0, 640, 480, 2};
    ASSERT_TRUE(channel.Start(&request));
    EXPECT_EQ(channel.GetState(), kStateSignalLost) << "running without a connection yet";
    EXPECT_EQ(channel.GetResolution(), (Size{640, 480}));
    d.logger.Clear();
    channel.SetCameraState(true);
    channel.SetCameraState(true);
    channel.SetState(kStateSignalLost);
    channel.SetCameraState(false);
    channel.SetState(kStateRunning);
    channel.SetCameraState(true);
    channel.SetCameraState(false);
    channel.SetCameraState(true);
    channel.SetState(kStateStopped);
    channel.SetCameraState(false);
    // The packet threads and the capture thread report at once: still one line per change.
    std::vector<std::thread> reporters;
    for (int i = 0; i < 4; ++i) {
        reporters.emplace_back([&] { channel.SetCameraState(true); });
    }
    for (std::thread& t : reporters) {
        t.join();
    }
    const auto lines = d.logger.Lines();
    ASSERT_EQ(lines.size(), 7u);
    const std::string m = "vornak::CBaseCameraChannel::SetCameraState: ";
    EXPECT_EQ(lines[0].text, m + "Camera 10.9.8.7:80 is online (Remote)");
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[1].text, m + "Signal was lost for camera 10.9.8.7:80 (Remote)");
    EXPECT_EQ(lines[1].level, 1u);
    EXPECT_EQ(lines[3].text, m + "Camera 10.9.8.7:80 is offline or failed (Remote)");
    EXPECT_EQ(lines[3].level, 1u);
    EXPECT_EQ(lines[5].text, m + "Camera 10.9.8.7:80 is offline. Channel was stopped (Remote)");
    EXPECT_EQ(lines[5].level, 3u);
    channel.Stop();
    EXPECT_EQ(channel.GetState(), kStateStopped);
}

TEST(BaseCameraChannelTest, RestartFromTheCaptureThreadRunsANewThread) {
    OpenedDriver d(ChannelDevice(1));
    RecordingSink sink;
    std::atomic<int> runs{0};
    VideoCaptureRequest request{};
    ScriptedChannel channel(0, &d.driver, &sink, [&](ScriptedChannel& self) {
        if (++runs == 1) {
            EXPECT_TRUE(self.Start(&request));  // its stop cannot wait for itself
        }
    });
    ASSERT_TRUE(channel.Start(&request));
    EXPECT_TRUE(test::WaitFor([&] { return runs >= 2; }, 1s));
    EXPECT_EQ(runs, 2);
}

TEST(BaseCameraChannelTest, VideoServerLabelAndUnknownStreamKind) {
    OpenedDriver d(ChannelDevice(2));
    RecordingSink sink;
    ScriptedChannel channel(1, &d.driver, &sink, IdleUntilStopped);
    VideoCaptureRequest request{0, 0, 0, 0, 5};
    ASSERT_TRUE(channel.Start(&request));
    d.logger.Clear();
    channel.SetCameraState(true);
    channel.SetState(kStateSignalLost);
    channel.SetCameraState(false);
    const auto lines = d.logger.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text,
              "vornak::CBaseCameraChannel::SetCameraState: Video-server 10.9.8.7:80 "
              "(channel 1) is online ");
    EXPECT_EQ(lines[1].text,
              "vornak::CBaseCameraChannel::SetCameraState: Signal was lost for "
              "video-server 10.9.8.7:80 (channel 1) ");
}

class RecordingMonitor : public IEdgeStorageCallback {
  public:
    void OnDataReceived(uint32_t channel, TimeValue time) override {
        lastChannel = channel;
        lastTime = time;
        ++frames;
    }
    void OnSignalLost(uint32_t) override { ++lost; }
    uint32_t lastChannel = 99;
    TimeValue lastTime = 0;
    int frames = 0;
    int lost = 0;
};

// Frames the sink refuses or throws on are logged and no sign of life for the edge monitor.
TEST(BaseCameraChannelTest, RefusedFramesAndEdgeMonitor) {
    OpenedDriver d(ChannelDevice(1));
    RecordingSink sink;
    ScriptedChannel channel(0, &d.driver, &sink, IdleUntilStopped);
    RecordingMonitor monitor;
    channel.SetEdgeMonitor(&monitor);
    quillon::host::HostVideoFrame frame(0, 16, "s");
    SYSTEMTIME stamp{2024, 3, 2, 5, 14, 7, 9, 120};
    frame.SetTimestamp(&stamp);
    ASSERT_TRUE(channel.SendFrameCallback(&frame));
    EXPECT_EQ(monitor.frames, 1);
    EXPECT_EQ(monitor.lastChannel, 0u);
    EXPECT_EQ(monitor.lastTime, SystemTimeToTime(stamp));
    sink.throwOnFrame = true;
    EXPECT_FALSE(channel.SendFrameCallback(&frame));
    EXPECT_EQ(d.logger.Count("vornak::CBaseCameraChannel::SendFrameCallback: Frame send error, "
                             "device 10.9.8.7"),
              1u);
    sink.throwOnFrame = false;
    sink.accept = false;
    EXPECT_FALSE(channel.SendFrameCallback(&frame));
    EXPECT_FALSE(channel.SendFrameCallback(nullptr));
    EXPECT_EQ(monitor.frames, 1) << "a refused frame is no sign of life";
    channel.OnSignalLost();
    EXPECT_EQ(monitor.lost, 1);
    EXPECT_EQ(sink.signalLost, 1);
}

TEST(BaseCameraChannelTest, StuckLoopIsReportedAndStillJoined) {
    OpenedDriver d(ChannelDevice(1));  // network time-out 100 ms: the stop waits 200 ms
    RecordingSink sink;
    // Ignores the stop event; only the abort of OnStopRequested after the warning frees it.
    std::atomic<int> abortsSeen{0};
    ScriptedChannel channel(0, &d.driver, &sink, [&](ScriptedChannel& self) {
        while (abortsSeen < 3) {
            if (self.unblock.Wait(kInfinite)) {
                ++abortsSeen;
            }
        }
    });
    VideoCaptureRequest request{};
    ASSERT_TRUE(channel.Start(&request));
    d.logger.Clear();
    channel.Stop();
    EXPECT_GE(abortsSeen, 3);
    EXPECT_EQ(d.logger.Count("vornak::CBaseCameraChannel::StopThread: Video capture thread for "
                             "camera 10.9.8.7:80 cannot be stopped and will be terminated now"),
              1u);
}

}  // namespace
}  // namespace vornak
