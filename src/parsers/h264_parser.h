// H.264 over RTP (single NAL unit packets, STAP-A, FU-A) to Annex B access units.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "parsers/annexb_parser.h"

namespace vornak {

enum class H264PacketKind { kSingle, kStapA, kFuA };

enum class H264PayloadError {
    kNone,
    kEmpty,
    kTooShort,
    kUnsupportedType,  // STAP-B, MTAP, FU-B, reserved types
    kStapOverrun,      // an aggregation unit size runs past the packet
    kBadFuHeader,      // a fragmented NAL type that cannot be
};

// One payload, classified and split. Spans point into the payload.
struct H264Payload {
    H264PacketKind kind = H264PacketKind::kSingle;
    // Single NAL unit: one entry. STAP-A: the aggregated units in order.
    std::vector<std::span<const uint8_t>> nalUnits;
    // FU-A only.
    bool fuStart = false;
    bool fuEnd = false;
    uint8_t fuNalHeader = 0;          // rebuilt from the FU indicator and FU header
    std::span<const uint8_t> fuData;  // fragment bytes after the two FU bytes
};

// Validates the whole payload before out is touched by a caller: on error out is cleared.
// out.nalUnits keeps its capacity, so a parser that reuses one H264Payload does not allocate.
[[nodiscard]] H264PayloadError UnpackH264Payload(std::span<const uint8_t> payload,
                                                 H264Payload& out);
const char* H264PayloadErrorText(H264PayloadError error);

class CH264RTPMediaParser : public CAnnexBRTPMediaParser {
  public:
    explicit CH264RTPMediaParser(IDriver* owner);

    // Stored (with the size they give) only when the SPS parses.
    void SetParameterSets(const ParameterSets& sets) override;

  protected:
    bool AppendPayload(const CRTPPacket& packet) override;

    bool AppendNalUnit(std::span<const uint8_t> nal) override;

  private:
    void PrependParameterSets();

    H264Payload payload_;  // reused from packet to packet
};

}  // namespace vornak
