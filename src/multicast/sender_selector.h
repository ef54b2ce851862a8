// Picks the camera's own sender among everything that arrives on a multicast group: other
// cameras, or other streams of the same camera, may send to the same address and port.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "base/sync.h"
#include "rtsp/rtp_packet.h"

namespace vornak {

// A sender whose first timestamp lies this many 90 kHz ticks (about a second) or less after the
// PLAY answer's rtptime is the one the session started.
inline constexpr uint32_t kSenderWindowTicks = 91000;

class CMulticastSenderSelector {
  public:
    enum class Verdict { kDrop, kAccepted, kNewlyAccepted };

    // A new session: forgets the accepted and pending senders and the PLAY time. device is the
    // camera's IPv4 address in network order.
    void Reset(uint32_t device);
    // 0xFF takes any payload type.
    void SetPayloadType(uint8_t payloadType);
    Verdict Take(uint32_t senderAddress, const CRTPPacket& packet);
    // The PLAY answer's rtptime: the pending sender that started exactly there, if any, is
    // accepted and returned.
    std::optional<uint32_t> OnPlay(uint32_t rtpTime);
    // As received (network order); 0 while none is accepted.
    uint32_t Accepted();

  private:
    CLock lock_;
    uint32_t device_ = 0;
    uint8_t payloadType_ = 0xFF;
    uint32_t accepted_ = 0;
    // Before this session's PLAY no time is known, and a time from an earlier session would let
    // another sender in.
    bool playSeen_ = false;
    uint32_t rtpInfoTime_ = 0;
    std::map<uint32_t, uint32_t> pending_;  // first timestamp -> SSRC
};

}  // namespace vornak
