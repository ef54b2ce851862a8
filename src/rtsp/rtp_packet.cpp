#include "rtsp/rtp_packet.h"

#include <cstring>

#include "base/bytes.h"

namespace vornak {

namespace {
constexpr size_t kFixedHeader = 12;
}  // namespace

CRTPPacket::CRTPPacket(const CRTPPacket& other) {
    *this = other;
}

CRTPPacket& CRTPPacket::operator=(const CRTPPacket& other) {
    if (this == &other) {
        return *this;
    }
    csrcCount = other.csrcCount;
    csrcList = other.csrcList;
    ssrc = other.ssrc;
    marker = other.marker;
    padding = other.padding;
    payloadType = other.payloadType;
    sequence = other.sequence;
    timestamp = other.timestamp;
    extensionProfile = other.extensionProfile;
    extensionLength = other.extensionLength;
    extensionData = other.extensionData;
    payloadLength = other.payloadLength;
    ownedPayload_ = other.ownedPayload_;
    const bool owned =
        !other.ownedPayload_.empty() && other.payload.data() == other.ownedPayload_.data();
    payload = owned ? std::span<const uint8_t>(ownedPayload_) : other.payload;
    return *this;
}

void CRTPPacket::SetPayload(std::vector<uint8_t> bytes) {
    ownedPayload_ = std::move(bytes);
    payload = ownedPayload_;
    payloadLength = static_cast<uint32_t>(payload.size());
}

void CRTPPacket::Clear() {
    csrcCount = 0;
    csrcList = {};
    ssrc = 0;
    marker = 0;
    padding = 0;
    payloadType = 0;
    sequence = 0;
    timestamp = 0;
    extensionProfile = 0;
    extensionLength = 0;
    extensionData = {};
    payloadLength = 0;
    payload = {};
    ownedPayload_.clear();
}

bool CRTPPacket::Parse(std::span<const uint8_t> data) {
    Clear();
    if (data.size() < kFixedHeader + 1 || (data[0] >> 6) != 2) {
        return false;
    }
    size_t offset = kFixedHeader;
    const uint16_t cc = data[0] & 0x0F;
    if (cc != 0 && cc * 4u >= data.size() - offset) {
        return false;
    }
    const size_t csrcOffset = offset;
    offset += cc * 4u;

    const bool hasExtension = (data[0] & 0x10) != 0;
    uint16_t profile = 0;
    uint16_t extWords = 0;
    size_t extOffset = 0;
    if (hasExtension) {
        if (data.size() - offset < 4) {
            return false;
        }
        profile = ReadBe16(&data[offset]);
        extWords = ReadBe16(&data[offset + 2]);
        if (data.size() - offset < 4 + extWords * 4u) {
            return false;
        }
        extOffset = offset + 4;
        offset += 4 + extWords * 4u;
    }

    size_t paddingCount = 0;
    const bool hasPadding = (data[0] & 0x20) != 0;
    if (hasPadding) {
        paddingCount = data.back();
    }
    if (offset + paddingCount > data.size()) {
        return false;
    }

    // Everything checked: now store.
    csrcCount = cc;
    csrcList = data.subspan(csrcOffset, cc * 4u);
    extensionProfile = profile;
    extensionLength = extWords;
    if (hasExtension) {
        extensionData = data.subspan(extOffset, extWords * 4u);
    }
    marker = data[1] >> 7;
    payloadType = data[1] & 0x7F;
    padding = hasPadding ? 1 : 0;
    sequence = ReadBe16(&data[2]);
    timestamp = ReadBe32(&data[4]);
    std::memcpy(&ssrc, &data[8], 4);
    const size_t payloadSize = data.size() - offset - paddingCount;
    payload = data.subspan(offset, payloadSize);
    payloadLength = static_cast<uint32_t>(payloadSize);
    return true;
}

}  // namespace vornak
