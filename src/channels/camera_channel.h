// What the video capture object and the edge storage handler see of a running video stream.
#pragma once

#include <cstdint>

#include "base/time.h"
#include "driver/driver_api.h"
#include "ipcapture/host_interfaces.h"

namespace vornak {

// Capture request: what the host asked one stream for.
struct VideoCaptureRequest {
    uint32_t frameRate = 0;  // frame-rate code, see FramesPerSecond
    uint32_t quality = 0;    // 0-100, 0 = camera default
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stream = 0;  // 0 recording, 1 live, 2 remote
};

// Frame-rate code to frames per second: 0 → 1; 0x7nnn carries the rate in its low 12 bits;
// anything else is a frame interval in milliseconds.
uint32_t FramesPerSecond(uint32_t frameRateCode);

// Told by live channels of every delivered frame and of signal loss.
class IEdgeStorageCallback {
  public:
    virtual ~IEdgeStorageCallback() = default;
    virtual void OnDataReceived(uint32_t channel, TimeValue time) = 0;  // 1
    virtual void OnSignalLost(uint32_t channel) = 0;                    // 2
};

class IEdgeMonitorChannel {
  public:
    virtual ~IEdgeMonitorChannel() = default;
    virtual uint32_t GetChannelIndex() = 0;                          // 1
    virtual ipcapture::IFrameSink* GetFrameSink() = 0;               // 2
    virtual void SetEdgeMonitor(IEdgeStorageCallback* monitor) = 0;  // 3
};

class ICameraChannel : public IEdgeMonitorChannel {
  public:
    virtual void ApplyCaptureSettings(ipcapture::ICaptureSettings* settings) = 0;  // 4
    virtual bool Start(const VideoCaptureRequest* request) = 0;                    // 5
    virtual bool UpdateSettings(const VideoCaptureRequest* request) = 0;           // 6
    virtual void Stop() = 0;                                                       // 7
    virtual bool Pause() = 0;                                                      // 8
    virtual bool Resume() = 0;                                                     // 9
    virtual uint32_t GetState() = 0;                                               // 10
    virtual Size GetResolution() = 0;                                              // 11
};

class IMotionChannel : public IEdgeMonitorChannel {
  public:
    virtual bool Start() = 0;  // 4
    virtual void Stop() = 0;   // 5
};

class IEdgeStorageHandler {
  public:
    virtual ~IEdgeStorageHandler() = default;
    virtual void Register(IEdgeMonitorChannel* channel) = 0;    // 1
    virtual void Unregister(IEdgeMonitorChannel* channel) = 0;  // 2
};

// Channel states as the host sees them.
enum ChannelState : uint32_t { kStateRunning = 0, kStateSignalLost = 2, kStateStopped = 3 };

}  // namespace vornak
