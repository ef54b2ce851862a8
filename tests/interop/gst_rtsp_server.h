// GStreamer's RTSP server (tests/interop/rtsp_gst_server.py) as a child process of a test,
// stopped by its PID, and a log sink for the stacks under test.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/debug.h"
#include "interop/peers.h"

namespace vornak::interop {

inline constexpr const char* kPython = "/usr/bin/python3";
// Run by the server's namespace: wait (bounded) for its veth end, give it an address and the
// multicast route, then start the server.
inline constexpr const char* kServerNamespaceSetup =
    "i=0; while ! ip link show vethB > /dev/null 2>&1; do i=$((i+1)); "
    "[ $i -gt 100 ] && exit 1; sleep 0.05; done; "
    "ip link set lo up && ip addr add 10.200.0.2/24 dev vethB && ip link set vethB up && "
    "ip link set vethB multicast on && ip route add 224.0.0.0/4 dev vethB && exec \"$@\"";

// Runs the helper script as a child and stops it by its PID.
class CGstServer {
  public:
    // Empty text on success, else why the server could not be started. With `ownNamespace` the
    // server runs in a network namespace of its own joined to this one by a veth pair (the
    // multicast cases of rtsp_gstreamer_test.cpp).
    std::string Start(const std::vector<std::string>& options, bool ownNamespace = false) {
        std::vector<std::string> args;
        if (ownNamespace) {
            args = {"/usr/bin/unshare", "-n", "/bin/sh", "-c", kServerNamespaceSetup, "sh"};
        }
        args.insert(args.end(),
                    {kPython, std::string(QUILLON_SOURCE_DIR) + "/tests/interop/rtsp_gst_server.py",
                     "--lifetime", "90"});
        args.insert(args.end(), options.begin(), options.end());
        const std::string log = dir_.path() + "/log";
        if (!server_.Launch(args, log)) {
            return "could not start " + args[0];
        }
        if (ownNamespace && !JoinServerNamespace()) {
            server_.Stop();
            return "could not join the server's namespace";
        }
        // The helper's first line names its port.
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while ((text = ::interop::ReadFile(log)).find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (text.rfind("PORT ", 0) != 0) {
            server_.Stop();
            return "helper did not start: " + ::interop::ReadFile(log);
        }
        port_ = static_cast<uint16_t>(std::atoi(text.c_str() + 5));
        return {};
    }

    // Waits until the child has its own namespace, then hands it one end of a veth pair.
    bool JoinServerNamespace() {
        char own[64] = {};
        if (readlink("/proc/self/ns/net", own, sizeof(own) - 1) <= 0) {
            return false;
        }
        const std::string pid = std::to_string(server_.pid());
        for (int i = 0; i < 100; ++i) {
            char theirs[64] = {};
            if (readlink(("/proc/" + pid + "/ns/net").c_str(), theirs, sizeof(theirs) - 1) > 0 &&
                std::string(theirs) != own) {
                const std::string command =
                    "ip link add vethA type veth peer name vethB netns " + pid +
                    " && ip addr add 10.200.0.1/24 dev vethA && ip link set vethA up && "
                    "ip link set vethA multicast on && ip route add 224.0.0.0/4 dev vethA";
                return std::system(command.c_str()) == 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    uint16_t Port() const { return port_; }

  private:
    ::interop::TempDir dir_;
    ::interop::PeerProcess server_;  // declared last: stopped before the folder goes
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

}  // namespace vornak::interop
