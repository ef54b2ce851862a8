// Picture size of MPEG-4 Visual from its configuration headers (video object layer), or from
// an H.263 picture header when the stream uses the short video header.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "driver/driver_api.h"

namespace vornak {

inline constexpr uint32_t kMp4MaxDimension = 32000;

// Width of vop_time_increment for a time resolution: enough bits for resolution - 1, at least 1.
[[nodiscard]] unsigned VopTimeIncrementBits(uint32_t resolution);

class CMP4Parser {
  public:
    CMP4Parser() = default;
    virtual ~CMP4Parser() = default;

    // Walks the start codes of a frame up to its first video object layer and reads the coded
    // size; a frame that begins with a short video header is read as H.263. Nothing when the
    // headers are missing, malformed, not rectangular or out of range.
    [[nodiscard]] std::optional<Size> ReadSize(std::span<const uint8_t> frame) const;

    [[nodiscard]] static std::optional<Size> ReadVideoObjectLayer(std::span<const uint8_t> vol);
    // vop_time_increment_resolution of the first video object layer in `frame`: the ticks of one
    // second in the VOP headers.
    [[nodiscard]] static std::optional<uint32_t> ReadTimeResolution(std::span<const uint8_t> frame);
    [[nodiscard]] static std::optional<Size> ReadShortHeader(std::span<const uint8_t> picture);
};

}  // namespace vornak
