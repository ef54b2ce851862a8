// The in-process simulator seen from the wire, for what no driver or peer test exercises: old
// firmware's HTTP/1.0, stream profiles, RTP faults, RTSP refusals, session expiry with BYE,
// delayed and withheld answers, Renew-Stream, and the storage card with its playback.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "camsim/camsim.h"
#include "camsim/fault_schedule.h"
#include "camsim/rtcp.h"
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

TEST_F(SimulatorTest, StreamProfileDrivesTheCodec) {
    sim_->SetParam("StreamProfile.S0.Parameters", "videocodec=jpeg");
    TcpClient c(sim_->RtspPort());
    std::string d = Rtsp(c, "DESCRIBE", Url("streamprofile=Quality"), 1);
    EXPECT_NE(d.find("a=rtpmap:26 JPEG/90000"), std::string::npos) << d;
}

// Only the drop fault is exercised by a driver test; duplicates and reordering are checked here.
TEST_F(SimulatorTest, PacketFaultsDropDuplicateAndReorder) {
    RtpFaultPlan plan;
    plan.drop = {1};
    plan.duplicate = {3};
    plan.reorder = {5};
    sim_->SetRtpFaults(plan);
    SetupAndPlay();
    std::vector<uint16_t> seqs;
    while (seqs.size() < 12) {
        auto p = NextRtp();
        ASSERT_TRUE(p);
        seqs.push_back(Fields(*p).seq);
    }
    for (size_t i = seqs.size(); i-- > 0;)
        seqs[i] = static_cast<uint16_t>(seqs[i] - seqs[0]);
    // Packet 1 dropped, 3 sent twice, 5 sent after 6.
    EXPECT_EQ(seqs, (std::vector<uint16_t>{0, 2, 3, 3, 4, 6, 5, 7, 8, 9, 10, 11}));
}

// A scheduled loss window reaches a UDP stream already running, every Nth packet of it, and
// ends with its window; the interleaved stream beside it (TCP would hide loss) stays whole.
TEST_F(SimulatorTest, ScheduledRtpLossReachesRunningUdpStreamsForItsWindow) {
    SetupAndPlay();  // interleaved, on the fixture's connection
    UdpReceiver rtp, rtcp;
    TcpClient c(sim_->RtspPort());
    const std::string q = "videocodec=h264&resolution=320x240";
    const std::string setup =
        Rtsp(c, "SETUP", Track(q), 1,
             "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtp.Port()) + "-" +
                 std::to_string(rtcp.Port()) + "\r\n");
    const std::string id = HeaderValue(setup, "Session").substr(0, 8);
    ASSERT_EQ(Rtsp(c, "PLAY", Url(q), 2, "Session: " + id + "\r\n").rfind("RTSP/1.0 200", 0), 0u);
    // Sequence steps over the next packets, once the window has started or ended.
    auto steps = [](auto next) {
        std::vector<int> out;
        auto last = next();
        for (int i = 0; i < 12 && last; ++i) {
            auto p = next();
            if (!p) {
                break;
            }
            out.push_back(static_cast<uint16_t>(Fields(*p).seq - Fields(*last).seq));
            last = p;
        }
        return out;
    };
    auto udp = [&] { return rtp.Receive(); };
    auto tcp = [&] { return NextRtp(); };
    FaultScheduleRunner runner(*sim_, *ParseFaultSchedule("0 rtp-drop 10 3\n", nullptr), nullptr);
    runner.Advance(0);
    rtp.Receive();  // what was on its way before
    auto lossy = steps(udp);
    EXPECT_NE(std::count(lossy.begin(), lossy.end(), 2), 0) << "every third packet dropped";
    EXPECT_EQ(std::count(lossy.begin(), lossy.end(), 1) + std::count(lossy.begin(), lossy.end(), 2),
              12);
    const auto whole = steps(tcp);
    EXPECT_EQ(whole, std::vector<int>(12, 1));
    runner.Advance(10);
    rtp.Receive();
    EXPECT_EQ(steps(udp), std::vector<int>(12, 1)) << "the window is over";
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
        {"DESCRIBE", Url("videocodec=vp8"), "", "400", "codec the camera lacks"},
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
    std::string id = HeaderValue(setup, "Session").substr(0, 8);
    ASSERT_EQ(Rtsp(c, "PLAY", Url(q), 2, "Session: " + id + "\r\n").rfind("RTSP/1.0 200", 0), 0u);
    ASSERT_TRUE(rtp.Receive());

    // Then keep-alives the camera ignores: the session ends and RTCP says BYE.
    sim_->IgnoreKeepAlives(true);
    bool bye = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    for (int i = 3; !bye && std::chrono::steady_clock::now() < deadline; ++i) {
        Rtsp(c, "GET_PARAMETER", Url(q), i, "Session: " + id + "\r\n");
        auto r = rtcp.Receive(500);
        bye = r && ParseRtcpCompound(std::vector<uint8_t>(r->begin(), r->end())).byes > 0;
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

// What the storage card and the clock answer, per card state and clock setting.
TEST_F(SimulatorTest, StorageCardRecordingsAndClock) {
    auto get = [&](const std::string& target, const std::string& body = "") {
        TcpClient c(sim_->HttpPort());
        c.Send((body.empty() ? "GET " : "POST ") + target + " HTTP/1.0\r\n" + kBasic +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return c.ReadToClose();
    };
    const struct {
        CardState card;
        const char* shows;
    } cards[] = {
        {CardState::kOk, "locked=\"no\" full=\"no\" readonly=\"no\" status=\"OK\""},
        {CardState::kLocked, "locked=\"yes\""},
        {CardState::kReadOnly, "readonly=\"yes\""},
        {CardState::kFailed, "status=\"failed\""},
        {CardState::kAbsent, "<disks numberofdisks=\"0\"/>"},
    };
    for (const auto& row : cards) {
        sim_->SetCard(row.card);
        EXPECT_NE(get("/axis-cgi/disks/list.cgi?diskid=all").find(row.shows), std::string::npos)
            << row.shows;
    }
    const struct {
        std::string query;
        const char* count;
        const char* why;
    } lists[] = {
        {"recordingid=all", "numberofrecordings=\"2\"", "the old one and the one in progress"},
        {"recordingid=all&starttime=2000-01-01T00:00:00.000Z&stoptime=2000-01-02T00:00:00Z",
         "numberofrecordings=\"0\"", "nothing overlaps"},
        {"recordingid=all&stoptime=2000-01-01T00:00:00Z", "numberofrecordings=\"0\"",
         "both started later"},
        {"recordingid=20240305_120000_0F0F_ACCC8E012345", "recordingstatus=\"completed\"",
         "one recording by id"},
    };
    for (const auto& row : lists) {
        EXPECT_NE(get("/axis-cgi/record/list.cgi?" + row.query).find(row.count), std::string::npos)
            << row.why;
    }
    sim_->SetDeviceClock({std::chrono::hours(48), std::chrono::minutes(60), true, true});
    const std::string date = get("/axis-cgi/date.cgi?action=get");
    EXPECT_NE(date.find(", 20"), std::string::npos) << "\"Mar 05, 2024 14:07:09\": " << date;
    const std::string json = get("/axis-cgi/time.cgi", R"({"method":"getDateTimeInfo"})");
    EXPECT_NE(json.find("\"dateTime\":\""), std::string::npos) << json;
    sim_->SetDeviceClock({std::chrono::milliseconds(0), std::chrono::minutes(0), false, false});
    EXPECT_NE(get("/axis-cgi/date.cgi?action=get").find("clock not set"), std::string::npos);
    EXPECT_NE(get("/axis-cgi/time.cgi", "{}").find(" 404 "), std::string::npos) << "old firmware";
}

// A recording plays from the key frame at or before the clock position asked for, and the
// answer names that frame's time and RTP timestamp.
TEST_F(SimulatorTest, RecordingPlaysFromAKeyFrameAtItsClockStart) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // 62 frames recorded
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(sim_->RtspPort()) +
                            "/axis-media/media.amp?recordingid=20240305_135900_1A2B_ACCC8E012345";
    ASSERT_EQ(Rtsp(*client_, "DESCRIBE", url, 1).rfind("RTSP/1.0 200", 0), 0u);
    const std::string setup =
        Rtsp(*client_, "SETUP", url, 2, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
    const std::string session = "Session: " + HeaderValue(setup, "Session").substr(0, 8) + "\r\n";
    const auto asked = std::chrono::system_clock::now() - std::chrono::milliseconds(500);
    const time_t seconds = std::chrono::system_clock::to_time_t(asked);
    char range[64];
    std::strftime(range, sizeof(range), "clock=%Y%m%dT%H%M%S.000Z-", std::gmtime(&seconds));
    const std::string play =
        Rtsp(*client_, "PLAY", url, 3, session + "Range: " + std::string(range) + "\r\n");
    ASSERT_EQ(play.rfind("RTSP/1.0 200", 0), 0u) << play;
    const std::string answered = HeaderValue(play, "Range");
    ASSERT_EQ(answered.size(), std::string(range).size()) << answered;
    EXPECT_LE(answered, std::string(range)) << "starts at or before the position";
    auto first = NextRtp();
    ASSERT_TRUE(first);
    EXPECT_EQ((static_cast<uint8_t>((*first)[12]) & 0x1F), 7) << "an SPS leads";
    EXPECT_NE(HeaderValue(play, "RTP-Info").find("rtptime=" + std::to_string(Fields(*first).ts)),
              std::string::npos);
}

}  // namespace
}  // namespace camsim
