#include "channels/base_camera_channel.h"

#include <cctype>

namespace vornak {

uint32_t FramesPerSecond(uint32_t code) {
    code &= 0xFFFF;
    if (code == 0) {
        return 1;
    }
    if ((code & 0xF000) == 0x7000) {
        return code & 0x0FFF;
    }
    return static_cast<uint32_t>(1000.0f / static_cast<float>(code) + 0.5f);
}

CBaseCameraChannel::CBaseCameraChannel(uint32_t channel, IDriver* driver,
                                       ipcapture::IFrameSink* sink)
    : driver_(driver), channel_(channel), sink_(sink) {}

CBaseCameraChannel::~CBaseCameraChannel() {
    StopThread();
}

std::string CBaseCameraChannel::DeviceLabel(bool capital) {
    const std::string address = driver_->GetDeviceName();
    std::string label = driver_->GetVideoChannelCount() > 1
                            ? Format("Video-server %s (channel %u)", address.c_str(), channel_)
                            : Format("Camera %s", address.c_str());
    if (!capital) {
        label[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(label[0])));
    }
    return label;
}

bool CBaseCameraChannel::Start(const VideoCaptureRequest* request) {
    Stop();
    if (request != nullptr) {
        CLockGuard guard(requestLock_);
        request_ = *request;
    }
    return StartThread();
}

void CBaseCameraChannel::Stop() {
    StopThread();
}

uint32_t CBaseCameraChannel::GetState() {
    const uint32_t state = GetStateValue();
    // Started but not yet connected.
    if (state == kStateStopped && !stopEvent_.IsSet()) {
        return kStateSignalLost;
    }
    return state;
}

Size CBaseCameraChannel::GetResolution() {
    CLockGuard guard(requestLock_);
    return {request_.width, request_.height};
}

VideoCaptureRequest CBaseCameraChannel::GetRequest() {
    CLockGuard guard(requestLock_);
    return request_;
}

bool CBaseCameraChannel::TakeSizeAndRate(const VideoCaptureRequest* request) {
    if (request == nullptr) {
        return false;
    }
    CLockGuard guard(requestLock_);
    if (request->width == request_.width && request->height == request_.height &&
        request->frameRate == request_.frameRate) {
        return false;
    }
    request_.width = request->width;
    request_.height = request->height;
    request_.frameRate = request->frameRate;
    return true;
}

void CBaseCameraChannel::SetState(uint32_t state) {
    CLockGuard guard(stateLock_);
    state_ = state;
}

uint32_t CBaseCameraChannel::GetStateValue() {
    CLockGuard guard(stateLock_);
    return state_;
}

void CBaseCameraChannel::SetCameraState(bool online) {
    CLockGuard guard(onlineLock_);
    if (online == online_) {
        return;
    }
    online_ = online;
    static const char kMethod[] = "vornak::CBaseCameraChannel::SetCameraState";
    const char* stream = StreamLabel(GetRequest().stream);
    if (online) {
        driver_->DebugMessage(kLogInfo, "%s: %s is online %s", kMethod, DeviceLabel(true).c_str(),
                              stream);
        return;
    }
    switch (GetStateValue()) {
        case kStateSignalLost:
            driver_->DebugMessage(kLogError, "%s: Signal was lost for %s %s", kMethod,
                                  DeviceLabel(false).c_str(), stream);
            break;
        case kStateStopped:
            driver_->DebugMessage(kLogInfo, "%s: %s is offline. Channel was stopped %s", kMethod,
                                  DeviceLabel(true).c_str(), stream);
            break;
        default:
            driver_->DebugMessage(kLogError, "%s: %s is offline or failed %s", kMethod,
                                  DeviceLabel(true).c_str(), stream);
            break;
    }
}

bool CBaseCameraChannel::SendFrameCallback(ipcapture::IVideoFrame* frame) {
    if (sink_ == nullptr || frame == nullptr) {
        return false;
    }
    bool accepted = false;
    try {
        accepted = sink_->OnFrame(frame);
    } catch (...) {
        driver_->DebugMessage(kLogError, "%s: Frame send error, device %s",
                              "vornak::CBaseCameraChannel::SendFrameCallback",
                              driver_->GetDeviceInfo()->address.c_str());
        return false;
    }
    if (!accepted) {
        return false;
    }
    if (IEdgeStorageCallback* monitor = edgeMonitor_.load()) {
        try {
            ipcapture::SYSTEMTIME stamp{};
            frame->GetTimestamp(&stamp);
            monitor->OnDataReceived(channel_, SystemTimeToTime(stamp));
        } catch (...) {
            driver_->DebugMessage(kLogError,
                                  "%s: Unhandled exception in driver instance for device %s",
                                  "vornak::CBaseCameraChannel::Notify_SendFrameCallback",
                                  driver_->GetDeviceInfo()->address.c_str());
        }
    }
    return true;
}

void CBaseCameraChannel::OnSignalLost() {
    if (sink_ != nullptr) {
        try {
            sink_->OnSignalLost();
        } catch (...) {
            driver_->DebugMessage(kLogError, "%s: Signal-lost notice error, device %s",
                                  "vornak::CBaseCameraChannel::OnSignalLost",
                                  driver_->GetDeviceInfo()->address.c_str());
        }
    }
    if (IEdgeStorageCallback* monitor = edgeMonitor_.load()) {
        monitor->OnSignalLost(channel_);
    }
}

void CBaseCameraChannel::Entry() {
    try {
        ThreadFunction();
    } catch (...) {
        driver_->DebugMessage(kLogError,
                              "%s: Unexpected exception in video capture thread, device %s",
                              "vornak::CBaseCameraChannel::ThreadFunction",
                              driver_->GetDeviceInfo()->address.c_str());
    }
    finished_.Set();
}

bool CBaseCameraChannel::StartThread() {
    if (!threadLock_.TryLock()) {
        return false;
    }
    bool result = true;
    if (!thread_.joinable()) {
        // A capture thread that stopped itself and now starts its successor cannot join
        // itself: the successor joins it first.
        std::thread previous;
        if (exited_.joinable() && exited_.get_id() == std::this_thread::get_id()) {
            previous = std::move(exited_);
        }
        JoinExited();
        stopEvent_.Reset();
        finished_.Reset();
        try {
            thread_ = std::thread([this, previous = std::move(previous)]() mutable {
                if (previous.joinable()) {
                    previous.join();
                    finished_.Reset();  // set by the one that ended
                }
                Entry();
            });
        } catch (...) {
            result = false;
        }
    }
    threadLock_.Unlock();
    return result;
}

void CBaseCameraChannel::JoinExited() {
    // Never the calling thread: that one is joined by its successor or by a later stop.
    if (exited_.joinable() && exited_.get_id() != std::this_thread::get_id()) {
        exited_.join();
    }
}

void CBaseCameraChannel::StopThread() {
    stopEvent_.Set();
    CLockGuard guard(threadLock_);
    JoinExited();
    if (!thread_.joinable()) {
        return;
    }
    OnStopRequested();
    if (thread_.get_id() == std::this_thread::get_id()) {
        // Cannot wait for ourselves: the loop ends on the stop event. The handle moves aside so
        // that a later start really starts a thread; that start or the next stop joins it.
        if (!exited_.joinable()) {
            exited_ = std::move(thread_);
        }
        return;
    }
    if (!finished_.Wait(2 * driver_->GetDeviceInfo()->networkTimeout)) {
        driver_->DebugMessage(kLogWarning,
                              "%s: Video capture thread for %s cannot be stopped and will be "
                              "terminated now",
                              "vornak::CBaseCameraChannel::StopThread", DeviceLabel(false).c_str());
        // A POSIX thread cannot be killed safely: keep aborting until it has left the loop.
        while (!finished_.Wait(100)) {
            OnStopRequested();
        }
    }
    thread_.join();
}

}  // namespace vornak
