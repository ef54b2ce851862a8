#include "rtsp/rtsp_response_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace vornak {
namespace {

std::string Answer(const std::string& status, const std::string& headers,
                   const std::string& body = "") {
    return status + "\r\n" + headers + "\r\n" + body;
}

TEST(RTSPResponseParserTest, StatusLines) {
    struct Row {
        const char* text;
        bool ok;
        uint32_t status;
        const char* reason;
    };
    const Row rows[] = {
        {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n", true, 200, "success"},
        {"RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n\r\n", true, 401, "challenge is read"},
        {"RTSP/1.0 404 Not Found\r\nCSeq: 9\r\nSession: 77\r\n\r\n", false, 404,
         "other status fails"},
        {"RTSP/1.0 204 No Content\r\n\r\n", false, 204, "only 200 and 401 are accepted"},
        {"RTSP/1.0\r\n\r\n", false, 0, "no status number"},
        {"RTSP/1.0 abc\r\n\r\n", false, 0, "status not a number"},
        {"", false, 0, "empty answer"},
        {"RTSP/1.0 200", true, 200, "status line without line end"},
    };
    for (const Row& row : rows) {
        CRTSPResponseParser parser;
        EXPECT_EQ(parser.Parse(kRtspSetup, row.text), row.ok) << row.reason;
        EXPECT_EQ(parser.status, row.status) << row.reason;
        if (!row.ok) {
            EXPECT_EQ(parser.cseq, 0u) << row.reason << ": a failing status reads no headers";
            EXPECT_TRUE(parser.sessionId.empty()) << row.reason;
        }
    }
}

TEST(RTSPResponseParserTest, SimpleHeaders) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.Parse(
        kRtspDescribe,
        Answer("RTSP/1.0 200 OK",
               "cseq: 7\r\n"
               "Date: Wed, 16 Jul 2008 12:48:47 GMT\r\n"
               "Public: DESCRIBE, SETUP,PLAY\tTEARDOWN\r\n"
               "Content-Base: rtsp://Cam/Media.amp/\r\n"
               "Content-Type: Application/SDP\r\n"
               "Server: x\r\nAccept-Ranges: npt\r\nRTCP-Interval: 5\r\nRange: npt=0-\r\n"
               "X-Unknown: whatever\r\n")));
    EXPECT_EQ(parser.version, "RTSP/1.0");
    EXPECT_EQ(parser.cseq, 7u);
    EXPECT_EQ(parser.publicMethods,
              (std::set<std::string>{"DESCRIBE", "PLAY", "SETUP", "TEARDOWN"}));
    EXPECT_EQ(parser.contentBase, "rtsp://Cam/Media.amp/") << "case of the URL is kept";
    EXPECT_EQ(parser.contentType, "application/sdp");
}

TEST(RTSPResponseParserTest, HeaderFailures) {
    struct Row {
        const char* header;
        const char* reason;
    };
    const Row rows[] = {
        {"CSeq: x", "CSeq without a number"},
        {"Public: , ,", "Public without a word"},
        {"Session: 1234;foo=1", "Session parameters without timeout empty the id"},
        {"Session: ", "empty session id"},
        {"Transport: RTP/AVP;unicast;server_port=abc", "unicast server_port not a pair"},
        {"Transport: RTP/AVP;multicast;port=5000", "multicast port not a pair"},
        {"RTP-Info: url=x;seq=5", "RTP-Info without rtptime"},
        {"WWW-Authenticate: Digest realm=\"r\"", "Digest without nonce"},
        {"WWW-Authenticate: ", "challenge without a scheme"},
    };
    for (const Row& row : rows) {
        CRTSPResponseParser parser;
        EXPECT_FALSE(
            parser.Parse(kRtspSetup, Answer("RTSP/1.0 200 OK", std::string(row.header) + "\r\n")))
            << row.reason;
    }
}

TEST(RTSPResponseParserTest, SessionForms) {
    struct Row {
        const char* header;
        const char* id;
        uint32_t timeout;
        const char* reason;
    };
    const Row rows[] = {
        {"Session: 12345678;timeout=60", "12345678", 60, "id and timeout"},
        {"Session: 12345678; timeout=60", "12345678", 60, "blank after ';'"},
        {"Session: 12345678;timeout=0", "12345678", 30, "timeout 0 counts as 30 s"},
        {"Session: D2A19919", "D2A19919", 0, "no parameters keep the timeout unset"},
        {"session:abc;timeout=15", "abc", 15, "header name in lower case, no blank"},
    };
    for (const Row& row : rows) {
        CRTSPResponseParser parser;
        ASSERT_TRUE(
            parser.Parse(kRtspSetup, Answer("RTSP/1.0 200 OK", std::string(row.header) + "\r\n")))
            << row.reason;
        EXPECT_EQ(parser.sessionId, row.id) << row.reason;
        EXPECT_EQ(parser.sessionTimeoutSec, row.timeout) << row.reason;
    }
}

TEST(RTSPResponseParserTest, TransportForms) {
    struct Row {
        const char* header;
        uint8_t channel;
        uint16_t serverRtp, serverRtcp, mcRtp, mcRtcp;
        const char* destination;
        const char* reason;
    };
    const Row rows[] = {
        {"Transport: RTP/AVP;unicast;client_port=5000-5001;server_port=6000-6001;ssrc=B0BA7855", 0,
         6000, 6001, 0, 0, "", "unicast server ports"},
        {"Transport: RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=1A2B3C4D;mode=\"PLAY\"", 0, 0, 0, 0,
         0, "", "interleaved channel 0"},
        {"Transport: RTP/AVP/TCP;unicast;interleaved=4-5;server_port=1-2", 4, 0, 0, 0, 0, "",
         "interleaved ignores the rest of the line"},
        {"Transport: RTP/AVP;multicast;destination=239.1.2.3;port=5000-5001;ttl=5", 0, 0, 0, 5000,
         5001, "239.1.2.3", "multicast group and ports"},
        {"Transport: RTP/AVP;multicast;client_port=7000-7001;destination=239.1.2.3;port=5000-5001",
         0, 0, 0, 5000, 5001, "239.1.2.3", "client_port does not pass for port"},
        {"Transport: RTP/AVP;unicast", 0, 0, 0, 0, 0, "", "unicast without server_port"},
        {"Transport: RTP/AVP", 0, 0, 0, 0, 0, "", "neither unicast nor multicast"},
    };
    for (const Row& row : rows) {
        CRTSPResponseParser parser;
        parser.destination = "stale";
        ASSERT_TRUE(
            parser.Parse(kRtspSetup, Answer("RTSP/1.0 200 OK", std::string(row.header) + "\r\n")))
            << row.reason;
        EXPECT_EQ(parser.transportSeen, 1) << row.reason;
        EXPECT_EQ(parser.interleavedChannel, row.channel) << row.reason;
        EXPECT_EQ(parser.serverRtpPort, row.serverRtp) << row.reason;
        EXPECT_EQ(parser.serverRtcpPort, row.serverRtcp) << row.reason;
        EXPECT_EQ(parser.multicastRtpPort, row.mcRtp) << row.reason;
        EXPECT_EQ(parser.multicastRtcpPort, row.mcRtcp) << row.reason;
        EXPECT_EQ(parser.destination, row.destination) << row.reason;
    }
}

TEST(RTSPResponseParserTest, RtpInfoForms) {
    struct Row {
        const char* header;
        uint16_t seq;
        uint32_t rtpTime;
        const char* reason;
    };
    const Row rows[] = {
        {"RTP-Info: url=rtsp://cam/media.amp/trackID=1;seq=1234;rtptime=567890", 1234, 567890,
         "one stream"},
        {"RTP-Info: url=rtsp://cam/a;rtptime=10;seq=20,url=rtsp://cam/b;seq=30;rtptime=40", 20, 10,
         "first stream of two, any order"},
        {"RTP-Info: url=x;seq=65535;rtptime=4294967295", 65535, 4294967295u, "largest values"},
    };
    for (const Row& row : rows) {
        CRTSPResponseParser parser;
        ASSERT_TRUE(
            parser.Parse(kRtspPlay, Answer("RTSP/1.0 200 OK", std::string(row.header) + "\r\n")))
            << row.reason;
        EXPECT_EQ(parser.rtpInfoSeq, row.seq) << row.reason;
        EXPECT_EQ(parser.rtpInfoRtpTime, row.rtpTime) << row.reason;
    }
    // A recording's playback names the time of its first frame.
    const std::pair<const char*, const char*> ranges[] = {
        {"clock=20240305T140709.120Z-", "2024-03-05T14:07:09.120Z"},
        {"clock=20240305T140709Z-20240305T140800Z", "2024-03-05T14:07:09Z"},
        {"npt=0.000-", ""},
        {"clock=2024-", ""},
    };
    for (const auto& [range, start] : ranges) {
        CRTSPResponseParser parser;
        ASSERT_TRUE(parser.Parse(
            kRtspPlay, Answer("RTSP/1.0 200 OK", std::string("Range: ") + range + "\r\n")));
        EXPECT_EQ(parser.rangeClockStart, ParseTime(start)) << range;
    }
}

TEST(RTSPResponseParserTest, ChallengePrecedence) {
    struct Row {
        const char* headers;
        uint32_t scheme;
        const char* realm;
        const char* nonce;
        const char* reason;
    };
    const Row rows[] = {
        {"WWW-Authenticate: Basic realm=\"cam\"\r\n", kRtspAuthBasic, "cam", "", "Basic alone"},
        {"WWW-Authenticate: Digest realm=\"AXIS_1\", nonce=\"00a1b2\", stale=FALSE\r\n",
         kRtspAuthDigest, "AXIS_1", "00a1b2", "Digest alone"},
        {"WWW-Authenticate: Basic realm=\"b\"\r\nWWW-Authenticate: Digest realm=\"d\", "
         "nonce=\"n1\"\r\n",
         kRtspAuthDigest, "d", "n1", "Basic then Digest: Digest wins"},
        {"WWW-Authenticate: Digest realm=\"d\", nonce=\"n1\"\r\nWWW-Authenticate: Basic "
         "realm=\"b\"\r\n",
         kRtspAuthDigest, "d", "n1", "Digest then Basic: Digest stays"},
        {"WWW-Authenticate: Digest realm=\"a, b\", nonce=\"n,2\"\r\n", kRtspAuthDigest, "a, b",
         "n,2", "quoted values may hold commas"},
        {"WWW-Authenticate: Negotiate abc\r\n", kRtspAuthNone, "", "",
         "unknown scheme passes over"},
        {"WWW-Authenticate: Basic\r\n", kRtspAuthBasic, "", "", "Basic without a realm"},
    };
    for (const Row& row : rows) {
        CRTSPResponseParser parser;
        ASSERT_TRUE(parser.Parse(kRtspDescribe, Answer("RTSP/1.0 401 Unauthorized", row.headers)))
            << row.reason;
        EXPECT_EQ(parser.authScheme, row.scheme) << row.reason;
        EXPECT_EQ(parser.realm, row.realm) << row.reason;
        EXPECT_EQ(parser.nonce, row.nonce) << row.reason;
    }
}

TEST(RTSPResponseParserTest, ContentBaseRules) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(
        parser.Parse(kRtspDescribe, Answer("RTSP/1.0 200 OK", "Content-Base: rtsp://a/b/\r\n")));
    ASSERT_TRUE(
        parser.Parse(kRtspDescribe, Answer("RTSP/1.0 200 OK", "Content-Base: http://other/\r\n")));
    EXPECT_EQ(parser.contentBase, "rtsp://a/b/") << "a base without rtsp:// keeps the old one";
}

TEST(RTSPResponseParserTest, DescribeBody) {
    const std::string sdp =
        "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:trackID=1\r\na=rtpmap:96 H264/90000\r\n";
    const std::string headers = "Content-Length: " + std::to_string(sdp.size()) + "\r\n";
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.Parse(kRtspDescribe, Answer("RTSP/1.0 200 OK", headers, sdp)));
    EXPECT_EQ(parser.description.video.control, "trackID=1");
    EXPECT_EQ(parser.contentLength, sdp.size());

    CRTSPResponseParser cut;
    EXPECT_FALSE(
        cut.Parse(kRtspDescribe, Answer("RTSP/1.0 200 OK", headers, sdp.substr(0, sdp.size() - 1))))
        << "a body shorter than Content-Length fails";

    CRTSPResponseParser setup;
    EXPECT_TRUE(
        setup.Parse(kRtspSetup, Answer("RTSP/1.0 200 OK", "Content-Length: 5\r\n", "xxxxx")))
        << "a SETUP body is not parsed";

    CRTSPResponseParser bad;
    bad.description.video.control = "kept";
    EXPECT_FALSE(
        bad.Parse(kRtspDescribe, Answer("RTSP/1.0 200 OK", "Content-Length: 6\r\n", "a=fmtp")));
    EXPECT_EQ(bad.description.video.control, "kept") << "a failed SDP keeps the old description";
}

TEST(RTSPResponseParserTest, ResetKeepsPublicAndRtpInfo) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.Parse(kRtspPlay, Answer("RTSP/1.0 200 OK",
                                               "CSeq: 3\r\nSession: 9;timeout=10\r\nPublic: "
                                               "PLAY\r\nRTP-Info: seq=4;rtptime=5\r\n")));
    parser.Reset();
    EXPECT_EQ(parser.cseq, 0u);
    EXPECT_TRUE(parser.sessionId.empty());
    EXPECT_EQ(parser.sessionTimeoutSec, 0u);
    EXPECT_EQ(parser.publicMethods.size(), 1u);
    EXPECT_EQ(parser.rtpInfoSeq, 4);
}

}  // namespace
}  // namespace vornak
