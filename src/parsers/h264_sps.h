// Picture size from an H.264 sequence parameter set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/driver_api.h"

namespace vornak {

// Only the first bytes of a frame are searched: parameter sets come first in an access unit.
inline constexpr size_t kSpsSearchWindow = 64;

// The display size of a coded picture less the cropped columns and rows; nothing when the header
// was overrun or the size is empty or beyond 65535 either way. Shared by the SPS readers.
[[nodiscard]] std::optional<Size> SizeAfterCrop(bool overrun, uint64_t width, uint64_t height,
                                                uint64_t cropX, uint64_t cropY);

// Display size (after cropping) of one SPS NAL unit, header byte included. Nothing when the
// unit is not an SPS, is truncated, or describes an empty or impossible picture.
[[nodiscard]] std::optional<Size> ParseSps(std::span<const uint8_t> nal);

// Finds "00 00 01" followed by an SPS header within the first kSpsSearchWindow bytes of an
// Annex B buffer and parses that SPS up to the next start code.
[[nodiscard]] std::optional<Size> FindSps(std::span<const uint8_t> annexB);

}  // namespace vornak
