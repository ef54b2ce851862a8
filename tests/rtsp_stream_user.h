// For the RTSP runs against peers (camsim, GStreamer): a user that collects RTP from either path
// (a UDP receiver or the RTSP connection), a client of each transport, and a way to run a
// multicast case in a network namespace of its own.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp/rtcp_handler.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp/rtsp_http_tunnel.h"
#include "rtsp/rtsp_interfaces.h"
#include "rtsp/rtsp_transports.h"

namespace vornak::test {

class CStreamUser : public IRTSPClientUserEx, public IRTPReceiverUser {
  public:
    bool OnRtspDescribeProcessed(const SessionDescription& d) override {
        std::lock_guard lock(mutex_);
        encoding = d.video.encoding;
        spsSize = d.parameterSets.sps.size();
        return true;
    }
    void OnRtspPacketReceived(const CRTPPacket& packet) override { Add(packet); }
    void OnRtspSessionClosed() override {
        std::lock_guard lock(mutex_);
        closed = true;
        changed_.notify_all();
    }
    void OnRtcpBye() override {
        std::lock_guard lock(mutex_);
        ++byes;
        changed_.notify_all();
    }
    // A multicast session names its group here; openMulticast joins it.
    bool OnRtspSetupProcessed(const char* destination, uint16_t port) override {
        group = destination;
        groupPort = port;
        return openMulticast && openMulticast(destination, port);
    }
    void OnRtspPlayProcessed(uint32_t, uint16_t) override {}
    void PacketReceived(const sockaddr_in&, const CRTPPacket& packet) override { Add(packet); }
    void OnReceiveTimeout() override {}
    void OnSocketClosed() override {}

    bool WaitUntil(const std::function<bool()>& condition, int seconds = 10) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(seconds), condition);
    }
    size_t Packets() {
        std::lock_guard lock(mutex_);
        return sequences.size();
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

    std::function<bool(const char*, uint16_t)> openMulticast;
    std::function<void(const CRTPPacket&)> onPacket;
    std::string encoding;
    size_t spsSize = 0;
    std::string group;
    uint16_t groupPort = 0;
    std::vector<uint16_t> sequences;
    int byes = 0;
    bool closed = false;

  private:
    void Add(const CRTPPacket& packet) {
        if (onPacket) {
            onPacket(packet);
        }
        std::lock_guard lock(mutex_);
        sequences.push_back(packet.sequence);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

// Starts a client of the transport ("udp", "tcp", "http" or "multicast") for the user. UDP media
// goes to the receiver and RTCP handler given; a multicast client joins through the user's
// openMulticast.
inline bool StartClient(const std::string& transport, RTSPClientSettings settings,
                        CStreamUser& user, CRTPReceiver& receiver, CRTCPHandler& rtcp,
                        IDebugMessage* debug, std::unique_ptr<CBaseRTSPClient>& client) {
    if (transport == "multicast") {
        auto multicast = std::make_unique<CRTSPClientMulticast>(debug, "peer");
        const bool started = multicast->Start(settings, static_cast<IRTSPClientUserEx*>(&user));
        client = std::move(multicast);
        return started;
    }
    if (transport == "udp") {
        if (!receiver.Open(0) || !rtcp.Open(htonl(INADDR_LOOPBACK), 0)) {
            return false;
        }
        settings.clientRtpPort = receiver.GetBoundPort();
        settings.clientRtcpPort = rtcp.GetBoundPort();
        client = std::make_unique<CRTSPClientUDP>(debug, "peer");
    } else if (transport == "tcp") {
        client = std::make_unique<CRTSPClientInterleaved>(debug, "peer");
    } else {
        client = std::make_unique<CRTSPClientHTTP>(debug, "peer");
    }
    return client->Start(settings, &user);
}

// Multicast may only leave loopback inside a network namespace we made. The outer run starts
// this test again in a fresh namespace (marked by `variable`) and carries its result.
enum class Namespace { kInside, kRanThere, kNotPermitted };

inline Namespace RerunInOwnNetworkNamespace(const char* variable) {
    if (std::getenv(variable) != nullptr) {
        return Namespace::kInside;
    }
    if (std::system("unshare -n true > /dev/null 2>&1") != 0) {
        return Namespace::kNotPermitted;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string command =
        std::string(variable) + "=1 unshare -n /proc/" + std::to_string(getpid()) +
        "/exe --gtest_filter=" + info->test_suite_name() + "." + info->name();
    EXPECT_EQ(std::system(command.c_str()), 0) << "the run inside the namespace failed";
    return Namespace::kRanThere;
}

}  // namespace vornak::test
