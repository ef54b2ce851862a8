// The RTSP client against GStreamer's RTSP server (tests/interop/rtsp_gst_server.py), over UDP,
// TCP-interleaved and multicast, with Basic and Digest authentication.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gst_rtsp_server.h"
#include "rtsp_stream_user.h"

namespace vornak {
namespace {

using interop::CGstServer;
using interop::CPrintingDebug;

constexpr const char* kNetnsVariable = "QUILLON_RTSP_NETNS";

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
    const char* transport;  // udp, tcp, http, multicast
    const char* auth;
};

class RTSPGStreamerTest : public ::testing::TestWithParam<Case> {};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return std::string(info.param.transport) + "_" + info.param.auth;
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
    if (transport == "multicast") {
        const test::Namespace where = test::RerunInOwnNetworkNamespace(kNetnsVariable);
        if (where == test::Namespace::kNotPermitted) {
            GTEST_SKIP() << "multicast runs only in a network namespace of its own, and "
                            "unshare -n is not permitted here";
        }
        if (where == test::Namespace::kRanThere) {
            return;
        }
        ASSERT_TRUE(PrepareClientNamespace());
    }
    CGstServer server;
    const bool multicast = transport == "multicast";
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
    test::CStreamUser user;
    CPrintingDebug debug;
    CRTPReceiver receiver(&debug);
    receiver.SetUser(&user);
    CRTCPHandler rtcp(&debug);
    std::unique_ptr<CBaseRTSPClient> client;

    user.openMulticast = [&receiver](const char* group, uint16_t port) {
        return receiver.OpenMulticast(group, port, inet_addr("10.200.0.1"));
    };
    ASSERT_TRUE(test::StartClient(transport, settings, user, receiver, rtcp, &debug, client));
    ASSERT_TRUE(user.WaitUntil([&] { return user.sequences.size() >= 100; }, 15))
        << "got " << user.Packets() << " packets, group " << user.group << ":" << user.groupPort
        << ", closed " << user.closed;
    EXPECT_TRUE(user.InOrder());
    EXPECT_EQ(user.encoding, "H264/90000");
    EXPECT_GT(user.spsSize, 0u);
    if (std::string(c.auth) != "none") {
        EXPECT_EQ(client->Settings().authMode,
                  std::string(c.auth) == "basic" ? kRtspAuthBasic : kRtspAuthDigest);
    }
    if (transport == "multicast") {
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

// Each transport once and each scheme on more than one transport: the request and
// authentication code is the same for every transport.
INSTANTIATE_TEST_SUITE_P(Transports, RTSPGStreamerTest,
                         ::testing::Values(Case{"udp", "none"}, Case{"udp", "digest"},
                                           Case{"tcp", "basic"}, Case{"http", "digest"},
                                           Case{"multicast", "basic"}),
                         CaseName);

}  // namespace
}  // namespace vornak
