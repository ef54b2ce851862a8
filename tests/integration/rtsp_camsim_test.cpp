// The RTSP/RTP stack against the simulated camera, for each transport: Digest after a 401,
// SETUP, PLAY, keep-alive timing, sessions longer than the camera's time-out, PAUSE and PLAY, the
// camera's BYE, TEARDOWN on stop, and receiver reports that only ever follow the camera's sender
// reports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "camsim/camsim.h"
#include "rtsp_stream_user.h"

namespace vornak {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kNetnsVariable = "QUILLON_RTSP_CAMSIM_NETNS";
constexpr const char* kPath = "/axis-media/media.amp?videocodec=h264";

enum class Kind { kUdp, kTcp, kHttp, kMulticast };

const char* TransportName(Kind kind) {
    static const char* kNames[] = {"udp", "tcp", "http", "multicast"};
    return kNames[static_cast<int>(kind)];
}

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
    return TransportName(info.param);
}

// Multicast runs in a network namespace of its own holding only loopback.
enum class Where { kHere, kRanThere, kNotPermitted };

Where EnterOwnNamespaceForMulticast() {
    switch (test::RerunInOwnNetworkNamespace(kNetnsVariable)) {
        case test::Namespace::kInside:
            return std::system(
                       "ip link set lo up && ip link set lo multicast on && "
                       "ip route add 224.0.0.0/4 dev lo") == 0
                       ? Where::kHere
                       : Where::kNotPermitted;
        case test::Namespace::kRanThere:
            return Where::kRanThere;
        case test::Namespace::kNotPermitted:
            break;
    }
    return Where::kNotPermitted;
}

// One camera, one client of the given kind, and the UDP receivers it needs.
class RTSPCamsimTest : public ::testing::TestWithParam<Kind> {
  protected:
    void SetUp() override {
        if (GetParam() == Kind::kMulticast) {
            const Where where = EnterOwnNamespaceForMulticast();
            if (where == Where::kNotPermitted) {
                GTEST_SKIP() << "multicast runs only in a network namespace of its own, and "
                                "unshare -n is not permitted here";
            }
            if (where == Where::kRanThere) {
                delegated_ = true;  // the run inside the namespace carried the checks
                return;
            }
        }
        camsim::Options options;
        options.rtsp_auth.schemes = camsim::AuthSchemes::kDigest;
        options.rtsp_auth_over_http = true;
        options.session_timeout = std::chrono::seconds(6);
        options.rtcp_interval = std::chrono::milliseconds(400);
        sim_ = std::make_unique<camsim::Simulator>(options);
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
    }

    void TearDown() override {
        if (client_) {
            client_->Stop();
        }
        receiver_.Close();
        rtcp_.Close();
        if (sim_) {
            sim_->Stop();
        }
    }

    bool StartClient(const std::string& path) {
        RTSPClientSettings s;
        s.host = "127.0.0.1";
        s.port = sim_->RtspPort();
        s.path = path;
        s.userName = "root";
        s.password = "pass";
        receiver_.SetUser(&user_);
        rtcp_.SetUser(&user_);
        user_.onPacket = [this](const CRTPPacket& packet) { rtcp_.AcceptRtp(packet); };
        if (GetParam() == Kind::kHttp) {
            s.port = sim_->HttpPort();
        }
        user_.openMulticast = [this](const char* group, uint16_t port) {
            return receiver_.OpenMulticast(group, port, 0) &&
                   rtcp_.OpenMulticast(htonl(INADDR_LOOPBACK), group,
                                       static_cast<uint16_t>(port + 1));
        };
        return test::StartClient(Transport(), s, user_, receiver_, rtcp_, nullptr, client_);
    }

    uint64_t Requests(const std::string& method) {
        const auto counters = sim_->GetCounters();
        const auto it = counters.rtsp_requests.find(method);
        return it == counters.rtsp_requests.end() ? 0 : it->second;
    }

    // Polls the camera's counters (bounded) until the condition holds.
    bool WaitForCamera(const std::function<bool()>& condition, int seconds = 10) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return condition();
    }

    std::string Transport() const { return TransportName(GetParam()); }
    // True in the outer run of a multicast case, whose work happened inside the namespace.
    bool Delegated() const { return delegated_; }
    bool UsesUdp() const { return GetParam() == Kind::kUdp || GetParam() == Kind::kMulticast; }

    std::unique_ptr<camsim::Simulator> sim_;
    test::CStreamUser user_;
    CRTPReceiver receiver_{nullptr};
    CRTCPHandler rtcp_{nullptr};
    std::unique_ptr<CBaseRTSPClient> client_;
    bool delegated_ = false;
};

TEST_P(RTSPCamsimTest, SessionWithDigestAndTeardown) {
    if (Delegated()) {
        return;
    }
    ASSERT_TRUE(StartClient(kPath));
    ASSERT_TRUE(user_.WaitUntil([&] { return user_.sequences.size() >= 30; }))
        << "packets: " << user_.Packets();
    EXPECT_EQ(user_.encoding, "H264/90000");
    EXPECT_EQ(Requests("DESCRIBE"), 2u) << "401 first, then Digest";
    EXPECT_EQ(client_->Settings().authMode, kRtspAuthDigest);
    EXPECT_EQ(Requests("SETUP"), 1u);
    EXPECT_EQ(Requests("PLAY"), 1u);
    client_->Stop();
    EXPECT_TRUE(user_.closed);
    EXPECT_TRUE(WaitForCamera([&] { return Requests("TEARDOWN") == 1; }));
    EXPECT_EQ(sim_->ActiveSessions(), 0u);
}

TEST_P(RTSPCamsimTest, KeepAliveBetweenTwoThirdsOfTimeoutAndTwoSecondsLater) {
    if (Delegated()) {
        return;
    }
    if (!UsesUdp()) {
        GTEST_SKIP() << "inside the RTSP connection keep-alives go with the media, unanswered";
    }
    const auto started = Clock::now();
    ASSERT_TRUE(StartClient(kPath));
    ASSERT_TRUE(WaitForCamera([&] { return Requests("GET_PARAMETER") >= 1; }, 10));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    // Session time-out 6 s: due after 4 s, looked at every second.
    EXPECT_GE(seconds, 4.0);
    EXPECT_LE(seconds, 6.2);
    EXPECT_EQ(sim_->ActiveSessions(), 1u) << "the camera kept the session";
}

// The camera expires silent sessions after 3 s, refuses GET_PARAMETER and, once media flows,
// takes every nonce it gave out for stale: for 2.5 time-outs only what the client sends keeps the
// session, receiver reports inside the connection or OPTIONS, each under a fresh nonce.
TEST_P(RTSPCamsimTest, SessionOutlivesTheCamerasTimeOut) {
    if (Delegated()) {
        return;
    }
    sim_->SetSessionTimeout(std::chrono::seconds(3));
    camsim::Fault refuse;
    refuse.status = 501;
    sim_->SetRtspFault("GET_PARAMETER", refuse);
    ASSERT_TRUE(StartClient(kPath));
    ASSERT_TRUE(user_.WaitUntil([&] { return !user_.sequences.empty(); }));
    sim_->ExpireNonces();
    std::this_thread::sleep_for(std::chrono::milliseconds(7500));
    EXPECT_EQ(sim_->ActiveSessions(), 1u);
    std::vector<uint16_t> sequences;
    int byes = 0;
    user_.WaitUntil([&] {  // a copy under the user's lock
        sequences = user_.sequences;
        byes = user_.byes;
        return true;
    });
    EXPECT_EQ(byes, 0) << "the camera ended the session";
    ASSERT_GT(sequences.size(), 100u);
    for (size_t i = 1; i < sequences.size(); ++i) {
        ASSERT_EQ(static_cast<uint16_t>(sequences[i] - sequences[i - 1]), 1) << i;
    }
    if (UsesUdp()) {
        EXPECT_EQ(Requests("GET_PARAMETER"), 1u) << "refused once, then OPTIONS";
        EXPECT_GE(Requests("OPTIONS"), 2u);
    } else {
        EXPECT_GE(sim_->GetCounters().streams.back().rtcp_rr_received, 5u);
    }
}

TEST_P(RTSPCamsimTest, PauseAndPlay) {
    if (Delegated()) {
        return;
    }
    if (!UsesUdp()) {
        GTEST_SKIP() << "this transport serves no pause or play requests while playing";
    }
    ASSERT_TRUE(StartClient(kPath));
    ASSERT_TRUE(user_.WaitUntil([&] { return user_.sequences.size() >= 10; }));
    client_->RequestPause();
    ASSERT_TRUE(WaitForCamera([&] { return Requests("PAUSE") == 1; }));
    EXPECT_TRUE(WaitForCamera([&] { return client_->IsPaused(); }));
    const size_t before = user_.Packets();
    client_->RequestPlay();
    ASSERT_TRUE(WaitForCamera([&] { return Requests("PLAY") == 2; }));
    EXPECT_TRUE(user_.WaitUntil([&] { return user_.sequences.size() >= before + 10; }))
        << "media again after PLAY";
}

TEST_P(RTSPCamsimTest, CameraByeEndsTheStream) {
    if (Delegated()) {
        return;
    }
    ASSERT_TRUE(StartClient(std::string(kPath) + "&duration=1"));
    ASSERT_TRUE(user_.WaitUntil([&] { return user_.byes >= 1; }))
        << "the camera's BYE reached the user";
    if (!UsesUdp()) {
        // Inside the RTSP connection the BYE ends the session on its own, with TEARDOWN.
        EXPECT_TRUE(user_.WaitUntil([&] { return user_.closed; }));
        EXPECT_TRUE(WaitForCamera([&] { return Requests("TEARDOWN") == 1; }));
    }
}

TEST_P(RTSPCamsimTest, ReceiverReportsOnlyAfterSenderReports) {
    if (Delegated()) {
        return;
    }
    if (!UsesUdp()) {
        GTEST_SKIP() << "inside the RTSP connection reports keep the session from the start";
    }
    ASSERT_TRUE(StartClient(kPath));
    // Every look at the camera: reports received never outnumber sender reports sent, so none
    // came before the first.
    bool sawReport = false;
    const auto end = Clock::now() + std::chrono::seconds(6);
    while (Clock::now() < end && !sawReport) {
        for (const auto& stream : sim_->GetCounters().streams) {
            ASSERT_LE(stream.rtcp_rr_received, stream.rtcp_sr);
            sawReport = sawReport || stream.rtcp_rr_received >= 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(sawReport) << "no receiver report reached the camera";
    EXPECT_NE(rtcp_.GetSourceSsrc(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, RTSPCamsimTest,
                         ::testing::Values(Kind::kUdp, Kind::kTcp, Kind::kHttp, Kind::kMulticast),
                         KindName);

}  // namespace
}  // namespace vornak
