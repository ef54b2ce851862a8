#include "channels/rtsp_channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>

#include "fake_host.h"
#include "parsers/parser_test_support.h"

namespace vornak {
namespace {

MediaPathInput Input(uint32_t codec, uint16_t api, VideoCaptureRequest request) {
    MediaPathInput in;
    in.codec = codec;
    in.apiVersion = api;
    in.request = request;
    in.resolutionText = Format("%ux%u", request.width, request.height);
    return in;
}

TEST(RtspMediaPathTest, Generations) {
    EXPECT_EQ(RtspMediaPath(Input(kCodecH264, 3, {0x7019, 70, 1280, 720, 0})),
              "/axis-media/media.amp?videocodec=h264&resolution=1280x720&compression=30&"
              "videobitrate=0&fps=25&videokeyframeinterval=25&duration=0&audio=0");
    EXPECT_EQ(RtspMediaPath(Input(kCodecH264, 3, {0, 0, 640, 480, 1})),
              "/axis-media/media.amp?videocodec=h264&resolution=640x480&compression=100&"
              "videobitrate=0&duration=0&audio=0")
        << "quality 0 asks for compression 100";
    EXPECT_EQ(RtspMediaPath(Input(kCodecH264, 3, {0, 0, 0, 0, 1})),
              "/axis-media/media.amp?videocodec=h264&compression=100&videobitrate=0&duration=0&"
              "audio=0")
        << "no size asks for the camera's default, not 0x0";
    MediaPathInput mpeg4 = Input(kCodecMpeg4, 2, {0x7019, 70, 1280, 720, 0});
    mpeg4.channel = 1;
    EXPECT_EQ(RtspMediaPath(mpeg4), "/mpeg4/2/media.amp");
    EXPECT_EQ(RtspMediaPath(Input(kCodecH264, 2, {0x7019, 70, 1280, 720, 0})),
              "/axis-media/media.amp?videocodec=h264");
}

TEST(RtspMediaPathTest, CameraNumber) {
    MediaPathInput server = Input(kCodecMpeg4, 3, {0, 50, 352, 288, 1});
    server.videoInputs = 3;
    server.channel = 2;
    server.streamCamera = 1;
    EXPECT_EQ(RtspMediaPath(server),
              "/axis-media/media.amp?videocodec=mpeg4&resolution=352x288&compression=50&"
              "videobitrate=0&camera=3&duration=0&audio=0")
        << "a video server names the input, whatever the stream cameras say";
    MediaPathInput single = Input(kCodecH264, 3, {0, 50, 352, 288, 1});
    single.streamCamera = 2;
    EXPECT_NE(RtspMediaPath(single).find("&camera=2&duration=0"), std::string::npos);
}

TEST(ParameterUpdateAcceptedTest, CameraAnswers) {
    struct Case {
        uint32_t status;
        const char* reply;
        bool accepted;
        const char* reason;
    } cases[] = {
        {200, "OK\r\n", true, "the usual answer"},
        {200, "OK\n", true, "newer firmware ends lines with LF"},
        {204, "", true, "no body"},
        {200, "# Error: Error setting 'root.Image.I0.Stream.FPS' to '30'!\r\n", false,
         "a refused value comes in a 200 answer"},
        {200, "\r\n# Request failed\r\n", false, "a comment line without the word"},
        {200, "Error: unknown parameter\n", false, "the bare error form"},
        {400, "OK", false, "an error status whatever the body says"},
        {500, "", false, "server error"},
        {302, "", false, "not an answer of param.cgi"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParameterUpdateAccepted(c.status, c.reply), c.accepted) << c.reason;
    }
}

// The depacketizer behind the channel, open to the test.
class ExposedH264Channel : public CAxisCommonChannelRTSP {
  public:
    ExposedH264Channel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink)
        : CAxisCommonChannelRTSP(channel, driver, sink, *FindCodec(kCodecH264)) {}
    using CAxisCommonChannelRTSP::ResetParser;
};

TEST(RtspChannelPacketTest, OnlyTheCamerasSenderOfTheSessionIsDelivered) {
    quillon::host::DeviceSettings device;
    device.address = "127.0.0.1";
    test::OpenedDriver d(device);
    test::RecordingSink sink;
    ExposedH264Channel channel(0, &d.driver, &sink);
    sockaddr_in camera{};
    camera.sin_family = AF_INET;
    camera.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in stranger = camera;
    stranger.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    uint16_t sequence = 1;
    auto send = [&](const sockaddr_in& from, uint32_t ssrc) {
        CRTPPacket packet = test::MakePacket(sequence, sequence * 3600u, true,
                                             {0x65, 0x88, 0x84, 0xAA, 0xAA});  // IDR slice
        ++sequence;
        packet.ssrc = ssrc;
        channel.PacketReceived(from, packet);
    };
    struct Row {
        const sockaddr_in* from;
        uint32_t ssrc;
        bool newSession;
        size_t frames;
        const char* why;
    };
    const Row rows[] = {
        {&stranger, 1, false, 0, "off-path while the camera is quiet"},
        {&camera, 1, false, 1, "the first packet names the sender"},
        {&stranger, 1, false, 1, "off-path with the sender's SSRC"},
        {&camera, 2, false, 1, "another sender inside the session"},
        {&camera, 2, true, 2, "a new session without a BYE takes its sender at once"},
        {&camera, 1, false, 2, "the old session's sender is gone"},
    };
    SessionDescription description;
    description.parameterSets.sps = test::MakeSps({});
    description.parameterSets.pps = {0x68, 0xCE, 0x3C, 0x80};
    channel.OnRtspDescribeProcessed(description);
    for (const Row& row : rows) {
        if (row.newSession) {
            channel.OnRtspDescribeProcessed(description);
        }
        send(*row.from, row.ssrc);
        EXPECT_EQ(sink.FrameCount(), row.frames) << row.why;
    }
    // A settings update resets the depacketizer while the receiving thread feeds it.
    std::thread receiving([&] {
        for (int i = 0; i < 300; ++i) {
            send(camera, 2);
        }
    });
    for (int i = 0; i < 300; ++i) {
        channel.ResetParser();
    }
    receiving.join();
}

}  // namespace
}  // namespace vornak
