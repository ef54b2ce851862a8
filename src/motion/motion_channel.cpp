#include "motion/motion_channel.h"

#include "parsers/frame_filler.h"
#include "platform/host_info.h"
#include "privacy/privacy_zone_handler.h"
#include "web/field_search.h"
#include "web/http_sender.h"
#include "web/request_utils.h"

namespace vornak {

namespace {
constexpr uint32_t kMaxWindows = 256;
constexpr const char* kStreamPath = "/axis-cgi/motion/motiondata.cgi";
}  // namespace

std::vector<uint32_t> WatchedMotionWindows(std::string_view reply, uint32_t source) {
    std::vector<uint32_t> windows;
    const std::string sourceText = std::to_string(source);
    for (uint32_t i = 0; i < kMaxWindows; ++i) {
        if (GetParameterValue(reply, Format("Motion.M%u.ImageSource", i)) == sourceText &&
            GetParameterValue(reply, Format("Motion.M%u.WindowType", i)) != "exclude") {
            windows.push_back(i);
        }
    }
    return windows;
}

std::vector<bool> CMotionReporter::OnResult(MotionResult result, uint64_t nowMs) {
    if (result == kMotionUndecided) {
        return {};
    }
    // The first decision waits for nothing: there is no earlier one to hold off from.
    if (lastReported_ != kMotionUndecided && nowMs - decidedAtMs_ < kHoldOffMs) {
        motionInHoldOff_ = motionInHoldOff_ || result == kMotionDetected;
        return {};
    }
    MotionResult state = result;
    if (motionInHoldOff_ && lastReported_ == kMotionQuiet) {
        // The short event is reported now; its end follows at the next decision.
        state = kMotionDetected;
    }
    motionInHoldOff_ = false;
    std::vector<bool> sent;
    if (lastReported_ == kMotionUndecided) {
        sent = {state != kMotionDetected, state == kMotionDetected};
    } else if (state != lastReported_) {
        sent = {state == kMotionDetected};
    }
    lastReported_ = state;
    decidedAtMs_ = nowMs;
    return sent;
}

void CMotionReporter::Reset() {
    *this = CMotionReporter();
}

CAxisMDChannel::CAxisMDChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink)
    : CLoggerInstance(driver),
      CBaseThread(driver),
      channel_(channel),
      driver_(driver),
      sink_(sink),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(), kUserAgent)) {
    sender_->SetCancelEvent(&stopEvent_);
}

CAxisMDChannel::~CAxisMDChannel() {
    Stop();
}

bool CAxisMDChannel::Start() {
    return StartThread(kThreadName);
}

void CAxisMDChannel::Stop() {
    stopEvent_.Set();
    sender_->Abort();
    JoinThread(driver_->GetDeviceInfo()->networkTimeout * 3 / 2);
    sink_ = nullptr;
    CLockGuard guard(lock_);
    windows_.clear();
    reporter_.Reset();
}

std::string CAxisMDChannel::DeviceName() {
    const std::string& model = driver_->GetDeviceInfo()->model;
    return model.empty() ? driver_->GetDeviceName() : model;
}

std::string CAxisMDChannel::DeviceText() {
    std::string text = DeviceName() + " (" + driver_->GetDeviceInfo()->address;
    if (driver_->GetVideoChannelCount() > 1) {
        text += Format(" / channel %u", channel_);
    }
    return text + ")";
}

void CAxisMDChannel::ThreadFunction() {
    while (!stopEvent_.IsSet()) {
        const bool streamed = ReceiveMotionStream();
        stopEvent_.Wait(streamed ? 1 : kRetryPauseMs);
    }
}

bool CAxisMDChannel::RequestGet(const std::string& url, std::string& body) {
    static const char kMethod[] = "vornak::CAxisMDChannel::RequestGet";
    body.clear();
    if (url.empty() || stopEvent_.IsSet()) {
        return false;
    }
    HUtils::Reply reply = HUtils::Get(*sender_, url);
    if (reply.Ok()) {
        body = std::move(reply.body);
        return true;
    }
    if (stopEvent_.IsSet()) {
        return false;
    }
    const std::string device = DeviceText();
    if (reply.status == 401) {
        Log(kLogError, "%s: The %s is unable to process \"%s\" request: Invalid username/password.",
            kMethod, device.c_str(), url.c_str());
    } else if (reply.status != 0) {
        Log(kLogError, "%s: The %s is unable to process \"%s\" request: HTTP %u status code.",
            kMethod, device.c_str(), url.c_str(), reply.status);
    } else {
        Log(kLogError, "%s: Unable to send \"%s\" request to the %s: Connection is failed (%u)",
            kMethod, url.c_str(), device.c_str(), sender_->GetLastErrorCode());
    }
    return false;
}

bool CAxisMDChannel::CreateMotionWindowGroup(uint32_t& number) {
    std::string reply;
    if (!RequestGet(Format("/axis-cgi/admin/param.cgi?action=add&group=Motion&template=motion"
                           "&Motion.M.WindowType=include&Motion.M.ImageSource=%u",
                           channel_),
                    reply)) {
        return false;
    }
    // The same "<letter><number> OK" answer as for a mask window.
    const auto created = ParseCreatedWindow(reply);
    if (!created) {
        Log(kLogError,
            "vornak::CAxisMDChannel::CreateMotionWindowGroup: The %s (%s) is unable to create "
            "Motion.M# group: %s",
            DeviceName().c_str(), driver_->GetDeviceInfo()->address.c_str(), reply.c_str());
        return false;
    }
    number = *created;
    return true;
}

bool CAxisMDChannel::SetMotionDetectionSettings() {
    static const char kMethod[] = "vornak::CAxisMDChannel::SetMotionDetectionSettings";
    {
        CLockGuard guard(lock_);
        windows_.clear();
    }
    std::string reply;
    if (!RequestGet("/axis-cgi/admin/param.cgi?action=list&group=Motion", reply)) {
        return false;
    }
    std::vector<uint32_t> windows = WatchedMotionWindows(reply, channel_);
    const std::string name = DeviceName();
    const std::string& address = driver_->GetDeviceInfo()->address;
    uint32_t created = 0;
    if (windows.empty() && driver_->GetApiVersion() != 3) {
        Log(kLogWarning,
            "%s: The %s (%s) has no motion masks configured for image source %u. Please configure "
            "motion masks manually via Web-interface before using this feature in VMS",
            kMethod, name.c_str(), address.c_str(), channel_);
    } else if (windows.empty() && CreateMotionWindowGroup(created)) {
        Log(kLogWarning,
            "%s: The %s (%s) has no motion masks configured for image source %u. The system has "
            "created 'Motion.M%u' group by default. Please correct motion settings via "
            "Web-interface manually if it will be required",
            kMethod, name.c_str(), address.c_str(), channel_, created);
        windows.push_back(created);
        const std::string m = Format("&Motion.M%u", created);
        std::string ignored;
        (void)RequestGet("/axis-cgi/admin/param.cgi?action=update&" + m + ".Left=90" + m +
                             ".Top=90" + m + ".Right=9910" + m + ".Bottom=9910" + m +
                             Format(".Name=Vornak%%20Default%%20Window%%20[%u]", channel_),
                         ignored);
    }
    CLockGuard guard(lock_);
    windows_ = std::move(windows);
    return !windows_.empty();
}

bool CAxisMDChannel::ReceiveMotionStream() {
    static const char kMethod[] = "vornak::CAxisMDChannel::ReceiveMotionStream";
    if (!SetMotionDetectionSettings()) {
        sender_->Close();
        return false;
    }
    if (stopEvent_.IsSet()) {
        return false;
    }
    // A stream, not an exchange: the answer is read piece by piece for as long as it lasts.
    const bool sent = sender_->SendRequest(Web::MakeGetRequest(kStreamPath));
    const uint32_t status = sender_->GetStatusCode();
    if (sent && (status == 200 || status == 201)) {
        // A stream that ends before its first verdict is retried after the pause, not at
        // once: a camera that closes every stream at once would otherwise be stormed.
        return ReadMotionDataFromHTTPStream();
    }
    const std::string name = DeviceName();
    const std::string& address = driver_->GetDeviceInfo()->address;
    if (status == 401) {
        Log(kLogError,
            "%s: Unable to start Motion HTTP data stream from the %s (%s): Invalid "
            "username/password",
            kMethod, name.c_str(), address.c_str());
    } else if (status != 0) {
        Log(kLogError,
            "%s: Unable to start Motion HTTP data stream from the %s (%s): The device reported "
            "HTTP %u status for \"%s\" request",
            kMethod, name.c_str(), address.c_str(), status, kStreamPath);
    } else if (!stopEvent_.IsSet()) {
        Log(kLogError,
            "%s: Unable to start Motion HTTP data stream from the %s (%s): Connection is failed "
            "(%u)",
            kMethod, name.c_str(), address.c_str(), sender_->GetLastErrorCode());
    }
    sender_->Close();
    return false;
}

bool CAxisMDChannel::ReadMotionDataFromHTTPStream() {
    static const char kMethod[] = "vornak::CAxisMDChannel::ReadMotionDataFromHTTPStream";
    std::vector<uint32_t> windows;
    {
        CLockGuard guard(lock_);
        windows = windows_;
    }
    CAxisMDParser parser(std::move(windows));
    ResetLogFilter();
    std::vector<uint8_t> chunk;
    uint32_t skippedLogged = 0;
    bool judged = false;
    while (!stopEvent_.IsSet()) {
        if (sender_->ReadData(chunk, Web::CHttpSender::kReadChunk, true) == 0) {
            break;
        }
        for (const MotionResult result : parser.Parse(chunk)) {
            OnMotionResult(result, platform::TickMs());
            judged = true;
        }
        if (parser.GetSkippedRecords() != skippedLogged) {
            skippedLogged = parser.GetSkippedRecords();
            Log(kLogWarning,
                "%s: A motion data record from %s (%s) is longer than %zu bytes; it was skipped",
                kMethod, DeviceName().c_str(), driver_->GetDeviceInfo()->address.c_str(),
                CAxisMDParser::kMaxRecordBytes);
        }
    }
    sender_->Close();
    if (!stopEvent_.IsSet()) {
        Log(kLogError, "%s: Unable to receive HTTP data stream from %s (%s). Last read error is %u",
            kMethod, DeviceName().c_str(), driver_->GetDeviceInfo()->address.c_str(),
            sender_->GetLastErrorCode());
    }
    return judged;
}

void CAxisMDChannel::OnMotionResult(MotionResult result, uint64_t nowMs) {
    if (result == kMotionUndecided) {
        return;
    }
    if (IEdgeStorageCallback* monitor = edgeMonitor_.load()) {
        monitor->OnDataReceived(channel_, GetCurrentTime());
    }
    std::vector<bool> states;
    {
        CLockGuard guard(lock_);
        states = reporter_.OnResult(result, nowMs);
    }
    for (const bool motion : states) {
        SendMDFrameCallback(motion);
    }
}

void CAxisMDChannel::SendMDFrameCallback(bool motion) {
    static const char kMethod[] = "vornak::CAxisMDChannel::SendMDFrameCallback";
    if (sink_.load() == nullptr) {
        return;
    }
    const uint8_t payload[2] = {1, static_cast<uint8_t>(motion ? 1 : 0)};
    SYSTEMTIME now{};
    TimeToSystemTime(GetCurrentTime(), now);
    const Delivery result = DeliverPicture(
        *driver_, this,
        {.data = payload, .fourcc = kFourCCMotion, .size = {320, 240}, .time = &now, .mark = true},
        kMethod);
    if (result == Delivery::kRefused) {
        Log(kLogDetail, "%s: Motion detection data callback failed (device %s, channel %u)",
            kMethod, driver_->GetDeviceInfo()->address.c_str(), channel_);
    }
}

bool CAxisMDChannel::FrameReady(ipcapture::IVideoFrame* frame) {
    ipcapture::IFrameSink* sink = sink_.load();
    if (sink == nullptr) {
        return false;
    }
    try {
        return sink->OnFrame(frame);
    } catch (...) {
        return false;
    }
}

std::string CAxisMDChannel::GetStreamName() {
    return driver_->GetDriverName() + "::MotionDetection";
}

void CAxisMDChannel::ConvertTimestamp(uint32_t, SYSTEMTIME& time) {
    TimeToSystemTime(GetCurrentTime(), time);
}

}  // namespace vornak
