// Interfaces the driver implements for the host. Virtual functions are declared in slot order
// (slot 0 is the destructor); a host compiled with the same compiler family relies on it.
#pragma once

#include <cstdint>

#include "host_interfaces.h"

namespace vornak {

class IIPPTZApi {
  public:
    virtual ~IIPPTZApi() = default;
    virtual bool IsDome() = 0;                                                         // 1
    virtual int32_t Move(uint32_t direction, uint32_t speed) = 0;                      // 2
    virtual int32_t StopAll() = 0;                                                     // 3
    virtual int32_t Center(int32_t x, int32_t y, uint32_t speed) = 0;                  // 4
    virtual int32_t ZoomIn(uint32_t speed) = 0;                                        // 5
    virtual int32_t ZoomOut(uint32_t speed) = 0;                                       // 6
    virtual int32_t Unzoom(uint32_t speed) = 0;                                        // 7
    virtual int32_t AreaZoom(int32_t x, int32_t y, int32_t zoom, uint32_t speed) = 0;  // 8
    virtual int32_t FocusNear(uint32_t speed) = 0;                                     // 9
    virtual int32_t FocusFar(uint32_t speed) = 0;                                      // 10
    virtual int32_t IrisOpen(uint32_t speed) = 0;                                      // 11
    virtual int32_t IrisClose(uint32_t speed) = 0;                                     // 12
    virtual int32_t GetCapabilities(void* record) = 0;                                 // 13
    virtual int32_t LoadPresets() = 0;                                                 // 14
    virtual int32_t GetPresetName(uint32_t number, char* buffer, uint32_t size) = 0;   // 15
    virtual int32_t GotoPreset(uint32_t speed, const char* name) = 0;                  // 16
    virtual int32_t SetPreset(const char* name) = 0;                                   // 17
    virtual int32_t RemovePreset(const char* name) = 0;                                // 18
    virtual int32_t GetCurrentPreset(char* buffer, uint32_t size) = 0;                 // 19
};

class IIPPTZApiEx : public IIPPTZApi {
  public:
    virtual bool SetUnicodeNames(bool unicode) = 0;  // 20
};

class IIPPTZDriver {
  public:
    virtual ~IIPPTZDriver() = default;
    virtual IIPPTZApi* GetPTZApiBase(uint32_t channel) = 0;  // 1
};

class IIPPTZDriverEx : public IIPPTZDriver {
  public:
    virtual IIPPTZApiEx* GetPTZApi(uint32_t channel) = 0;  // 2
};

class ICaptureIOApi {
  public:
    virtual ~ICaptureIOApi() = default;
    virtual bool SetCallback(ipcapture::IIOEventSink* sink) = 0;  // 1
    virtual void StartIO() = 0;                                   // 2
    virtual void StopIO() = 0;                                    // 3
    virtual uint32_t GetInputCount() = 0;                         // 4
    virtual uint32_t GetOutputCount() = 0;                        // 5
    virtual void SetOutput(uint32_t output, uint32_t state) = 0;  // 6
};

namespace ipcapture {

class IIPVideoCapture {
  public:
    virtual ~IIPVideoCapture() = default;
    virtual uint32_t GetChannelCount() = 0;  // 1
    virtual bool StartCapture(uint32_t channel, IFrameSink* sink,
                              ICaptureSettings* settings) = 0;  // 2
    virtual bool StopCapture(uint32_t channel) = 0;             // 3
    virtual bool UpdateCapture(uint32_t channel, IResolution* resolution,
                               uint32_t frameRate) = 0;  // 4
    virtual uint32_t Reserved5() = 0;                    // 5
    virtual bool GetChannelState(uint32_t channel, uint32_t* state, uint32_t* detail, char* text,
                                 uint32_t textCapacity) = 0;                         // 6
    virtual bool SetOption(const char* name, const void* value, uint32_t type) = 0;  // 7
    virtual bool GetOption(const char* name, void* value, uint32_t type) = 0;        // 8
};

class IIPVideoCaptureEx : public IIPVideoCapture {
  public:
    virtual bool ResumeCapture(uint32_t channel) = 0;  // 9
    virtual bool PauseCapture(uint32_t channel) = 0;   // 10
};

class IIPVideoCaptureEx2 : public IIPVideoCaptureEx {
  public:
    virtual bool StartStream(uint32_t channel, uint32_t stream, IFrameSink* sink,
                             ICaptureSettings* settings) = 0;        // 11
    virtual bool StopStream(uint32_t channel, uint32_t stream) = 0;  // 12
};

// The three host values of an audio channel start are handed on unchanged to the channel.
class IIPAudioCapture2 {
  public:
    virtual ~IIPAudioCapture2() = default;
    virtual uint32_t GetChannelCount() = 0;                                                  // 1
    virtual bool StartCapture(uint32_t channel, void* host1, void* host2, void* host3) = 0;  // 2
    virtual bool StopCapture(uint32_t channel) = 0;                                          // 3
    virtual uint32_t GetState(uint32_t channel) = 0;                                         // 4
    virtual bool Reserved5(void* a, void* b, void* c) = 0;                                   // 5
    virtual bool GetOption(const char* name, void* value, uint32_t size) = 0;                // 6
};

class IIPAudioSender {
  public:
    virtual ~IIPAudioSender() = default;
    virtual uint32_t GetChannelCount() = 0;                                                 // 1
    virtual bool StartOutput(uint32_t channel, void* host1, void* host2, void* host3) = 0;  // 2
    virtual bool StopOutput(uint32_t channel) = 0;                                          // 3
    virtual bool SendFrame(IAudioFrame* frame) = 0;                                         // 4
    virtual bool GetFormat(uint32_t channel, IAudioFormat* format) = 0;                     // 5
    virtual uint32_t GetState(uint32_t channel) = 0;                                        // 6
    virtual bool Reserved7() = 0;                                                           // 7
    virtual bool Reserved8() = 0;                                                           // 8
};

class IIPCaptureDriver {
  public:
    virtual ~IIPCaptureDriver() = default;
    virtual bool Open(IHostLogger* logger, IFrameAllocator* allocator,
                      IDeviceContext* device) = 0;   // 1
    virtual void Close() = 0;                        // 2
    virtual IIPVideoCapture* GetVideoCapture() = 0;  // 3
    virtual ICaptureIOApi* GetIOApi() = 0;           // 4
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
  public:
    virtual void* ReservedQuery5() = 0;        // 5
    virtual IIPPTZDriver* GetPTZDriver() = 0;  // 6
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
  public:
    virtual void* ReservedQuery7() = 0;                  // 7
    virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;  // 8
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
  public:
    virtual IIPPTZDriverEx* GetPTZDriverEx() = 0;  // 9
};

class IIPCaptureDriverEx4 : public IIPCaptureDriverEx3 {
  public:
    virtual IIPAudioCapture2* GetAudioCapture() = 0;  // 10
    virtual IIPAudioSender* GetAudioSender() = 0;     // 11
};

class IIPCaptureDriverEx5 : public IIPCaptureDriverEx4 {
  public:
    virtual IIPVideoCaptureEx2* GetVideoCaptureEx2() = 0;  // 12
};

}  // namespace ipcapture
}  // namespace vornak
