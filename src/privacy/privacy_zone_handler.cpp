#include "privacy/privacy_zone_handler.h"

#include <algorithm>
#include <cmath>

#include "web/field_search.h"
#include "web/request_utils.h"

namespace vornak {

namespace {
constexpr std::string_view kOkCharacters = "OK \t\r\n";

uint32_t ClampedEnd(uint32_t limit, int32_t start, int32_t size) {
    const int64_t end = static_cast<int64_t>(start) + size;
    return static_cast<uint32_t>(std::min<int64_t>(limit, end));
}
}  // namespace

uint32_t ScaleToPixels(float percent, uint32_t r) {
    const float v = static_cast<float>(r) / 100.0f * percent;
    if (!(v > 0.0f) || !std::isfinite(v)) {
        return 0;
    }
    const float whole = std::floor(v);
    uint32_t pixels = whole >= 4294967295.0f ? 0xFFFFFFFFu : static_cast<uint32_t>(whole);
    if (v - whole >= 0.5f) {
        ++pixels;
    }
    return pixels < 4 ? 0 : pixels;
}

PixelRect ZoneToRectangle(const ZonePercent& zone, uint32_t w, uint32_t h,
                          std::string_view rotation, std::string_view mirror) {
    auto scale = [](float p, uint32_t r) {
        return static_cast<int32_t>(std::min<uint32_t>(ScaleToPixels(p, r), 0x7FFFFFFF));
    };
    PixelRect r;
    const bool swapped = rotation == "90" || rotation == "270";
    if (swapped) {
        r = {scale(zone.top, w), scale(zone.left, h), scale(zone.height, w), scale(zone.width, h)};
    } else {
        r = {scale(zone.left, w), scale(zone.top, h), scale(zone.width, w), scale(zone.height, h)};
    }
    if (rotation == "180") {
        r.x = static_cast<int32_t>(w - ClampedEnd(w, r.x, r.width));
        r.y = static_cast<int32_t>(h - ClampedEnd(h, r.y, r.height));
    } else if (rotation == "90") {
        r.y = static_cast<int32_t>(h - ClampedEnd(h, r.y, r.height));
    } else if (rotation == "270") {
        r.x = static_cast<int32_t>(w - ClampedEnd(w, r.x, r.width));
    }
    if (ToLower(std::string(mirror)) == "yes") {
        r.x = static_cast<int32_t>(w - ClampedEnd(w, r.x, r.width));
    }
    return r;
}

ImageConfiguration ParseImageConfiguration(std::string_view reply, uint32_t source) {
    ImageConfiguration config;
    const std::string prefix = Format("Image.I%u", source);
    config.rotation = GetParameterValue(reply, prefix + ".Appearance.Rotation");
    config.mirror = GetParameterValue(reply, prefix + ".Appearance.MirrorEnabled");
    config.maskType = GetParameterValue(reply, "Image.PrivacyMaskType");
    // Window numbers as the reply lists them, each once, in order of appearance.
    const std::string marker = prefix + ".Overlay.MaskWindows.M";
    std::vector<uint32_t> numbers;
    for (size_t at = reply.find(marker); at != std::string_view::npos;
         at = reply.find(marker, at + 1)) {
        const size_t digits = at + marker.size();
        const size_t dot = reply.find('.', digits);
        const auto number = dot == std::string_view::npos
                                ? std::nullopt
                                : ParseDecimal(reply.substr(digits, dot - digits));
        if (number && std::find(numbers.begin(), numbers.end(), *number) == numbers.end()) {
            numbers.push_back(*number);
        }
    }
    for (const uint32_t number : numbers) {
        const std::string window =
            Format("%s.M%u.", (prefix + ".Overlay.MaskWindows").c_str(), number);
        MaskWindow mask;
        mask.number = number;
        mask.enabled = GetParameterValue(reply, window + "Enabled") == "yes";
        auto read = [&](const char* name, uint32_t& value) {
            value = ParseDecimal(GetParameterValue(reply, window + name)).value_or(0);
        };
        read("XPos", mask.x);
        read("YPos", mask.y);
        read("Width", mask.width);
        read("Height", mask.height);
        mask.name = GetParameterValue(reply, window + "Name");
        config.windows.push_back(std::move(mask));
    }
    return config;
}

std::optional<uint32_t> ParseCreatedWindow(std::string_view reply) {
    const size_t end = reply.find_first_of(" #\t\r\n");
    if (end == std::string_view::npos || end < 2 || end > 15) {
        return std::nullopt;
    }
    if (reply.find_first_not_of(kOkCharacters, end) != std::string_view::npos) {
        return std::nullopt;
    }
    return ParseDecimal(reply.substr(1, end - 1));
}

bool IsOkReply(std::string_view reply) {
    return reply.find_first_not_of(kOkCharacters) == std::string_view::npos;
}

CAxisPrivacyZoneHandler::CAxisPrivacyZoneHandler(IDriver* driver, uint32_t source)
    : CLoggerInstance(driver),
      driver_(driver),
      source_(source),
      maxMasks_(driver->GetParameterInt(kParamPrivacyZonesCount)),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 Web::CHttpSender::kDefaultUserAgent)) {}

CAxisPrivacyZoneHandler::~CAxisPrivacyZoneHandler() = default;

void CAxisPrivacyZoneHandler::SetZones(ipcapture::IPrivacyZoneEnumerator* zones) {
    zones_.clear();
    zonesGiven_ = zones != nullptr;
    if (zones == nullptr) {
        return;
    }
    // A host enumerator that never ends must not keep us here.
    for (uint32_t i = 0; i < 1024; ++i) {
        ipcapture::IPrivacyZone* zone = zones->GetZone(i);
        if (zone == nullptr) {
            break;
        }
        zones_.push_back({zone->GetX(), zone->GetY(), zone->GetWidth(), zone->GetHeight()});
    }
}

void CAxisPrivacyZoneHandler::Abort() {
    sender_->Abort();
}

std::string CAxisPrivacyZoneHandler::DeviceText() {
    std::string text = "device " + driver_->GetDeviceInfo()->address;
    if (driver_->GetVideoChannelCount() > 1) {
        text += Format(" (channel %u)", source_);
    }
    return text;
}

bool CAxisPrivacyZoneHandler::SendHttpRequest(const std::string& path, std::string& reply) {
    static const char kMethod[] = "vornak::CAxisPrivacyZoneHandler::SendHttpRequest";
    HUtils::Reply answer = HUtils::Get(*sender_, path);
    reply = std::move(answer.body);
    const uint32_t status = answer.status;
    const std::string device = DeviceText();
    if (status == 0) {
        Log(kLogDetail, "%s: Unable to send \"%s\" request to the %s. Probably device is offline.",
            kMethod, path.c_str(), device.c_str());
        return false;
    }
    if (status == 401) {
        Log(kLogError, "%s: Unable to send \"%s\" request to the %s. Invalid username/password.",
            kMethod, path.c_str(), device.c_str());
        return false;
    }
    if (status < 200 || status > 299) {
        Log(kLogError, "%s: Unable to send \"%s\" request to the %s. Status code is %u.", kMethod,
            path.c_str(), device.c_str(), status);
        return false;
    }
    if (reply.empty()) {
        Log(kLogWarning, "%s: The %s returns empty response for the \"%s\" request.", kMethod,
            device.c_str(), path.c_str());
        return false;
    }
    return true;
}

bool CAxisPrivacyZoneHandler::ReadImageConfiguration(ImageConfiguration& config) {
    std::string reply;
    if (!SendHttpRequest("/axis-cgi/admin/param.cgi?action=list&group=Image", reply)) {
        return false;
    }
    config = ParseImageConfiguration(reply, source_);
    return true;
}

bool CAxisPrivacyZoneHandler::CreateMaskWindowGroup(uint32_t& number) {
    std::string reply;
    if (!SendHttpRequest(Format("/axis-cgi/admin/param.cgi?action=add&template=0_maskwindows&"
                                "group=Image.I%u.Overlay.MaskWindows",
                                source_),
                         reply)) {
        return false;
    }
    const auto created = ParseCreatedWindow(reply);
    if (!created) {
        Log(kLogError, "%s: The device %s is unable to create MaskWindows.M# group: %s",
            "vornak::CAxisPrivacyZoneHandler::CreateMaskWindowGroup", DeviceText().c_str(),
            reply.c_str());
        return false;
    }
    number = *created;
    return true;
}

bool CAxisPrivacyZoneHandler::ApplyPrivacyZoneConfiguration(const std::string& parameters) {
    std::string reply;
    if (!SendHttpRequest("/axis-cgi/admin/param.cgi?action=update&" + parameters, reply)) {
        return false;
    }
    if (!IsOkReply(reply)) {
        Log(kLogError,
            "%s: The device %s returns the following error for applying of the \"%s\" options: %s",
            "vornak::CAxisPrivacyZoneHandler::ApplyPrivacyZoneConfiguration", DeviceText().c_str(),
            parameters.c_str(), reply.c_str());
        return false;
    }
    return true;
}

bool CAxisPrivacyZoneHandler::ApplyPrivacyZones(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0) {
        Log(kLogError, "%s: Maximal resolution is not specified for device %s",
            "vornak::CAxisPrivacyZoneHandler::ApplyPrivacyZones", DeviceText().c_str());
        return true;
    }
    if (maxMasks_ < 1) {
        return true;
    }
    ImageConfiguration config;
    if (!ReadImageConfiguration(config)) {
        return false;
    }
    size_t nextWindow = 0;
    for (const ZonePercent& zone : zones_) {
        MaskWindow window;
        if (nextWindow < config.windows.size()) {
            window = config.windows[nextWindow++];
        } else if (!CreateMaskWindowGroup(window.number)) {
            return false;
        }
        const std::string prefix =
            Format("&Image.I%u.Overlay.MaskWindows.M%u", source_, window.number);
        const PixelRect rect = ZoneToRectangle(zone, width, height, config.rotation, config.mirror);
        const PixelRect stored{static_cast<int32_t>(window.x), static_cast<int32_t>(window.y),
                               static_cast<int32_t>(window.width),
                               static_cast<int32_t>(window.height)};
        std::string parameters;
        if (!(rect == stored)) {
            parameters += Format("%s.Xpos=%u%s.Ypos=%u%s.Width=%u%s.Height=%u", prefix.c_str(),
                                 rect.x, prefix.c_str(), rect.y, prefix.c_str(), rect.width,
                                 prefix.c_str(), rect.height);
        }
        if (!window.enabled) {
            parameters += prefix + ".Enabled=yes";
        }
        if (window.name.empty()) {
            parameters += prefix + Format(".Name=Mask%%20%.2u", window.number);
        }
        if (parameters.empty()) {
            continue;
        }
        if (config.maskType != "mask_windows") {
            parameters = "&Image.PrivacyMaskType=mask_windows" + parameters;
        }
        if (!ApplyPrivacyZoneConfiguration(parameters)) {
            return false;
        }
    }
    for (size_t i = nextWindow; i < config.windows.size(); ++i) {
        if (config.windows[i].enabled &&
            !ApplyPrivacyZoneConfiguration(Format("&Image.I%u.Overlay.MaskWindows.M%u.Enabled=no",
                                                  source_, config.windows[i].number))) {
            return false;
        }
    }
    ResetLogFilter();
    return true;
}

}  // namespace vornak
