// The in-process simulator seen from the wire: HTTP framing, multipart JPEG, RTSP session life,
// interleaved RTP with faults, the HTTP tunnel, and the RTP stream: a continuous clock across
// clip loops, receiver reports, delayed answers, pause and renewal.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "camsim/camsim.h"
#include "camsim/text_util.h"
#include "sim_client.h"

namespace camsim {
namespace {

using testing::TcpClient;
using testing::UdpReceiver;

const std::string kBasic =
    "Authorization: Basic " + Base64Encode(std::string("root:pass")) + "\r\n";

struct Rtp {
    uint16_t seq;
    uint32_t ts;
    bool marker;
};

Rtp Fields(const std::string& p) {
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(p[i])); };
    return {static_cast<uint16_t>((b(2) << 8) | b(3)),
            (b(4) << 24) | (b(5) << 16) | (b(6) << 8) | b(7), (b(1) & 0x80) != 0};
}

class SimulatorTest : public ::testing::Test {
  protected:
    void StartWith(Options o) {
        sim_ = std::make_unique<Simulator>(o);
        std::string err;
        ASSERT_TRUE(sim_->Start(&err)) << err;
        client_ = std::make_unique<TcpClient>(sim_->RtspPort());
    }
    void SetUp() override {
        Options o;
        o.session_timeout = std::chrono::seconds(60);
        o.rtcp_interval = std::chrono::milliseconds(200);
        StartWith(o);
    }

    std::string Get(const std::string& target, const std::string& headers = kBasic) {
        TcpClient c(sim_->HttpPort());
        c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n");
        return c.ReadAnswer().value_or("");
    }

    std::string Rtsp(TcpClient& c, const std::string& method, const std::string& url, int cseq,
                     const std::string& extra = "") {
        c.Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + kBasic +
               extra + "\r\n");
        return c.ReadAnswer().value_or("");
    }

    std::string Url(const std::string& query) {
        return "rtsp://127.0.0.1:" + std::to_string(sim_->RtspPort()) + "/axis-media/media.amp?" +
               query;
    }
    std::string Track(const std::string& query) {
        std::string url = Url(query);
        return url.replace(url.find('?'), 1, "/trackID=1?");
    }

    static std::string HeaderValue(const std::string& answer, const std::string& name) {
        size_t at = answer.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return "";
        at += name.size() + 4;
        return answer.substr(at, answer.find("\r\n", at) - at);
    }

    // A request on the fixture's own connection, in the session once there is one.
    std::string Request(const std::string& method, const std::string& extra = "") {
        const std::string q = "videocodec=h264&resolution=320x240";
        return Rtsp(*client_, method, method == "SETUP" ? Track(q) : Url(q), ++cseq_,
                    extra + (id_.empty() ? "" : "Session: " + id_ + "\r\n"));
    }

    void SetupAndPlay() {
        std::string setup = Request("SETUP", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
        id_ = HeaderValue(setup, "Session").substr(0, 8);
        ASSERT_EQ(id_.size(), 8u) << setup;
        ASSERT_EQ(Request("PLAY").rfind("RTSP/1.0 200", 0), 0u);
    }

    // Next RTP packet on the fixture's connection, skipping RTCP.
    std::optional<std::string> NextRtp(int timeout_ms = 3000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            auto f = left > 0 ? client_->ReadFrame(static_cast<int>(left)) : std::nullopt;
            if (!f || f->first == 0)
                return f ? std::optional<std::string>(f->second) : std::nullopt;
        }
    }

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<TcpClient> client_;
    int cseq_ = 0;
    std::string id_;
};

TEST_F(SimulatorTest, OldFirmwareProfileAnswersHttp10WithCrLf) {
    Options o;
    o.profile = "ptz-dome";
    StartWith(o);
    TcpClient c(sim_->HttpPort());
    c.Send("GET /axis-cgi/param.cgi?action=list&group=PTZ.Various HTTP/1.1\r\nHost: x\r\n" +
           kBasic + "\r\n");
    std::string all = c.ReadToClose();
    EXPECT_EQ(all.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(all.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(all.find("root.PTZ.Various.V1.CtlQueueing=false\r\n"), std::string::npos);
}

TEST_F(SimulatorTest, HttpFaultsThenNormalAnswers) {
    Fault f;
    f.status = 503;
    f.count = 1;
    sim_->SetHttpFault("/axis-cgi/param.cgi", f);
    EXPECT_EQ(Get("/axis-cgi/param.cgi?action=list&group=Brand").rfind("HTTP/1.1 503", 0), 0u);
    EXPECT_EQ(Get("/axis-cgi/param.cgi?action=list&group=Brand").rfind("HTTP/1.1 200", 0), 0u);

    Fault close_fault;
    close_fault.kind = Fault::Kind::kClose;
    close_fault.count = 1;
    sim_->SetHttpFault("", close_fault);
    TcpClient c(sim_->HttpPort());
    c.Send("GET /axis-cgi/param.cgi HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.ReadToClose(2000), "");
    EXPECT_TRUE(c.Closed());
    EXPECT_EQ(Get("/nowhere").rfind("HTTP/1.1 404", 0), 0u);
}

TEST_F(SimulatorTest, ParametersShapeAStreamWithoutArguments) {
    sim_->SetParam("Image.I0.Stream.FPS", "5");
    sim_->SetParam("Image.I0.Appearance.Resolution", "320x240");
    sim_->SetParam("StreamProfile.S0.Parameters", "videocodec=jpeg");
    std::string a = Get("/axis-cgi/param.cgi?action=list&group=StreamProfile.S0.Parameters");
    EXPECT_NE(a.find("root.StreamProfile.S0.Parameters=videocodec=jpeg\n"), std::string::npos);
    TcpClient c(sim_->RtspPort());
    std::string d = Rtsp(c, "DESCRIBE", Url("videocodec=h264"), 1);
    EXPECT_NE(d.find("a=framerate:5.0"), std::string::npos) << d;
    d = Rtsp(c, "DESCRIBE", Url("videocodec=h264&fps=20"), 2);
    EXPECT_NE(d.find("a=framerate:20.0"), std::string::npos) << "the URL wins";
    d = Rtsp(c, "DESCRIBE", Url("streamprofile=Quality"), 3);
    EXPECT_NE(d.find("a=rtpmap:26 JPEG/90000"), std::string::npos) << "profile drives the codec";
}

TEST_F(SimulatorTest, DelayedHttpAnswerKeepsPipelinedRequestsInOrder) {
    Fault f;
    f.kind = Fault::Kind::kDelay;
    f.delay = std::chrono::milliseconds(200);
    sim_->SetHttpFault("/axis-cgi/param.cgi", f);  // every request, until cleared
    TcpClient c(sim_->HttpPort());
    auto t0 = std::chrono::steady_clock::now();
    const auto list = [](const std::string& group) {
        return "GET /axis-cgi/param.cgi?action=list&group=" + group + " HTTP/1.1\r\nHost: x\r\n" +
               kBasic + "\r\n";
    };
    c.Send(list("Brand.Brand") + list("Brand.ProdNbr"));
    auto first = c.ReadAnswer();
    auto second = c.ReadAnswer();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->find("root.Brand.Brand="), std::string::npos);
    EXPECT_NE(second->find("root.Brand.ProdNbr="), std::string::npos) << "order kept";
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400))
        << "each request waited once, none forever";
    EXPECT_EQ(sim_->GetCounters().http_requests["/axis-cgi/param.cgi"], 2u);
}

TEST_F(SimulatorTest, RtspInterleavedPlayWithPacketFaults) {
    RtpFaultPlan plan;
    plan.drop = {1};
    plan.duplicate = {3};
    plan.reorder = {5};
    sim_->SetRtpFaults(plan);
    TcpClient c(sim_->RtspPort());
    std::string q = "videocodec=h264&resolution=320x240";
    std::string describe = Rtsp(c, "DESCRIBE", Url(q), 1, "Accept: application/sdp\r\n");
    ASSERT_EQ(describe.rfind("RTSP/1.0 200 OK\r\nCSeq: 1\r\n", 0), 0u) << describe;
    EXPECT_EQ(HeaderValue(describe, "Content-Base"),
              "rtsp://127.0.0.1:" + std::to_string(sim_->RtspPort()) + "/axis-media/media.amp/");
    EXPECT_NE(describe.find("a=rtpmap:96 H264/90000"), std::string::npos);
    EXPECT_NE(describe.find("sprop-parameter-sets="), std::string::npos);
    const std::string track = Track(q);
    EXPECT_NE(describe.find("a=control:" + track + "\r\n"), std::string::npos);

    std::string setup =
        Rtsp(c, "SETUP", track, 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    ASSERT_EQ(setup.rfind("RTSP/1.0 200 OK", 0), 0u) << setup;
    std::string session = HeaderValue(setup, "Session");
    ASSERT_EQ(session.size(), 8u + 11u) << "8 hex digits plus ;timeout=60";
    EXPECT_EQ(session.substr(8), ";timeout=60");
    std::string id = session.substr(0, 8);
    EXPECT_NE(HeaderValue(setup, "Transport").find("interleaved=0-1;ssrc="), std::string::npos);

    std::string play = Rtsp(c, "PLAY", Url(q), 3, "Session: " + id + "\r\n");
    ASSERT_EQ(play.rfind("RTSP/1.0 200 OK", 0), 0u) << play;
    std::string info = HeaderValue(play, "RTP-Info");
    uint32_t seq0 = static_cast<uint32_t>(std::stoul(info.substr(info.find("seq=") + 4)));
    uint32_t ts0 = static_cast<uint32_t>(std::stoul(info.substr(info.find("rtptime=") + 8)));

    std::vector<uint16_t> seqs;
    bool first = true;
    while (seqs.size() < 12) {
        auto f = c.ReadFrame();
        ASSERT_TRUE(f);
        if (f->first != 0)
            continue;  // RTCP
        const Rtp r = Fields(f->second);
        if (first) {
            EXPECT_EQ(r.ts, ts0) << "RTP-Info rtptime is the first packet's timestamp";
            first = false;
        }
        seqs.push_back(static_cast<uint16_t>(r.seq - seq0));
    }
    // Packet 1 dropped, 3 sent twice, 5 sent after 6.
    std::vector<uint16_t> expected = {0, 2, 3, 3, 4, 6, 5, 7, 8, 9, 10, 11};
    EXPECT_EQ(seqs, expected);

    std::string teardown = Rtsp(c, "TEARDOWN", Url(q), 4, "Session: " + id + "\r\n");
    EXPECT_EQ(teardown.rfind("RTSP/1.0 200 OK", 0), 0u);
    EXPECT_EQ(sim_->ActiveSessions(), 0u);
    auto counters = sim_->GetCounters();
    ASSERT_EQ(counters.streams.size(), 1u);
    EXPECT_EQ(counters.streams[0].transport, "tcp");
    EXPECT_GT(counters.streams[0].frames, 0u);
    EXPECT_EQ(counters.rtsp_requests["SETUP"], 1u);
}

TEST_F(SimulatorTest, RtspErrorsAndAuth) {
    TcpClient c(sim_->RtspPort());
    c.Send("OPTIONS " + Url("") + " RTSP/1.0\r\nCSeq: 7\r\n\r\n");
    EXPECT_NE(c.ReadAnswer().value_or("").find("CSeq: 7\r\nPublic: DESCRIBE, GET_PARAMETER, PAUSE, "
                                               "PLAY, SETUP, SET_PARAMETER, TEARDOWN\r\n"),
              std::string::npos);
    c.Send("DESCRIBE " + Url("videocodec=h264") + " RTSP/1.0\r\nCSeq: 8\r\n\r\n");
    const std::string unauth = c.ReadAnswer().value_or("");
    EXPECT_EQ(unauth.rfind("RTSP/1.0 401 Unauthorized\r\nCSeq: 8\r\n", 0), 0u);
    EXPECT_NE(unauth.find("WWW-Authenticate: Digest realm=\"" + sim_->Realm()), std::string::npos);

    struct Case {
        std::string method, url, extra;
        const char* status;
        const char* reason;
    } cases[] = {
        {"DESCRIBE", Url("videocodec=h265"), "", "400", "codec the camera lacks"},
        {"DESCRIBE", Url("resolution=1000x1000"), "", "400", "resolution not offered"},
        {"DESCRIBE", Url("camera=2"), "", "400", "single-source camera"},
        {"DESCRIBE", Url("compression=101"), "", "400", "compression out of range"},
        {"DESCRIBE", "rtsp://127.0.0.1/elsewhere", "", "404", "unknown path"},
        {"PLAY", Url(""), "Session: DEADBEEF\r\n", "454", "unknown session"},
        {"PLAY", Url(""), "", "454", "PLAY before SETUP"},
        {"GET_PARAMETER", Url(""), "", "200", "a ping without a session"},
        {"DESCRIBE", Url(""), "Require: onvif-replay\r\n", "551", "unsupported Require"},
        {"SETUP", Track(""), "Transport: RTP/AVP;unicast\r\n", "461", "UDP without client ports"},
        {"RECORD", Url(""), "", "501", "method a camera does not serve"},
    };
    int cseq = 10;
    for (const auto& k : cases) {
        SCOPED_TRACE(k.reason);
        std::string a = Rtsp(c, k.method, k.url, cseq++, k.extra);
        EXPECT_EQ(a.substr(0, 12), std::string("RTSP/1.0 ") + k.status) << a;
    }
}

TEST_F(SimulatorTest, IgnoredKeepAlivesLetTheSessionEndWithBye) {
    sim_->SetSessionTimeout(std::chrono::seconds(2));
    UdpReceiver rtp, rtcp;
    TcpClient c(sim_->RtspPort());
    std::string q = "videocodec=jpeg&resolution=320x240";
    std::string track = Track(q);
    std::string setup =
        Rtsp(c, "SETUP", track, 1,
             "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtp.Port()) + "-" +
                 std::to_string(rtcp.Port()) + "\r\n");
    ASSERT_EQ(setup.rfind("RTSP/1.0 200", 0), 0u) << setup;
    EXPECT_NE(HeaderValue(setup, "Transport").find(";server_port="), std::string::npos);
    std::string id = HeaderValue(setup, "Session").substr(0, 8);
    ASSERT_EQ(Rtsp(c, "PLAY", Url(q), 2, "Session: " + id + "\r\n").rfind("RTSP/1.0 200", 0), 0u);
    auto packet = rtp.Receive();
    ASSERT_TRUE(packet);
    EXPECT_EQ(static_cast<uint8_t>((*packet)[1]) & 0x7F, 26) << "JPEG payload type";

    // Keep-alives hold the session past its time-out.
    // 2.4 s of keep-alives every 300 ms, well inside the 2 s time-out each.
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_EQ(Rtsp(c, "GET_PARAMETER", Url(q), 3 + i, "Session: " + id + "\r\n")
                      .rfind("RTSP/1.0 200", 0),
                  0u);
    }
    EXPECT_EQ(sim_->ActiveSessions(), 1u);

    // Then keep-alives the camera ignores: the session ends and RTCP says BYE.
    sim_->IgnoreKeepAlives(true);
    bool bye = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    for (int i = 11; !bye && std::chrono::steady_clock::now() < deadline; ++i) {
        Rtsp(c, "GET_PARAMETER", Url(q), i, "Session: " + id + "\r\n");
        auto r = rtcp.Receive(500);
        // Walk the compound packet by its length fields: a data word may hold the byte 203 too.
        for (size_t at = 0; r && at + 4 <= r->size();) {
            if (static_cast<uint8_t>((*r)[at + 1]) == 203)
                bye = true;
            at += 4 * (1 + ((static_cast<uint8_t>((*r)[at + 2]) << 8) |
                            static_cast<uint8_t>((*r)[at + 3])));
        }
    }
    EXPECT_TRUE(bye);
    // The BYE leaves before the session is dropped from the table.
    const auto dropped = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (sim_->ActiveSessions() != 0 && std::chrono::steady_clock::now() < dropped) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sim_->ActiveSessions(), 0u);
    EXPECT_EQ(Rtsp(c, "GET_PARAMETER", Url(q), 99, "Session: " + id + "\r\n").substr(0, 12),
              "RTSP/1.0 454");
}

TEST_F(SimulatorTest, TunnelCarriesRtspInBase64Posts) {
    std::string cookie = "1234567";
    TcpClient get(sim_->HttpPort());
    get.Send("GET /axis-media/media.amp?videocodec=h264 HTTP/1.0\r\nx-sessioncookie: " + cookie +
             "\r\nAccept: application/x-rtsp-tunnelled\r\n" + kBasic + "\r\n");
    ASSERT_TRUE(get.ReadMore());
    EXPECT_EQ(
        get.Buffer().rfind("HTTP/1.0 200 OK\r\nContent-Type: application/x-rtsp-tunnelled", 0), 0u);
    get.Buffer().clear();

    std::string describe = "DESCRIBE " + Url("videocodec=h264") +
                           " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n";
    std::string b64 = Base64Encode(describe);
    // Line breaks every 76 characters, sent as one POST in two pieces.
    std::string wrapped;
    for (size_t i = 0; i < b64.size(); i += 76)
        wrapped += b64.substr(i, 76) + "\r\n";
    const auto post_head = [&](size_t length) {
        return "POST /axis-media/media.amp HTTP/1.0\r\nx-sessioncookie: " + cookie +
               "\r\nContent-Type: application/x-rtsp-tunnelled\r\nContent-Length: " +
               std::to_string(length) + "\r\n" + kBasic + "\r\n";
    };
    TcpClient post(sim_->HttpPort());
    post.Send(post_head(wrapped.size()) + wrapped.substr(0, 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    post.Send(wrapped.substr(30));
    auto answer = get.ReadAnswer();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind("RTSP/1.0 200 OK\r\nCSeq: 1\r\n", 0), 0u);
    EXPECT_NE(answer->find("m=video 0 RTP/AVP 96"), std::string::npos);

    // A second, separate POST on a new connection with the same cookie.
    TcpClient post2(sim_->HttpPort());
    std::string options = Base64Encode(std::string("OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n"));
    post2.Send(post_head(options.size()) + options);
    auto second = get.ReadAnswer();
    ASSERT_TRUE(second);
    EXPECT_NE(second->find("CSeq: 2\r\n"), std::string::npos);
    EXPECT_FALSE(post.ReadMore(200)) << "the device never answers a tunnel POST";
}

TEST_F(SimulatorTest, ClockAndSequenceContinueAcrossClipLoops) {
    Options fast;
    fast.as_fast_as_possible = true;
    StartWith(fast);
    SetupAndPlay();
    // The 320x240 clip has 75 frames; follow 160 frames, i.e. two loops.
    std::vector<Rtp> frames_last_packet;
    std::optional<uint16_t> prev_seq;
    while (frames_last_packet.size() < 160) {
        auto f = client_->ReadFrame();
        ASSERT_TRUE(f);
        if (f->first != 0)
            continue;
        Rtp r = Fields(f->second);
        if (prev_seq) {
            ASSERT_EQ(static_cast<uint16_t>(*prev_seq + 1), r.seq) << "no gaps";
        }
        prev_seq = r.seq;
        if (r.marker)
            frames_last_packet.push_back(r);
    }
    for (size_t i = 1; i < frames_last_packet.size(); ++i) {
        ASSERT_EQ(frames_last_packet[i].ts - frames_last_packet[i - 1].ts, 90000u / 25)
            << "frame " << i << ": timestamps step by one frame period, also at the loop";
    }
}

TEST_F(SimulatorTest, ReceiverReportsAreCountedAndKeepTheSessionAlive) {
    sim_->SetSessionTimeout(std::chrono::seconds(2));
    SetupAndPlay();
    // RR from the client on the interleaved RTCP channel, every 300 ms for 2.4 s (longer than the
    // time-out).
    std::string rr = {'$', 1, 0, 8, char(0x80), char(201), 0, 1, 1, 2, 3, 4};
    for (int i = 0; i < 8; ++i) {
        client_->Send(rr);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(sim_->ActiveSessions(), 1u) << "RTCP counts as keep-alive";
    auto c = sim_->GetCounters();
    ASSERT_EQ(c.streams.size(), 1u);
    EXPECT_EQ(c.streams[0].rtcp_rr_received, 8u);
    EXPECT_GE(c.streams[0].rtcp_sr, 5u) << "SRs every 200 ms here";
}

TEST_F(SimulatorTest, DelayedAndWithheldRtspAnswers) {
    Fault delay;
    delay.kind = Fault::Kind::kDelay;
    delay.delay = std::chrono::milliseconds(300);
    delay.count = 1;
    sim_->SetRtspFault("OPTIONS", delay);
    auto t0 = std::chrono::steady_clock::now();
    std::string a = Request("OPTIONS");
    EXPECT_EQ(a.rfind("RTSP/1.0 200", 0), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));

    Fault withhold;
    withhold.kind = Fault::Kind::kWithhold;
    withhold.count = 1;
    sim_->SetRtspFault("DESCRIBE", withhold);
    client_->Send("DESCRIBE rtsp://127.0.0.1/axis-media/media.amp RTSP/1.0\r\nCSeq: 50\r\n" +
                  kBasic + "\r\n");
    EXPECT_FALSE(client_->ReadAnswer(300).has_value()) << "no answer at all";
    EXPECT_EQ(Request("OPTIONS").find("CSeq: " + std::to_string(cseq_)), 17u)
        << "the connection still serves later requests";

    Fault status;
    status.status = 500;
    status.count = 1;
    sim_->SetRtspFault("", status);
    EXPECT_EQ(Request("OPTIONS").rfind("RTSP/1.0 500 Internal Server Error", 0), 0u);
}

TEST_F(SimulatorTest, PauseStopsAndPlayResumesOnTheLiveClock) {
    SetupAndPlay();
    auto first = NextRtp();
    ASSERT_TRUE(first);
    uint32_t ts0 = Fields(*first).ts;
    ASSERT_EQ(Request("PAUSE").rfind("RTSP/1.0 200", 0), 0u);
    // What was in flight arrives at once; then RTP stays silent (RTCP may go on).
    while (NextRtp(100)) {
    }
    auto paused_at = std::chrono::steady_clock::now();
    EXPECT_FALSE(NextRtp(300).has_value()) << "no RTP while paused";
    std::string play = Request("PLAY");
    ASSERT_EQ(play.rfind("RTSP/1.0 200", 0), 0u);
    size_t at = play.find("rtptime=");
    ASSERT_NE(at, std::string::npos);
    uint32_t resumed = static_cast<uint32_t>(std::stoul(play.substr(at + 8)));
    // A live stream resumes at the present: the timestamp moved on by at least the pause.
    double jumped = static_cast<uint32_t>(resumed - ts0) / 90000.0;
    double paused =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - paused_at).count();
    EXPECT_GE(jumped, paused);
    auto next = NextRtp();
    ASSERT_TRUE(next);
    EXPECT_EQ(Fields(*next).ts, resumed) << "RTP-Info names the next packet";
}

TEST_F(SimulatorTest, RenewStreamStartsOverAtAKeyFrame) {
    SetupAndPlay();
    // Let a few frames pass so that the next one would not be a key frame.
    for (int frames = 0; frames < 5;) {
        auto p = NextRtp();
        ASSERT_TRUE(p);
        if (Fields(*p).marker)
            ++frames;
    }
    client_->Send("SET_PARAMETER rtsp://127.0.0.1/axis-media/media.amp RTSP/1.0\r\nCSeq: 90\r\n" +
                  kBasic + "Session: " + id_ +
                  "\r\nContent-Type: text/parameters\r\nContent-Length: 19\r\n\r\n"
                  "Renew-Stream: yes\r\n");
    auto renew = client_->ReadAnswer();
    ASSERT_TRUE(renew.has_value());
    // Frames sent before the request was handled may still be queued; within a few frame
    // starts an SPS must lead one.
    bool at_frame_start = true;  // the loop above stopped right after a marker
    for (int starts = 0; starts < 4;) {
        auto p = NextRtp();
        ASSERT_TRUE(p);
        if (at_frame_start) {
            ++starts;
            if ((static_cast<uint8_t>((*p)[12]) & 0x1F) == 7)
                return;
        }
        at_frame_start = Fields(*p).marker;
    }
    ADD_FAILURE() << "no SPS after Renew-Stream";
}

}  // namespace
}  // namespace camsim
