#include "audio/audio_input.h"

#include <algorithm>
#include <cstring>

#include "audio/audio_definitions.h"
#include "audio/audio_parser.h"
#include "base/text.h"
#include "driver/video_capture.h"
#include "properties/capabilities.h"
#include "web/http_sender.h"

namespace vornak {

namespace {
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
                                                 "Vornak HTTP Audio Receiver")),
      requests_(*sender_, *driver, *this, "vornak::CAxisAudioInputChannel::RequestGet") {
    sender_->SetCancelEvent(&stopEvent_);
}

CAxisAudioInputChannel::~CAxisAudioInputChannel() {
    StopCapture();
}

void ChangeAudioInputState(std::atomic<uint32_t>& state, CLock& lock,
                           const AudioHostArgs<ipcapture::IAudioInputCallback>& host, uint32_t to,
                           IDebugMessage& log, const char* method) {
    {
        CLockGuard guard(lock);
        if (!AudioInputChangeAllowed(state.load(), to)) {
            return;
        }
        state = to;
    }
    if (host.callback != nullptr) {
        try {
            host.callback->OnAudioState(host.cookie, to);
        } catch (...) {
            log.DebugMessage(kLogError, "%s: The host failed to take the audio state %u", method,
                             to);
        }
    }
}

void CAxisAudioInputChannel::SetState(uint32_t state) {
    ChangeAudioInputState(state_, stateLock_, host_, state, *driver_,
                          "vornak::CAxisAudioInputChannel::SetState");
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
    if (!requests_.Get(kAudioListPath + AudioListGroups(source_), list) ||
        !requests_.Get(kAudioDefinitionsPath + prefix, definitionsText)) {
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
    return requests_.Update(plan.update, kMethod);
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

CAxisIPAudioCapture::~CAxisIPAudioCapture() {
    channels_.StopAll([](IAudioInputChannel& c) { return c.StopCapture(); });
}

bool CAxisIPAudioCapture::StartCapture(uint32_t channel, void* host1, void* host2, void* host3) {
    return channels_.Start(
        channel, "vornak::CAxisIPAudioCapture::StartCapture",
        [&] { return creator_->CreateAudioInputChannel(channel, host1, host2, host3); },
        [](IAudioInputChannel& c) { return c.StartCapture(); });
}

bool CAxisIPAudioCapture::StopCapture(uint32_t channel) {
    return channels_.Stop(channel, [](IAudioInputChannel& c) { return c.StopCapture(); });
}

uint32_t CAxisIPAudioCapture::GetState(uint32_t channel) {
    return channels_.With(channel, 0u, [](IAudioInputChannel& c) { return c.GetState(); });
}

bool CAxisIPAudioCapture::GetOption(const char* name, void* value, uint32_t size) {
    // The video capture's answers; only "isIPCamera" takes a larger buffer.
    if (name == nullptr || size < 4 || (size != 4 && !EqualsNoCase(name, "isIPCamera"))) {
        return false;
    }
    return CIPVideoCapture::GetCommonOption(name, value, 4);
}

}  // namespace vornak
