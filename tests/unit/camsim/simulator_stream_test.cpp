// RTP stream behaviour of the simulator: continuous clock across clip loops, receiver reports,
// delayed RTSP answers, pause and renewal.
#include <gtest/gtest.h>

#include <thread>

#include "camsim/camsim.h"
#include "camsim/text_util.h"
#include "sim_client.h"

namespace camsim {
namespace {

using testing::TcpClient;

const std::string kAuth = "Authorization: Basic " + Base64Encode(std::string("root:pass")) + "\r\n";

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

class StreamTest : public ::testing::Test {
  protected:
    void Start(bool fast) {
        Options o;
        o.as_fast_as_possible = fast;
        o.rtcp_interval = std::chrono::milliseconds(100);
        sim_ = std::make_unique<Simulator>(o);
        ASSERT_TRUE(sim_->Start());
        client_ = std::make_unique<TcpClient>(sim_->RtspPort());
    }

    std::string Request(const std::string& method, const std::string& extra) {
        std::string url = "rtsp://127.0.0.1:" + std::to_string(sim_->RtspPort()) +
                          "/axis-media/media.amp" + (method == "SETUP" ? "/trackID=1" : "") +
                          "?videocodec=h264&resolution=320x240";
        client_->Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                      "\r\n" + kAuth + extra + (id_.empty() ? "" : "Session: " + id_ + "\r\n") +
                      "\r\n");
        return client_->ReadAnswer().value_or("");
    }

    // Next RTP packet, skipping RTCP.
    std::optional<std::string> NextRtp(int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return std::nullopt;
            auto f = client_->ReadFrame(static_cast<int>(left));
            if (!f)
                return std::nullopt;
            if (f->first == 0)
                return f->second;
        }
    }

    void SetupAndPlay() {
        std::string setup = Request("SETUP", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
        size_t at = setup.find("Session: ");
        ASSERT_NE(at, std::string::npos) << setup;
        id_ = setup.substr(at + 9, 8);
        ASSERT_EQ(Request("PLAY", "").rfind("RTSP/1.0 200", 0), 0u);
    }

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<TcpClient> client_;
    int cseq_ = 0;
    std::string id_;
};

TEST_F(StreamTest, ClockAndSequenceContinueAcrossClipLoops) {
    Start(true);
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

TEST_F(StreamTest, ReceiverReportsAreCountedAndKeepTheSessionAlive) {
    Start(false);
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
    EXPECT_GE(c.streams[0].rtcp_sr, 5u) << "SRs every 100 ms here";
}

TEST_F(StreamTest, DelayedAndWithheldRtspAnswers) {
    Start(false);
    Fault delay;
    delay.kind = Fault::Kind::kDelay;
    delay.delay = std::chrono::milliseconds(300);
    delay.count = 1;
    sim_->SetRtspFault("OPTIONS", delay);
    auto t0 = std::chrono::steady_clock::now();
    std::string a = Request("OPTIONS", "");
    EXPECT_EQ(a.rfind("RTSP/1.0 200", 0), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));

    Fault withhold;
    withhold.kind = Fault::Kind::kWithhold;
    withhold.count = 1;
    sim_->SetRtspFault("DESCRIBE", withhold);
    client_->Send("DESCRIBE rtsp://127.0.0.1/axis-media/media.amp RTSP/1.0\r\nCSeq: 50\r\n" +
                  kAuth + "\r\n");
    EXPECT_FALSE(client_->ReadAnswer(300).has_value()) << "no answer at all";
    EXPECT_EQ(Request("OPTIONS", "").find("CSeq: " + std::to_string(cseq_)), 17u)
        << "the connection still serves later requests";

    Fault status;
    status.status = 500;
    status.count = 1;
    sim_->SetRtspFault("", status);
    EXPECT_EQ(Request("OPTIONS", "").rfind("RTSP/1.0 500 Internal Server Error", 0), 0u);
}

TEST_F(StreamTest, PauseStopsAndPlayResumesOnTheLiveClock) {
    Start(false);
    SetupAndPlay();
    auto first = NextRtp();
    ASSERT_TRUE(first);
    uint32_t ts0 = Fields(*first).ts;
    ASSERT_EQ(Request("PAUSE", "").rfind("RTSP/1.0 200", 0), 0u);
    // What was in flight arrives at once; then RTP stays silent (RTCP may go on).
    while (NextRtp(100)) {
    }
    auto paused_at = std::chrono::steady_clock::now();
    EXPECT_FALSE(NextRtp(300).has_value()) << "no RTP while paused";
    std::string play = Request("PLAY", "");
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

TEST_F(StreamTest, RenewStreamStartsOverAtAKeyFrame) {
    Start(false);
    SetupAndPlay();
    // Let a few frames pass so that the next one would not be a key frame.
    for (int frames = 0; frames < 5;) {
        auto p = NextRtp();
        ASSERT_TRUE(p);
        if (Fields(*p).marker)
            ++frames;
    }
    client_->Send("SET_PARAMETER rtsp://127.0.0.1/axis-media/media.amp RTSP/1.0\r\nCSeq: 90\r\n" +
                  kAuth + "Session: " + id_ +
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
