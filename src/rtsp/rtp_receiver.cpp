#include "rtsp/rtp_receiver.h"

#include <functional>

namespace vornak {

namespace {
constexpr uint32_t kPacketBufferLength = 1536;
constexpr uint32_t kReceiverStopWaitMs = 2560;
constexpr uint32_t kIdleWaitMs = 1000;
// Queued packets that wake the delivery thread even inside one picture: about a third of a 1080p
// key frame, and far below the pool.
constexpr size_t kWakeQueueLength = 128;
}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* debug) : CBaseThread(debug) {
    lent_.reserve(CUDPClient::kBatchSize);
    staged_.reserve(CUDPClient::kBatchSize);
}

CRTPReceiver::~CRTPReceiver() {
    Close();
}

void CRTPReceiver::SetUser(IRTPReceiverUser* user) {
    CLockGuard guard(lock_);
    user_ = user;
}

void CRTPReceiver::SetSource(uint32_t address) {
    source_ = address;
}

void CRTPReceiver::SetPacketFilter(uint8_t payloadType, uint32_t ssrc) {
    payloadType_ = payloadType;
    ssrc_ = ssrc;
}

void CRTPReceiver::SetWakePerPicture(bool perPicture) {
    wakePerPicture_ = perPicture;
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

uint64_t CRTPReceiver::DroppedDatagrams() {
    return dropped_;
}

uint64_t CRTPReceiver::BatchesDeliveredInline() {
    return inlineBatches_;
}

uint64_t CRTPReceiver::BatchesDeliveredQueued() {
    return queuedBatches_;
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
    }
    dropping_ = false;
    pictureOpen_ = false;
    packetQueued_.Reset();
    {
        CLockGuard guard(lock_);
        queuedUntil_ = {};
    }
    // The port first: a search over taken ports then costs no thread per try. The receiver is
    // open from the bind on, or the socket's thread would take its first datagrams for a stopped
    // receiver's; what comes before the thread starts waits in the queue.
    stopEvent_.Reset();
    if (!open(*client) || !StartThread(threadName)) {
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
    StopThread(kReceiverStopWaitMs);
    // Both threads have ended and every buffer is back: an idle receiver keeps none.
    CLockGuard guard(lock_);
    buffers_ -= queue_.size() + free_.size();
    queue_.clear();
    free_.clear();
}

bool CRTPReceiver::IsCurrent(IRTPClient* client) {
    CLockGuard guard(lock_);
    return client_ && client_.get() == client;
}

void CRTPReceiver::Recycle(Buffer&& buffer) {
    if (buffer.bytes) {
        free_.push_back(std::move(buffer));
    }
}

void CRTPReceiver::ReportDrops(bool dropping) {
    if (dropping == dropping_) {
        return;
    }
    dropping_ = dropping;
    if (debug_ == nullptr) {
        return;
    }
    if (dropping) {
        droppedBefore_ = dropped_;
        debug_->DebugMessage(kLogWarning,
                             "vornak::CRTPReceiver::LendBuffers: all %zu packet buffers in use "
                             "(the user is not keeping up), dropping datagrams",
                             kMaxBuffers);
    } else {
        debug_->DebugMessage(kLogWarning,
                             "vornak::CRTPReceiver::LendBuffers: packet buffers free again, "
                             "%llu datagrams were dropped",
                             static_cast<unsigned long long>(dropped_ - droppedBefore_));
    }
}

size_t CRTPReceiver::LendBuffers(IRTPClient* client, uint32_t length, std::span<iovec> buffers) {
    {
        CLockGuard guard(lock_);
        if (client_.get() != client || stopEvent_.IsSet()) {
            return 0;
        }
        while (lent_.size() < buffers.size()) {
            Buffer buffer;
            if (!free_.empty()) {
                buffer = std::move(free_.back());
                free_.pop_back();
            } else if (buffers_ < kMaxBuffers) {
                ++buffers_;
            } else {
                break;
            }
            // New, or smaller than the grown datagram size.
            if (buffer.size < length) {
                buffer.bytes = std::make_unique_for_overwrite<uint8_t[]>(length);
                buffer.size = length;
            }
            buffers[lent_.size()] = {buffer.bytes.get(), length};
            lent_.push_back(std::move(buffer));
        }
    }
    // None lent: the client receives into its own buffers and OnDatagram drops the datagrams.
    ReportDrops(lent_.empty());
    return lent_.size();
}

void CRTPReceiver::OnDatagramBatch(IRTPClient* client, std::span<const iovec> /*buffers*/,
                                   std::span<const ReceivedDatagram> received) {
    const uint32_t source = source_;
    const uint8_t payloadType = payloadType_;
    const uint32_t ssrc = ssrc_;
    // Parsed here, outside the lock, in the buffers the datagrams arrived in.
    for (size_t i = 0; i < received.size() && i < lent_.size(); ++i) {
        const ReceivedDatagram& datagram = received[i];
        if (datagram.length == 0 || (source != 0 && datagram.sender.sin_addr.s_addr != source)) {
            continue;
        }
        Item& item = staged_.emplace_back();
        if (!item.packet.Parse(std::span<const uint8_t>(lent_[i].bytes.get(), datagram.length)) ||
            (payloadType != 0xFF && item.packet.payloadType != payloadType) ||
            (ssrc != 0 && item.packet.ssrc != ssrc)) {
            staged_.pop_back();
            continue;
        }
        item.sender = datagram.sender;
        item.buffer = std::move(lent_[i]);
    }
    // A picture is complete at its marker bit, or, from a sender that sets none, when the next
    // one begins. A long run of one picture is handed over in pieces (kWakeQueueLength).
    bool wake = !wakePerPicture_;
    for (const Item& item : staged_) {
        if (pictureOpen_ && item.packet.timestamp != lastQueuedTimestamp_) {
            wake = true;
        }
        pictureOpen_ = item.packet.marker == 0;
        wake = wake || !pictureOpen_;
        lastQueuedTimestamp_ = item.packet.timestamp;
    }
    bool queued = false;
    bool here = false;
    {
        CLockGuard guard(lock_);
        if (client_.get() == client && !stopEvent_.IsSet()) {
            // Nothing older may still wait or be on its way, and the user has kept up.
            here = queue_.empty() && !staged_.empty() &&
                   std::chrono::steady_clock::now() >= queuedUntil_ && deliveryMutex_.try_lock();
            if (!here) {
                for (Item& item : staged_) {
                    queue_.push_back(std::move(item));
                }
                queued = !queue_.empty() && (wake || queue_.size() >= kWakeQueueLength);
            }
        } else {
            for (Item& item : staged_) {
                Recycle(std::move(item.buffer));
            }
            staged_.clear();
        }
        for (Buffer& buffer : lent_) {
            Recycle(std::move(buffer));
        }
    }
    lent_.clear();
    if (here) {
        const auto start = std::chrono::steady_clock::now();
        {
            std::lock_guard delivering(deliveryMutex_, std::adopt_lock);
            Deliver(staged_);
        }
        ++inlineBatches_;
        const auto end = std::chrono::steady_clock::now();
        CLockGuard guard(lock_);
        if (end - start > kInlineBudget) {
            queuedUntil_ = end + kQueuedSpell;
        }
        for (Item& item : staged_) {
            Recycle(std::move(item.buffer));
        }
    }
    staged_.clear();
    // One wake-up for the whole batch, or for the whole picture.
    if (queued) {
        packetQueued_.Set();
    }
}

void CRTPReceiver::Deliver(std::vector<Item>& items) {
    IRTPReceiverUser* user = User();
    for (Item& item : items) {
        if (stopEvent_.IsSet() || user == nullptr) {
            break;
        }
        try {
            user->PacketReceived(item.sender, item.packet);
        } catch (...) {
        }
    }
}

void CRTPReceiver::OnDatagram(IRTPClient* client, const sockaddr_in& /*sender*/,
                              const uint8_t* /*data*/, uint32_t /*length*/) {
    // Only reached when no buffer could be lent: every one is queued or being delivered.
    if (IsCurrent(client) && !stopEvent_.IsSet()) {
        ++dropped_;
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
    // Everything queued since the last look is taken at once; both vectors keep their room.
    std::vector<Item> batch;
    for (;;) {
        CEvent* events[] = {&stopEvent_, &packetQueued_};
        const int which = CEvent::WaitForMultiple(events, 2, kIdleWaitMs);
        if (which == 0) {
            return;
        }
        {
            std::lock_guard delivering(deliveryMutex_);
            {
                CLockGuard guard(lock_);
                batch.swap(queue_);
            }
            if (!batch.empty()) {
                Deliver(batch);
                ++queuedBatches_;
            }
        }
        CLockGuard guard(lock_);
        for (Item& item : batch) {
            Recycle(std::move(item.buffer));
        }
        batch.clear();
    }
}

}  // namespace vornak
