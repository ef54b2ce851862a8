// What a host does to a running channel, on both kinds of channel through the library's
// exports against camsim: pause and resume, a camera restart, a new size. The rows differ
// where the channels do.
#include <gtest/gtest.h>

#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeResolution;
using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

struct Channel {
    const char* name;
    uint32_t format;  // 1 motion JPEG over HTTP, 3 H.264 over RTSP
    uint32_t rate;
    uint32_t quality;
    size_t pauseSlack;  // frames that may still arrive after a pause has settled
    const char* reason;
};

const Channel kChannels[] = {
    {"Mjpeg", 1, 0x700A, 0, 0, "one HTTP connection; a pause stops reading it"},
    {"Rtsp", 3, 0x7019, 50, 1, "a session; a pause is a PAUSE request, a frame may be in flight"},
};

class ChannelControlTest : public ::testing::TestWithParam<Channel> {
  protected:
    // Opens the driver and starts input 0 in the given size; waits for the stream to run.
    void Start(uint32_t networkTimeoutMs, uint32_t width, uint32_t height) {
        ASSERT_TRUE(camera.started) << camera.error;
        driver = std::make_unique<DriverUnderTest>(camera.sim.HttpPort(),
                                                   FixedCameraParameters(networkTimeoutMs));
        ASSERT_TRUE(driver->opened) << driver->loadError;
        const Channel& c = GetParam();
        settings = std::make_unique<FakeSettings>(c.format, width, height, c.rate, c.quality);
        ASSERT_TRUE(driver->Capture()->StartCapture(0, &sink, settings.get()));
        ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 3; }, 15s)) << "no frames";
    }
    uint32_t State() {
        uint32_t state = 99;
        EXPECT_TRUE(driver->Capture()->GetChannelState(0, &state, nullptr, nullptr, 0));
        return state;
    }
    // Connections the channel made: stream requests of HTTP, sessions of RTSP.
    uint64_t Connections() {
        const camsim::Counters counters = camera.sim.GetCounters();
        const auto& map = GetParam().format == 1 ? counters.http_requests : counters.rtsp_requests;
        const auto it = map.find(GetParam().format == 1 ? "/axis-cgi/mjpg/video.cgi" : "SETUP");
        return it == map.end() ? 0 : it->second;
    }

    Camera camera;
    RecordingSink sink;
    std::unique_ptr<FakeSettings> settings;
    std::unique_ptr<DriverUnderTest> driver;
};

TEST_P(ChannelControlTest, PauseHoldsDeliveryWithoutLossAndResumeContinues) {
    Start(500, 320, 240);
    ASSERT_TRUE(driver->Capture()->PauseCapture(0));
    std::this_thread::sleep_for(1s);
    const size_t paused = sink.FrameCount();
    std::this_thread::sleep_for(2s);  // beyond the connection time-out of 1.5 s
    EXPECT_LE(sink.FrameCount(), paused + GetParam().pauseSlack);
    EXPECT_EQ(sink.signalLost, 0);
    ASSERT_TRUE(driver->Capture()->ResumeCapture(0));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() > paused + 3; }, 10s));
    driver->Capture()->StopCapture(0);
    EXPECT_EQ(driver->logger.Count("Signal was lost"), 0u);
}

TEST_P(ChannelControlTest, CameraRestartIsOneLossAndOneReturn) {
    Start(1000, 320, 240);
    camera.sim.Restart(4000ms);
    ASSERT_TRUE(WaitFor([&] { return sink.signalLost >= 1; }, 8s));
    EXPECT_EQ(State(), 2u);
    const size_t before = sink.FrameCount();
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() > before + 3; }, 15s));
    EXPECT_EQ(State(), 0u);
    driver->Capture()->StopCapture(0);
    EXPECT_EQ(driver->logger.Count("Signal was lost for camera"), 1u);
    EXPECT_EQ(driver->logger.Count("is online (Rec)"), 2u);
    EXPECT_GE(Connections(), 2u) << "a new connection after the restart";
}

// Motion JPEG asks for the new size on a new connection; RTSP restarts its session in place.
TEST_P(ChannelControlTest, NewSizeReachesTheHost) {
    Start(3000, 640, 480);
    FakeResolution smaller(320, 240);
    ASSERT_TRUE(driver->Capture()->UpdateCapture(0, &smaller, GetParam().rate));
    ASSERT_TRUE(WaitFor([&] { return sink.Frames().back().width == 320; }, 10s));
    driver->Capture()->StopCapture(0);
    EXPECT_EQ(sink.signalLost, 0);
    if (GetParam().format == 1) {
        EXPECT_EQ(Connections(), 3u) << "the challenge, the first size, the new size";
    } else {
        EXPECT_EQ(driver->logger.Count("is online"), 1u) << "no reconnect was needed";
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, ChannelControlTest, ::testing::ValuesIn(kChannels),
                         [](const ::testing::TestParamInfo<Channel>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace quillon::test
