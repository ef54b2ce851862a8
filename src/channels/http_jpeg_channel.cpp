#include "channels/http_jpeg_channel.h"

#include <algorithm>

#include "channels/placeholder_picture.h"
#include "parsers/frame_filler.h"
#include "privacy/privacy_zone_handler.h"
#include "web/http_sender.h"

namespace vornak {

CBaseHttpChannel::CBaseHttpChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink)
    : CBaseCameraChannel(channel, driver, sink),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 Web::CHttpSender::kDefaultUserAgent)) {}

CBaseHttpChannel::~CBaseHttpChannel() {
    StopThread();
}

bool CBaseHttpChannel::UpdateSettings(const VideoCaptureRequest* request) {
    if (TakeSizeAndRate(request)) {
        settingsUpdated_.Set();
    }
    return true;
}

bool CBaseHttpChannel::Pause() {
    paused_ = true;
    return true;
}

bool CBaseHttpChannel::Resume() {
    paused_ = false;
    return true;
}

Size CBaseHttpChannel::GetResolution() {
    if (parser_ && parser_->GetWidth() != 0 && parser_->GetHeight() != 0) {
        return {parser_->GetWidth(), parser_->GetHeight()};
    }
    return CBaseCameraChannel::GetResolution();
}

bool CBaseHttpChannel::FrameReady(ipcapture::IVideoFrame* frame) {
    if (!SendFrameCallback(frame)) {
        return false;
    }
    lastFrameTime_.Touch();
    ++pictures_;
    // A picture, not a connection, is what shows the camera is back.
    SetState(kStateRunning);
    SetCameraState(true);
    return true;
}

Size CBaseHttpChannel::GetRequestedSize() {
    const VideoCaptureRequest request = GetRequest();
    return {request.width, request.height};
}

std::string CBaseHttpChannel::GetStreamName() {
    return driver_->GetDriverName();
}

void CBaseHttpChannel::ConvertTimestamp(uint32_t, SYSTEMTIME& time) {
    TimeToSystemTime(GetCurrentTime(), time);
}

void CBaseHttpChannel::OnStopRequested() {
    sender_->Abort();
}

bool CBaseHttpChannel::SignalTimedOut() {
    return lastFrameTime_.GetElapsedMs() > driver_->GetDeviceInfo()->connectionTimeout;
}

void CBaseHttpChannel::SendFakeJPEGFrame(const std::vector<uint8_t>& picture) {
    static const char kMethod[] = "vornak::CBaseHttpChannel::SendFakeJPEGFrame";
    const std::string stream = StreamName(driver_->GetDriverName(), kStreamRecording);
    const Delivery result = DeliverPicture(*driver_, this,
                                           {.data = picture,
                                            .fourcc = kFourCCJpeg,
                                            .size = {kPlaceholderWidth, kPlaceholderHeight},
                                            .stream = stream.c_str()},
                                           kMethod);
    if (result == Delivery::kRefused) {
        driver_->DebugMessage(kLogDetail,
                              "%s: FrameReceived() callback returns error for device %s", kMethod,
                              driver_->GetDeviceInfo()->address.c_str());
    }
}

void CBaseHttpChannel::ReceiveLoop() {
    // Each connection gets the whole connection time-out to deliver its first picture, so a
    // picture spread over many reads after a long outage still gets through.
    CTime connectedAt;
    const uint64_t timeout = driver_->GetDeviceInfo()->connectionTimeout;
    auto expired = [&] { return SignalTimedOut() && connectedAt.GetElapsedMs() > timeout; };
    std::vector<uint8_t> chunk;
    chunk.reserve(kReadChunk);
    while (!stopEvent_.IsSet() && !settingsUpdated_.IsSet() && !paused_) {
        const uint32_t got = sender_->ReadData(chunk, kReadChunk, true);
        if (got == 0) {
            break;
        }
        if (parser_) {
            parser_->Parse(std::span<const uint8_t>(chunk.data(), got));
        }
        if (expired()) {
            break;
        }
    }
}

void CBaseHttpChannel::ThreadFunction() {
    const bool noVideo = driver_->GetParameterInt(kParamNoVideoDevice) > 0;
    std::vector<uint8_t> placeholder;
    if (noVideo) {
        SetCameraState(true);
        SetState(kStateRunning);
        placeholder = PlaceholderPicture();
    }
    uint32_t failurePauseMs = 0;
    while (!stopEvent_.IsSet()) {
        if (noVideo) {
            SendFakeJPEGFrame(placeholder);
            stopEvent_.Wait(kRetryPauseMs);
            continue;
        }
        bool failed = false;
        if (!paused_) {
            settingsUpdated_.Reset();
            const uint64_t before = pictures_;
            // The state turns running with the first picture (FrameReady), not here: a camera
            // that takes the request and then sends nothing is not running.
            if (Connect()) {
                ReceiveLoop();
            }
            sender_->Abort();
            failed = pictures_ == before && !settingsUpdated_.IsSet() && !paused_;
        }
        failurePauseMs =
            failed ? std::min(failurePauseMs == 0 ? kFirstFailurePauseMs : 2 * failurePauseMs,
                              kRetryPauseMs)
                   : 0;
        const bool timedOut = SignalTimedOut();
        if (timedOut && !paused_) {
            SetState(kStateSignalLost);
            OnSignalLost();
            SetCameraState(false);
        }
        if (timedOut || failurePauseMs != 0) {
            CEvent* events[] = {&stopEvent_, &settingsUpdated_};
            CEvent::WaitForMultiple(events, 2, timedOut ? kRetryPauseMs : failurePauseMs);
        } else if (paused_) {
            // Nothing to read while paused; do not spin.
            stopEvent_.Wait(100);
        }
    }
    SetState(kStateStopped);
    SetCameraState(false);
}

CAxisJPEGChannelHTTP::CAxisJPEGChannelHTTP(uint32_t channel, IDriver* driver,
                                           ipcapture::IFrameSink* sink)
    : CBaseHttpChannel(channel, driver, sink), CAxisCommonChannel(driver, channel) {
    parser_ = std::make_unique<CJpegMediaParser>(driver);
    parser_->SetClient(this);
}

CAxisJPEGChannelHTTP::~CAxisJPEGChannelHTTP() {
    StopThread();
}

void CAxisJPEGChannelHTTP::ApplyCaptureSettings(ipcapture::ICaptureSettings* settings) {
    if (GetRequest().stream == kStreamRecording && settings != nullptr) {
        privacyZones_->SetZones(settings->GetPrivacyZones());
    }
}

std::string CAxisJPEGChannelHTTP::GetStreamName() {
    return StreamName(driver_->GetDriverName(), GetRequest().stream);
}

std::string CAxisJPEGChannelHTTP::BuildPath() {
    const VideoCaptureRequest request = GetRequest();
    uint32_t camera = driver_->GetStreamCamera(request.stream);
    if (camera == 0) {
        camera = channel_ + 1;
    }
    return MjpegPath(request, camera, GetResolutionText(request.width, request.height),
                     driver_->GetDeviceInfo()->model);
}

bool CAxisJPEGChannelHTTP::Connect() {
    if (GetRequest().stream == kStreamRecording) {
        const Size size = GetResolution();
        if (size.width > 0 && size.height > 0 &&
            !privacyZones_->ApplyPrivacyZones(size.width, size.height)) {
            return false;
        }
    }
    // An error page is not a picture stream.
    return sender_->SendRequest(Web::MakeGetRequest(BuildPath())) &&
           sender_->GetStatusCode() >= 200 && sender_->GetStatusCode() <= 299;
}

void CAxisJPEGChannelHTTP::OnStopRequested() {
    CBaseHttpChannel::OnStopRequested();
    privacyZones_->Abort();
}

}  // namespace vornak
