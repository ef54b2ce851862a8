// RTP/JPEG payload headers and the JFIF headers rebuilt from them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "driver/driver_api.h"

namespace vornak {

enum class JpegPayloadError {
    kNone,
    kTooShort,         // no complete main header
    kUnsupportedType,  // only types 0 and 1, with or without restart markers, have known layouts
    kRestartOverrun,   // restart marker header missing
    kTableOverrun,     // quantization table header or tables run past the packet
    kBadTables,        // table data that cannot make a DQT segment
};
const char* JpegPayloadErrorText(JpegPayloadError error);

// The RFC 2435 headers of one packet. Spans point into the payload.
struct JpegPayload {
    uint8_t typeSpecific = 0;
    uint32_t fragmentOffset = 0;  // counts scan bytes
    uint8_t type = 0;
    uint8_t q = 0;
    uint8_t widthBlocks = 0;   // width / 8
    uint8_t heightBlocks = 0;  // height / 8
    uint16_t restartInterval = 0;
    // First fragment with Q >= 128 only: the in-band tables, empty when the sender refers to
    // tables it sent earlier for the same Q.
    bool hasTableHeader = false;
    std::span<const uint8_t> tables;
    size_t headerLength = 0;  // bytes before the scan data
    std::span<const uint8_t> scan;
};

[[nodiscard]] JpegPayloadError ParseJpegPayload(std::span<const uint8_t> payload, JpegPayload& out);

// The 128 table bytes (luminance then chrominance, zigzag order) that Q 1..127 stands for.
[[nodiscard]] std::array<uint8_t, 128> MakeQuantizationTables(uint8_t q);

// Picture size in pixels as the main header gives it; a zero dimension means 2048.
[[nodiscard]] Size JpegHeaderSize(const JpegPayload& header);

struct JfifParameters {
    uint8_t type = 0;  // 0: 4:2:2, 1: 4:2:0 (restart variants 64, 65 allowed)
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t restartInterval = 0;
    std::span<const uint8_t> tables;  // 64 bytes (one table) or 128 (two)
};

// Largest header this system builds; anything larger is refused.
inline constexpr size_t kJfifHeaderLimit = 1024;

// Appends SOI, APP0, DRI, DQT, SOF0, DHT and SOS; false (and nothing appended) when the
// parameters cannot describe a picture.
[[nodiscard]] bool BuildJfifHeader(const JfifParameters& parameters, std::vector<uint8_t>& out);

// SOF0..SOF15 (baseline, extended, progressive, ...) share one layout; C4 (DHT), C8 (JPG) and
// CC (DAC) are not frame headers.
[[nodiscard]] constexpr bool IsJpegFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Size from the first frame header of a marker sequence (optionally starting with SOI); the
// walk stops at SOS. Nothing when there is no well-formed frame header before it.
[[nodiscard]] std::optional<Size> FindJpegFrameSize(std::span<const uint8_t> markers);

}  // namespace vornak
