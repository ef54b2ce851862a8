// H.265 through the library's exports against camsim: a camera without the codec refuses the
// start and nothing else is asked of it, and a lost packet holds delivery until the next IRAP
// picture. The transports and schemes are rows of the RTSP capture table.
#include <gtest/gtest.h>

#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t kH265Format = 4;
constexpr uint32_t kH265Fps = 0x7019;

TEST(H265Capture, CameraWithoutTheCodecFailsTheStartWithOneLine) {
    Camera camera(CamsimSetup{"encoder-4ch"});
    ASSERT_TRUE(camera.started) << camera.error;
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(3000));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    const camsim::Counters before = camera.sim.GetCounters();
    RecordingSink sink;
    FakeSettings settings(kH265Format, 640, 480, kH265Fps, 50);
    EXPECT_FALSE(driver.Capture()->StartCapture(0, &sink, &settings));
    std::vector<std::string> errors;
    for (const auto& line : driver.logger.Lines()) {
        if (line.level == 1) {
            errors.push_back(line.text);
        }
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("does not offer H265"), std::string::npos) << errors[0];
    const camsim::Counters after = camera.sim.GetCounters();
    EXPECT_TRUE(after.rtsp_requests.empty()) << "no session is tried";
    // The question about the formats (after an authentication challenge), nothing else.
    for (const auto& [path, count] : after.http_requests) {
        const uint64_t earlier =
            before.http_requests.count(path) ? before.http_requests.at(path) : 0;
        EXPECT_TRUE(count == earlier || path == "/axis-cgi/admin/param.cgi") << path;
    }
    EXPECT_TRUE(driver.Capture()->StopCapture(0));
}

// Packet 3 lies inside the first IRAP picture, packet 70 in a later predicted picture.
class H265LossTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(H265LossTest, DeliveryResumesAtTheNextIrapPicture) {
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camsim::RtpFaultPlan plan;
    plan.drop = {GetParam()};
    camera.sim.SetRtpFaults(plan);
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(3000));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(kH265Format, 640, 480, kH265Fps, 50);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 60; }, 15s));
    ASSERT_TRUE(driver.Capture()->StopCapture(0));
    EXPECT_EQ(driver.logger.Count("packets, 1 gaps,"), 1u);
    const Frames frames = sink.Frames();
    uint64_t sent = 0;
    for (const auto& stream : camera.sim.GetCounters().streams) {
        sent += stream.frames;
    }
    EXPECT_LT(frames.size() + 10, sent) << "the damaged pictures up to the next IRAP are held back";
    ExpectGoodFrames(frames, kH265Format, 640, 480, 1000.0);
    // The clip's key frames come every 25 frames, 40 ms apart: after a hole in the times the
    // next frame delivered is a key frame.
    for (size_t i = 1; i < frames.size(); ++i) {
        const auto step =
            vornak::SystemTimeToTime(frames[i].time) - vornak::SystemTimeToTime(frames[i - 1].time);
        if (step > 200 * 10000) {
            EXPECT_EQ(frames[i].fourcc, vornak::kFourCCH265) << "delivery resumed at frame " << i;
        }
    }
    const std::string file = WriteStream(frames, kH265Format, "h265-loss");
    EXPECT_EQ(DecodeErrors(file), "");
    std::filesystem::remove(file);
}

INSTANTIATE_TEST_SUITE_P(Packets, H265LossTest, ::testing::Values(3u, 70u));

}  // namespace
}  // namespace quillon::test
