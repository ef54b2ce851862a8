// The RTSP client against GStreamer's RTSP server (tests/interop/rtsp_gst_server.py), over UDP,
// TCP-interleaved and multicast, with Basic and Digest authentication.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "rtsp/rtcp_handler.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp/rtsp_http_tunnel.h"
#include "rtsp/rtsp_transports.h"
#include "rtsp_stream_user.h"

namespace vornak {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kNetnsVariable = "QUILLON_RTSP_NETNS";
// Run by the server's namespace: wait (bounded) for its veth end, give it an address and the
// multicast route, then start the server.
constexpr const char* kServerNamespaceSetup =
    "i=0; while ! ip link show vethB > /dev/null 2>&1; do i=$((i+1)); "
    "[ $i -gt 100 ] && exit 1; sleep 0.05; done; "
    "ip link set lo up && ip addr add 10.200.0.2/24 dev vethB && ip link set vethB up && "
    "ip link set vethB multicast on && ip route add 224.0.0.0/4 dev vethB && exec \"$@\"";

// Runs the helper script as a child and stops it by its PID.
class CGstServer {
  public:
    ~CGstServer() { Stop(); }

    // Empty text on success, else why the server could not be started. With `ownNamespace` the
    // server runs in a network namespace of its own joined to this one by a veth pair (see
    // MulticastNamespaces below).
    std::string Start(const std::vector<std::string>& options, bool ownNamespace = false) {
        const std::string script =
            std::string(QUILLON_SOURCE_DIR) + "/tests/interop/rtsp_gst_server.py";
        int out[2];
        if (pipe(out) != 0) {
            return "no pipe";
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> args;
            if (ownNamespace) {
                args = {"/usr/bin/unshare", "-n", "/bin/sh", "-c", kServerNamespaceSetup, "sh"};
            }
            args.insert(args.end(), {kPython, script, "--lifetime", "90"});
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (ownNamespace && !JoinServerNamespace()) {
            close(out[0]);
            close(out[1]);
            Stop();
            return "could not join the server's namespace";
        }
        close(out[1]);
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd fd{out[0], POLLIN, 0};
            if (poll(&fd, 1, 200) > 0) {
                char buffer[128];
                const ssize_t n = read(out[0], buffer, sizeof(buffer));
                if (n <= 0) {
                    break;
                }
                line.append(buffer, static_cast<size_t>(n));
            }
        }
        close(out[0]);
        if (line.rfind("PORT ", 0) != 0) {
            Stop();
            return "helper did not start: " + line;
        }
        port_ = static_cast<uint16_t>(std::atoi(line.c_str() + 5));
        return {};
    }

    // Waits until the child has its own namespace, then hands it one end of a veth pair.
    bool JoinServerNamespace() {
        char own[64] = {};
        if (readlink("/proc/self/ns/net", own, sizeof(own) - 1) <= 0) {
            return false;
        }
        const std::string child = "/proc/" + std::to_string(pid_) + "/ns/net";
        for (int i = 0; i < 100; ++i) {
            char theirs[64] = {};
            if (readlink(child.c_str(), theirs, sizeof(theirs) - 1) > 0 &&
                std::string(theirs) != own) {
                const std::string command =
                    "ip link add vethA type veth peer name vethB netns " + std::to_string(pid_) +
                    " && ip addr add 10.200.0.1/24 dev vethA && ip link set vethA up && "
                    "ip link set vethA multicast on && ip route add 224.0.0.0/4 dev vethA";
                return std::system(command.c_str()) == 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void Stop() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGTERM);
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    uint16_t Port() const { return port_; }

  private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// Log lines go to the test's output.
class CPrintingDebug : public IDebugMessage {
  public:
    std::string GetDeviceName() override { return "127.0.0.1"; }
    void DebugMessage(uint32_t level, const char* format, ...) override {
        va_list args;
        va_start(args, format);
        std::fprintf(stderr, "[%u] %s\n", level, FormatV(format, args).c_str());
        va_end(args);
    }
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
    test::CStreamUser user;
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
        user.openMulticast = [&receiver](const char* group, uint16_t port) {
            return receiver.OpenMulticast(group, port, inet_addr("10.200.0.1"));
        };
        auto multicast = std::make_unique<CRTSPClientMulticast>(&debug, "interop");
        ASSERT_TRUE(multicast->Start(settings, static_cast<IRTSPClientUserEx*>(&user)));
        client = std::move(multicast);
    }
    ASSERT_TRUE(user.WaitUntil([&] { return user.sequences.size() >= 100; }, 15))
        << "got " << user.Packets() << " packets, group " << user.group << ":" << user.groupPort
        << ", closed " << user.closed;
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

// Each transport once and each scheme on more than one transport: the request and
// authentication code is the same for every transport.
INSTANTIATE_TEST_SUITE_P(Transports, RTSPGStreamerTest,
                         ::testing::Values(Case{"udp", "none"}, Case{"udp", "digest"},
                                           Case{"tcp", "basic"}, Case{"http", "digest"},
                                           Case{"mcast", "basic"}),
                         CaseName);

}  // namespace
}  // namespace vornak
