// Stream operations shared by the HTTP and RTSP channels of Axis devices: resolution names the
// device understands, and privacy zones.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channels/camera_channel.h"

namespace vornak {

class CAxisPrivacyZoneHandler;

// "WxH", or the entry of the device's list that names the same size (matched without regard
// to case, against "WxH" or the size's common name), spelled as the device spells it.
std::string ResolutionText(uint32_t width, uint32_t height,
                           const std::vector<std::string>& supported);

// The motion-JPEG request path for a capture request.
std::string MjpegPath(const VideoCaptureRequest& request, uint32_t camera,
                      const std::string& resolutionText, const std::string& model);

class CAxisCommonChannel {
  public:
    CAxisCommonChannel(IDriver* driver, uint32_t channel);
    virtual ~CAxisCommonChannel();

    std::string GetResolutionText(uint32_t width, uint32_t height) const {
        return ResolutionText(width, height, supported_);
    }
    CAxisPrivacyZoneHandler& PrivacyZones() { return *privacyZones_; }

  protected:
    std::vector<std::string> supported_;
    std::unique_ptr<CAxisPrivacyZoneHandler> privacyZones_;
};

}  // namespace vornak
