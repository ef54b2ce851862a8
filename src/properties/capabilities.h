// Small capability records of a device and their text forms, as stored by the host.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver_api.h"

namespace vornak {

class CAudioCapabilities {
  public:
    virtual ~CAudioCapabilities() = default;
    uint32_t count = 0;
    bool stereo = false;
    // "Count=%u; IsStereo=%u"
    std::string ToText() const;
};

struct PtzCapabilities {
    bool pan = false;
    bool tilt = false;
    bool zoom = false;
    bool focus = false;
    bool iris = false;
    bool areaZoom = false;
    bool center = false;
    bool unzoom = false;
    bool preset = false;

    bool AnyMovement() const { return pan || tilt || zoom || focus || iris; }
    // "Pan=1; Tilt=0; ..."; unzoom and area zoom only with zoom, center only with pan or tilt.
    std::string ToText() const;
    // Reads name=value items separated by "; " or line ends; unknown names are ignored.
    [[nodiscard]] static PtzCapabilities FromText(std::string_view text);
    bool operator==(const PtzCapabilities&) const = default;
};

// A resolution name of the device ("4CIF", "640x480") as a size; PAL or NTSC heights for the
// named ones. Nothing for unknown names or a zero side.
[[nodiscard]] std::optional<Size> ParseResolution(std::string_view name, bool ntsc);

// Frame interval in ms for a rate per second: integer part of 1000 / rate + 0.5; 1000 for 0.
[[nodiscard]] uint32_t FrameInterval(uint32_t rate);

// What one stream kind of the device offers, for the host's stream items.
struct StreamOffer {
    std::vector<std::string> codecs;  // "h264", "mpeg", "jpeg"
    std::vector<Size> resolutions;
    std::vector<uint32_t> rates;  // ascending
    uint32_t defaultRate = 0;
};

// "h264,jpeg"
std::string CodecsText(const StreamOffer& offer);
// "1280x720:33,640x480:33": each size with the interval of the stream's highest rate
// (33 or 40 ms by the mains frequency when no rates are known).
std::string ResolutionsText(const StreamOffer& offer, bool sixtyHertz);
// "values=1000,500,...;default=40"
std::string FrameRatesText(const StreamOffer& offer);

}  // namespace vornak
