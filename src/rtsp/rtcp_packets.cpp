#include "rtsp/rtcp_packets.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"

namespace vornak {

namespace {
constexpr uint32_t kSequenceMod = 1u << 16;
constexpr uint16_t kMaxDropout = 3000;
constexpr uint16_t kMaxMisorder = 100;
}  // namespace

void CReceptionStats::Restart(uint16_t sequence) {
    started_ = true;
    maxSequence_ = sequence;
    baseSequence_ = sequence;
    badSequence_ = kSequenceMod + 1;
    cycles_ = 0;
    received_ = expectedPrior_ = receivedPrior_ = 0;
}

void CReceptionStats::OnPacket(uint16_t sequence, uint32_t rtpTimestamp, uint32_t arrival) {
    if (!started_) {
        Restart(sequence);
    } else {
        const uint16_t delta = static_cast<uint16_t>(sequence - maxSequence_);
        if (delta < kMaxDropout) {
            if (sequence < maxSequence_) {
                cycles_ += kSequenceMod;
            }
            maxSequence_ = sequence;
        } else if (delta <= kSequenceMod - kMaxMisorder) {
            // A large jump: the sender restarted when two packets in a row agree.
            if (sequence != badSequence_) {
                badSequence_ = (sequence + 1u) & (kSequenceMod - 1);
                return;
            }
            Restart(sequence);
        }
        // else a duplicate or a packet out of order: counted, nothing else changes
    }
    ++received_;
    const uint32_t transit = arrival - rtpTimestamp;
    if (transitKnown_) {
        const int32_t d = static_cast<int32_t>(transit - transit_);
        const uint32_t magnitude =
            d < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(d)) : static_cast<uint32_t>(d);
        jitter_ += magnitude - ((jitter_ + 8) >> 4);
    }
    transit_ = transit;
    transitKnown_ = true;
}

void CReceptionStats::Report(ReceiverReportFields& fields) {
    if (!started_) {
        return;
    }
    const uint32_t extended = cycles_ + maxSequence_;
    const uint32_t expected = extended - baseSequence_ + 1;
    fields.extendedHighest = extended;
    fields.cumulativeLost = static_cast<int32_t>(static_cast<int64_t>(expected) - received_);
    const uint32_t expectedInterval = expected - expectedPrior_;
    const uint32_t receivedInterval = received_ - receivedPrior_;
    expectedPrior_ = expected;
    receivedPrior_ = received_;
    const int64_t lostInterval =
        static_cast<int64_t>(expectedInterval) - static_cast<int64_t>(receivedInterval);
    fields.fractionLost = expectedInterval == 0 || lostInterval <= 0
                              ? 0
                              : static_cast<uint8_t>((lostInterval << 8) / expectedInterval);
    fields.jitter = jitter_ >> 4;
}

std::array<uint8_t, 32> BuildReceiverReport(const ReceiverReportFields& fields) {
    std::array<uint8_t, 32> out{};
    out[0] = static_cast<uint8_t>((fields.versionByte & 0xC0) | 1);
    out[1] = kRtcpReceiverReport;
    out[3] = 7;
    WriteBe32(&out[4], fields.ownSsrc);
    std::memcpy(&out[8], &fields.sourceSsrc, 4);
    const int32_t lost = std::clamp<int32_t>(fields.cumulativeLost, -0x800000, 0x7FFFFF);
    WriteBe32(&out[12], static_cast<uint32_t>(fields.fractionLost) << 24 |
                            (static_cast<uint32_t>(lost) & 0xFFFFFF));
    WriteBe32(&out[16], fields.extendedHighest);
    WriteBe32(&out[20], fields.jitter);
    WriteBe32(&out[24], fields.lastSr);
    WriteBe32(&out[28], fields.delaySinceLastSr);
    return out;
}

std::array<uint8_t, 8> BuildBye(uint8_t versionByte, uint32_t ownSsrc) {
    std::array<uint8_t, 8> out{};
    out[0] = static_cast<uint8_t>((versionByte & 0xC0) | 1);
    out[1] = kRtcpBye;
    out[3] = 1;
    WriteBe32(&out[4], ownSsrc);
    return out;
}

void WalkRtcp(std::span<const uint8_t> compound,
              const std::function<void(uint8_t, std::span<const uint8_t>)>& visit) {
    size_t pos = 0;
    while (compound.size() - pos >= 4) {
        if ((compound[pos] >> 6) != 2) {
            return;
        }
        const size_t size = 4 + static_cast<size_t>(ReadBe16(&compound[pos + 2])) * 4;
        if (compound.size() - pos < size) {
            return;
        }
        visit(compound[pos + 1], compound.subspan(pos, size));
        pos += size;
    }
}

}  // namespace vornak
