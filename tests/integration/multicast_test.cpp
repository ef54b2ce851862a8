// Multicast video and audio through the library's exports against camsim, each test in a
// private network (private_network.h).
#include "audio/audio_format.h"
#include "audio_session.h"
#include "driver_harness.h"
#include "private_network.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t kMulticastFps25 = 0x7019;

size_t CamsimRequestsContaining(camsim::Simulator& sim, const std::string& part) {
    size_t n = 0;
    for (const std::string& target : sim.HttpRequestLog()) {
        n += target.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

// The group of the profile with that name, or "" (camsim's database, as the camera holds it).
std::string CamsimProfileGroupNamed(camsim::Simulator& sim, const std::string& name) {
    for (const auto& [key, value] : sim.Params().GroupEntries("StreamProfile")) {
        if (key.ends_with(".Name") && value == name) {
            return key.substr(0, key.size() - 5);
        }
    }
    return "";
}

struct MulticastCapture {
    explicit MulticastCapture(Camera& camera, uint32_t width = 320, uint32_t height = 240)
        : driver(camera.sim.HttpPort(), FixedCameraParameters(1000)),
          settings(3, width, height, kMulticastFps25, 70) {}
    bool Start() { return driver.opened && driver.Capture()->StartCapture(0, &sink, &settings); }
    bool FramesArrive(size_t count, std::chrono::milliseconds limit = 20s) {
        const size_t before = sink.FrameCount();
        return WaitFor([&] { return sink.FrameCount() >= before + count; }, limit);
    }
    DriverUnderTest driver;
    RecordingSink sink;
    FakeSettings settings;
};

void ExpectMulticastDecodes(const Frames& frames, uint32_t width, uint32_t height) {
    ExpectGoodFrames(frames, 3, width, height, 1000.0);
    const std::string file = WriteStream(frames, 3, "multicast");
    EXPECT_EQ(DecodeErrors(file), "");
    std::filesystem::remove(file);
}

// The primary client creates its profile, streams, and comes back after the camera restarts;
// a second start finds the profile as it must be and changes nothing.
TEST(MulticastVideo, CreatesItsProfileStreamsAndReconnects) {
    RUN_IN_PRIVATE_NETWORK();
    WritePrivateSettings("multicast primary");
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    {
        MulticastCapture capture(camera);
        ASSERT_TRUE(capture.Start());
        ASSERT_TRUE(capture.FramesArrive(25)) << "no multicast frames";
        const std::string group = CamsimProfileGroupNamed(camera.sim, "Vorn01Rec");
        ASSERT_FALSE(group.empty()) << "profile not created";
        EXPECT_EQ(camera.sim.Params().Get(group + ".Parameters").value_or(""),
                  "resolution=320x240&compression=30&videobitrate=0&fps=25&"
                  "videokeyframeinterval=25&videocodec=h264");
        EXPECT_EQ(camera.sim.Params().Get(group + ".Description").value_or(""),
                  "Multicast profile for Recording stream (created by Vornak VMS)");

        camera.sim.Restart(1500ms);
        EXPECT_TRUE(capture.FramesArrive(50, 30s)) << "no frames after the camera restarted";
        ASSERT_TRUE(capture.driver.Capture()->StopCapture(0));
        ExpectMulticastDecodes(capture.sink.Frames(), 320, 240);
        EXPECT_EQ(capture.driver.allocator.Outstanding(), 0);
    }
    const size_t adds = CamsimRequestsContaining(camera.sim, "action=add");
    MulticastCapture again(camera);
    ASSERT_TRUE(again.Start());
    ASSERT_TRUE(again.FramesArrive(5));
    EXPECT_EQ(CamsimRequestsContaining(camera.sim, "action=add"), adds);
    EXPECT_EQ(CamsimRequestsContaining(camera.sim, "action=update&StreamProfile"), 0u)
        << "the profile needed no update";
}

// Another sender on the same group and port: only the one that started at this session's PLAY
// time reaches the host (the other streams another size).
TEST(MulticastVideo, TakesOnlyItsOwnSenderFromTheGroup) {
    RUN_IN_PRIVATE_NETWORK();
    WritePrivateSettings("multicast primary");
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.SetParam("Network.RTP.R0.VideoPort", "50010");
    ASSERT_TRUE(camera.sim.AddMulticastSender("videocodec=h264&resolution=640x480"));
    MulticastCapture capture(camera);
    ASSERT_TRUE(capture.Start());
    ASSERT_TRUE(capture.FramesArrive(50));
    ASSERT_TRUE(capture.driver.Capture()->StopCapture(0));
    ExpectMulticastDecodes(capture.sink.Frames(), 320, 240);
}

struct MulticastRefusalCase {
    const char* why;
    const char* mode;
    const char* profile;  // named in the settings file; "" for the default
    const char* maxGroups;
    const char* rtspEnabled;
    const char* expectedLine;  // "" when the stream must run
    const char* request;       // sent exactly this often
    size_t times;
};

class MulticastRefusalTest : public ::testing::TestWithParam<MulticastRefusalCase> {};

TEST_P(MulticastRefusalTest, LogsAndKeepsTheCameraAsItIs) {
    RUN_IN_PRIVATE_NETWORK();
    const MulticastRefusalCase& c = GetParam();
    WritePrivateSettings(c.mode, std::string("<Default><MulticastProfiles><Profile channel=\"1\" "
                                             "streamType=\"recording\">") +
                                     c.profile + "</Profile></MulticastProfiles></Default>");
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.SetParam("StreamProfile.MaxGroups", c.maxGroups);
    camera.sim.SetParam("Network.RTSP.Enabled", c.rtspEnabled);
    MulticastCapture capture(camera);
    ASSERT_TRUE(capture.Start());
    if (std::string(c.expectedLine).empty()) {
        EXPECT_TRUE(capture.FramesArrive(10)) << c.why;
    } else {
        EXPECT_TRUE(WaitFor([&] { return capture.driver.logger.Count(c.expectedLine) > 0; }, 15s))
            << c.why;
        // The retries are at least two seconds apart.
        std::this_thread::sleep_for(3s);
        EXPECT_LE(capture.driver.logger.Count(c.expectedLine), 3u) << c.why;
        EXPECT_EQ(capture.sink.FrameCount(), 0u) << c.why;
    }
    EXPECT_EQ(CamsimRequestsContaining(camera.sim, c.request), c.times) << c.why;
    ASSERT_TRUE(capture.driver.Capture()->StopCapture(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MulticastRefusalTest,
    ::testing::Values(MulticastRefusalCase{"a full profile table: the limit message and no add",
                                           "multicast primary", "", "1", "yes",
                                           "already has 1 profiles created", "action=add", 0},
                      MulticastRefusalCase{
                          "RTSP off, and only the primary client may change the camera",
                          "multicast", "Quality", "20", "no", "RTSP support is disabled on",
                          "Network.RTSP.Enabled=yes", 0},
                      MulticastRefusalCase{
                          "RTSP off with permission: enabled once, and the stream runs",
                          "multicast primary", "", "20", "no", "", "Network.RTSP.Enabled=yes", 1}),
    [](const auto& info) { return std::to_string(info.index); });

struct MulticastAudioRig {
    explicit MulticastAudioRig(Camera& camera)
        : driver(camera.sim.HttpPort(), Parameters()),
          capture(driver.opened ? driver.Driver()->GetAudioCapture() : nullptr) {}
    static std::map<uint32_t, std::string> Parameters() {
        auto parameters = FixedCameraParameters(1000);
        parameters[6] = "g711";
        parameters[101] = "Count=1; IsStereo=0";
        return parameters;
    }
    bool Start() {
        return capture != nullptr &&
               capture->StartCapture(0, reinterpret_cast<void*>(uintptr_t{7}), &in, &codecs);
    }
    DriverUnderTest driver;
    host::IIPAudioCapture2* capture;
    host::HostAudioCodecs codecs;
    host::AudioInRecorder in;
};

// The primary client sets the camera up, creates the audio profile, and every 250 ms frame of
// the camera's sender decodes; another sender on the audio group stays out.
TEST(MulticastAudio, DeliversTheCamerasAudio) {
    RUN_IN_PRIVATE_NETWORK();
    WritePrivateSettings("multicast primary");
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.SetParam("Network.RTP.R0.AudioPort", "50020");
    ASSERT_TRUE(camera.sim.AddMulticastSender("audio=1"));
    MulticastAudioRig rig(camera);
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(WaitFor([&] { return rig.in.Frames().size() >= 12; }, 20s)) << "no audio frames";
    EXPECT_TRUE(rig.capture->StopCapture(0));
    EXPECT_FALSE(CamsimProfileGroupNamed(camera.sim, "Vorn01Audio").empty());
    for (const auto& frame : rig.in.Frames()) {
        EXPECT_EQ(frame.codec, vornak::kCodecG711Mu);
        EXPECT_EQ(frame.size, 2000u);
        EXPECT_EQ(frame.sampleRate, 8000u);
    }
    // camsim's samples are a sweep that steps every 40 bytes: a lost or foreign packet breaks it.
    const std::vector<uint8_t> bytes = rig.in.Bytes();
    size_t breaks = 0;
    for (size_t i = 1; i < bytes.size(); ++i) {
        const int step = (bytes[i] - bytes[i - 1] + 256) % 256;
        breaks += (step == 0 || step == 1 || bytes[i] == 0x80) ? 0 : 1;
    }
    EXPECT_EQ(breaks, 0u);
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("multicast-audio-" + std::to_string(::getpid()) + ".ul"))
                                 .string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    EXPECT_EQ(DecodeErrors(file, "mulaw"), "");
    std::filesystem::remove(file);
}

// A camera that refuses the audio session is asked again every two seconds, not every wake of
// the loop.
TEST(MulticastAudio, ARefusingCameraIsAskedEveryTwoSeconds) {
    RUN_IN_PRIVATE_NETWORK();
    WritePrivateSettings("multicast");
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.SetParam("Network.RTSP.Enabled", "no");
    MulticastAudioRig rig(camera);
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(WaitFor(
        [&] { return rig.driver.logger.Count("The RTSP multicast audio streaming cannot") > 0; },
        10s));
    const size_t first = CamsimRequestsContaining(camera.sim, "group=StreamProfile,Network.RTSP");
    std::this_thread::sleep_for(4s);
    const size_t later = CamsimRequestsContaining(camera.sim, "group=StreamProfile,Network.RTSP");
    EXPECT_GE(later - first, 1u) << "it keeps trying";
    EXPECT_LE(later - first, 3u) << "at most one attempt every two seconds";
    EXPECT_TRUE(rig.in.Frames().empty());
    EXPECT_TRUE(rig.capture->StopCapture(0));
}

}  // namespace
}  // namespace quillon::test
