// What the driver object offers its own parts: every channel, handler and parser sees the
// driver only through these interfaces, never the host's objects.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/debug.h"
#include "driver/device_info.h"
#include "ipcapture/host_interfaces.h"

namespace vornak {

class ICameraChannel;
class IMotionChannel;
class IEdgeStorageHandler;
class IAudioInputChannel;
class IAudioOutputChannel;

// Device parameter ids handed over by the host.
enum DeviceParameter : uint32_t {
    kParamNetworkTimeout = 1,
    kParamFirmwareVersion = 2,
    kParamApiVersion = 3,
    kParamPtzCapabilities = 4,
    kParamPtzPortMapping = 5,
    kParamAudioFormats = 6,
    kParamResolutions = 7,
    kParamPrivacyZonesCount = 8,
    kParamViewChannelsInfo = 9,
    kParamMulticastSupported = 10,
    kParamNoVideoDevice = 11,
    kParamAudioInput = 101,
    kParamAudioOutput = 102,
};

inline constexpr int32_t kParameterAbsent = static_cast<int32_t>(0x80000000u);

struct Size {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const Size&) const = default;
};

class IDriver : public IDebugMessage {
  public:
    // GetDeviceName (the "address:port" text) and DebugMessage come from IDebugMessage.
    virtual std::string GetDriverName() = 0;
    // Folder of the host executable, with its trailing separator.
    virtual std::string GetHostFolder() = 0;
    virtual DEVICE_INFO* GetDeviceInfo() = 0;
    // {digital inputs, digital outputs}
    virtual std::pair<uint32_t, uint32_t> GetIOCount() = 0;
    virtual ipcapture::IFrameAllocator* GetFrameAllocator() = 0;
    virtual void* GetReserved() = 0;
    virtual uint32_t GetDefaultVideoFormat() = 0;
    virtual uint32_t GetVideoChannelCount() = 0;
    // Empty when absent or "(none)".
    virtual std::string GetParameter(uint32_t id) = 0;
    // kParameterAbsent when absent or not a number.
    virtual int32_t GetParameterInt(uint32_t id) = 0;
    virtual Size GetStreamResolution(uint32_t channel, uint32_t stream) = 0;
    virtual Size GetChannelResolution(uint32_t channel) = 0;
    virtual uint32_t GetStreamCamera(uint32_t stream) = 0;
    virtual uint16_t GetApiVersion() = 0;
};

class IVideoChannelCreator {
  public:
    virtual ~IVideoChannelCreator() = default;
    // New channel owned by the caller, or null for an unknown format.
    virtual ICameraChannel* CreateVideoChannel(uint32_t channel, ipcapture::IFrameSink* sink,
                                               uint32_t format) = 0;
    virtual IMotionChannel* CreateMotionChannel(uint32_t channel, ipcapture::IFrameSink* sink) = 0;
    virtual IEdgeStorageHandler* CreateEdgeStorageHandler() = 0;
    virtual bool IsEdgeStorageAllowed() = 0;
};

class IAudioChannelCreator {
  public:
    virtual ~IAudioChannelCreator() = default;
    virtual IAudioInputChannel* CreateAudioInputChannel(uint32_t channel, void* host1, void* host2,
                                                        void* host3) = 0;
    virtual IAudioOutputChannel* CreateAudioOutputChannel(uint32_t channel, void* host1,
                                                          void* host2, void* host3) = 0;
};

// Stream kinds and their names.
enum StreamKind : uint32_t { kStreamRecording = 0, kStreamLive = 1, kStreamRemote = 2 };
// "(Rec)", "(Live)", "(Remote)"; empty for other kinds.
const char* StreamLabel(uint32_t stream);
// Driver name followed by "::RecStream", "::LiveStream" or "::RemoteStream".
std::string StreamName(const std::string& driverName, uint32_t stream);
// Size class 1-4 of a picture.
uint32_t ResolutionClass(uint32_t width, uint32_t height);

}  // namespace vornak
