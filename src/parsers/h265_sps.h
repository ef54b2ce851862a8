// Picture size from an H.265 sequence parameter set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/driver_api.h"

namespace vornak {

// NAL unit types of the two-byte H.265 NAL unit header that the depacketizer and the SPS reader
// tell apart.
inline constexpr uint8_t kH265NalIrapFirst = 16;  // BLA, IDR and CRA pictures: 16..23
inline constexpr uint8_t kH265NalIrapLast = 23;
inline constexpr uint8_t kH265NalVps = 32;
inline constexpr uint8_t kH265NalSps = 33;
inline constexpr uint8_t kH265NalPps = 34;

[[nodiscard]] constexpr uint8_t H265NalType(uint8_t firstHeaderByte) {
    return (firstHeaderByte >> 1) & 0x3F;
}

// Display size (conformance window applied) of one SPS NAL unit, both header bytes included.
// Nothing when the unit is not an SPS, is truncated, or describes an empty or impossible picture.
[[nodiscard]] std::optional<Size> ParseH265Sps(std::span<const uint8_t> nal);

// The SPS among the parameter sets an Annex B access unit starts with, parsed. The search ends
// at the first picture data: parameter sets come before it.
[[nodiscard]] std::optional<Size> FindH265Sps(std::span<const uint8_t> annexB);

}  // namespace vornak
