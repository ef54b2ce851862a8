// The driver's RTSP capture against GStreamer's RTSP server, a server we did not write: camsim
// answers the camera's HTTP API and names the GStreamer server's port as Network.RTSP.Port, so
// the channel's session goes there. H.264 (rtph264pay), H.265 (rtph265pay, with and without
// aggregation packets) and MPEG-4 (rtpmp4vpay) run through the library's exports; no RTSP channel
// of the driver takes JPEG, so the RTP/JPEG depacketizer gets rtpjpegpay's packets straight from
// the RTSP client. What arrives must decode with FFmpeg without a single error.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "../unit/parsers/parser_test_support.h"
#include "gst_rtsp_server.h"
#include "integration/driver_harness.h"
#include "interop/peers.h"
#include "parsers/jpeg_parser.h"
#include "rtsp/rtcp_handler.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp/rtsp_transports.h"
#include "rtsp_stream_user.h"

namespace quillon::test {
namespace {

using vornak::interop::CGstServer;
using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t kFps25 = 0x7019;
// 180 lines are not a whole number of macroblocks: the H.264 stream carries a cropping window.
constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 180;
constexpr auto kCaptureTime = 3s;
// The server ignores the query; it matches the channel's path without it.
constexpr const char* kMediaMount = "/axis-media/media.amp";

// Pictures FFprobe decodes from the file; -1 when it could not say.
long DecodedFrameCount(const std::string& path, const std::string& inputFormat) {
    std::vector<std::string> argv = {"ffprobe", "-v", "error", "-count_frames", "-of", "csv=p=0"};
    if (!inputFormat.empty()) {
        argv.insert(argv.end(), {"-f", inputFormat});
    }
    argv.insert(argv.end(), {"-select_streams", "v:0", "-show_entries", "stream=nb_read_frames"});
    argv.push_back(path);
    const ::interop::ToolResult r = ::interop::RunTool(argv, 60);
    return r.exit_code == 0 ? std::strtol(r.output.c_str(), nullptr, 10) : -1;
}

// The written stream decodes without an error into as many pictures as frames were delivered.
void ExpectDecodes(const std::string& path, size_t frames, const std::string& inputFormat) {
    EXPECT_EQ(DecodeErrors(path, inputFormat), "");
    EXPECT_EQ(DecodedFrameCount(path, inputFormat), static_cast<long>(frames));
    std::filesystem::remove(path);
}

struct Codec {
    const char* name;  // the server's --codec
    uint32_t format;   // the host's video format code
    uint32_t keyFourcc;
    const char* fileFormat;  // FFmpeg's name of the elementary stream
};

constexpr Codec kH264{"h264", 3, vornak::kFourCCH264, "h264"};
constexpr Codec kMpeg4{"mpeg4", 2, vornak::kFourCCDivx, "m4v"};
constexpr Codec kH265{"h265", 4, vornak::kFourCCH265, "hevc"};
constexpr Codec kH265Single{"h265_single", 4, vornak::kFourCCH265, "hevc"};

struct DriverCase {
    Codec codec;
    const char* mode;           // RTPMode of the settings file
    const char* auth;           // the server's --auth; camsim asks for the same scheme
    bool packPictures = false;  // several MPEG-4 pictures in one RTP packet
};

std::string DriverCaseName(const DriverCase& c) {
    return std::string(c.codec.name) + "_" + c.mode + "_" + c.auth +
           (c.packPictures ? "_packed" : "");
}

void PrintTo(const DriverCase& c, std::ostream* os) {
    *os << DriverCaseName(c);
}

camsim::AuthSchemes CamsimAuth(const std::string& auth) {
    return auth == "basic"    ? camsim::AuthSchemes::kBasic
           : auth == "digest" ? camsim::AuthSchemes::kDigest
                              : camsim::AuthSchemes::kNone;
}

// maxLagMs: how far a frame's time may be from its arrival; a server that packs pictures holds
// them until its packet is full.
void ExpectGoodStream(const Frames& frames, const Codec& codec, double maxLagMs) {
    ASSERT_GE(frames.size(), 50u) << "about 75 frames in 3 s at 25 frames a second";
    ExpectGoodFrames(frames, codec.format, kWidth, kHeight, maxLagMs);
    const size_t keyFrames = static_cast<size_t>(std::count_if(
        frames.begin(), frames.end(), [&](const auto& f) { return f.fourcc == codec.keyFourcc; }));
    ::testing::Test::RecordProperty("frames", static_cast<int>(frames.size()));
    ::testing::Test::RecordProperty("key_frames", static_cast<int>(keyFrames));
    // One key frame a second; frames between them must not be taken for key frames.
    EXPECT_GE(keyFrames, 2u);
    EXPECT_LE(keyFrames, frames.size() / 25 + 2);
    const double spanMs = static_cast<double>(vornak::SystemTimeToTime(frames.back().time) -
                                              vornak::SystemTimeToTime(frames.front().time)) /
                          10000.0;
    EXPECT_NEAR(spanMs / static_cast<double>(frames.size() - 1), 40.0, 2.0)
        << "the stream's clock runs at its frame rate";
    ExpectDecodes(WriteStream(frames, codec.format, "gst"), frames.size(), codec.fileFormat);
}

class DriverGStreamerTest : public ::testing::TestWithParam<DriverCase> {};

TEST_P(DriverGStreamerTest, CapturedStreamDecodesCleanly) {
    const DriverCase& c = GetParam();
    CGstServer server;
    // The server offers only the transport the mode must ask for, so a wrong one fails SETUP.
    const bool interleaved = std::string(c.mode) == "RTPoverRTSP";
    std::vector<std::string> options = {
        "--codec",     c.codec.name,
        "--mount",     kMediaMount,
        "--size",      std::to_string(kWidth) + "x" + std::to_string(kHeight),
        "--protocols", interleaved ? "tcp" : "udp",
        "--auth",      c.auth};
    if (c.packPictures) {
        options.emplace_back("--pack-pictures");
    }
    const std::string failure = server.Start(options);
    if (!failure.empty()) {
        GTEST_SKIP() << "GStreamer's RTSP server is not usable here: " << failure;
    }
    const camsim::AuthSchemes auth = CamsimAuth(c.auth);
    Camera camera(CamsimSetup{"fixed", auth, auth});
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.Params().Set("Network.RTSP.Port", std::to_string(server.Port()));
    ScopedDeviceSection section(camera.sim.HttpPort(),
                                std::string("<RTPMode>") + c.mode + "</RTPMode>");
    DriverUnderTest driver(camera.sim.HttpPort(), FixedCameraParameters(3000));
    ASSERT_TRUE(driver.opened) << driver.loadError;

    RecordingSink sink;
    FakeSettings settings(c.codec.format, kWidth, kHeight, kFps25, 50);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 1; }, 15s)) << "no frame arrived";
    std::this_thread::sleep_for(kCaptureTime);
    ASSERT_TRUE(driver.Capture()->StopCapture(0));

    const camsim::Counters counters = camera.sim.GetCounters();
    EXPECT_TRUE(counters.rtsp_requests.empty()) << "the session went to the camera's own server";
    EXPECT_GE(counters.http_requests.count("/axis-cgi/admin/param.cgi"), 1u);
    EXPECT_EQ(sink.signalLost, 0);
    ExpectGoodStream(sink.Frames(), c.codec, c.packPictures ? 1000.0 : 250.0);
    EXPECT_EQ(driver.allocator.Outstanding(), 0);
}

// "RTPoverHTTP" tunnels RTSP through the camera's web server, which is camsim here, so it cannot
// reach another server. "RTPoverTCP" asks for the same UDP transport as "RTPoverUDP". Each codec
// meets each transport and each scheme once; packed pictures once per transport kind.
INSTANTIATE_TEST_SUITE_P(Transports, DriverGStreamerTest,
                         ::testing::Values(DriverCase{kH264, "RTPoverUDP", "digest"},
                                           DriverCase{kH264, "RTPoverTCP", "basic"},
                                           DriverCase{kH264, "RTPoverRTSP", "none"},
                                           DriverCase{kH265, "RTPoverUDP", "digest"},
                                           DriverCase{kH265Single, "RTPoverRTSP", "basic"},
                                           DriverCase{kMpeg4, "RTPoverUDP", "basic"},
                                           DriverCase{kMpeg4, "RTPoverTCP", "digest"},
                                           DriverCase{kMpeg4, "RTPoverRTSP", "none"},
                                           DriverCase{kMpeg4, "RTPoverUDP", "none", true},
                                           DriverCase{kMpeg4, "RTPoverRTSP", "digest", true}),
                         [](const ::testing::TestParamInfo<DriverCase>& info) {
                             return DriverCaseName(info.param);
                         });

struct JpegCase {
    const char* transport;  // udp or tcp (interleaved)
    const char* auth;
};

void PrintTo(const JpegCase& c, std::ostream* os) {
    *os << c.transport << "_" << c.auth;
}

class JpegGStreamerTest : public ::testing::TestWithParam<JpegCase> {};

TEST_P(JpegGStreamerTest, DepacketizedPicturesDecodeCleanly) {
    const JpegCase& c = GetParam();
    // Picture sizes of RTP/JPEG are whole 8-pixel blocks.
    constexpr uint32_t kJpegWidth = 320;
    constexpr uint32_t kJpegHeight = 240;
    CGstServer server;
    const std::string failure =
        server.Start({"--codec", "jpeg", "--mount", kMediaMount, "--size",
                      std::to_string(kJpegWidth) + "x" + std::to_string(kJpegHeight), "--protocols",
                      c.transport, "--auth", c.auth});
    if (!failure.empty()) {
        GTEST_SKIP() << "GStreamer's RTSP server is not usable here: " << failure;
    }
    vornak::interop::CPrintingDebug debug;
    vornak::test::CStreamUser user;
    vornak::test::ParserRig<vornak::CJpegRTPMediaParser> rig;
    std::mutex mutex;  // read by the test while packets arrive
    user.onPacket = [&](const vornak::CRTPPacket& packet) {
        std::lock_guard lock(mutex);
        rig.parser.ProcessPacket(packet);
    };
    vornak::CRTPReceiver receiver(&debug);
    receiver.SetUser(&user);
    vornak::CRTCPHandler rtcp(&debug);
    vornak::RTSPClientSettings settings;
    settings.host = "127.0.0.1";
    settings.port = server.Port();
    settings.path = std::string(kMediaMount) + "?videocodec=jpeg&resolution=320x240";
    settings.userName = "root";
    settings.password = "pass";
    std::unique_ptr<vornak::CBaseRTSPClient> client;
    ASSERT_TRUE(
        vornak::test::StartClient(c.transport, settings, user, receiver, rtcp, &debug, client));
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard lock(mutex);
            return !rig.client.frames.empty();
        },
        15s))
        << "no picture arrived";
    std::this_thread::sleep_for(kCaptureTime);
    client->Stop();
    receiver.Close();
    rtcp.Close();

    EXPECT_EQ(user.encoding, "JPEG/90000");
    const auto& frames = rig.client.frames;
    ::testing::Test::RecordProperty("frames", static_cast<int>(frames.size()));
    ASSERT_GE(frames.size(), 50u);
    EXPECT_EQ(rig.parser.Stats().malformed, 0u);
    EXPECT_EQ(rig.parser.Stats().framesDropped, 0u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].fourcc, vornak::kFourCCJpeg) << "frame " << i;
        EXPECT_EQ(frames[i].width, kJpegWidth) << "frame " << i;
        EXPECT_EQ(frames[i].height, kJpegHeight) << "frame " << i;
    }
    // One picture per 40 ms of the 90 kHz clock, in order.
    const auto& stamps = rig.client.converted;
    ASSERT_EQ(stamps.size(), frames.size());
    for (size_t i = 1; i < stamps.size(); ++i) {
        EXPECT_EQ(static_cast<uint32_t>(stamps[i] - stamps[i - 1]), 3600u) << "picture " << i;
    }
    Frames pictures(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        pictures[i].data = frames[i].data;
    }
    ExpectDecodes(WriteFrames(pictures, "gst.mjpeg"), frames.size(), "mjpeg");
}

INSTANTIATE_TEST_SUITE_P(Transports, JpegGStreamerTest,
                         ::testing::Values(JpegCase{"udp", "none"}, JpegCase{"tcp", "digest"}),
                         [](const ::testing::TestParamInfo<JpegCase>& info) {
                             return std::string(info.param.transport) + "_" + info.param.auth;
                         });

}  // namespace
}  // namespace quillon::test
