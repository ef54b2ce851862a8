// Interfaces the host implements and hands to the driver. Virtual functions are declared in
// their slot order (slot 0 is the destructor); that order is the binary contract with the host.
// Slots the driver never calls are the host's business; they are declared so that the order
// holds, and carry a harmless default so a host need not care about them.
#pragma once

#include <cstdint>

namespace vornak {

// One log line handed to the host: a level and the finished text.
class CDebugInfoIf {
  public:
    virtual ~CDebugInfoIf() = default;
    virtual uint8_t GetLevel() const = 0;
    virtual const char* GetText() const = 0;
};

namespace ipcapture {

// 16-byte calendar time record, UTC, with the layout of the Windows SYSTEMTIME.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

class IHostLogger {
  public:
    virtual ~IHostLogger() = default;
    // The record lives only for the call; a logger copies what it keeps.
    virtual void Log(const CDebugInfoIf* info) = 0;
};

class IVideoFrame {
  public:
    virtual ~IVideoFrame() = default;
    virtual uint32_t GetBufferSize() const = 0;                     // 1
    virtual uint8_t* GetBuffer() = 0;                               // 2
    virtual uint32_t GetDataSize() const = 0;                       // 3
    virtual void SetDataSize(uint32_t size) = 0;                    // 4
    virtual void FinishFrame() = 0;                                 // 5 (also the motion mark)
    virtual void SetTimestamp(const SYSTEMTIME* time) = 0;          // 6
    virtual void GetTimestamp(SYSTEMTIME* time) const = 0;          // 7
    virtual void Reserved8() {}                                     // 8
    virtual void Reserved9() {}                                     // 9
    virtual void SetFourCC(uint32_t fourcc) = 0;                    // 10
    virtual uint32_t GetFourCC() const = 0;                         // 11
    virtual void SetHeight(uint32_t height) = 0;                    // 12
    virtual uint32_t GetHeight() const = 0;                         // 13
    virtual void SetWidth(uint32_t width) = 0;                      // 14
    virtual uint32_t GetWidth() const = 0;                          // 15
    virtual void SetResolutionClass(uint32_t resolutionClass) = 0;  // 16
    virtual uint32_t GetResolutionClass() const = 0;                // 17
};

class IAudioFrame {
  public:
    virtual ~IAudioFrame() = default;
    virtual bool SetData(const uint8_t* data, uint32_t length) = 0;                          // 1
    virtual const uint8_t* GetData() const = 0;                                              // 2
    virtual uint32_t GetDataSize() const = 0;                                                // 3
    virtual void Reserved4() {}                                                              // 4
    virtual void FinishFrame() = 0;                                                          // 5
    virtual void SetTimestamp(const SYSTEMTIME* /*time*/) {}                                 // 6
    virtual void GetTimestamp(SYSTEMTIME* /*time*/) const {}                                 // 7
    virtual uint32_t GetCodec() const { return 0; }                                          // 8
    virtual uint32_t GetSampleRate() const { return 0; }                                     // 9
    virtual uint32_t GetFormatWord() const { return 0; }                                     // 10
    virtual void Reserved11() {}                                                             // 11
    virtual uint32_t GetBitRate() const { return 0; }                                        // 12
    virtual void SetBitRate(uint32_t bitRate) = 0;                                           // 13
    virtual bool IsLive() const { return false; }                                            // 14
    virtual void SetLive(bool live) = 0;                                                     // 15
    virtual uint32_t GetChannel() const = 0;                                                 // 16
    virtual void SetChannel(uint32_t /*channel*/) {}                                         // 17
    virtual void Reserved18() {}                                                             // 18
    virtual void Reserved19() {}                                                             // 19
    virtual void Reserved20() {}                                                             // 20
    virtual void SetFormat(uint32_t sampleRate, uint8_t formatLow, uint8_t formatHigh) = 0;  // 21
};

class IAudioFormat {
  public:
    virtual ~IAudioFormat() = default;
    virtual void SetCodec(uint32_t codec) = 0;            // 1
    virtual void SetSampleRate(uint32_t sampleRate) = 0;  // 2
    virtual void SetBitRate(uint32_t bitRate) = 0;        // 3
    virtual void Reserved4() {}                           // 4
    virtual void SetExtra(uint32_t value) = 0;            // 5
};

// The three host values of an audio channel start are, in order: the cookie (a 32-bit value
// carried in the pointer, handed back with every state change), the channel's callback and the
// host's codec list. A null codec list offers every codec.
class IAudioInputCallback {
  public:
    virtual ~IAudioInputCallback() = default;
    virtual bool OnAudioFrame(IAudioFrame* frame) = 0;               // 1
    virtual void OnAudioState(uint32_t cookie, uint32_t state) = 0;  // 2
};

class IAudioOutputCallback {
  public:
    virtual ~IAudioOutputCallback() = default;
    virtual void OnAudioState(uint32_t cookie, uint32_t state) = 0;  // 1
};

class IAudioCodecList {
  public:
    virtual ~IAudioCodecList() = default;
    virtual uint32_t GetCount() = 0;                // 1
    virtual uint32_t GetCodec(uint32_t index) = 0;  // 2
    virtual bool IsEnabled(uint32_t index) = 0;     // 3
};

class IFrameAllocator {
  public:
    virtual ~IFrameAllocator() = default;
    virtual void Reserved1() {}                                                                // 1
    virtual IVideoFrame* CreateFrame(uint32_t fourcc, uint32_t size, const char* stream) = 0;  // 2
    virtual IAudioFrame* CreateAudioFrame(uint32_t codec, uint32_t size,
                                          const char* stream) = 0;  // 3
    virtual void ReleaseAudioFrame(IAudioFrame* frame) = 0;         // 4
    virtual void Reserved5() {}                                     // 5
    virtual void ReleaseFrame(IVideoFrame* frame) = 0;              // 6
};

class IFrameSink {
  public:
    virtual ~IFrameSink() = default;
    virtual bool OnFrame(IVideoFrame* frame) = 0;  // 1
    virtual void Reserved2() {}                    // 2
    virtual void OnSignalLost() = 0;               // 3
};

class IIOEventSink {
  public:
    virtual ~IIOEventSink() = default;
    virtual void OnInputChanged(uint32_t input, uint32_t state) = 0;  // 1
    virtual void OnConnectionLost() = 0;                              // 2
};

class IDeviceDescription {
  public:
    virtual ~IDeviceDescription() = default;
    virtual void Reserved1() {}                    // 1
    virtual const char* GetModelName() = 0;        // 2
    virtual uint32_t GetVideoInputCount() = 0;     // 3
    virtual void Reserved4() {}                    // 4
    virtual uint32_t GetDigitalInputCount() = 0;   // 5
    virtual uint32_t GetDigitalOutputCount() = 0;  // 6
};

class IConnectionSettings {
  public:
    virtual ~IConnectionSettings() = default;
    virtual const char* GetAddress() = 0;          // 1
    virtual uint16_t GetPort() = 0;                // 2
    virtual void Reserved3() {}                    // 3
    virtual uint32_t GetDefaultVideoFormat() = 0;  // 4
    virtual const char* GetUserName() = 0;         // 5
    virtual const char* GetPassword() = 0;         // 6
};

class IDeviceContext {
  public:
    virtual ~IDeviceContext() = default;
    virtual IDeviceDescription* GetDeviceDescription() = 0;    // 1
    virtual IConnectionSettings* GetConnectionSettings() = 0;  // 2
    virtual void Reserved3() {}                                // 3
    virtual const char* GetParameter(uint32_t id) = 0;         // 4
};

class IResolution {
  public:
    virtual ~IResolution() = default;
    virtual uint32_t GetWidth() = 0;   // 1
    virtual uint32_t GetHeight() = 0;  // 2
};

class IVideoFormatSettings {
  public:
    virtual ~IVideoFormatSettings() = default;
    virtual void Reserved1() {}                // 1
    virtual void Reserved2() {}                // 2
    virtual IResolution* GetResolution() = 0;  // 3
    virtual uint32_t GetVideoFormat() = 0;     // 4
};

class IRateSettings {
  public:
    virtual ~IRateSettings() = default;
    virtual uint32_t GetFrameRate() = 0;        // 1
    virtual void Reserved2() {}                 // 2
    virtual uint32_t GetQuality() = 0;          // 3
    virtual uint32_t GetMotionDetection() = 0;  // 4
};

class IPrivacyZone {
  public:
    virtual ~IPrivacyZone() = default;
    virtual uint32_t GetKind() = 0;        // 1
    virtual uint32_t GetIdentifier() = 0;  // 2
    virtual uint32_t GetState() = 0;       // 3
    virtual float GetX() = 0;              // 4
    virtual float GetY() = 0;              // 5
    virtual float GetWidth() = 0;          // 6
    virtual float GetHeight() = 0;         // 7
};

class IPrivacyZoneEnumerator {
  public:
    virtual ~IPrivacyZoneEnumerator() = default;
    // Null after the last zone.
    virtual IPrivacyZone* GetZone(uint32_t index) = 0;  // 1
};

class ICaptureSettings {
  public:
    virtual ~ICaptureSettings() = default;
    virtual IVideoFormatSettings* GetVideoFormatSettings() = 0;  // 1
    virtual IRateSettings* GetRateSettings() = 0;                // 2
    virtual void Reserved3() {}                                  // 3
    virtual void Reserved4() {}                                  // 4
    virtual IPrivacyZoneEnumerator* GetPrivacyZones() = 0;       // 5
};

}  // namespace ipcapture
}  // namespace vornak
