#include "rtsp/rtsp_client.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "rtsp/rtsp_stream_parser.h"
#include "rtsp_test_support.h"

namespace vornak {
namespace {

using test::CameraSettings;
using test::CManualClock;

// The client core with a transport that records each request and answers from a script.
class CScriptedClient : public CBaseRTSPClient {
  public:
    CScriptedClient() : CBaseRTSPClient(nullptr, "test", kTransportUdp) {}
    explicit CScriptedClient(uint32_t kind) : CBaseRTSPClient(nullptr, "test", kind) {}

    bool SendRequest(uint32_t method) override {
        requests.push_back(BuildRequest(method));
        if (answers.empty()) {
            return false;
        }
        const std::string answer = answers.front();
        answers.pop_front();
        return parser_.Parse(method, answer);
    }
    void Configure(const RTSPClientSettings& settings) {
        settings_ = settings;
        parser_.Reset();
    }
    CRTSPResponseParser& MutableParser() { return parser_; }
    void CheckKeepAlive() { KeepAliveCheck(); }
    void SetLastKeepAlive(uint64_t ms) { lastKeepAliveMs_ = ms; }
    void SetKeepAliveMethod(uint32_t method) { keepAliveMethod_ = method; }
    void Report() { StreamKeepAlive(); }
    bool SendInStream(const std::string& bytes) override {
        inStream.push_back(bytes);
        return true;
    }

    std::vector<std::string> requests;
    std::deque<std::string> answers;
    std::vector<std::string> inStream;

  protected:
    void ThreadFunction() override {}
};

constexpr const char* kUserAgent = "User-Agent: Vornak RTSP Client (Axis v2.5.x)\r\n";

TEST(RTSPClientRequestTest, SetupTransportLines) {
    struct Row {
        uint32_t kind;
        uint32_t multicast;
        const char* mediaLine;
        const char* transport;
        const char* reason;
    };
    const Row rows[] = {
        {kTransportUdp, 0, "m=video 0 RTP/AVP 96",
         "Transport: RTP/AVP/UDP;unicast;client_port=3556-3557\r\n", "UDP unicast"},
        {kTransportInterleaved, 0, "m=video 0 RTP/AVP 96",
         "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n", "interleaved"},
        {kTransportHttp, 0, "m=video 0 RTP/AVP 96",
         "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n", "tunnelled"},
        {kTransportUdp, 1, "m=video 50000 RTP/AVP 96",
         "Transport: RTP/AVP/UDP;multicast;client_port=50000-50001\r\n",
         "multicast with a media port"},
        {kTransportUdp, 1, "m=video 0 RTP/AVP 96",
         "Transport: RTP/AVP/UDP;multicast;client_port=3556-3557\r\n",
         "multicast without a media port"},
        {kTransportInterleaved, 1, "m=video 0 RTP/AVP 96",
         "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n", "multicast only over UDP"},
        {kTransportUdp, 0, "m=video 0 RTP/SAVP 96",
         "Transport: RTP/SAVP;unicast;client_port=3556-3557\r\n", "profile from the description"},
    };
    for (const Row& row : rows) {
        CScriptedClient client(row.kind);
        RTSPClientSettings s = CameraSettings();
        s.multicast = row.multicast;
        client.Configure(s);
        const std::string sdp = std::string(row.mediaLine) + "\r\na=control:trackID=1\r\n";
        ASSERT_TRUE(CSDPResponseParser::Parse(sdp, client.MutableParser().description));
        const std::string request = client.BuildRequest(kRtspSetup);
        EXPECT_EQ(request, std::string("SETUP rtsp://cam:554/axis-media/media.amp?videocodec=h264/"
                                       "trackID=1 RTSP/1.0\r\nCSeq: 1\r\n") +
                               kUserAgent + row.transport + "\r\n")
            << row.reason;
    }
}

TEST(RTSPClientRequestTest, SessionAndRangeLines) {
    CScriptedClient client;
    RTSPClientSettings s = CameraSettings();
    s.path = "";
    client.Configure(s);
    EXPECT_EQ(client.BuildRequest(kRtspPlay),
              std::string("PLAY rtsp://cam:554/ RTSP/1.0\r\nCSeq: 1\r\n") + kUserAgent +
                  "Range: npt=0.000-\r\n\r\n")
        << "no session id: no Session line, still a Range line";
    s.range = "clock=20240305T140709Z-";
    s.userAgent = "Agent/1";
    client.Configure(s);
    client.MutableParser().sessionId = "D2A19919";
    EXPECT_EQ(client.BuildRequest(kRtspPause),
              "PAUSE rtsp://cam:554/ RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: Agent/1\r\n"
              "Session: D2A19919\r\nRange: clock=20240305T140709Z-\r\n\r\n");
    EXPECT_EQ(client.BuildRequest(kRtspTeardown),
              "TEARDOWN rtsp://cam:554/ RTSP/1.0\r\nCSeq: 2\r\nUser-Agent: Agent/1\r\n"
              "Session: D2A19919\r\n\r\n");
    EXPECT_EQ(client.BuildRequest(kRtspGetParameter),
              "GET_PARAMETER rtsp://cam:554/ RTSP/1.0\r\nCSeq: 3\r\nUser-Agent: Agent/1\r\n"
              "Session: D2A19919\r\n\r\n");
    // A Blocksize line only from 101 bytes.
    s.blockSize = 100;
    client.Configure(s);
    EXPECT_EQ(client.BuildRequest(kRtspSetup).find("Blocksize"), std::string::npos);
    s.blockSize = 101;
    client.Configure(s);
    EXPECT_NE(client.BuildRequest(kRtspSetup).find("\r\nBlocksize: 101\r\n\r\n"),
              std::string::npos);
}

TEST(RTSPClientRequestTest, BaseAndTrackUrls) {
    struct Row {
        const char* path;
        const char* contentBase;
        const char* control;  // of the video; audio has "a", metadata "m"
        const char* base;
        const char* track;
        const char* reason;
        uint32_t mediaKind = 1;
    };
    const Row rows[] = {
        {"", "", "", "rtsp://cam:554/", "rtsp://cam:554/", "empty path, no control"},
        {"p", "", "v", "rtsp://cam:554/p", "rtsp://cam:554/p/a", "audio track", 2},
        {"p", "", "v", "rtsp://cam:554/p", "rtsp://cam:554/p/m", "metadata track", 3},
        {"//media.amp", "", "trackID=1", "rtsp://cam:554/media.amp",
         "rtsp://cam:554/media.amp/trackID=1", "both leading slashes go"},
        {"x", "rtsp://cam/axis-media/media.amp/", "trackID=1", "rtsp://cam/axis-media/media.amp/",
         "rtsp://cam/axis-media/media.amp/trackID=1", "Content-Base loses its last '/'"},
        {"x", "rtsp://cam/base/", "/stream=0", "rtsp://cam/base/", "rtsp://cam/base/stream=0",
         "control starting with '/'"},
        {"x", "rtsp://cam/base/", "rtsp://other/track?x=1", "rtsp://cam/base/",
         "rtsp://other/track?x=1", "absolute control is used unchanged"},
        {"media", "http://cam/", "t", "rtsp://cam:554/media", "rtsp://cam:554/media/t",
         "a Content-Base that is not rtsp:// is not used"},
    };
    for (const Row& row : rows) {
        CScriptedClient client;
        RTSPClientSettings s = CameraSettings();
        s.path = row.path;
        s.mediaKind = row.mediaKind;
        client.Configure(s);
        client.MutableParser().contentBase = row.contentBase;
        client.MutableParser().description.video.control = row.control;
        client.MutableParser().description.audio.control = "a";
        client.MutableParser().description.metadata.control = "m";
        EXPECT_EQ(client.BaseUrl(), row.base) << row.reason;
        EXPECT_EQ(client.TrackUrl(), row.track) << row.reason;
    }
}

TEST(RTSPClientRequestTest, CseqFollowsServer) {
    CScriptedClient client;
    client.Configure(CameraSettings());
    client.answers = {"RTSP/1.0 200 OK\r\nCSeq: 7\r\nContent-Length: 0\r\n\r\n",
                      "RTSP/1.0 200 OK\r\nCSeq: 8\r\n\r\n"};
    ASSERT_TRUE(client.ExecuteRequest(kRtspGetParameter));
    ASSERT_TRUE(client.ExecuteRequest(kRtspGetParameter));
    EXPECT_NE(client.requests[0].find("\r\nCSeq: 1\r\n"), std::string::npos);
    EXPECT_NE(client.requests[1].find("\r\nCSeq: 8\r\n"), std::string::npos);
}

TEST(RTSPClientRequestTest, BasicAfterChallenge) {
    CScriptedClient client;
    client.Configure(CameraSettings());
    client.answers = {
        "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Basic "
        "realm=\"cam\"\r\n\r\n",
        "RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n"};
    ASSERT_TRUE(client.ExecuteRequest(kRtspDescribe));
    ASSERT_EQ(client.requests.size(), 2u);
    EXPECT_EQ(
        client.requests[0],
        std::string("DESCRIBE rtsp://cam:554/axis-media/media.amp?videocodec=h264 RTSP/1.0\r\n"
                    "CSeq: 1\r\n") +
            kUserAgent + "Accept: application/sdp\r\n\r\n")
        << "no credentials before the challenge";
    EXPECT_EQ(
        client.requests[1],
        std::string("DESCRIBE rtsp://cam:554/axis-media/media.amp?videocodec=h264 RTSP/1.0\r\n"
                    "CSeq: 2\r\nAuthorization: Basic cm9vdDpwYXNz\r\n") +
            kUserAgent + "Accept: application/sdp\r\n\r\n");
}

TEST(RTSPClientRequestTest, DigestAfterChallengeUsesEachRequestUrl) {
    CScriptedClient client;
    client.Configure(CameraSettings());
    client.answers = {
        "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Basic realm=\"b\"\r\n"
        "WWW-Authenticate: Digest realm=\"AXIS_ACCC8E000000\", nonce=\"0024e47aY398\"\r\n\r\n",
        "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Base: rtsp://cam:554/axis-media/media.amp/\r\n\r\n",
        "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: 1;timeout=60\r\n\r\n"};
    ASSERT_TRUE(client.ExecuteRequest(kRtspDescribe));
    // Known answers: MD5(MD5("root:AXIS_ACCC8E000000:pass") ":" nonce ":" MD5(method ":" uri)).
    EXPECT_EQ(
        client.requests[1],
        std::string("DESCRIBE rtsp://cam:554/axis-media/media.amp?videocodec=h264 RTSP/1.0\r\n"
                    "CSeq: 2\r\nAuthorization: Digest username=\"root\", "
                    "realm=\"AXIS_ACCC8E000000\", nonce=\"0024e47aY398\", "
                    "uri=\"rtsp://cam:554/axis-media/media.amp?videocodec=h264\", "
                    "response=\"7651ab5b4062b5cfed66adadc3c9e88b\"\r\n") +
            kUserAgent + "Accept: application/sdp\r\n\r\n");
    client.MutableParser().description.video.control = "trackID=1";
    ASSERT_TRUE(client.ExecuteRequest(kRtspSetup));
    EXPECT_NE(client.requests[2].find("uri=\"rtsp://cam:554/axis-media/media.amp/trackID=1\", "
                                      "response=\"89b0efe34646f87309ac8a74e7d589b9\""),
              std::string::npos)
        << client.requests[2];
}

TEST(RTSPClientRequestTest, SecondChallengeOfSameSchemeFails) {
    CScriptedClient client;
    client.Configure(CameraSettings());
    const std::string challenge =
        "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\nWWW-Authenticate: Digest realm=\"r\", "
        "nonce=\"n\"\r\n\r\n";
    client.answers = {challenge, challenge, challenge};
    EXPECT_FALSE(client.ExecuteRequest(kRtspDescribe));
    EXPECT_EQ(client.requests.size(), 2u) << "one retry only";
    EXPECT_FALSE(client.ExecuteRequest(kRtspDescribe));
    EXPECT_EQ(client.requests.size(), 3u) << "no retry once the scheme is in use";
}

TEST(RTSPClientRequestTest, StopRefusesAllButTeardown) {
    CScriptedClient client;
    client.Configure(CameraSettings());
    client.Stop();  // sets the stop event
    client.answers = {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n"};
    EXPECT_FALSE(client.ExecuteRequest(kRtspGetParameter));
    EXPECT_TRUE(client.requests.empty());
    EXPECT_TRUE(client.ExecuteRequest(kRtspTeardown));
}

// Packets inside the RTSP connection count their arrival from the read that brought them: a
// frame sent 100 ms late shows as jitter in the next receiver report, an even pace as none.
TEST(RTSPClientReportTest, InterleavedJitterFromReadTimes) {
    for (const uint64_t lateMs : {0, 100}) {
        CManualClock clock;
        CScriptedClient client;
        client.SetClock(&clock);
        client.Configure(CameraSettings());
        CRTSPStreamParser stream(&client, 0);
        for (uint16_t seq = 1; seq <= 3; ++seq) {
            const uint32_t ts = seq * 9000u;  // 100 ms apart at 90 kHz
            std::vector<uint8_t> frame = {'$', 0, 0, 13, 0x80, 96, 0, static_cast<uint8_t>(seq)};
            for (int shift = 24; shift >= 0; shift -= 8) {
                frame.push_back(static_cast<uint8_t>(ts >> shift));
            }
            frame.insert(frame.end(), {1, 2, 3, 4, 0x65});  // SSRC, one payload byte
            clock.now += (seq == 3 ? 100 + lateMs : 100) * kTicksPerMs;
            stream.Feed(frame);
        }
        clock.now += 6000 * kTicksPerMs;
        client.Report();
        ASSERT_FALSE(client.inStream.empty());
        const std::string& report = client.inStream.front();
        ASSERT_GE(report.size(), 4u + 24u);
        // '$' header, then the report: 8 bytes of header, the block's jitter 12 bytes into it.
        const uint32_t jitter = ReadBe32(reinterpret_cast<const uint8_t*>(report.data()) + 24);
        // RFC 3550: J += (|D| - J) / 16, with D = 9000 units for the late frame.
        EXPECT_EQ(jitter, lateMs == 0 ? 0u : 9000u / 16) << "late by " << lateMs << " ms";
    }
}

TEST(RTSPClientKeepAliveTest, SentAfterTwoThirdsOfServerTimeout) {
    CManualClock clock;
    CScriptedClient client;
    client.SetClock(&clock);
    client.Configure(CameraSettings());
    client.MutableParser().sessionTimeoutSec = 60;
    client.SetLastKeepAlive(clock.TickMs());
    for (int i = 0; i < 10; ++i) {
        client.answers.push_back("RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n");
    }
    clock.now += 40000 * kTicksPerMs;
    client.CheckKeepAlive();
    EXPECT_TRUE(client.requests.empty()) << "exactly 40 s is not more than 2/3 of 60 s";
    clock.now += 1 * kTicksPerMs;
    client.CheckKeepAlive();
    ASSERT_EQ(client.requests.size(), 1u);
    EXPECT_EQ(client.requests[0].rfind("GET_PARAMETER ", 0), 0u);
    clock.now += 39000 * kTicksPerMs;
    client.CheckKeepAlive();
    EXPECT_EQ(client.requests.size(), 1u) << "the time counts from the last keep-alive";
}

TEST(RTSPClientKeepAliveTest, SettingsTimeoutAndRetryAfterFailure) {
    CManualClock clock;
    CScriptedClient client;
    client.SetClock(&clock);
    RTSPClientSettings s = CameraSettings();
    s.sessionTimeoutSec = 9;
    client.Configure(s);
    client.SetLastKeepAlive(clock.TickMs());
    client.answers = {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n"};
    clock.now += 6001 * kTicksPerMs;
    client.answers.push_front("RTSP/1.0 404 Not Found\r\n\r\n");
    client.CheckKeepAlive();
    client.CheckKeepAlive();
    EXPECT_EQ(client.requests.size(), 2u) << "a failed keep-alive is tried again at the next look";
    client.CheckKeepAlive();
    EXPECT_EQ(client.requests.size(), 2u);
    // A server without GET_PARAMETER: OPTIONS at once and from then on, not a refusal every look.
    for (const char* status : {"405 Method Not Allowed", "501 Not Implemented"}) {
        client.MutableParser().sessionId = "12345678";
        client.SetKeepAliveMethod(kRtspGetParameter);
        client.requests.clear();
        client.answers = {std::string("RTSP/1.0 ") + status + "\r\nCSeq: 1\r\n\r\n",
                          "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n",
                          "RTSP/1.0 200 OK\r\nCSeq: 1\r\n\r\n"};
        clock.now += 6001 * kTicksPerMs;
        client.CheckKeepAlive();
        clock.now += 6001 * kTicksPerMs;
        client.CheckKeepAlive();
        ASSERT_EQ(client.requests.size(), 3u) << status;
        EXPECT_EQ(client.requests[0].rfind("GET_PARAMETER ", 0), 0u) << status;
        EXPECT_EQ(client.requests[1].rfind("OPTIONS ", 0), 0u) << status;
        EXPECT_NE(client.requests[2].find("\r\nSession: 12345678\r\n"), std::string::npos)
            << "OPTIONS keeps the session: " << client.requests[2];
    }
}

}  // namespace
}  // namespace vornak
