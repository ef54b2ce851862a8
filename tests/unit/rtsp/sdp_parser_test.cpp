#include "rtsp/sdp_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace vornak {
namespace {

// The documented H.264 + AAC description of a camera.
constexpr const char* kCameraSdp =
    "v=0\r\n"
    "o=- 1216212527554872 1216212527554872 IN IP4 myserver\r\n"
    "s=Media Presentation\r\n"
    "c=IN IP4 0.0.0.0\r\n"
    "t=0 0\r\n"
    "a=control:rtsp://myserver/axis-media/media.amp?videocodec=h264\r\n"
    "m=video 0 RTP/AVP 96\r\n"
    "a=control:rtsp://myserver/axis-media/media.amp/trackID=1?videocodec=h264\r\n"
    "a=rtpmap:96 H264/90000\r\n"
    "a=fmtp:96 packetization-mode=1; profile-level-id=420029; "
    "sprop-parameter-sets=Z0IAKeKQFAe2AtwEBAaQeJEV,aM48gA==\r\n"
    "m=audio 0 RTP/AVP 97\r\n"
    "a=control:rtsp://myserver/axis-media/media.amp/trackID=2?videocodec=h264\r\n"
    "a=rtpmap:97 mpeg4-generic/16000/1\r\n"
    "a=fmtp:97 profile-level-id=15; mode=AAC-hbr;config=1408; SizeLength=13\r\n";

TEST(SDPParserTest, CameraDescription) {
    SessionDescription d;
    ASSERT_TRUE(CSDPResponseParser::Parse(kCameraSdp, d));
    EXPECT_EQ(d.video.control, "rtsp://myserver/axis-media/media.amp/trackID=1?videocodec=h264");
    EXPECT_EQ(d.video.payloadType, 96);
    EXPECT_EQ(d.video.encoding, "H264/90000");
    EXPECT_EQ(d.video.transport, "RTP/AVP");
    EXPECT_EQ(d.audio.encoding, "mpeg4-generic/16000/1");
    EXPECT_EQ(d.audio.payloadType, 97);
    // Z0IAKeKQFAe2AtwEBAaQeJEV: 18 bytes starting with the SPS NAL header 0x67.
    ASSERT_EQ(d.parameterSets.sps.size(), 18u);
    EXPECT_EQ(d.parameterSets.sps[0], 0x67);
    EXPECT_EQ(d.parameterSets.pps, (std::vector<uint8_t>{0x68, 0xCE, 0x3C, 0x80}));
    EXPECT_TRUE(d.parameterSets.config.empty()) << "audio config does not go into the video config";
}

TEST(SDPParserTest, Variants) {
    struct Row {
        std::string sdp;
        bool ok;
        const char* reason;
    };
    const Row rows[] = {
        {"", false, "empty body"},
        {"v=0\nm=video 0 RTP/AVP 96\na=control:x\n", true, "bare LF line ends"},
        {"v=0\r\nm=video 0 RTP/AVP 96\r\na=control:\r\n", false, "empty control"},
        {"v=0\r\nm=video 0 RTP/AVP 96\r\na=controlx\r\n", false, "control without ':'"},
        {"v=0\r\na=fmtp:96 config=00\r\n", false, "fmtp before any media"},
        {"m=video 0 RTP/AVP 96\r\na=fmtp:96 packetization-mode=1\r\n", false,
         "video fmtp without parameter sets or config"},
        {"m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=Z0IA\r\n", false,
         "one parameter set only"},
        {"m=audio 0 RTP/AVP 0\r\na=fmtp:0 anything\r\n", true, "audio fmtp is not read"},
        {"m=video 0 RTP/AVP 96\r\nc=IN IP6 ::1\r\n", true, "IPv6 connection passes"},
        {"m=video 0 RTP/AVP 96\r\nc=IN IP4\r\n", false, "connection with two words"},
        {"m=video 0 RTP/AVP 96\r\nc=IN ATM x\r\n", false, "unknown address type"},
        {"m=video 0 RTP/AVP 96\r\na=rtpmap:96\r\n", false, "rtpmap with one word"},
        {"m=\r\n", false, "empty media line"},
        {"m=video\r\n", true, "media line with one word"},
        {"m=video 0 RTP/AVP 96\r\na=sendonly\r\na=fmtp:96 config=00\r\n", false,
         "fmtp after sendonly has no kind"},
        {"m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=" + std::string(400, 'A') +
             ",aM48gA==\r\n",
         false, "300 bytes decoded, more than a parameter set may hold"},
    };
    for (const Row& row : rows) {
        SessionDescription d;
        EXPECT_EQ(CSDPResponseParser::Parse(row.sdp, d), row.ok) << row.reason;
    }
}

TEST(SDPParserTest, MediaLineRtpmapAndMulticastConnection) {
    SessionDescription d;
    ASSERT_TRUE(CSDPResponseParser::Parse(
        "m=video 0 RTP/AVP 96\r\na=rtpmap:97 H264/90000\r\na=control:t\r\n", d));
    EXPECT_EQ(d.video.port, 0);
    EXPECT_EQ(d.video.connectionAddress, "");
    EXPECT_EQ(d.video.transport, "RTP/AVP");
    EXPECT_EQ(d.video.payloadType, 97) << "rtpmap replaces the payload type of the m= line";
    EXPECT_EQ(d.video.encoding, "H264/90000");
    ASSERT_TRUE(CSDPResponseParser::Parse(
        "m=video 50000 RTP/AVP 96\r\nc=IN IP4 239.225.149.138/0\r\na=control:v\r\n", d));
    EXPECT_EQ(d.video.port, 50000);
    EXPECT_EQ(d.video.connectionAddress, "239.225.149.138");
}

TEST(SDPParserTest, SectionSelection) {
    SessionDescription d;
    ASSERT_TRUE(
        CSDPResponseParser::Parse("m=video 0 RTP/AVP 96\r\na=control:first\r\n"
                                  "m=video 0 RTP/AVP 97\r\na=control:second\r\n",
                                  d));
    EXPECT_EQ(d.video.control, "first") << "the first video section with a control stays";

    ASSERT_TRUE(
        CSDPResponseParser::Parse("m=video 0 RTP/AVP 96\r\n"
                                  "m=video 0 RTP/AVP 97\r\na=control:second\r\n",
                                  d));
    EXPECT_EQ(d.video.control, "second") << "a section without control gives way";

    ASSERT_TRUE(
        CSDPResponseParser::Parse("m=video 0 RTP/AVP 96\r\na=control:v\r\na=sendonly\r\n", d));
    EXPECT_TRUE(d.video.control.empty()) << "a sendonly section is dropped";

    ASSERT_TRUE(CSDPResponseParser::Parse(
        "m=application 0 RTP/AVP 98\r\na=rtpmap:98 vnd.onvif.metadata/90000\r\na=control:m\r\n"
        "m=text 0 RTP/AVP 99\r\na=control:t\r\n",
        d));
    EXPECT_EQ(d.metadata.control, "m");
    EXPECT_EQ(d.metadata.encoding, "vnd.onvif.metadata/90000");
}

TEST(SDPParserTest, H265ParameterSetsAndInterleaving) {
    struct Row {
        const char* fmtp;
        std::vector<uint8_t> vps, sps, pps;
        uint32_t maxDonDiff;
        const char* reason;
    };
    const Row rows[] = {
        {"a=fmtp:96 sprop-vps=QAE=; sprop-sps=QgE=,QgI=; sprop-pps=RAE=",
         {0x40, 0x01},
         {0x42, 0x01},
         {0x44, 0x01},
         0,
         "the first of several units is taken"},
        {"a=fmtp:96 profile-id=1; sprop-max-don-diff=2",
         {},
         {},
         {},
         2,
         "interleaving announced without sets: sets come in-band"},
        {"a=fmtp:96 sprop-max-don-diff=x", {}, {}, {}, 1, "an unreadable depth is not taken for 0"},
    };
    for (const Row& row : rows) {
        SessionDescription d;
        const std::string sdp = std::string("m=video 0 RTP/AVP 96\r\n") + row.fmtp + "\r\n";
        ASSERT_TRUE(CSDPResponseParser::Parse(sdp, d)) << row.reason;
        EXPECT_EQ(d.parameterSets.vps, row.vps) << row.reason;
        EXPECT_EQ(d.parameterSets.sps, row.sps) << row.reason;
        EXPECT_EQ(d.parameterSets.pps, row.pps) << row.reason;
        EXPECT_EQ(d.parameterSets.maxDonDiff, row.maxDonDiff) << row.reason;
    }
}

TEST(SDPParserTest, Mpeg4Config) {
    struct Row {
        const char* fmtp;
        std::vector<uint8_t> config;
        const char* reason;
    };
    const Row rows[] = {
        {"a=fmtp:96 profile-level-id=245; config=000001B0F5",
         {0x00, 0x00, 0x01, 0xB0, 0xF5},
         "hex, odd digit count keeps the last digit as a byte"},
        {"a=fmtp:96 config=000001b0f5;x=1", {0x00, 0x00, 0x01, 0xB0, 0xF5}, "lower-case hex"},
        {"a=fmtp:96 config=AAABsA==", {0x00, 0x00, 0x01, 0xB0}, "Base64 when '=' is present"},
    };
    for (const Row& row : rows) {
        SessionDescription d;
        const std::string sdp = std::string("m=video 0 RTP/AVP 96\r\n") + row.fmtp + "\r\n";
        ASSERT_TRUE(CSDPResponseParser::Parse(sdp, d)) << row.reason;
        EXPECT_EQ(d.parameterSets.config, row.config) << row.reason;
    }
}

}  // namespace
}  // namespace vornak
