// Turns the host's privacy zones (percent of the picture) into the camera's mask windows: reads
// the image configuration, converts each zone to sensor pixels honouring rotation and mirroring,
// reuses or creates mask-window groups, and disables the windows no longer needed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/debug.h"
#include "driver/driver_api.h"
#include "ipcapture/host_interfaces.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

struct MaskWindow {
    uint32_t number = 0;  // the M# index
    bool enabled = false;
    uint32_t x = 0, y = 0, width = 0, height = 0;
    std::string name;
};

struct PixelRect {
    int32_t x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;
};

struct ZonePercent {
    float left = 0, top = 0, width = 0, height = 0;
};

struct ImageConfiguration {
    std::string rotation;
    std::string mirror;
    std::string maskType;
    std::vector<MaskWindow> windows;  // in the order the device lists them
};

// Percent of r pixels, rounded half up; below 4 pixels is nothing.
uint32_t ScaleToPixels(float percent, uint32_t r);
PixelRect ZoneToRectangle(const ZonePercent& zone, uint32_t width, uint32_t height,
                          std::string_view rotation, std::string_view mirror);
// Reads rotation, mirroring, mask type and the mask windows of one video source from a
// parameter list reply.
ImageConfiguration ParseImageConfiguration(std::string_view reply, uint32_t source);
// The window number of an add reply such as "M3 OK"; none for an error text.
std::optional<uint32_t> ParseCreatedWindow(std::string_view reply);
// An update reply that says nothing but OK.
bool IsOkReply(std::string_view reply);

class CAxisPrivacyZoneHandler : public CLoggerInstance {
  public:
    // driver is borrowed and outlives the handler.
    CAxisPrivacyZoneHandler(IDriver* driver, uint32_t source);
    ~CAxisPrivacyZoneHandler() override;

    // Copies the host's zones (the enumerator is the host's and only valid during the call).
    void SetZones(ipcapture::IPrivacyZoneEnumerator* zones);
    bool HasZones() const { return zonesGiven_; }
    // Writes the zones to the camera for a picture of width x height.
    bool ApplyPrivacyZones(uint32_t width, uint32_t height);
    // From another thread: a blocked request returns at once.
    void Abort();

  private:
    bool ReadImageConfiguration(ImageConfiguration& config);
    bool CreateMaskWindowGroup(uint32_t& number);
    bool ApplyPrivacyZoneConfiguration(const std::string& parameters);
    bool SendHttpRequest(const std::string& path, std::string& reply);
    std::string DeviceText();

    IDriver* driver_;
    uint32_t source_;
    std::vector<ZonePercent> zones_;
    bool zonesGiven_ = false;
    int32_t maxMasks_;
    std::unique_ptr<Web::CHttpSender> sender_;
};

}  // namespace vornak
