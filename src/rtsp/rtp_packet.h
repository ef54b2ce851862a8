// One parsed RTP packet (RFC 3550 fixed header, CSRC list, header extension, payload without
// padding). A parsed packet refers to the bytes it was parsed from instead of copying them: the
// payload is copied once, from the receive buffer into the frame being assembled.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vornak {

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                           timestamp                           |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |           synchronization source (SSRC) identifier            |
// +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
// |            contributing source (CSRC) identifiers             |
// |                             ....                              |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |      defined by profile       |           length              |  (when X)
// |                        header extension                       |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                            payload  ...    | padding | count  |  (when P)
class CRTPPacket {
  public:
    CRTPPacket() = default;
    virtual ~CRTPPacket() = default;
    // A copy refers to the same received bytes, or holds its own copy of bytes set by SetPayload.
    CRTPPacket(const CRTPPacket& other);
    CRTPPacket& operator=(const CRTPPacket& other);
    CRTPPacket(CRTPPacket&&) noexcept = default;
    CRTPPacket& operator=(CRTPPacket&&) noexcept = default;

    // Parses one datagram, which must stay unchanged while the packet is used; on failure the
    // packet is left empty and false returned.
    [[nodiscard]] bool Parse(std::span<const uint8_t> datagram);
    void Clear();
    // For packets built rather than received: the packet keeps the bytes itself.
    void SetPayload(std::vector<uint8_t> bytes);

    uint16_t csrcCount = 0;
    std::span<const uint8_t> csrcList;
    uint32_t ssrc = 0;  // header bytes 8-11 as received, not converted
    uint8_t marker = 0;
    uint8_t padding = 0;
    uint8_t payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint16_t extensionProfile = 0;
    uint16_t extensionLength = 0;  // 32-bit words
    std::span<const uint8_t> extensionData;
    uint32_t payloadLength = 0;
    std::span<const uint8_t> payload;

  private:
    std::vector<uint8_t> ownedPayload_;
};

}  // namespace vornak
