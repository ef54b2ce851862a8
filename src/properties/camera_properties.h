// What a device is and can do, read from its parameter groups over HTTP.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/debug.h"
#include "base/sync.h"
#include "driver/device_info.h"
#include "driver/driver_api.h"
#include "ipcapture/capability_query.h"
#include "platform/host_info.h"
#include "properties/capabilities.h"
#include "web/http_sender.h"

namespace vornak {

// LoadProperties status values.
enum : uint32_t {
    kQueryCredentialsRefused = 1,
    kQueryDeviceUnreachable = 2,
    kQueryRunning = 3,
};

class CBaseCameraProperties {
  public:
    explicit CBaseCameraProperties(const DEVICE_INFO& device);

    virtual void AbortRequests() {}  // 0
    // Every collected size through the list's Add, then the default.
    virtual bool ReportResolutions(ipcapture::IIPCapabilityList* sink);         // 1
    virtual bool ReportCapabilities(ipcapture::IIPCapabilityResult* sink) = 0;  // 2
    virtual ~CBaseCameraProperties();                                           // 3
    virtual bool LoadProperties(uint32_t& status) = 0;                          // 4
    virtual std::string GetErrorText() { return {}; }                           // 5

    // Set by another thread to stop a running query between steps.
    CManualEvent& GetStopEvent() { return stop_; }
    const CAudioCapabilities& GetAudioInput() const { return audioInput_; }
    const CAudioCapabilities& GetAudioOutput() const { return audioOutput_; }
    const std::vector<Size>& GetResolutions() const { return resolutions_; }
    const platform::FileVersion& GetHostVersion() const { return hostVersion_; }

  protected:
    DEVICE_INFO device_;
    CManualEvent stop_;
    CAudioCapabilities audioInput_;
    CAudioCapabilities audioOutput_;
    std::vector<Size> resolutions_;  // of the first image source, in the device's order
    platform::FileVersion hostVersion_;
};

class CAxisCameraProperties : public CBaseCameraProperties {
  public:
    // debug is borrowed and may be null (the capability query has no logger).
    CAxisCameraProperties(const DEVICE_INFO& device, IDebugMessage* debug = nullptr);
    ~CAxisCameraProperties() override;

    void AbortRequests() override;
    bool ReportCapabilities(ipcapture::IIPCapabilityResult* sink) override;
    bool LoadProperties(uint32_t& status) override;
    std::string GetErrorText() override;

    // What one query holds of the device's replies: far beyond any real camera, and a device
    // that sends more cannot make the query take all memory.
    static constexpr size_t kMaxReplyBytes = 8u << 20;

    // GET "/axis-cgi/admin/param.cgi?action=list&group=" + group; on 2xx the whole body and
    // "\r\n" are appended to reply. status 1 on 401 or a login failure, 2 without an answer.
    // False also for a 2xx whose body would take reply beyond kMaxReplyBytes.
    static bool ListParameterGroup(Web::CHttpSender& sender, const std::string& group,
                                   std::string& reply, uint32_t& status);

    // Derives identity, image, capability, PTZ flags and audio facts from the collected
    // groups, with no traffic. False with the error text set when a mandatory option is
    // missing. Public so tests can feed device replies directly.
    bool Interpret(const std::string& reply);

    const std::string& GetBrand() const { return brand_; }
    const std::string& GetProductName() const { return productName_; }
    const std::string& GetFirmwareVersion() const { return firmware_; }
    const std::string& GetApiVersion() const { return apiVersion_; }
    const std::vector<std::string>& GetVideoFormats() const { return formats_; }
    const std::string& GetResolutionsText() const { return resolutionsText_; }
    const std::string& GetViewChannelsText() const { return viewChannels_; }
    const std::string& GetPtzPortMapping() const { return ptzPortMapping_; }
    const std::string& GetPtzDriverName() const { return ptzDriverName_; }
    const PtzCapabilities& GetPtz() const { return ptz_; }
    const std::string& GetAudioFormats() const { return audioFormats_; }
    uint32_t GetInputCount() const { return inputs_; }
    uint32_t GetOutputCount() const { return outputs_; }
    uint32_t GetImageSources() const { return imageSources_; }
    uint32_t GetViews() const { return views_; }
    uint32_t GetMaxFrameRate() const { return maxFps_; }
    bool IsSixtyHertz() const { return sixtyHertz_; }
    bool IsNtsc() const { return ntsc_; }
    bool HasMotion() const { return motion_; }
    bool HasEdgeStorage() const { return localStorage_ && sdCard_; }
    const std::string& GetPrivacyMaskType() const { return privacyMaskType_; }
    uint32_t GetPrivacyMaskCount() const { return privacyMasks_; }
    bool IsMulticastSupported() const { return multicast_; }
    bool IsNoVideoDevice() const { return noVideo_; }
    bool HasStreamProfiles() const { return streamProfiles_; }
    bool IsLoaded() const { return loaded_; }
    uint32_t GetNetworkTimeout() const { return device_.networkTimeout; }
    // The kinds of stream the host may configure: live, then remote when profiles exist.
    std::vector<StreamOffer> GetStreamOffers() const;

  private:
    bool Fail(const std::string& text);
    bool ReadParameterDefinitionsText(const std::string& group, const std::string& path,
                                      std::string& value);
    void ReadFrameRateFromDefinitions(const std::string& reply);
    // The parts of Interpret, in the order the query learns what each needs.
    bool InterpretDevice(const std::string& reply);
    void InterpretPtz(const std::string& reply);
    void InterpretStreaming(const std::string& reply);
    void ProbeAudioOutput(const std::string& reply, uint32_t& status);
    bool SendUpdate(const std::string& assignment);
    void ReadViewChannels(const std::string& reply);
    void Log(uint32_t level, const char* format, ...) VORNAK_PRINTF(3, 4);

    IDebugMessage* debug_;  // borrowed, may be null
    Web::CHttpSender sender_;
    CLock lock_;
    std::string errorText_;

    std::string brand_;
    std::string productName_;
    std::string firmware_;
    std::string apiVersion_;
    bool ntsc_ = false;
    bool sixtyHertz_ = false;
    uint32_t imageSources_ = 0;
    uint32_t views_ = 1;
    uint32_t maxFps_ = 0;
    std::vector<std::string> formats_;
    std::string resolutionsText_;
    std::string viewChannels_;
    std::string ptzPortMapping_;
    std::string ptzDriverName_;
    PtzCapabilities ptz_;
    std::string audioFormats_;
    std::string duplexMode_;
    uint32_t inputs_ = 0;
    uint32_t outputs_ = 0;
    bool motion_ = false;
    bool localStorage_ = false;
    bool sdCard_ = false;
    std::string privacyMaskType_;
    uint32_t privacyMasks_ = 0;
    bool multicast_ = false;
    bool noVideo_ = false;
    bool streamProfiles_ = false;
    bool loaded_ = false;
};

}  // namespace vornak
