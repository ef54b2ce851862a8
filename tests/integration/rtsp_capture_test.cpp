// H.264, H.265 and MPEG-4 over RTSP through the library's exports, against camsim, for every RTP
// transport of the settings file and both authentication schemes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t kFps25 = 0x7019;
constexpr uint32_t kH264 = 0x34363248u;  // "H264"
constexpr uint32_t kDivx = 0x58564944u;  // "DIVX"

struct RtspCase {
    uint32_t format;  // 2 MPEG-4, 3 H.264, 4 H.265
    const char* mode;
    camsim::AuthSchemes auth;
    int seconds;
};

std::string CaseName(const ::testing::TestParamInfo<RtspCase>& info) {
    const uint32_t f = info.param.format;
    return std::string(f == 3   ? "H264"
                       : f == 4 ? "H265"
                                : "Mpeg4") +
           "_" + info.param.mode +
           (info.param.auth == camsim::AuthSchemes::kBasic ? "_Basic" : "_Digest") + "_" +
           std::to_string(info.param.seconds) + "s";
}

uint64_t FramesSent(const camsim::Counters& counters) {
    uint64_t frames = 0;
    for (const auto& stream : counters.streams) {
        frames += stream.frames;
    }
    return frames;
}

// Beyond the common checks, a long run's steps between frames stay on the 40 ms interval once
// the clock has settled after 100 frames.
void ExpectGoodStream(const Frames& frames, uint32_t format, bool judgeSteps) {
    ExpectGoodFrames(frames, format, 640, 480, 100.0);
    // A frame the scheduler delivers late is stamped at its arrival, so on a busy machine a few
    // steps stretch; the clock itself must not wander.
    size_t uneven = 0;
    size_t steps = 0;
    std::string unevenSteps;
    for (size_t i = 101; judgeSteps && i < frames.size(); ++i) {
        const double stepMs = static_cast<double>(vornak::SystemTimeToTime(frames[i].time) -
                                                  vornak::SystemTimeToTime(frames[i - 1].time)) /
                              10000.0;
        ++steps;
        if (std::fabs(stepMs - 40.0) > 5.0) {
            ++uneven;
            unevenSteps += " " + std::to_string(i) + ":" + std::to_string(stepMs);
        }
    }
    EXPECT_LE(uneven, std::max<size_t>(1, steps / 50))
        << "steps off the 40 ms frame interval by more than 5 ms:" << unevenSteps;
    const std::string file = WriteStream(frames, format, "rtsp");
    EXPECT_EQ(DecodeErrors(file), "");
    std::filesystem::remove(file);
}

class RtspCaptureTest : public ::testing::TestWithParam<RtspCase> {};

TEST_P(RtspCaptureTest, DeliversEveryFrameTheCameraSent) {
    const RtspCase& c = GetParam();
    Camera camera(CamsimSetup{"fixed", c.auth, c.auth});
    ASSERT_TRUE(camera.started) << camera.error;
    ScopedDeviceSection section(camera.sim.HttpPort(),
                                std::string("<RTPMode>") + c.mode + "</RTPMode>");
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(3000));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(c.format, 640, 480, kFps25, 50);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 15s)) << "no frame arrived";
    std::this_thread::sleep_for(std::chrono::seconds(c.seconds));
    ASSERT_TRUE(driver.Capture()->StopCapture(0));
    const camsim::Counters counters = camera.sim.GetCounters();

    const Frames frames = sink.Frames();
    const uint64_t sent = FramesSent(counters);
    // The one frame on the wire when the session was torn down may be missing.
    EXPECT_GE(frames.size() + 1, sent);
    EXPECT_LE(frames.size(), sent);
    ExpectGoodStream(frames, c.format, c.seconds >= 20);
    ASSERT_FALSE(counters.streams.empty());
    const std::string expected = std::string(c.mode) == "RTPoverRTSP"   ? "tcp"
                                 : std::string(c.mode) == "RTPoverHTTP" ? "http"
                                                                        : "udp";
    EXPECT_EQ(counters.streams.back().transport, expected);
    EXPECT_EQ(driver.allocator.Outstanding(), 0);
}

constexpr camsim::AuthSchemes kBasic = camsim::AuthSchemes::kBasic;
constexpr camsim::AuthSchemes kDigest = camsim::AuthSchemes::kDigest;

// Every codec over every RTP mode of the settings file with both schemes, a few seconds each;
// one long run gives the clock checks after frame 100 enough frames to mean something. Even
// frame spacing under jitter is the timestamp converter's unit test.
std::vector<RtspCase> AllCases() {
    std::vector<RtspCase> cases{{3, "RTPoverUDP", kDigest, 20}};
    for (uint32_t format : {3u, 4u, 2u}) {
        for (const char* mode : {"RTPoverUDP", "RTPoverTCP", "RTPoverRTSP", "RTPoverHTTP"}) {
            for (camsim::AuthSchemes auth : {kDigest, kBasic}) {
                cases.push_back(RtspCase{format, mode, auth, 3});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Transports, RtspCaptureTest, ::testing::ValuesIn(AllCases()), CaseName);

// A lost packet must not put a damaged picture in front of the host: delivery stops until the
// next key frame.
class RtspLossTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(RtspLossTest, NoDamagedPictureAfterALostPacket) {
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camsim::RtpFaultPlan plan;
    plan.drop = {GetParam()};
    camera.sim.SetRtpFaults(plan);
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(3000));
    ASSERT_TRUE(driver.opened);
    RecordingSink sink;
    FakeSettings settings(3, 640, 480, kFps25, 50);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    // Three key-frame intervals of 25 frames.
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 60; }, 15s));
    ASSERT_TRUE(driver.Capture()->StopCapture(0));
    EXPECT_EQ(driver.logger.Count("packets, 1 gaps,"), 1u) << "the session's report names the gap";
    const Frames frames = sink.Frames();
    const uint64_t sent = FramesSent(camera.sim.GetCounters());
    EXPECT_LT(frames.size() + 1, sent) << "the damaged group of pictures is held back";
    EXPECT_EQ(frames[0].fourcc, kH264);
    // After a gap in the delivered frames, the next one is a key frame. A late frame stretches
    // one step only, then the frames are back on the clock; a gap stays open five steps on.
    const auto ms = [&](size_t i) {
        return static_cast<double>(vornak::SystemTimeToTime(frames[i].time)) / 10000.0;
    };
    for (size_t i = 1; i + 4 < frames.size(); ++i) {
        if (ms(i) - ms(i - 1) > 60.0 && ms(i + 4) - ms(i - 1) > 5 * 40.0 + 20.0) {
            EXPECT_EQ(frames[i].fourcc, kH264) << "delivery resumed at frame " << i;
        }
    }
    const std::string file = WriteStream(frames, 3, "rtsp-loss");
    EXPECT_EQ(DecodeErrors(file), "");
    std::filesystem::remove(file);
}

// Packet 3 lies inside the first key frame; packet 70 inside a later predicted frame.
INSTANTIATE_TEST_SUITE_P(Packets, RtspLossTest, ::testing::Values(3u, 70u));

}  // namespace
}  // namespace quillon::test
