// Motion JPEG over HTTP through the library's exports, against camsim.
#include <gtest/gtest.h>

#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t kFps10 = 0x700A;

class MjpegCaptureTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(camera.started) << camera.error; }
    Camera camera;
};

TEST_F(MjpegCaptureTest, TenSecondsAtTenFramesPerSecond) {
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(5000));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(1, 640, 480, kFps10, 50);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    // Count from the first picture so that connection set-up does not eat into the ten seconds.
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 10s));
    const size_t first = sink.FrameCount();
    std::this_thread::sleep_for(10s);
    const size_t delivered = sink.FrameCount() - first;
    ASSERT_TRUE(driver.Capture()->StopCapture(0));

    EXPECT_NEAR(static_cast<double>(delivered), 100.0, 2.0);
    const auto frames = sink.Frames();
    vornak::TimeValue previous = 0;
    for (const auto& frame : frames) {
        ASSERT_GE(frame.data.size(), 4u);
        EXPECT_EQ(frame.data[0], 0xFF);
        EXPECT_EQ(frame.data[1], 0xD8);
        EXPECT_EQ(frame.data[frame.data.size() - 2], 0xFF);
        EXPECT_EQ(frame.data.back(), 0xD9);
        EXPECT_EQ(frame.fourcc, 0x4745504Au);
        EXPECT_EQ(frame.width, 640u);
        EXPECT_EQ(frame.height, 480u);
        EXPECT_EQ(frame.sizeClass, 4u);
        EXPECT_EQ(frame.stream, "Quillon::RecStream");
        const vornak::TimeValue time = vornak::SystemTimeToTime(frame.time);
        EXPECT_GE(time, previous) << "frame times never go backwards";
        EXPECT_LE(frame.received - time, 10000000u) << "stamped within a second of arrival";
        previous = time;
    }
    EXPECT_EQ(driver.allocator.Outstanding(), 0);
    const std::string file = WriteFrames(frames, "mjpeg-capture.mjpeg");
    EXPECT_EQ(DecodeErrors(file, "mjpeg"), "");
    std::filesystem::remove(file);
    const auto requests = camera.sim.GetCounters().http_requests;
    EXPECT_EQ(requests.at("/axis-cgi/mjpg/video.cgi"), 2u)
        << "the challenge, then one connection throughout";
}

// The camera's web server takes the stream request but its encoder sends nothing.
TEST_F(MjpegCaptureTest, SilentCameraIsLostRepeatedlyAndRecoversWhenPicturesFlow) {
    camera.sim.StopMedia(true);
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(500));
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(1, 320, 240, kFps10, 0);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    const auto requests = [&] {
        return camera.sim.GetCounters().http_requests.count("/axis-cgi/mjpg/video.cgi");
    };
    ASSERT_TRUE(WaitFor([&] { return requests() != 0; }, 2s));
    std::this_thread::sleep_for(300ms);
    uint32_t state = 0;
    ASSERT_TRUE(driver.Capture()->GetChannelState(0, &state, nullptr, nullptr, 0));
    EXPECT_EQ(state, 2u) << "a connection without a picture is not running";
    // Connection time-out 1.5 s; the loss is reported then and every 5 s while it lasts.
    ASSERT_TRUE(WaitFor([&] { return sink.signalLost >= 1; }, 4s));
    ASSERT_TRUE(driver.Capture()->GetChannelState(0, &state, nullptr, nullptr, 0));
    EXPECT_EQ(state, 2u);
    ASSERT_TRUE(WaitFor([&] { return sink.signalLost >= 2; }, 8s));
    EXPECT_EQ(sink.FrameCount(), 0u);

    camera.sim.StopMedia(false);
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 3; }, 10s));
    ASSERT_TRUE(driver.Capture()->GetChannelState(0, &state, nullptr, nullptr, 0));
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(driver.logger.Count("is online (Rec)"), 1u);
    driver.Capture()->StopCapture(0);
}

// A camera that refuses the stream request must not be stormed: failed attempts are paced,
// growing towards the 5 s pace, and pictures return as soon as the camera answers again.
struct Refusal {
    camsim::Fault::Kind kind;
    int status;
    uint64_t maxRequests;  // in 3 s: attempts at 0, 0.5 and 1.5 s, one more for load
    const char* why;
};

class MjpegRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(MjpegRefusalTest, FailedAttemptsArePaced) {
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camsim::Fault fault;
    fault.kind = GetParam().kind;
    fault.status = GetParam().status;
    camera.sim.SetHttpFault("/axis-cgi/mjpg/video.cgi", fault);
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(5000));
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(1, 320, 240, kFps10, 0);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    std::this_thread::sleep_for(3s);
    EXPECT_LE(camera.sim.GetCounters().http_requests.at("/axis-cgi/mjpg/video.cgi"),
              GetParam().maxRequests)
        << GetParam().why;
    camera.sim.ClearFaults();
    EXPECT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 6s)) << GetParam().why;
    driver.Capture()->StopCapture(0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MjpegRefusalTest,
    ::testing::Values(
        Refusal{camsim::Fault::Kind::kStatus, 401, 12, "a fresh nonce each time: 3 logins each"},
        Refusal{camsim::Fault::Kind::kStatus, 302, 4, "a redirect is not a picture stream"},
        Refusal{camsim::Fault::Kind::kClose, 0, 4, "closed before any picture"}),
    [](const auto& info) { return "Status" + std::to_string(info.param.status); });

TEST_F(MjpegCaptureTest, StopDuringAStalledStreamIsQuick) {
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(1000));
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(1, 640, 480, kFps10, 0);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 2; }, 5s));
    camera.sim.StopMedia(true);
    std::this_thread::sleep_for(300ms);  // the channel now sits in a read that gets nothing
    const auto start = Clock::now();
    EXPECT_TRUE(driver.Capture()->StopCapture(0));
    EXPECT_LT(Clock::now() - start, 2000ms) << "within twice the network time-out";
}

TEST(MjpegNoVideoTest, PlaceholderWithoutEverConnecting) {
    Camera camera(CamsimSetup{"audio-io"});
    ASSERT_TRUE(camera.started) << camera.error;
    auto parameters = FixedCameraParameters(5000);
    parameters[11] = "1";
    DriverUnderTest driver(camera.sim.HttpPort(), parameters);
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(1, 640, 480, kFps10, 0);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 2; }, 8s));
    driver.Capture()->StopCapture(0);
    const auto frames = sink.Frames();
    EXPECT_EQ(frames[0].width, 176u);
    EXPECT_EQ(frames[0].height, 144u);
    const double gap = static_cast<double>(vornak::SystemTimeToTime(frames[1].time) -
                                           vornak::SystemTimeToTime(frames[0].time)) /
                       1e7;
    EXPECT_NEAR(gap, 5.0, 0.5);
    EXPECT_EQ(camera.sim.GetCounters().http_requests.count("/axis-cgi/mjpg/video.cgi"), 0u);
}

// Zones in percent land on the camera's mask windows in sensor pixels.
TEST_F(MjpegCaptureTest, PrivacyZonesBecomeMaskWindows) {
    camera.sim.SetParam("Image.I0.Appearance.Rotation", "180");
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(5000));
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(1, 640, 480, kFps10, 0);
    settings.zones.zones.push_back(std::make_unique<vornak::CPrivacyZone>(0, 10, 10, 20, 20));
    settings.zones.zones.push_back(std::make_unique<vornak::CPrivacyZone>(1, 50, 0, 10, 50));
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 5s));
    driver.Capture()->StopCapture(0);

    auto param = [&](const std::string& name) {
        return camera.sim.Params().Get("Image.I0.Overlay.MaskWindows." + name).value_or("-");
    };
    // 640x480 turned by 180 degrees: x = 640 - (64 + 128), y = 480 - (48 + 96).
    EXPECT_EQ(param("M0.XPos"), "448");
    EXPECT_EQ(param("M0.YPos"), "336");
    EXPECT_EQ(param("M0.Width"), "128");
    EXPECT_EQ(param("M0.Height"), "96");
    EXPECT_EQ(param("M0.Enabled"), "yes");
    EXPECT_EQ(param("M1.XPos"), "256");
    EXPECT_EQ(param("M1.YPos"), "240");
}

// Existing windows are reused in the device's order and one the zones no longer need is
// switched off; a camera that refuses the mask requests gets no stream request and a clear line.
TEST_F(MjpegCaptureTest, SurplusMaskWindowIsDisabledAndARefusalIsReported) {
    for (const char* window : {"M0", "M1", "M2"}) {
        const std::string prefix = std::string("Image.I0.Overlay.MaskWindows.") + window + ".";
        camera.sim.SetParam(prefix + "Enabled", "yes");
        camera.sim.SetParam(prefix + "Name", std::string("Mask ") + window);
        camera.sim.SetParam(prefix + "XPos", "10");
        camera.sim.SetParam(prefix + "YPos", "10");
        camera.sim.SetParam(prefix + "Width", "20");
        camera.sim.SetParam(prefix + "Height", "20");
    }
    {
        DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(5000));
        ASSERT_TRUE(driver.opened);
        RecordingSink sink;
        FakeSettings settings(1, 640, 480, kFps10, 0);
        settings.zones.zones.push_back(std::make_unique<vornak::CPrivacyZone>(0, 0, 0, 50, 50));
        settings.zones.zones.push_back(std::make_unique<vornak::CPrivacyZone>(1, 50, 50, 50, 50));
        ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
        ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 5s));
        driver.Capture()->StopCapture(0);
    }
    auto param = [&](const std::string& name) {
        return camera.sim.Params().Get("Image.I0.Overlay.MaskWindows." + name).value_or("-");
    };
    EXPECT_EQ(param("M0.Width"), "320");
    EXPECT_EQ(param("M1.XPos"), "320");
    EXPECT_EQ(param("M2.Enabled"), "no");

    Camera refusing;
    ASSERT_TRUE(refusing.started) << refusing.error;
    camsim::Fault refuse;
    refuse.kind = camsim::Fault::Kind::kStatus;
    refuse.status = 500;
    DriverUnderTest driver(refusing.sim.HttpPort(), FixedCameraParameters(5000));
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(1, 640, 480, kFps10, 0);
    settings.zones.zones.push_back(std::make_unique<vornak::CPrivacyZone>(0, 0, 0, 50, 50));
    refusing.sim.SetHttpFault("/axis-cgi/admin/param.cgi", refuse);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return driver.logger.Count("Status code is 500") >= 1; }, 5s));
    driver.Capture()->StopCapture(0);
    EXPECT_EQ(sink.FrameCount(), 0u) << "no stream without the masks";
    EXPECT_EQ(refusing.sim.GetCounters().http_requests.count("/axis-cgi/mjpg/video.cgi"), 0u);
}

}  // namespace
}  // namespace quillon::test
