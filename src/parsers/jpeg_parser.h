// RTP/JPEG (RFC 2435) to JPEG pictures, including the variant that carries the JPEG header in
// RTP header extensions (profile 0xFFD8 on a picture's first packet, 0xFFFF on the others).
#pragma once

#include <array>
#include <cstdint>

#include "parsers/jpeg_header.h"
#include "parsers/media_parser.h"

namespace vornak {

inline constexpr uint16_t kJpegExtensionFirst = 0xFFD8;
inline constexpr uint16_t kJpegExtensionNext = 0xFFFF;

class CJpegRTPMediaParser : public CRTPMediaParser {
  public:
    explicit CJpegRTPMediaParser(IDriver* owner);

    void ProcessPacket(const CRTPPacket& packet) override;

  protected:
    void DropFrame() override;

  private:
    enum class State {
        kIdle,       // no picture in progress
        kScan,       // JFIF header rebuilt from the RTP/JPEG headers, scan data following
        kExtension,  // header taken whole from the extension, then its continuation
    };

    // Both false when the payload was refused (the picture is then dropped).
    bool HandlePayload(std::span<const uint8_t> payload);
    bool StartScanFrame(const JpegPayload& header);
    bool StartExtensionFrame(std::span<const uint8_t> extension);
    std::span<const uint8_t> ResolveTables(const JpegPayload& header);
    void ProcessFrame(uint32_t rtpTimestamp);
    void EndFrame();

    State state_ = State::kIdle;
    uint32_t headerSize_ = 8;  // RTP/JPEG main header, plus the restart header when present
    bool extensionHeaderSeen_ = false;
    bool sizeFromExtension_ = false;
    Size extensionSize_;
    uint32_t scanBytes_ = 0;  // scan bytes so far: the offset the next fragment must carry
    JpegPayload header_;      // reused from packet to packet

    // Q >= 128 with an empty table header refers to the tables last sent with that Q, or,
    // when none came, to the standard tables scaled by Q clamped to 99.
    bool cachedTablesValid_ = false;
    uint8_t cachedTablesQ_ = 0;
    std::vector<uint8_t> cachedTables_;
    std::array<uint8_t, 128> scaledTables_{};
};

}  // namespace vornak
