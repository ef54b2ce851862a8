#include "channels/axis_common_channel.h"

#include <algorithm>

#include "base/text.h"
#include "privacy/privacy_zone_handler.h"

namespace vornak {

namespace {

const char* SizeName(uint32_t width, uint32_t height) {
    switch (width) {
        case 320:
        case 352:
            return "cif";
        case 160:
        case 176:
            return "qcif";
        case 640:
        case 704:
            return height > 400 ? "4cif" : "2cif";
        case 720:
            return "d1";
        default:
            return nullptr;
    }
}
}  // namespace

std::string ResolutionText(uint32_t width, uint32_t height,
                           const std::vector<std::string>& supported) {
    const std::string plain = Format("%ux%u", width, height);
    if (supported.empty()) {
        return plain;
    }
    const char* name = SizeName(width, height);
    for (const std::string& entry : supported) {
        const std::string lower = ToLower(entry);
        if (lower == plain || (name != nullptr && lower == name)) {
            return entry;
        }
    }
    return plain;
}

std::string MjpegPath(const VideoCaptureRequest& request, uint32_t camera,
                      const std::string& resolutionText, const std::string& model) {
    std::string path = Format("/axis-cgi/mjpg/video.cgi?camera=%u", camera);
    if (request.width != 0 && request.height != 0) {
        path += "&resolution=" + resolutionText;
    }
    uint32_t quality = request.quality;
    if (quality != 0) {
        // This model misbehaves with the extremes of the compression range.
        if (model.find("207MW") != std::string::npos) {
            quality = std::clamp<uint32_t>(quality, 1, 90);
        }
        path += Format("&compression=%u&colorlevel=25", 100 - std::min<uint32_t>(quality, 100));
    }
    if (request.frameRate != 0) {
        path += Format("&fps=%u", FramesPerSecond(request.frameRate));
    }
    return path;
}

CAxisCommonChannel::CAxisCommonChannel(IDriver* driver, uint32_t channel)
    : supported_(SplitList(driver->GetParameter(kParamResolutions), ';', {})),
      privacyZones_(std::make_unique<CAxisPrivacyZoneHandler>(driver, channel)) {}

CAxisCommonChannel::~CAxisCommonChannel() = default;

}  // namespace vornak
