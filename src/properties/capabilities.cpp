#include "properties/capabilities.h"

#include "base/debug.h"
#include "web/field_search.h"

namespace vornak {

std::string CAudioCapabilities::ToText() const {
    return Format("Count=%u; IsStereo=%u", count, stereo ? 1u : 0u);
}

std::string PtzCapabilities::ToText() const {
    std::string text = Format("Pan=%u; Tilt=%u; Zoom=%u; Focus=%u; Iris=%u; ", pan ? 1u : 0u,
                              tilt ? 1u : 0u, zoom ? 1u : 0u, focus ? 1u : 0u, iris ? 1u : 0u);
    if (unzoom && zoom) {
        text += "Unzoom=1; ";
    }
    if (areaZoom && zoom) {
        text += "AreaZoom=1; ";
    }
    if (center && (pan || tilt)) {
        text += "Center=1; ";
    }
    text += Format("Preset=%u", preset ? 1u : 0u);
    return text;
}

PtzCapabilities PtzCapabilities::FromText(std::string_view text) {
    PtzCapabilities caps;
    struct Field {
        const char* name;
        bool PtzCapabilities::*flag;
    };
    static constexpr Field kFields[] = {
        {"Pan", &PtzCapabilities::pan},       {"Tilt", &PtzCapabilities::tilt},
        {"Zoom", &PtzCapabilities::zoom},     {"Focus", &PtzCapabilities::focus},
        {"Iris", &PtzCapabilities::iris},     {"AreaZoom", &PtzCapabilities::areaZoom},
        {"Center", &PtzCapabilities::center}, {"Unzoom", &PtzCapabilities::unzoom},
        {"Preset", &PtzCapabilities::preset},
    };
    for (const Field& field : kFields) {
        const std::string value(Trim(GetFieldValue(text, field.name, "=", ";\r\n")));
        caps.*field.flag = value == "1";
    }
    return caps;
}

std::optional<Size> ParseResolution(std::string_view name, bool ntsc) {
    const std::string lower = ToLower(Trim(name));
    const uint32_t full = ntsc ? 480 : 576;
    const uint32_t half = ntsc ? 240 : 288;
    const uint32_t quarter = ntsc ? 120 : 144;
    if (lower == "d1") {
        return Size{720, full};
    }
    if (lower == "4cif") {
        return Size{704, full};
    }
    if (lower == "2cif") {
        return Size{704, half};
    }
    if (lower == "cif") {
        return Size{352, half};
    }
    if (lower == "qcif") {
        return Size{176, quarter};
    }
    const size_t x = lower.find('x');
    if (x == std::string::npos) {
        return std::nullopt;
    }
    const uint32_t width = ParseDecimal(std::string_view(lower).substr(0, x)).value_or(0);
    const uint32_t height = ParseDecimal(std::string_view(lower).substr(x + 1)).value_or(0);
    if (width == 0 || height == 0) {
        return std::nullopt;
    }
    return Size{width, height};
}

uint32_t FrameInterval(uint32_t rate) {
    if (rate == 0) {
        return 1000;
    }
    return static_cast<uint32_t>(1000.0 / rate + 0.5);
}

std::string CodecsText(const StreamOffer& offer) {
    std::string text;
    for (const std::string& codec : offer.codecs) {
        text += (text.empty() ? "" : ",") + codec;
    }
    return text;
}

std::string ResolutionsText(const StreamOffer& offer, bool sixtyHertz) {
    const uint32_t interval = !offer.rates.empty() ? FrameInterval(offer.rates.back())
                              : sixtyHertz         ? 33u
                                                   : 40u;
    std::string text;
    for (const Size& size : offer.resolutions) {
        text += Format("%s%ux%u:%u", text.empty() ? "" : ",", size.width, size.height, interval);
    }
    return text;
}

std::string FrameRatesText(const StreamOffer& offer) {
    std::string values;
    for (uint32_t rate : offer.rates) {
        values += Format("%s%u", values.empty() ? "" : ",", FrameInterval(rate));
    }
    return Format("values=%s;default=%u", values.c_str(), FrameInterval(offer.defaultRate));
}

}  // namespace vornak
