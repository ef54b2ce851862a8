#include "audio/audio_input.h"

#include <algorithm>
#include <cstring>

#include "audio/audio_definitions.h"
#include "audio/audio_parser.h"
#include "base/text.h"
#include "driver/video_capture.h"
#include "properties/capabilities.h"
#include "web/http_sender.h"
#include "web/request_utils.h"

namespace vornak {

namespace {
constexpr const char* kListPath = "/axis-cgi/admin/param.cgi?action=list&group=";
constexpr const char* kDefinitionsPath =
    "/axis-cgi/admin/param.cgi?action=listdefinitions&listformat=xmlschema&group=";
constexpr const char* kUpdatePath = "/axis-cgi/admin/param.cgi?action=update";
constexpr const char* kReceivePath = "/axis-cgi/audio/receive.cgi?httptype=singlepart";
}  // namespace

bool AudioInputChangeAllowed(uint32_t from, uint32_t to) {
    switch (from) {
        case kAudioInIdle:
            return to == kAudioInConnecting;
        case kAudioInConnecting:
            return to == kAudioInReceiving || to == kAudioInStopped || to == kAudioInFailed;
        case kAudioInReceiving:
            return to == kAudioInStopped || to == kAudioInFailed;
        case kAudioInStopped:
        case kAudioInHostState:
            return to == kAudioInIdle;
        case kAudioInFailed:
            return to == kAudioInConnecting || to == kAudioInStopped;
        default:
            return false;
    }
}

std::vector<std::string> SupportedAudioEncodings(IDriver& driver,
                                                 ipcapture::IAudioCodecList* codecs,
                                                 bool mustBeEnabled) {
    // The capability query writes the list with commas; both separators are read.
    std::string text = ToLower(driver.GetParameter(kParamAudioFormats));
    std::replace(text.begin(), text.end(), ',', ';');
    std::vector<std::string> supported;
    for (const std::string& name : SplitList(text, ';')) {
        const uint32_t codec = CodecOfEncoding(name);
        if (codec != 0 && HostOffersCodec(codecs, codec, mustBeEnabled)) {
            supported.push_back(name);
        }
    }
    return supported;
}

CAxisAudioInputChannel::CAxisAudioInputChannel(uint32_t source, IDriver* driver, void* host1,
                                               void* host2, void* host3, bool duplex)
    : CBaseThread(driver),
      CLoggerInstance(driver),
      source_(source),
      driver_(driver),
      host_(host1, host2, host3),
      duplex_(duplex),
      supported_(SupportedAudioEncodings(*driver, host_.codecs, true)),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 "Vornak HTTP Audio Receiver")) {
    sender_->SetCancelEvent(&stopEvent_);
}

CAxisAudioInputChannel::~CAxisAudioInputChannel() {
    StopCapture();
}

void CAxisAudioInputChannel::SetState(uint32_t state) {
    {
        CLockGuard guard(stateLock_);
        if (!AudioInputChangeAllowed(state_.load(), state)) {
            return;
        }
        state_ = state;
    }
    if (host_.callback != nullptr) {
        try {
            host_.callback->OnAudioState(host_.cookie, state);
        } catch (...) {
            Log(kLogError, "%s: The host failed to take the audio state %u",
                "vornak::CAxisAudioInputChannel::SetState", state);
        }
    }
}

bool CAxisAudioInputChannel::StartCapture() {
    if (StopCapture()) {
        CLockGuard guard(lock_);
        SetState(kAudioInConnecting);
        if (StartThread("Axis Audio Input Channel")) {
            return true;
        }
    }
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    Log(kLogError,
        "vornak::CAxisAudioInputChannel::StartCapture: Unable to start audio capture from %s (%s)",
        device.model.c_str(), device.address.c_str());
    return false;
}

bool CAxisAudioInputChannel::StopCapture() {
    stopEvent_.Set();
    sender_->Abort();
    CLockGuard guard(lock_);
    const uint32_t limit = std::max<uint32_t>(2 * driver_->GetDeviceInfo()->networkTimeout, 5000);
    if (!JoinThread(limit)) {
        return false;
    }
    SetState(kAudioInIdle);
    return true;
}

void CAxisAudioInputChannel::ThreadFunction() {
    const uint32_t pauseMs = driver_->GetDeviceInfo()->networkTimeout / 2;
    while (!stopEvent_.IsSet()) {
        SetState(kAudioInConnecting);
        if (ConfigureAudioInput()) {
            if (ConnectToAudioDevice()) {
                SetState(kAudioInReceiving);
                ResetLogFilter();
                if (!ReceiveAudioData()) {
                    SetState(kAudioInFailed);
                }
            } else {
                SetState(kAudioInFailed);
            }
            sender_->Close();
        }
        stopEvent_.Wait(pauseMs);
    }
    SetState(kAudioInStopped);
}

bool CAxisAudioInputChannel::RequestGet(const std::string& url, std::string& reply) {
    static constexpr const char* kMethod = "vornak::CAxisAudioInputChannel::RequestGet";
    reply.clear();
    if (url.empty()) {
        return false;
    }
    HUtils::Reply answer = HUtils::Get(*sender_, url);
    if (answer.status == 200 || answer.status == 204) {
        reply = std::move(answer.body);
        return true;
    }
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    if (answer.status == 401) {
        Log(kLogError, "%s: %s (%s) is unable to process \"%s\" request: credentials are invalid",
            kMethod, device.model.c_str(), device.address.c_str(), url.c_str());
    } else if (answer.status == 404) {
        Log(kLogError, "%s: The \"%s\" URL was not found on %s (%s)", kMethod, url.c_str(),
            device.model.c_str(), device.address.c_str());
    } else {
        Log(kLogError, "%s: %s (%s) is unable to process \"%s\" request. HTTP status code is %u",
            kMethod, device.model.c_str(), device.address.c_str(), url.c_str(), answer.status);
    }
    return false;
}

bool CAxisAudioInputChannel::ConfigureAudioInput() {
    static constexpr const char* kMethod = "vornak::CAxisAudioInputChannel::ConfigureAudioInput";
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    const std::string prefix = AudioSourcePrefix(source_);
    AudioInputPlanRequest request;
    request.source = source_;
    request.duplex = duplex_;
    request.settings = ReadAudioInputSettings(driver_->GetHostFolder(), device, source_ + 1);
    request.supported = supported_;

    std::string list;
    std::string definitionsText;
    if (!RequestGet(kListPath + AudioListGroups(source_), list) ||
        !RequestGet(kDefinitionsPath + prefix, definitionsText)) {
        return false;
    }
    CAxisAudioDefinitions definitions;
    if (!definitions.Load(definitionsText, prefix)) {
        Log(kLogError, "%s: The audio parameter definitions of %s (%s) are not readable", kMethod,
            device.model.c_str(), device.address.c_str());
        return false;
    }
    const AudioInputPlan plan = BuildAudioUpdate(request, list, definitions);
    if (plan.format.codec == 0) {
        Log(kLogError, "%s: %s (%s) offers no audio encoding that the host takes", kMethod,
            device.model.c_str(), device.address.c_str());
        return false;
    }
    format_ = plan.format;
    if (plan.update.empty()) {
        return true;
    }
    // A device that refuses answers 200 with an error line; only "OK" means it took the values.
    std::string reply;
    if (!RequestGet(kUpdatePath + plan.update, reply)) {
        return false;
    }
    if (reply.find("OK") == std::string::npos) {
        Log(kLogError, "%s: Unable to apply audio parameters '%s' to %s (%s): %s", kMethod,
            plan.update.c_str(), device.model.c_str(), device.address.c_str(), reply.c_str());
        return false;
    }
    return true;
}

bool CAxisAudioInputChannel::ConnectToAudioDevice() {
    static constexpr const char* kMethod = "vornak::CAxisAudioInputChannel::ConnectToAudioDevice";
    if (stopEvent_.IsSet()) {
        return false;
    }
    const bool sent = sender_->SendRequest(Web::MakeGetRequest(kReceivePath));
    const uint32_t status = sender_->GetStatusCode();
    if (sent && (status == 200 || status == 201)) {
        return true;
    }
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    if (status == 401) {
        Log(kLogError,
            "%s: Unable to start HTTP Audio stream from the %s (%s): Invalid username/password",
            kMethod, device.model.c_str(), device.address.c_str());
    } else if (status != 0) {
        Log(kLogError,
            "%s: Unable to start HTTP Audio stream from the %s (%s): The device reported HTTP %u "
            "status for \"%s\" request",
            kMethod, device.model.c_str(), device.address.c_str(), status, kReceivePath);
    } else {
        Log(kLogError,
            "%s: Unable to start HTTP Audio stream from the %s (%s): Connection is failed (%u)",
            kMethod, device.model.c_str(), device.address.c_str(), sender_->GetLastErrorCode());
    }
    sender_->Close();
    return false;
}

bool CAxisAudioInputChannel::ReceiveAudioData() {
    static constexpr const char* kMethod = "vornak::CAxisAudioInputChannel::ReceiveAudioData";
    CAxisAudioParser parser(driver_, host_.callback, true);
    parser.LoadFormat(format_);
    const uint32_t size = parser.GetFrameSize();
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    std::vector<uint8_t> frame;
    frame.reserve(size);
    bool received = false;
    while (!stopEvent_.IsSet()) {
        frame.clear();
        while (frame.size() < size &&
               sender_->ReadData(frame, static_cast<uint32_t>(size - frame.size()), false) != 0) {
        }
        if (frame.size() < size) {
            if (stopEvent_.IsSet()) {
                break;
            }
            if (!received) {
                Log(kLogError, "%s: Could not receive audio packet from %s (%s): error code is %u.",
                    kMethod, device.model.c_str(), device.address.c_str(),
                    sender_->GetLastErrorCode());
            }
            return false;
        }
        received = true;
        if (!parser.Parse(frame)) {
            Log(kLogError, "%s: Could not parse audio packet (%u bytes) from device %s", kMethod,
                size, device.address.c_str());
            return false;
        }
    }
    return true;
}

CAxisIPAudioCapture::CAxisIPAudioCapture(IAudioChannelCreator* creator, uint32_t maxChannels,
                                         IDriver* driver)
    : creator_(creator), maxChannels_(maxChannels), driver_(driver) {}

CAxisIPAudioCapture::~CAxisIPAudioCapture() {
    std::map<uint32_t, std::unique_ptr<IAudioInputChannel>> channels;
    {
        CLockGuard guard(lock_);
        channels.swap(channels_);
    }
    for (auto& [index, channel] : channels) {
        channel->StopCapture();
    }
}

uint32_t CAxisIPAudioCapture::GetChannelCount() {
    CLockGuard guard(lock_);
    return static_cast<uint32_t>(channels_.size());
}

bool CAxisIPAudioCapture::StartCapture(uint32_t channel, void* host1, void* host2, void* host3) {
    IAudioInputChannel* started = nullptr;
    {
        CLockGuard guard(lock_);
        if (channels_.count(channel) != 0) {
            return true;
        }
        // The device has sources 0 to count-1; another index could only fail at the device.
        if (channels_.size() >= maxChannels_ || channel >= maxChannels_) {
            driver_->DebugMessage(kLogWarning,
                                  "%s: Audio source %u is not available on %s (%u sources)",
                                  "vornak::CAxisIPAudioCapture::StartCapture", channel,
                                  driver_->GetDeviceName().c_str(), maxChannels_);
            return false;
        }
        std::unique_ptr<IAudioInputChannel> made(
            creator_->CreateAudioInputChannel(channel, host1, host2, host3));
        if (!made) {
            return false;
        }
        started = made.get();
        channels_[channel] = std::move(made);
    }
    if (started->StartCapture()) {
        return true;
    }
    std::unique_ptr<IAudioInputChannel> failed;
    {
        CLockGuard guard(lock_);
        const auto it = channels_.find(channel);
        if (it != channels_.end() && it->second.get() == started) {
            failed = std::move(it->second);
            channels_.erase(it);
        }
    }
    return false;
}

bool CAxisIPAudioCapture::StopCapture(uint32_t channel) {
    std::unique_ptr<IAudioInputChannel> stopped;
    {
        CLockGuard guard(lock_);
        const auto it = channels_.find(channel);
        if (it == channels_.end()) {
            return false;
        }
        stopped = std::move(it->second);
        channels_.erase(it);
    }
    return stopped->StopCapture();
}

uint32_t CAxisIPAudioCapture::GetState(uint32_t channel) {
    CLockGuard guard(lock_);
    const auto it = channels_.find(channel);
    return it == channels_.end() ? 0 : it->second->GetState();
}

bool CAxisIPAudioCapture::GetOption(const char* name, void* value, uint32_t size) {
    // The video capture's answers; only "isIPCamera" takes a larger buffer.
    if (name == nullptr || size < 4 || (size != 4 && !EqualsNoCase(name, "isIPCamera"))) {
        return false;
    }
    return CIPVideoCapture::GetCommonOption(name, value, 4);
}

}  // namespace vornak
