// One parsed RTP packet (RFC 3550 fixed header, CSRC list, header extension, payload without
// padding). The packet owns copies of every byte block.
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

    // Parses one datagram; on failure the packet is left empty and false returned.
    [[nodiscard]] bool Parse(std::span<const uint8_t> datagram);
    void Clear();

    uint16_t csrcCount = 0;
    std::vector<uint8_t> csrcList;
    uint32_t ssrc = 0;  // header bytes 8-11 as received, not converted
    uint8_t marker = 0;
    uint8_t padding = 0;
    uint8_t payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint16_t extensionProfile = 0;
    uint16_t extensionLength = 0;  // 32-bit words
    std::vector<uint8_t> extensionData;
    uint32_t payloadLength = 0;
    std::vector<uint8_t> payload;
};

}  // namespace vornak
