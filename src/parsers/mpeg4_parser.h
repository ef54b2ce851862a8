// MPEG-4 Visual over RTP (whole VOPs; configuration in the stream or in the session
// description) to frames that each begin with their configuration when they are I-VOPs.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "parsers/media_parser.h"
#include "parsers/mp4_parser.h"

namespace vornak {

// Where a payload's picture data begins and what it says about the frame. Pure.
struct Mpeg4PayloadInfo {
    std::span<const uint8_t> config;  // bytes before the first VOP of a payload that opens
                                      // with configuration headers; empty otherwise
    size_t dataOffset = 0;            // where the frame data of this payload begins
    bool startsVop = false;           // a VOP, or a group-of-VOP header and a VOP, at dataOffset
    bool intra = false;               // that VOP is an I-VOP
};
[[nodiscard]] Mpeg4PayloadInfo ClassifyMpeg4Payload(std::span<const uint8_t> payload);

// Where each picture of a finished frame begins: the first at 0, each later one at the first
// start code after the previous picture's VOP (so headers in front of a VOP stay with it). A
// sender may pack several whole VOPs into one RTP packet. Pure.
[[nodiscard]] std::vector<size_t> PictureStarts(std::span<const uint8_t> frame);

struct VopHeader {
    uint32_t codingType = 0;  // 0 I, 1 P, 2 B, 3 S
    uint32_t seconds = 0;     // modulo_time_base: whole seconds since the previous VOP's second
    uint32_t increment = 0;   // vop_time_increment, in 1/resolution of a second
};
// The header of the VOP whose start code opens `vop`; nothing when it is cut short, a marker is
// missing or the increment is not below the resolution. Pure.
[[nodiscard]] std::optional<VopHeader> ReadVopHeader(std::span<const uint8_t> vop,
                                                     uint32_t resolution);

class CMpeg4RTPMediaParser : public CRTPMediaParser {
  public:
    explicit CMpeg4RTPMediaParser(IDriver* owner);

    void ProcessPacket(const CRTPPacket& packet) override;
    void Reset() override;

    bool WaitingForIntra() const { return waitingForIntra_; }

  protected:
    void DropFrame() override;

  private:
    // time, when given, is the frame's time already converted.
    void ProcessFrame(uint32_t rtpTimestamp, const SYSTEMTIME* time = nullptr);
    // A frame that holds several pictures goes to the host one picture at a time, each at the
    // time its VOP header gives.
    void DeliverPictures(uint32_t rtpTimestamp);
    bool SplitPackedPictures(const std::vector<size_t>& starts, uint32_t rtpTimestamp);

    CMP4Parser mp4Parser_;
    std::vector<uint8_t> inBandConfig_;
    bool waitingForIntra_ = true;
    bool currentIsIntra_ = false;
    bool frameOpen_ = false;  // a VOP has started and its data is being collected
    // While waiting for an I-VOP: the frame holds P-VOPs and, packed behind them, an I-VOP.
    bool collectingPacked_ = false;
    // Time of the last picture split from a packed frame; later frames never go before it.
    TimeValue packedTime_ = 0;
};

}  // namespace vornak
