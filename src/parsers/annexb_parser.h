// Base of the depacketizers that rebuild Annex B access units from NAL units (H.264, H.265):
// the packet loop, the frame hand-over with the key frame rule, and the loss handling they share.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "parsers/media_parser.h"

namespace vornak {

inline constexpr std::array<uint8_t, 3> kAnnexBStartCode = {0x00, 0x00, 0x01};

// A slice whose first bit after the NAL unit header is set begins a picture: H.264's
// first_mb_in_slice 0 (ue(v) code "1"), H.265's first_slice_segment_in_pic_flag.
[[nodiscard]] inline bool SliceStartsPicture(std::span<const uint8_t> sliceAfterHeader) {
    return !sliceAfterHeader.empty() && (sliceAfterHeader[0] & 0x80) != 0;
}

// What a codec tells the shared loop about itself.
struct AnnexBCodec {
    uint32_t keyFourCC;                     // a frame that carries an SPS
    uint32_t otherFourCC;                   // any other frame
    std::span<const uint8_t> frameTrailer;  // the access unit delimiter that ends each frame
    // The picture size of the SPS an access unit starts with; nothing for a frame without one.
    std::optional<Size> (*findSps)(std::span<const uint8_t> annexB);
    const char* processPacket;  // method names for the log lines
    const char* processFrame;
};

class CAnnexBRTPMediaParser : public CRTPMediaParser {
  public:
    CAnnexBRTPMediaParser(IDriver* owner, const AnnexBCodec& codec);

    void ProcessPacket(const CRTPPacket& packet) final;
    void Reset() override;

    bool WaitingForKeyFrame() const { return waitingForKeyFrame_; }

  protected:
    void DropFrame() override;
    // Unpacks one payload and appends its units; false when the payload was refused (the
    // picture is then dropped already).
    virtual bool AppendPayload(const CRTPPacket& packet) = 0;

    // Kept out of line: inlined where the buffer is known to be empty, g++ 12 reports a false
    // buffer overflow inside vector::insert.
    static void AppendBytes(std::vector<uint8_t>& buffer, std::span<const uint8_t> bytes);
    // Starts or continues a fragmented unit. start: header is the rebuilt unit header; the
    // fragment is dropped with a log line when its start was not seen. keep false: the unit is
    // followed but its bytes left out.
    bool AppendFragment(bool start, bool end, uint8_t type, std::span<const uint8_t> header,
                        std::span<const uint8_t> data, bool keep);
    // Whole units in packet order; a whole unit ends a fragmented one that never saw its end
    // bit. False when a unit was refused.
    bool AppendWholeUnits(const std::vector<std::span<const uint8_t>>& units);
    virtual bool AppendNalUnit(std::span<const uint8_t> nal) = 0;

  private:
    void ProcessFrame(uint32_t rtpTimestamp);

    const AnnexBCodec& codec_;
    bool waitingForKeyFrame_ = true;
    bool fuOpen_ = false;  // a fragmented NAL unit has started and not ended
    uint8_t fuType_ = 0;
};

// In the header: called for every fragment, and inlined into each codec's packet loop.
inline bool CAnnexBRTPMediaParser::AppendFragment(bool start, bool end, uint8_t type,
                                                  std::span<const uint8_t> header,
                                                  std::span<const uint8_t> data, bool keep) {
    if (start) {
        // Some senders never set the end bit: a new start ends the unit before it.
        fuOpen_ = true;
        fuType_ = type;
        if (keep) {
            frameBuffer_.insert(frameBuffer_.end(), kAnnexBStartCode.begin(),
                                kAnnexBStartCode.end());
            frameBuffer_.insert(frameBuffer_.end(), header.begin(), header.end());
        }
    } else if (!fuOpen_ || type != fuType_) {
        // Without its start the fragment would be glued to whatever unit came before.
        RefusePayload(codec_.processPacket, fuOpen_ ? "fragment type changes inside a unit"
                                                    : "fragment continuation without a start");
        return false;
    }
    if (keep) {
        AppendBytes(frameBuffer_, data);
    }
    if (end) {
        fuOpen_ = false;
    }
    return true;
}

}  // namespace vornak
