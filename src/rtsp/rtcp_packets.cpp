#include "rtsp/rtcp_packets.h"

#include <cstring>

namespace vornak {

namespace {
void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
}  // namespace

std::array<uint8_t, 32> BuildReceiverReport(const ReceiverReportFields& fields) {
    std::array<uint8_t, 32> out{};
    out[0] = static_cast<uint8_t>((fields.versionByte & 0xC0) | 1);
    out[1] = kRtcpReceiverReport;
    out[3] = 7;
    Put32(&out[4], fields.ownSsrc);
    std::memcpy(&out[8], &fields.sourceSsrc, 4);
    out[18] = static_cast<uint8_t>(fields.baseSequence >> 8);
    out[19] = static_cast<uint8_t>(fields.baseSequence);
    Put32(&out[24], fields.lastSr);
    Put32(&out[28], fields.delaySinceLastSr);
    return out;
}

std::array<uint8_t, 8> BuildBye(uint8_t versionByte, uint32_t ownSsrc) {
    std::array<uint8_t, 8> out{};
    out[0] = static_cast<uint8_t>((versionByte & 0xC0) | 1);
    out[1] = kRtcpBye;
    out[3] = 1;
    Put32(&out[4], ownSsrc);
    return out;
}

void WalkRtcp(std::span<const uint8_t> compound,
              const std::function<void(uint8_t, std::span<const uint8_t>)>& visit) {
    size_t pos = 0;
    while (compound.size() - pos >= 4) {
        if ((compound[pos] >> 6) != 2) {
            return;
        }
        const size_t size =
            4 + (static_cast<size_t>(compound[pos + 2]) << 8 | compound[pos + 3]) * 4;
        if (compound.size() - pos < size) {
            return;
        }
        visit(compound[pos + 1], compound.subspan(pos, size));
        pos += size;
    }
}

}  // namespace vornak
