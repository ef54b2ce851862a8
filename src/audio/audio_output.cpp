#include "audio/audio_output.h"

#include <algorithm>

#include "audio/audio_input.h"
#include "base/text.h"
#include "properties/capabilities.h"
#include "web/http_sender.h"

namespace vornak {

namespace {
constexpr const char* kCheckPath = "/axis-cgi/admin/param.cgi?action=list&group=Properties.Audio";
constexpr const char* kTransmitPath = "/axis-cgi/audio/transmit.cgi";
constexpr uint32_t kRefreshPauseMs = 1500;
constexpr uint64_t kDeviceCheckPeriodMs = 120000;
}  // namespace

CBaseAudioOutputChannel::CBaseAudioOutputChannel(IDriver* driver, void* host1, void* host2,
                                                 void* host3)
    : CQueueThread<CAudioItem>(driver), driver_(driver), host_(host1, host2, host3) {}

void CBaseAudioOutputChannel::SetState(uint32_t state) {
    if (state_.exchange(state) == state || host_.callback == nullptr) {
        return;
    }
    try {
        host_.callback->OnAudioState(host_.cookie, state);
    } catch (...) {
        driver_->DebugMessage(kLogError, "%s: The host failed to take the audio state %u",
                              "vornak::CBaseAudioOutputChannel::SetState", state);
    }
}

bool CBaseAudioOutputChannel::StartOutput() {
    CLockGuard guard(lock_);
    if (!StartQueueThread("Base Audio Output Channel")) {
        return false;
    }
    SetState(kAudioOutConnecting);
    AddItem(new CAudioItem(CAudioItem::kConnect), 0);
    return true;
}

bool CBaseAudioOutputChannel::StopOutput() {
    if (!IsRunning() && GetState() == kAudioOutIdle) {
        return true;
    }
    stopEvent_.Set();
    SetState(kAudioOutStopping);
    AbortRequests();
    CLockGuard guard(lock_);
    if (!StopQueueThread(2 * driver_->GetDeviceInfo()->networkTimeout)) {
        return false;
    }
    SetState(kAudioOutIdle);
    return true;
}

bool CBaseAudioOutputChannel::SendFrame(ipcapture::IAudioFrame* frame) {
    ipcapture::IFrameAllocator* factory = driver_->GetFrameAllocator();
    if (stopEvent_.IsSet() || frame == nullptr || frame->GetData() == nullptr ||
        frame->GetDataSize() == 0 || factory == nullptr || !VerifyFrameOptions(frame)) {
        return false;
    }
    // A stop that wins the race deletes the item, and with it the frame: taken either way.
    AddItem(new CAudioDataItem(frame, factory), 0);
    return true;
}

void CBaseAudioOutputChannel::Reconnect() {
    SetState(kAudioOutConnecting);
    if (Connect()) {
        SetState(kAudioOutStreaming);
    } else {
        SetState(kAudioOutFailed);
        AddItem(new CAudioRefreshItem(), 0);
    }
}

void CBaseAudioOutputChannel::ProcessWorkItem(CAudioItem* item) {
    if (stopEvent_.IsSet()) {
        return;
    }
    switch (item->GetKind()) {
        case CAudioItem::kConnect:
            Reconnect();
            break;
        case CAudioItem::kData:
            // Only a streaming channel plays frames. A failed one drops them and lets the
            // refresh item reconnect: a connect per frame would fall ever further behind and
            // play stale sound once the device is back.
            if (GetState() == kAudioOutStreaming &&
                !SendAudio(static_cast<CAudioDataItem*>(item)->GetFrame())) {
                SetState(kAudioOutFailed);
                AddItem(new CAudioRefreshItem(), 0);
            }
            break;
        case CAudioItem::kRefresh:
            if (GetState() == kAudioOutFailed && !stopEvent_.Wait(kRefreshPauseMs)) {
                Reconnect();
            }
            break;
        default:
            break;
    }
}

AudioOutputEncoding ChooseOutputEncoding(IDriver& driver, ipcapture::IAudioCodecList* codecs,
                                         const std::string& setting) {
    std::vector<std::string> supported;
    for (const std::string& name : SupportedAudioEncodings(driver, codecs, false)) {
        if (name == "g711" || name == "g726") {
            supported.push_back(name);
        }
    }
    std::string name = "g711";
    uint32_t bitRate = 0;
    if (!supported.empty()) {
        const std::vector<std::string> parts = SplitList(ToLower(setting), '-');
        name = supported.front();
        if (!parts.empty() &&
            std::find(supported.begin(), supported.end(), parts[0]) != supported.end()) {
            name = parts[0];
            if (parts.size() > 1) {
                const uint32_t kbits = ParseDecimal(parts[1]).value_or(0);
                if (kbits == 24 || kbits == 32 || kbits == 40) {
                    bitRate = kbits * 1000;
                }
            }
        }
    }
    if (name == "g726") {
        return {kCodecG726, bitRate != 0 ? bitRate : 32000};
    }
    return {kCodecG711Mu, 64000};
}

CAxisAudioOutputChannel::CAxisAudioOutputChannel(uint32_t source, IDriver* driver, void* host1,
                                                 void* host2, void* host3)
    : CBaseAudioOutputChannel(driver, host1, host2, host3),
      CLoggerInstance(driver),
      source_(source),
      sender_(
          std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(), "Vornak HTTP Audio Sender")),
      requests_(*sender_, *driver, *this, "vornak::CAxisAudioOutputChannel::RequestGet") {
    sender_->SetCancelEvent(&stopEvent_);
    const AudioOutputEncoding encoding = ChooseOutputEncoding(
        *driver, host_.codecs,
        ReadAudioOutputSettings(driver->GetHostFolder(), *driver->GetDeviceInfo()).encoding);
    codec_ = encoding.codec;
    bitRate_ = encoding.bitRate;
}

CAxisAudioOutputChannel::~CAxisAudioOutputChannel() {
    // The queue thread calls into this object; it must end before the members go.
    StopOutput();
}

bool CAxisAudioOutputChannel::GetFormat(ipcapture::IAudioFormat* format) {
    if (format == nullptr || bitRate_ == 0 ||
        (codec_ != kCodecG726 && codec_ != kCodecG711Mu && codec_ != kCodecG711A)) {
        return false;
    }
    format->SetCodec(codec_);
    format->SetBitRate(bitRate_);
    format->SetSampleRate(kAudioSampleRate);
    format->SetExtra(0);
    return true;
}

bool CAxisAudioOutputChannel::VerifyFrameOptions(ipcapture::IAudioFrame* frame) {
    std::string problem;
    if (frame->GetCodec() != codec_) {
        problem =
            Format("incorrect audio codec (expected: %s; received: %s)",
                   CodecDisplayName(codec_).c_str(), CodecDisplayName(frame->GetCodec()).c_str());
    } else if (frame->GetSampleRate() != kAudioSampleRate) {
        problem = Format("incorrect frequency (expected: 8 kHz; received: %u Hz)",
                         frame->GetSampleRate());
    } else if (bitRate_ == 0 || frame->GetBitRate() != bitRate_) {
        problem = Format("incorrect bitrate (expected: %u bits/s; received: %u bits/s)", bitRate_,
                         frame->GetBitRate());
    }
    if (problem.empty()) {
        return true;
    }
    Log(kLogWarning, "%s: Unexpected audio frame from audio output channel %u: %s",
        "vornak::CAxisAudioOutputChannel::VerifyFrameOptions", source_, problem.c_str());
    return false;
}

void CAxisAudioOutputChannel::AbortRequests() {
    sender_->Abort();
}

bool CAxisAudioOutputChannel::Connect() {
    // Whatever was open belongs to the connection that failed.
    sender_->Close();
    postOpen_ = false;
    remaining_ = 0;
    connectionHeld_ = false;
    const std::string prefix = AudioSourcePrefix(source_);
    std::string list;
    if (!requests_.Get(kAudioListPath + AudioListGroups(source_), list)) {
        return false;
    }
    if (!definitions_) {
        std::string text;
        CAxisAudioDefinitions definitions;
        if (requests_.Get(kAudioDefinitionsPath + prefix, text) && definitions.Load(text, prefix) &&
            !definitions.IsEmpty()) {
            definitions_ = std::move(definitions);
        }
    }
    const std::string gain =
        ReadAudioOutputSettings(driver_->GetHostFolder(), *driver_->GetDeviceInfo()).outputGain;
    const bool updated = requests_.Update(
        BuildAudioOutputUpdate(source_, gain, list, definitions_ ? &*definitions_ : nullptr),
        "vornak::CAxisAudioOutputChannel::RequestUpdate");
    if (updated) {
        ResetLogFilter();
    }
    return updated;
}

void CAxisAudioOutputChannel::FinishPost() {
    if (postOpen_) {
        // The whole announced body is out, so the device answers now.
        connectionHeld_ = sender_->ReceiveResponse();
        sender_->Close();
    }
    postOpen_ = false;
    remaining_ = 0;
}

bool CAxisAudioOutputChannel::OpenPost(std::span<const uint8_t> first, uint32_t frameSize) {
    const auto firstSize = static_cast<uint32_t>(first.size());
    const uint32_t room = kMaxAudioPostLength - std::min(firstSize, kMaxAudioPostLength);
    const uint32_t remaining = frameSize == 0 ? 0 : room / frameSize * frameSize;
    Web::HttpRequest post;
    post.verb = "POST";
    post.path = kTransmitPath;
    post.flags = Web::kFlagKeepQuery | Web::kFlagNoRedirect | Web::kFlagNoResponseWait;
    if (const std::string subtype = ContentSubtype(codec_, bitRate_); !subtype.empty()) {
        post.headers.push_back("Content-Type: audio/" + subtype);
    }
    post.headers.emplace_back("Connection: Keep-Alive");
    post.headers.emplace_back("Cache-Control: no-cache");
    post.body.assign(first.begin(), first.end());
    post.totalLength = firstSize + remaining;
    if (!sender_->SendRequest(post)) {
        sender_->Close();
        connectionHeld_ = false;
        return false;
    }
    postOpen_ = true;
    remaining_ = remaining;
    postTimer_.Touch();
    return true;
}

bool CAxisAudioOutputChannel::SendAudio(ipcapture::IAudioFrame* frame) {
    std::span<const uint8_t> rest(frame->GetData(), frame->GetDataSize());
    const auto frameSize = static_cast<uint32_t>(rest.size());
    if (postOpen_ && remaining_ > 0) {
        // Fill the open body to its announced end; what does not fit opens the next POST.
        const uint32_t part = std::min(remaining_, frameSize);
        if (sender_->WriteData(rest.first(part))) {
            remaining_ -= part;
            rest = rest.subspan(part);
            if (rest.empty()) {
                return true;
            }
        } else {
            // A device that refuses the stream answers before the body ends; one that took
            // nothing for the network time-out will not answer either.
            const uint32_t error = sender_->GetLastErrorCode();
            const uint32_t status = error != Web::kErrorTimeout && sender_->ReceiveResponse()
                                        ? sender_->GetStatusCode()
                                        : 0;
            sender_->Close();
            postOpen_ = false;
            connectionHeld_ = false;
            if (stopEvent_.IsSet()) {
                return false;
            }
            const DEVICE_INFO& device = *driver_->GetDeviceInfo();
            if (status >= 300) {
                Log(kLogError, "%s: %s (%s) refused the audio stream with HTTP status %u",
                    "vornak::CAxisAudioOutputChannel::SendAudio", device.model.c_str(),
                    device.address.c_str(), status);
                return false;
            }
            // A stalled POST, or one that broke soon after it opened, is not replaced at once:
            // the next would go the same way, a POST per frame. The channel fails and waits.
            if (error == Web::kErrorTimeout || postTimer_.GetElapsedMs() < kRefreshPauseMs) {
                Log(kLogWarning, "%s: %s (%s) stopped taking the audio stream (error %u)",
                    "vornak::CAxisAudioOutputChannel::SendAudio", device.model.c_str(),
                    device.address.c_str(), error);
                return false;
            }
        }
    }
    FinishPost();
    if (stopEvent_.IsSet()) {
        return false;
    }
    if (connectionHeld_ && checkTimer_.GetElapsedMs() > kDeviceCheckPeriodMs) {
        std::string reply;
        if (!requests_.Get(kCheckPath, reply)) {
            return false;
        }
        checkTimer_.Touch();
    }
    return OpenPost(rest, frameSize);
}

CAxisIPAudioSender::~CAxisIPAudioSender() {
    channels_.StopAll([](IAudioOutputChannel& c) { return c.StopOutput(); });
}

bool CAxisIPAudioSender::StartOutput(uint32_t channel, void* host1, void* host2, void* host3) {
    return channels_.Start(
        channel, "vornak::CAxisIPAudioSender::StartOutput",
        [&] { return creator_->CreateAudioOutputChannel(channel, host1, host2, host3); },
        [](IAudioOutputChannel& c) { return c.StartOutput(); });
}

bool CAxisIPAudioSender::StopOutput(uint32_t channel) {
    return channels_.Stop(channel, [](IAudioOutputChannel& c) { return c.StopOutput(); });
}

bool CAxisIPAudioSender::SendFrame(ipcapture::IAudioFrame* frame) {
    if (frame == nullptr) {
        return false;
    }
    return channels_.With(frame->GetChannel(), false,
                          [&](IAudioOutputChannel& c) { return c.SendFrame(frame); });
}

bool CAxisIPAudioSender::GetFormat(uint32_t channel, ipcapture::IAudioFormat* format) {
    return channels_.With(channel, false,
                          [&](IAudioOutputChannel& c) { return c.GetFormat(format); });
}

uint32_t CAxisIPAudioSender::GetState(uint32_t channel) {
    return channels_.With(channel, 0u, [](IAudioOutputChannel& c) { return c.GetState(); });
}

}  // namespace vornak
