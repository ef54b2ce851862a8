// RTCP packets the receiver sends and the walk over compound packets it receives (RFC 3550).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

namespace vornak {

enum : uint8_t {
    kRtcpSenderReport = 200,
    kRtcpReceiverReport = 201,
    kRtcpBye = 203,
};

struct ReceiverReportFields {
    uint8_t versionByte = 0x80;  // top two bits are kept, the count is set to one block
    uint32_t ownSsrc = 0;
    uint32_t sourceSsrc = 0;  // as received: network order in memory
    uint8_t fractionLost = 0;
    int32_t cumulativeLost = 0;  // sent as 24 bits, clamped
    uint32_t extendedHighest = 0;
    uint32_t jitter = 0;  // timestamp units
    uint32_t lastSr = 0;
    uint32_t delaySinceLastSr = 0;  // 1/65536 s
};

// What a receiver reports about one source: sequence tracking with wrap-around and restarts,
// loss over the whole session and since the last report, and the interarrival jitter, all as
// RFC 3550 (A.1, A.3, A.8) computes them.
class CReceptionStats {
  public:
    // `arrival` is the packet's arrival time in RTP timestamp units.
    void OnPacket(uint16_t sequence, uint32_t rtpTimestamp, uint32_t arrival);
    // Fills the loss, sequence and jitter fields and starts the next report interval.
    void Report(ReceiverReportFields& fields);
    bool Started() const { return started_; }

  private:
    void Restart(uint16_t sequence);

    bool started_ = false;
    uint16_t maxSequence_ = 0;
    uint32_t cycles_ = 0;
    uint32_t baseSequence_ = 0;
    uint32_t badSequence_ = 0;
    uint32_t received_ = 0;
    uint32_t expectedPrior_ = 0;
    uint32_t receivedPrior_ = 0;
    bool transitKnown_ = false;
    uint32_t transit_ = 0;
    uint32_t jitter_ = 0;  // times 16
};

// Receiver report with one block, 32 bytes:
//  0                   1                   2                   3
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|  RC=1   |   PT=201      |          length = 7           |
// |                     SSRC of packet sender                     |
// |                 SSRC of source (report block)                 |
// | fraction lost |       cumulative number of packets lost       |
// |    cycles     (16)            |  highest sequence (16)        |
// |                      interarrival jitter                      |
// |                         last SR (LSR)                         |
// |                   delay since last SR (DLSR)                  |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
std::array<uint8_t, 32> BuildReceiverReport(const ReceiverReportFields& fields);

// BYE for one source, 8 bytes: V=2 SC=1 | PT=203 | length=1 | SSRC.
std::array<uint8_t, 8> BuildBye(uint8_t versionByte, uint32_t ownSsrc);

// Calls `visit(type, packet)` for each packet of a compound RTCP datagram whose version is 2 and
// that fits; stops at the first that does not.
void WalkRtcp(std::span<const uint8_t> compound,
              const std::function<void(uint8_t type, std::span<const uint8_t> packet)>& visit);

}  // namespace vornak
