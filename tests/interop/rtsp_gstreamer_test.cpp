// The RTSP client against GStreamer's RTSP server (tests/interop/rtsp_gst_server.py), over UDP,
// TCP-interleaved and multicast, with Basic and Digest authentication.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gst_rtsp_server.h"
#include "rtsp/rtcp_handler.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp/rtsp_http_tunnel.h"
#include "rtsp/rtsp_transports.h"

namespace vornak {
namespace {

using interop::CGstServer;
using interop::CPrintingDebug;

constexpr const char* kNetnsVariable = "QUILLON_RTSP_NETNS";

// Collects RTP from either path (UDP receiver or the RTSP connection) and opens the multicast
// receiver when the session names its group.
class CStreamUser : public IRTSPClientUserEx, public IRTPReceiverUser {
  public:
    bool OnRtspDescribeProcessed(const SessionDescription& d) override {
        std::lock_guard lock(mutex_);
        encoding = d.video.encoding;
        spsSize = d.spsBytes.size();
        return true;
    }
    void OnRtspPacketReceived(const CRTPPacket& packet) override { Add(packet.sequence); }
    void OnRtspSessionClosed() override {
        std::lock_guard lock(mutex_);
        closed = true;
        changed_.notify_all();
    }
    void OnRtcpBye() override {}
    bool OnRtspSetupProcessed(const char* destination, uint16_t port) override {
        group = destination;
        groupPort = port;
        return multicastReceiver != nullptr &&
               multicastReceiver->OpenMulticast(destination, port, interfaceAddress);
    }
    void OnRtspPlayProcessed(uint32_t, uint16_t sequence) override { playSequence = sequence; }
    void PacketReceived(const sockaddr_in&, const CRTPPacket& packet) override {
        Add(packet.sequence);
    }
    void OnReceiveTimeout() override {}
    void OnSocketClosed() override {}

    bool WaitForPackets(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(15),
                                 [&] { return sequences.size() >= count; });
    }
    // Each packet follows the one before it (loopback does not reorder).
    bool InOrder() {
        std::lock_guard lock(mutex_);
        for (size_t i = 1; i < sequences.size(); ++i) {
            const uint16_t step = static_cast<uint16_t>(sequences[i] - sequences[i - 1]);
            if (step == 0 || step > 0x7FFF) {
                return false;
            }
        }
        return true;
    }

    CRTPReceiver* multicastReceiver = nullptr;
    uint32_t interfaceAddress = 0;
    std::string group;
    uint16_t groupPort = 0;
    uint16_t playSequence = 0;
    std::string encoding;
    size_t spsSize = 0;
    std::vector<uint16_t> sequences;
    bool closed = false;

  private:
    void Add(uint16_t sequence) {
        std::lock_guard lock(mutex_);
        sequences.push_back(sequence);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

RTSPClientSettings SettingsFor(uint16_t port) {
    RTSPClientSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    s.path = "/test";
    s.userName = "root";
    s.password = "pass";
    return s;
}

struct Case {
    const char* transport;  // udp, tcp, mcast
    const char* auth;
};

class RTSPGStreamerTest : public ::testing::TestWithParam<Case> {};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return std::string(info.param.transport) + "_" + info.param.auth;
}

// Runs this test again inside a network namespace of its own (created holding only loopback), so
// no multicast packet can leave the machine.
enum class Namespace { kInside, kRanThere, kNotPermitted };

Namespace RunInOwnNetworkNamespace() {
    if (std::getenv(kNetnsVariable) != nullptr) {
        return Namespace::kInside;
    }
    if (std::system("unshare -n true > /dev/null 2>&1") != 0) {
        return Namespace::kNotPermitted;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const std::string command = std::string(kNetnsVariable) + "=1 unshare -n /proc/" +
                                std::to_string(getpid()) + "/exe " + filter;
    EXPECT_EQ(std::system(command.c_str()), 0) << "the run inside the namespace failed";
    return Namespace::kRanThere;
}

// The client's namespace: loopback only, until the server's veth pair joins it. The camera's
// side runs in a second namespace because a server that sends to a group port also binds that
// port without sharing it, so client and server cannot share one namespace.
bool PrepareClientNamespace() {
    return std::system("ip link set lo up") == 0;
}

TEST_P(RTSPGStreamerTest, SessionDeliversPacketsInOrder) {
    const Case c = GetParam();
    const std::string transport = c.transport;
    if (transport == "mcast") {
        const Namespace where = RunInOwnNetworkNamespace();
        if (where == Namespace::kNotPermitted) {
            GTEST_SKIP() << "multicast runs only in a network namespace of its own, and "
                            "unshare -n is not permitted here";
        }
        if (where == Namespace::kRanThere) {
            return;
        }
        ASSERT_TRUE(PrepareClientNamespace());
    }
    CGstServer server;
    const bool multicast = transport == "mcast";
    std::vector<std::string> options = {"--auth", c.auth, "--protocols",
                                        multicast ? "mcast" : "udp,tcp,http"};
    if (multicast) {
        options.insert(options.end(), {"--address", "10.200.0.2", "--multicast-iface", "vethB"});
    }
    const std::string failure = server.Start(options, multicast);
    if (!failure.empty()) {
        GTEST_SKIP() << "GStreamer's RTSP server is not usable here: " << failure;
    }
    RTSPClientSettings settings = SettingsFor(server.Port());
    if (multicast) {
        settings.host = "10.200.0.2";
    }
    CStreamUser user;
    CPrintingDebug debug;
    CRTPReceiver receiver(&debug);
    receiver.SetUser(&user);
    CRTCPHandler rtcp(&debug);
    std::unique_ptr<CBaseRTSPClient> client;

    if (transport == "udp") {
        ASSERT_TRUE(receiver.Open(0));
        ASSERT_TRUE(rtcp.Open(htonl(INADDR_LOOPBACK), 0));
        settings.clientRtpPort = receiver.GetBoundPort();
        settings.clientRtcpPort = rtcp.GetBoundPort();
        client = std::make_unique<CRTSPClientUDP>(&debug, "interop");
        ASSERT_TRUE(client->Start(settings, &user));
    } else if (transport == "tcp") {
        client = std::make_unique<CRTSPClientInterleaved>(&debug, "interop");
        ASSERT_TRUE(client->Start(settings, &user));
    } else if (transport == "http") {
        client = std::make_unique<CRTSPClientHTTP>(&debug, "interop");
        ASSERT_TRUE(client->Start(settings, &user));
    } else {
        user.multicastReceiver = &receiver;
        user.interfaceAddress = inet_addr("10.200.0.1");
        auto multicast = std::make_unique<CRTSPClientMulticast>(&debug, "interop");
        ASSERT_TRUE(multicast->Start(settings, static_cast<IRTSPClientUserEx*>(&user)));
        client = std::move(multicast);
    }
    ASSERT_TRUE(user.WaitForPackets(100))
        << "got " << user.sequences.size() << " packets, group " << user.group << ":"
        << user.groupPort << ", closed " << user.closed;
    EXPECT_TRUE(user.InOrder());
    EXPECT_EQ(user.encoding, "H264/90000");
    EXPECT_GT(user.spsSize, 0u);
    if (std::string(c.auth) != "none") {
        EXPECT_EQ(client->Settings().authMode,
                  std::string(c.auth) == "basic" ? kAuthBasic : kAuthDigest);
    }
    if (transport == "mcast") {
        EXPECT_EQ(user.group.rfind("239.255.42.", 0), 0u);
        EXPECT_GE(user.groupPort, 5000);
    }
    if (transport == "udp") {
        // The server's sender reports lock the RTCP handler to the stream's source.
        for (int i = 0; i < 100 && rtcp.GetSourceSsrc() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_NE(rtcp.GetSourceSsrc(), 0u) << "no sender report reached the handler";
    }
    client->Stop();
    EXPECT_TRUE(user.closed);
    receiver.Close();
    rtcp.Close();
}

INSTANTIATE_TEST_SUITE_P(Transports, RTSPGStreamerTest,
                         ::testing::Values(Case{"udp", "none"}, Case{"udp", "basic"},
                                           Case{"udp", "digest"}, Case{"tcp", "basic"},
                                           Case{"tcp", "digest"}, Case{"http", "none"},
                                           Case{"http", "digest"}, Case{"mcast", "basic"},
                                           Case{"mcast", "digest"}),
                         CaseName);

}  // namespace
}  // namespace vornak
