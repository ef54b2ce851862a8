#include "rtsp/rtp_receiver.h"

#include <pthread.h>
#include <sched.h>

#include <functional>

namespace vornak {

namespace {
constexpr uint32_t kPacketBufferLength = 1536;
constexpr uint32_t kStopWaitMs = 2560;
constexpr uint32_t kIdleWaitMs = 1000;
}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* debug) : CBaseThread(debug) {}

CRTPReceiver::~CRTPReceiver() {
    Close();
}

void CRTPReceiver::SetUser(IRTPReceiverUser* user) {
    CLockGuard guard(lock_);
    user_ = user;
}

IRTPReceiverUser* CRTPReceiver::User() {
    CLockGuard guard(lock_);
    return user_;
}

uint16_t CRTPReceiver::GetPort() {
    CLockGuard guard(lock_);
    return client_ ? client_->GetPort() : 0;
}

uint16_t CRTPReceiver::GetBoundPort() {
    CLockGuard guard(lock_);
    return client_ ? client_->GetBoundPort() : 0;
}

size_t CRTPReceiver::QueuedPackets() {
    CLockGuard guard(lock_);
    return queue_.size();
}

bool CRTPReceiver::OpenClient(const std::string& threadName,
                              const std::function<bool(CUDPClient&)>& open,
                              uint32_t selectTimeoutMs) {
    Close();
    auto client = std::make_shared<CUDPClient>(debug_);
    client->SetBufferLength(kPacketBufferLength);
    client->SetSelectTimeout(selectTimeoutMs);
    {
        CLockGuard guard(lock_);
        client_ = client;
        queue_.clear();
        dropping_ = false;
    }
    packetQueued_.Reset();
    if (!StartThread(threadName) || !open(*client)) {
        Close();
        return false;
    }
    return true;
}

bool CRTPReceiver::Open(uint16_t port) {
    return OpenClient(
        Format("RTP Packet Queue (%hu)", port),
        [this, port](CUDPClient& client) { return client.Open(this, port); }, 2000);
}

bool CRTPReceiver::OpenMulticast(const std::string& group, uint16_t port,
                                 uint32_t interfaceAddress) {
    return OpenClient(
        Format("RTP Packet Queue (%s:%hu)", group.c_str(), port),
        [&](CUDPClient& client) {
            return client.OpenMulticast(this, group, port, interfaceAddress);
        },
        1000);
}

void CRTPReceiver::Close() {
    stopEvent_.Set();
    TSmartPtr<CUDPClient> client;
    {
        CLockGuard guard(lock_);
        client.swap(client_);
    }
    if (client) {
        client->Close();
    }
    {
        CLockGuard guard(lock_);
        queue_.clear();
    }
    StopThread(kStopWaitMs);
}

bool CRTPReceiver::IsCurrent(IRTPClient* client) {
    CLockGuard guard(lock_);
    return client_ && client_.get() == client;
}

void CRTPReceiver::OnDatagram(IRTPClient* client, const sockaddr_in& sender, const uint8_t* data,
                              uint32_t length) {
    if (!IsCurrent(client) || stopEvent_.IsSet()) {
        return;
    }
    auto packet = std::make_unique<CRTPPacket>();
    if (!packet->Parse(std::span<const uint8_t>(data, length))) {
        return;
    }
    Enqueue(sender, std::move(packet));
}

void CRTPReceiver::Enqueue(const sockaddr_in& sender, std::unique_ptr<CRTPPacket> packet) {
    bool startedDropping = false;
    {
        CLockGuard guard(lock_);
        if (queue_.size() >= kMaxQueuedPackets) {
            queue_.pop_front();
            startedDropping = !dropping_;
            dropping_ = true;
        } else {
            dropping_ = false;
        }
        queue_.push_back(Item{sender, std::move(packet)});
    }
    packetQueued_.Set();
    if (startedDropping && debug_ != nullptr) {
        debug_->DebugMessage(kLogWarning,
                             "vornak::CRTPReceiver::OnDatagram: packet queue full (%zu packets), "
                             "dropping the oldest",
                             kMaxQueuedPackets);
    }
}

void CRTPReceiver::OnReceiveTimeout(IRTPClient* client) {
    if (!IsCurrent(client)) {
        return;
    }
    if (IRTPReceiverUser* user = User()) {
        try {
            user->OnReceiveTimeout();
        } catch (...) {
        }
    }
}

void CRTPReceiver::OnSocketClosed(IRTPClient* client) {
    if (!IsCurrent(client)) {
        return;
    }
    if (IRTPReceiverUser* user = User()) {
        try {
            user->OnSocketClosed();
        } catch (...) {
        }
    }
}

void CRTPReceiver::ThreadFunction() {
    {
        // The socket thread hands over a packet and goes straight back to wait for the next;
        // as a batch thread this one does not preempt it on every wake-up, which costs a
        // context switch per packet. A packet waits until the socket thread blocks again.
        sched_param param{};
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
    }
    // A frame's packets arrive back to back; one wake-up takes all that are queued.
    std::deque<Item> batch;
    for (;;) {
        CEvent* events[] = {&stopEvent_, &packetQueued_};
        const int which = CEvent::WaitForMultiple(events, 2, kIdleWaitMs);
        if (which == 0) {
            CLockGuard guard(lock_);
            queue_.clear();
            return;
        }
        {
            CLockGuard guard(lock_);
            batch.swap(queue_);
        }
        for (Item& item : batch) {
            if (stopEvent_.IsSet()) {
                break;
            }
            IRTPReceiverUser* user = item.packet ? User() : nullptr;
            if (user != nullptr) {
                try {
                    user->PacketReceived(item.sender, *item.packet);
                } catch (...) {
                }
            }
        }
        batch.clear();
    }
}

}  // namespace vornak
