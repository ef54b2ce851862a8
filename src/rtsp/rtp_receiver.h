// Receives RTP over UDP: parses each datagram on the socket thread, queues the packet and delivers
// the packets in arrival order on a thread of its own.
#pragma once

#include <netinet/in.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "base/sync.h"
#include "base/thread.h"
#include "rtsp/rtp_packet.h"
#include "rtsp/udp_client.h"

namespace vornak {

class IRTPReceiverUser {
  public:
    virtual ~IRTPReceiverUser() = default;
    virtual void PacketReceived(const sockaddr_in& sender, const CRTPPacket& packet) = 0;
    virtual void OnReceiveTimeout() = 0;
    virtual void OnSocketClosed() = 0;
};

class CRTPReceiver : public CBaseThread, public IRTPClientUser {
  public:
    // A user that stalls must not make the queue grow without end: about two seconds of a
    // high-rate stream; the oldest packets make room.
    static constexpr size_t kMaxQueuedPackets = 4096;

    explicit CRTPReceiver(IDebugMessage* debug);
    ~CRTPReceiver() override;

    bool Open(uint16_t port);
    bool OpenMulticast(const std::string& group, uint16_t port, uint32_t interfaceAddress);
    void Close();
    // `user` is borrowed and must outlive the delivery thread.
    void SetUser(IRTPReceiverUser* user);
    uint16_t GetPort();
    // The port actually bound (for an open on port 0).
    uint16_t GetBoundPort();
    size_t QueuedPackets();

    void OnDatagram(IRTPClient* client, const sockaddr_in& sender, const uint8_t* data,
                    uint32_t length) override;
    void OnReceiveTimeout(IRTPClient* client) override;
    void OnSocketClosed(IRTPClient* client) override;

    // Queues a parsed packet as if it had arrived; used by OnDatagram and by tests.
    void Enqueue(const sockaddr_in& sender, std::unique_ptr<CRTPPacket> packet);

  protected:
    void ThreadFunction() override;

  private:
    struct Item {
        sockaddr_in sender;
        std::unique_ptr<CRTPPacket> packet;
    };

    bool OpenClient(const std::string& threadName, const std::function<bool(CUDPClient&)>& open,
                    uint32_t selectTimeoutMs);
    bool IsCurrent(IRTPClient* client);
    IRTPReceiverUser* User();

    CLock lock_;
    TSmartPtr<CUDPClient> client_;  // shared with callbacks in flight
    IRTPReceiverUser* user_ = nullptr;
    std::deque<Item> queue_;
    bool dropping_ = false;
    CEvent packetQueued_{false};
};

}  // namespace vornak
