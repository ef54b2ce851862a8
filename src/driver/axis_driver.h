// The driver object for Axis devices: time-outs, device-parameter interpretation, channel
// classes, audio, PTZ and IO.
#pragma once

#include <atomic>
#include <map>
#include <memory>

#include "driver/ipcapture_driver.h"
#include "ptz/ptz_control.h"

namespace vornak {

struct AudioCapabilities {
    uint32_t count = 0;
    bool stereo = false;
};
// "Count=%u; IsStereo=%u"; fields that are missing stay 0.
AudioCapabilities ParseAudioCapabilities(std::string_view text);

// "Recording:2;Live:1" → {0: 2, 1: 1}.
std::map<uint32_t, int32_t> ParseStreamCameras(std::string_view text);

class CAxisIPCaptureDriver : public CIPCaptureDriver, public IAudioChannelCreator {
  public:
    CAxisIPCaptureDriver() = default;
    ~CAxisIPCaptureDriver() override;

    bool Open(ipcapture::IHostLogger* logger, ipcapture::IFrameAllocator* allocator,
              ipcapture::IDeviceContext* device) override;
    void Close() override;
    bool CreateIOApi() override;
    IIPPTZDriver* GetPTZDriver() override { return ptzHandler_.get(); }
    IIPPTZDriverEx* GetPTZDriverEx() override { return ptzHandler_.get(); }

    uint32_t GetStreamCamera(uint32_t stream) override;
    uint16_t GetApiVersion() override { return apiVersion_; }

    ICameraChannel* CreateVideoChannel(uint32_t channel, ipcapture::IFrameSink* sink,
                                       uint32_t format) override;
    IMotionChannel* CreateMotionChannel(uint32_t channel, ipcapture::IFrameSink* sink) override;
    IEdgeStorageHandler* CreateEdgeStorageHandler() override;
    bool IsEdgeStorageAllowed() override { return streamingMode_ != 2; }

    IAudioInputChannel* CreateAudioInputChannel(uint32_t channel, void* host1, void* host2,
                                                void* host3) override;
    IAudioOutputChannel* CreateAudioOutputChannel(uint32_t channel, void* host1, void* host2,
                                                  void* host3) override;
    ipcapture::IIPAudioCapture2* GetAudioCapture() override { return audioCapture_.get(); }
    ipcapture::IIPAudioSender* GetAudioSender() override { return audioSender_.get(); }

    bool IsMulticastAllowed() const { return multicastAllowed_; }
    AudioCapabilities GetAudioInputCapabilities() const { return audioIn_; }
    AudioCapabilities GetAudioOutputCapabilities() const { return audioOut_; }

  private:
    std::unique_ptr<CAxisPTZHandler> ptzHandler_;
    std::map<uint32_t, int32_t> streamCameras_;
    // Read from the settings file at each channel creation, on any host thread.
    std::atomic<uint32_t> streamingMode_{0};
    uint16_t apiVersion_ = 1;
    bool multicastAllowed_ = false;
    AudioCapabilities audioIn_;
    AudioCapabilities audioOut_;
    std::unique_ptr<ipcapture::IIPAudioCapture2> audioCapture_;
    std::unique_ptr<ipcapture::IIPAudioSender> audioSender_;
};

}  // namespace vornak
