// The device-neutral half of the driver object: host data, device parameters, logging and the
// objects the host reaches through the driver interface.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "driver/driver_api.h"
#include "driver/video_capture.h"
#include "ipcapture/driver_interfaces.h"
#include "platform/host_info.h"

namespace vornak {

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx5,
                         public IVideoChannelCreator,
                         public IDriver {
  public:
    CIPCaptureDriver();
    ~CIPCaptureDriver() override;

    // IIPCaptureDriver family.
    bool Open(ipcapture::IHostLogger* logger, ipcapture::IFrameAllocator* allocator,
              ipcapture::IDeviceContext* device) override;
    void Close() override;
    ipcapture::IIPVideoCapture* GetVideoCapture() override;
    ICaptureIOApi* GetIOApi() override { return ioApi_.get(); }
    void* ReservedQuery5() override { return nullptr; }
    // PTZ and audio objects arrive with those subsystems; until then the host gets none.
    IIPPTZDriver* GetPTZDriver() override { return nullptr; }
    void* ReservedQuery7() override { return nullptr; }
    ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
    IIPPTZDriverEx* GetPTZDriverEx() override { return nullptr; }
    ipcapture::IIPAudioCapture2* GetAudioCapture() override { return nullptr; }
    ipcapture::IIPAudioSender* GetAudioSender() override { return nullptr; }
    ipcapture::IIPVideoCaptureEx2* GetVideoCaptureEx2() override;
    // Slots 13 and 14, for the driver's own use.
    virtual bool CreateIOApi() { return true; }
    virtual void LogDriverOpened(const std::string& firmware);

    // IDebugMessage / IDriver.
    std::string GetDeviceName() override;
    VORNAK_PRINTF(3, 4) void DebugMessage(uint32_t level, const char* format, ...) override;
    std::string GetDriverName() override { return "Quillon"; }
    std::string GetHostFolder() override { return hostFolder_; }
    DEVICE_INFO* GetDeviceInfo() override { return &device_; }
    std::pair<uint32_t, uint32_t> GetIOCount() override { return {inputCount_, outputCount_}; }
    ipcapture::IFrameAllocator* GetFrameAllocator() override { return allocator_; }
    void* GetReserved() override { return nullptr; }
    uint32_t GetDefaultVideoFormat() override { return defaultFormat_; }
    uint32_t GetVideoChannelCount() override { return videoInputs_; }
    std::string GetParameter(uint32_t id) override;
    int32_t GetParameterInt(uint32_t id) override;
    Size GetStreamResolution(uint32_t channel, uint32_t stream) override;
    Size GetChannelResolution(uint32_t channel) override;
    uint32_t GetStreamCamera(uint32_t /*stream*/) override { return 0; }
    uint16_t GetApiVersion() override { return 1; }

    // IVideoChannelCreator: the device-neutral driver knows no channel classes.
    ICameraChannel* CreateVideoChannel(uint32_t, ipcapture::IFrameSink*, uint32_t) override {
        return nullptr;
    }
    IMotionChannel* CreateMotionChannel(uint32_t, ipcapture::IFrameSink*) override {
        return nullptr;
    }
    IEdgeStorageHandler* CreateEdgeStorageHandler() override { return nullptr; }
    bool IsEdgeStorageAllowed() override { return true; }

    // Level as the host of this version expects it.
    static uint32_t MapLevel(uint32_t level, const platform::FileVersion& hostVersion);
    const platform::FileVersion& GetHostVersion() const { return hostVersion_; }

  protected:
    void CloseBase();

    ipcapture::IHostLogger* logger_ = nullptr;         // borrowed from the host
    ipcapture::IFrameAllocator* allocator_ = nullptr;  // borrowed from the host
    std::map<uint32_t, std::string> parameters_;
    platform::FileVersion hostVersion_{};
    std::string hostFolder_;
    DEVICE_INFO device_;
    uint32_t inputCount_ = 0;
    uint32_t outputCount_ = 0;
    uint32_t videoInputs_ = 0;
    uint32_t defaultFormat_ = 0;
    std::unique_ptr<ICaptureIOApi> ioApi_;
    std::unique_ptr<CIPVideoCapture> videoCapture_;
};

}  // namespace vornak
