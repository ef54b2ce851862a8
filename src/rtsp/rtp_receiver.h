// Receives RTP over UDP: datagrams arrive in batches straight into pooled buffers and are parsed
// in place on the socket thread. While the user keeps up, the socket thread passes each batch on
// itself: a hand-over to another thread costs a wake-up per picture, more than the picture's
// processing. A user that is slow once makes batches go through the queue and a delivery thread
// of their own for a while, so that the socket keeps being read into the pool meanwhile. Either
// way packets reach the user in arrival order, one call at a time.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    // Buffers that datagrams wait in between the two threads. A user that stalls, or a flood,
    // must not make memory grow without end: about 1.5 MiB, 1.7 seconds of a 1080p stream.
    // Datagrams that find no free buffer are dropped.
    static constexpr size_t kMaxBuffers = 1024;
    // A batch that keeps the user longer than this on the socket thread sends the batches of
    // the next kQueuedSpell through the delivery thread. The socket's own buffer (at least the
    // kernel's default of about 200 KiB, 0.25 s of a 1080p stream) covers the slow batch.
    static constexpr std::chrono::milliseconds kInlineBudget{10};
    static constexpr std::chrono::seconds kQueuedSpell{5};

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
    // Only datagrams from this IPv4 address (network order) are taken; 0, the default, takes
    // any. Others are dropped before they hold a buffer.
    void SetSource(uint32_t address);
    // Only packets of this payload type (0xFF, the default, takes any) and of this SSRC (0, the
    // default, takes any) are taken; a group may carry several senders and streams.
    void SetPacketFilter(uint8_t payloadType, uint32_t ssrc);
    // Video: the delivery thread is woken once a picture is complete (a marker bit, or the
    // first packet of the next picture) rather than for every batch, so a picture that arrives
    // over several receive calls costs one hand-over. Off by default: each batch wakes it.
    void SetWakePerPicture(bool perPicture);
    size_t QueuedPackets();
    // Batches passed on by the socket thread itself, and through the delivery thread.
    uint64_t BatchesDeliveredInline();
    uint64_t BatchesDeliveredQueued();
    uint64_t DroppedDatagrams();

    void OnDatagram(IRTPClient* client, const sockaddr_in& sender, const uint8_t* data,
                    uint32_t length) override;
    void OnReceiveTimeout(IRTPClient* client) override;
    void OnSocketClosed(IRTPClient* client) override;
    size_t LendBuffers(IRTPClient* client, uint32_t length, std::span<iovec> buffers) override;
    void OnDatagramBatch(IRTPClient* client, std::span<const iovec> buffers,
                         std::span<const ReceivedDatagram> received) override;

  protected:
    void ThreadFunction() override;

  private:
    struct Buffer {
        std::unique_ptr<uint8_t[]> bytes;
        uint32_t size = 0;
    };
    struct Item {
        sockaddr_in sender;
        CRTPPacket packet;  // refers to the bytes of `buffer`
        Buffer buffer;
    };

    bool OpenClient(const std::string& threadName, const std::function<bool(CUDPClient&)>& open,
                    uint32_t selectTimeoutMs);
    bool IsCurrent(IRTPClient* client);
    IRTPReceiverUser* User();
    // Under lock_.
    void Recycle(Buffer&& buffer);
    // Logs the start and the end of a run of drops; outside lock_.
    void ReportDrops(bool dropping);
    // Passes items on to the user, under deliveryMutex_, until a stop.
    void Deliver(std::vector<Item>& items);

    CLock lock_;
    // Held by whichever thread passes packets on. Taken before lock_ (the socket thread only
    // tries it, under lock_), so that a batch taken from the queue is passed on before any
    // later one.
    std::mutex deliveryMutex_;
    TSmartPtr<CUDPClient> client_;  // shared with callbacks in flight
    IRTPReceiverUser* user_ = nullptr;
    std::atomic<uint32_t> source_{0};
    std::atomic<uint8_t> payloadType_{0xFF};
    std::atomic<uint32_t> ssrc_{0};
    std::atomic<bool> wakePerPicture_{false};
    std::vector<Item> queue_;
    std::vector<Buffer> free_;
    size_t buffers_ = 0;  // in existence: free, lent, queued or being delivered
    std::atomic<uint64_t> dropped_{0};
    CEvent packetQueued_{false};
    std::chrono::steady_clock::time_point queuedUntil_;  // under lock_
    std::atomic<uint64_t> inlineBatches_{0};
    std::atomic<uint64_t> queuedBatches_{0};
    // Socket thread only: the run of drops, the buffers lent for the current receive, the
    // packets parsed from them, and whether the last packet queued left its picture open.
    bool dropping_ = false;
    bool pictureOpen_ = false;
    uint32_t lastQueuedTimestamp_ = 0;
    uint64_t droppedBefore_ = 0;
    std::vector<Buffer> lent_;
    std::vector<Item> staged_;
};

}  // namespace vornak
