// H.265 over RTP (single NAL unit packets, aggregation packets, fragmentation units) to Annex B
// access units.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "parsers/annexb_parser.h"

namespace vornak {

enum class H265PacketKind { kSingle, kAggregation, kFragment };

enum class H265PayloadError {
    kNone,
    kEmpty,
    kTooShort,
    kPaci,                // payload content information packets are not supported
    kUnsupportedType,     // reserved and unspecified types
    kAggregationOverrun,  // an aggregation unit size runs past the packet
    kBadFuHeader,         // a fragmented NAL type that cannot be
};

// One payload, classified and split. Spans point into the payload.
struct H265Payload {
    H265PacketKind kind = H265PacketKind::kSingle;
    // Single NAL unit: one entry. Aggregation packet: the aggregated units in order.
    std::vector<std::span<const uint8_t>> nalUnits;
    // Fragmentation unit only.
    bool fuStart = false;
    bool fuEnd = false;
    uint8_t fuNalHeader[2] = {};      // rebuilt from the payload header and the FU header
    std::span<const uint8_t> fuData;  // fragment bytes after the three FU bytes
};

// Streams without decoding order numbers only (sprop-max-don-diff 0): with them, aggregation
// and fragmentation units carry DONL fields this function does not expect. Validates the whole
// payload; on error out holds no units. out.nalUnits keeps its capacity.
[[nodiscard]] H265PayloadError UnpackH265Payload(std::span<const uint8_t> payload,
                                                 H265Payload& out);
const char* H265PayloadErrorText(H265PayloadError error);

class CH265RTPMediaParser : public CAnnexBRTPMediaParser {
  public:
    explicit CH265RTPMediaParser(IDriver* owner);

    void Reset() override;
    // Stored (with the size they give) only when the SPS parses. A stream that sends units out
    // of decoding order is refused here, once, and its packets after.
    void SetParameterSets(const ParameterSets& sets) override;

  protected:
    bool AppendPayload(const CRTPPacket& packet) override;

    bool AppendNalUnit(std::span<const uint8_t> nal) override;

  private:
    void PrependParameterSets();

    bool decodingOrderStream_ = false;  // the description announced DONL fields
    H265Payload payload_;               // reused from packet to packet
};

}  // namespace vornak
