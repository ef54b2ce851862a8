// MPEG-4 Visual over RTP (whole VOPs; configuration in the stream or in the session
// description) to frames that each begin with their configuration when they are I-VOPs.
#pragma once

#include <cstdint>
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

class CMpeg4RTPMediaParser : public CRTPMediaParser {
  public:
    explicit CMpeg4RTPMediaParser(IDriver* owner);

    void ProcessPacket(const CRTPPacket& packet) override;
    void Reset() override;

    bool WaitingForIntra() const { return waitingForIntra_; }

  protected:
    void DropFrame() override;

  private:
    void ProcessFrame(uint32_t rtpTimestamp);

    CMP4Parser mp4Parser_;
    std::vector<uint8_t> inBandConfig_;
    bool waitingForIntra_ = true;
    bool currentIsIntra_ = false;
    bool frameOpen_ = false;  // a VOP has started and its data is being collected
};

}  // namespace vornak
