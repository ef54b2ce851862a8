// The common base of every video channel: one capture thread, its stop event, the capture
// request, the state and online report, and the one path by which frames reach the host.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "base/sync.h"
#include "base/time.h"
#include "channels/camera_channel.h"

namespace vornak {

class CBaseCameraChannel : public ICameraChannel {
  public:
    // driver and sink are borrowed: the driver outlives its channels, the host keeps the sink
    // until the stream is stopped.
    CBaseCameraChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    // Derived classes stop the thread in their own destructor (their ThreadFunction must not
    // run on a half-destroyed object); this one only makes sure.
    ~CBaseCameraChannel() override;
    CBaseCameraChannel(const CBaseCameraChannel&) = delete;
    CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

    uint32_t GetChannelIndex() override { return channel_; }
    ipcapture::IFrameSink* GetFrameSink() override { return sink_; }
    void SetEdgeMonitor(IEdgeStorageCallback* monitor) override { edgeMonitor_ = monitor; }
    bool Start(const VideoCaptureRequest* request) override;
    void Stop() override;
    bool Pause() override { return false; }
    bool Resume() override { return false; }
    uint32_t GetState() override;
    Size GetResolution() override;

    // "camera A" or "video-server A (channel N)", capitalised for the online lines.
    std::string DeviceLabel(bool capital);

  protected:
    virtual void ThreadFunction() = 0;
    // Called by StopThread before it waits: close sockets or abort requests here.
    virtual void OnStopRequested() {}

    void SetState(uint32_t state);
    uint32_t GetStateValue();
    void SetCameraState(bool online);
    bool SendFrameCallback(ipcapture::IVideoFrame* frame);
    void OnSignalLost();
    bool StartThread();
    void StopThread();
    VideoCaptureRequest GetRequest();
    // Takes a settings update's width, height and frame-rate code (the quality stays); true when
    // any of them changed.
    bool TakeSizeAndRate(const VideoCaptureRequest* request);

    IDriver* driver_;
    const uint32_t channel_;
    ipcapture::IFrameSink* sink_;
    CLock requestLock_;
    VideoCaptureRequest request_;
    CManualEvent stopEvent_;
    CTime lastFrameTime_;

  private:
    void Entry();
    void JoinExited();  // under threadLock_

    // Held across the compare, the store and the log line, so that the packet threads and the
    // capture thread write exactly one line per change, in the order of the changes.
    CLock onlineLock_;
    bool online_ = false;
    CLock stateLock_;
    uint32_t state_ = kStateStopped;
    CLock threadLock_;
    std::thread thread_;
    std::thread exited_;  // a thread that stopped itself; joined by its successor or a stop
    CManualEvent finished_;
    std::atomic<IEdgeStorageCallback*> edgeMonitor_{nullptr};
};

}  // namespace vornak
