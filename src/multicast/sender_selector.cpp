#include "multicast/sender_selector.h"

namespace vornak {

void CMulticastSenderSelector::Reset(uint32_t device) {
    CLockGuard guard(lock_);
    device_ = device;
    accepted_ = 0;
    playSeen_ = false;
    rtpInfoTime_ = 0;
    pending_.clear();
}

void CMulticastSenderSelector::SetPayloadType(uint8_t payloadType) {
    CLockGuard guard(lock_);
    payloadType_ = payloadType;
}

CMulticastSenderSelector::Verdict CMulticastSenderSelector::Take(uint32_t senderAddress,
                                                                 const CRTPPacket& packet) {
    CLockGuard guard(lock_);
    if (device_ == 0 || senderAddress != device_) {
        return Verdict::kDrop;
    }
    if (accepted_ != 0) {
        return packet.ssrc == accepted_ ? Verdict::kAccepted : Verdict::kDrop;
    }
    if (payloadType_ != 0xFF && packet.payloadType != payloadType_) {
        return Verdict::kDrop;
    }
    // Modulo 2^32: the window may wrap past zero.
    if (playSeen_ && static_cast<uint32_t>(packet.timestamp - rtpInfoTime_) < kSenderWindowTicks) {
        accepted_ = packet.ssrc;
        pending_.clear();
        return Verdict::kNewlyAccepted;
    }
    // Each sender once, at its first timestamp; bounded against a flood of senders.
    for (const auto& [first, ssrc] : pending_) {
        if (ssrc == packet.ssrc) {
            return Verdict::kDrop;
        }
    }
    if (pending_.size() < 64) {
        pending_.emplace(packet.timestamp, packet.ssrc);
    }
    return Verdict::kDrop;
}

std::optional<uint32_t> CMulticastSenderSelector::OnPlay(uint32_t rtpTime) {
    CLockGuard guard(lock_);
    std::optional<uint32_t> found;
    const auto it = pending_.find(rtpTime);
    if (it != pending_.end()) {
        accepted_ = it->second;
        found = accepted_;
    } else {
        accepted_ = 0;
    }
    playSeen_ = true;
    rtpInfoTime_ = rtpTime;
    pending_.clear();
    return found;
}

uint32_t CMulticastSenderSelector::Accepted() {
    CLockGuard guard(lock_);
    return accepted_;
}

}  // namespace vornak
