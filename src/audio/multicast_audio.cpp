#include "audio/multicast_audio.h"

#include <arpa/inet.h>

#include "audio/audio_definitions.h"
#include "audio/audio_input.h"
#include "base/text.h"
#include "driver/settings_file.h"
#include "platform/net.h"
#include "web/http_sender.h"

namespace vornak {

AudioFormat AudioFormatOfMedia(const MediaDescription& audio) {
    AudioFormat format;
    format.codec = 0;
    format.sampleRate = kAudioSampleRate;
    format.bitRate = 0;
    if (audio.payloadType == 0 || audio.payloadType == 8) {
        format.codec = audio.payloadType == 0 ? kCodecG711Mu : kCodecG711A;
        format.bitRate = 64000;
    } else if (audio.payloadType > 95) {
        const std::string encoding = ToLower(audio.encoding);
        const size_t slash = encoding.find('/');
        const std::string name = encoding.substr(0, slash);
        if (name.find("pcma") != std::string::npos) {
            format.codec = kCodecG711A;
            format.bitRate = 64000;
        } else if (name.find("pcmu") != std::string::npos) {
            format.codec = kCodecG711Mu;
            format.bitRate = 64000;
        } else if (name.find("g726") != std::string::npos) {
            // "G726-32": the rate follows the dash; the digits of "G726" itself are no rate.
            const size_t dash = name.rfind('-');
            format.codec = kCodecG726;
            format.bitRate =
                dash == std::string::npos
                    ? 0
                    : ParseDecimal(std::string_view(name).substr(dash + 1)).value_or(0) * 1000;
        }
        if (slash != std::string::npos) {
            format.sampleRate =
                ParseDecimal(std::string_view(encoding).substr(slash + 1)).value_or(0);
        }
    }
    if (format.codec == 0 || format.sampleRate == 0 || format.bitRate == 0 ||
        (format.formatWord & 0xFF) == 0) {
        format.codec = 0;
    }
    return format;
}

CBaseMulticastRTSPDataChannel::CBaseMulticastRTSPDataChannel(IDriver* driver)
    : CBaseThread(driver),
      driver_(driver),
      deviceIp_(platform::ResolveIPv4(driver->GetDeviceInfo()->address)),
      receiver_(driver) {}

CBaseMulticastRTSPDataChannel::~CBaseMulticastRTSPDataChannel() {
    StopThread(kRetryWaitMs + 2 * driver_->GetDeviceInfo()->networkTimeout);
    CloseSession();
}

void CBaseMulticastRTSPDataChannel::PacketReceived(const sockaddr_in& sender,
                                                   const CRTPPacket& packet) {
    // The group may carry other cameras, other streams and other senders.
    const auto verdict = selector_.Take(sender.sin_addr.s_addr, packet);
    if (verdict == CMulticastSenderSelector::Verdict::kDrop) {
        return;
    }
    if (verdict == CMulticastSenderSelector::Verdict::kNewlyAccepted) {
        receiver_.SetPacketFilter(packet.payloadType, packet.ssrc);
    }
    lastPacket_.Touch();
    firstPacket_.Set();
    ProcessPacket(packet);
}

void CBaseMulticastRTSPDataChannel::OnRtspPacketReceived(const CRTPPacket& packet) {
    lastPacket_.Touch();
    firstPacket_.Set();
    ProcessPacket(packet);
}

void CBaseMulticastRTSPDataChannel::OnRtspPlayProcessed(uint32_t rtpTime, uint16_t /*sequence*/) {
    selector_.OnPlay(rtpTime);
}

bool CBaseMulticastRTSPDataChannel::JoinGroup(const std::string& destination, uint16_t port) {
    selector_.Reset(deviceIp_);
    if (destination.empty() || port == 0 || stopEvent_.IsSet()) {
        return false;
    }
    receiver_.SetUser(this);
    receiver_.SetSource(deviceIp_);
    receiver_.SetPacketFilter(0xFF, 0);
    if (receiver_.OpenMulticast(destination, port, interfaceAddress_)) {
        return true;
    }
    receiver_.Close();
    return false;
}

bool CBaseMulticastRTSPDataChannel::StartSession() {
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    RTSPClientSettings settings = ClientSettingsFor(device);
    settings.proxy.clear();  // multicast is not carried through a proxy
    settings.mediaKind = 2;
    settings.multicast = 1;
    if (stopEvent_.IsSet() || !Configure(settings)) {
        return false;
    }
    firstPacket_.Reset();
    sessionClosed_.Reset();
    auto client = std::make_unique<CRTSPClientMulticast>(driver_, driver_->GetDeviceName());
    const bool started = client->Start(settings, static_cast<IRTSPClientUserEx*>(this));
    {
        CLockGuard guard(clientLock_);
        client_ = std::move(client);
    }
    if (!started) {
        return false;
    }
    CEvent* events[] = {&stopEvent_, &firstPacket_, &sessionClosed_};
    const bool receiving = CEvent::WaitForMultiple(events, 3, device.networkTimeout) == 1;
    lastPacket_.Touch();
    OnSessionState(receiving);
    return receiving;
}

void CBaseMulticastRTSPDataChannel::CloseSession() {
    std::unique_ptr<CRTSPClientMulticast> client;
    {
        CLockGuard guard(clientLock_);
        client = std::move(client_);
    }
    if (client) {
        client->Stop();
    }
    receiver_.Close();
    selector_.Reset(deviceIp_);
}

void CBaseMulticastRTSPDataChannel::ThreadFunction() {
    const uint32_t timeout = driver_->GetDeviceInfo()->networkTimeout;
    bool started = StartSession();
    while (true) {
        // A failed start waits as long as a running session between its checks: a camera that
        // refuses (wrong password, RTSP off) is asked again every two seconds, not fifty times
        // a second.
        CEvent* events[] = {&stopEvent_, &restart_};
        if (CEvent::WaitForMultiple(events, 2, kRetryWaitMs) == 0 || stopEvent_.IsSet()) {
            break;
        }
        if (!started || restart_.IsSet() || sessionClosed_.IsSet() ||
            lastPacket_.GetElapsedMs() > timeout) {
            if (started) {
                OnSessionState(false);
            }
            CloseSession();
            restart_.Reset();
            started = StartSession();
        }
    }
    CloseSession();
}

CBaseAudioMulticastRTSPChannel::CBaseAudioMulticastRTSPChannel(IDriver* driver, void* host1,
                                                               void* host2, void* host3)
    : CBaseMulticastRTSPDataChannel(driver), host_(host1, host2, host3) {}

void CBaseAudioMulticastRTSPChannel::SetState(uint32_t state) {
    ChangeAudioInputState(state_, stateLock_, host_, state, *driver_,
                          "vornak::CBaseAudioMulticastRTSPChannel::SetState");
}

void CBaseAudioMulticastRTSPChannel::SetDeviceState(bool signalOk) {
    static constexpr const char* kMethod = "vornak::CBaseAudioMulticastRTSPChannel::SetDeviceState";
    {
        CLockGuard guard(stateLock_);
        if (reported_ && signalOk_ == signalOk) {
            return;
        }
        // Nothing to say about a signal that never came.
        if (!reported_ && !signalOk) {
            return;
        }
        reported_ = true;
        signalOk_ = signalOk;
    }
    const std::string& address = driver_->GetDeviceInfo()->address;
    const std::string device = driver_->GetVideoChannelCount() > 1
                                   ? Format("video-server %s (channel %u)", address.c_str(), 1u)
                                   : Format("camera %s", address.c_str());
    if (signalOk) {
        driver_->DebugMessage(kLogInfo, "%s: Audio signal from %s is OK", kMethod, device.c_str());
    } else if (stopEvent_.IsSet()) {
        driver_->DebugMessage(kLogInfo, "%s: Audio channel was stopped for %s", kMethod,
                              device.c_str());
    } else {
        driver_->DebugMessage(kLogError, "%s: Audio signal was lost for %s", kMethod,
                              device.c_str());
    }
}

void CBaseAudioMulticastRTSPChannel::OnSessionState(bool receiving) {
    if (receiving) {
        SetState(kAudioInConnecting);
        SetState(kAudioInReceiving);
    } else {
        SetState(kAudioInFailed);
    }
    SetDeviceState(receiving);
}

bool CBaseAudioMulticastRTSPChannel::StartCapture() {
    if (StopCapture()) {
        CLockGuard guard(lock_);
        SetState(kAudioInConnecting);
        if (StartThread(Format("Multicast RTSP Audio Channel (device %s)",
                               driver_->GetDeviceInfo()->address.c_str()))) {
            return true;
        }
    }
    return false;
}

bool CBaseAudioMulticastRTSPChannel::StopCapture() {
    stopEvent_.Set();
    CLockGuard guard(lock_);
    if (!JoinThread(kRetryWaitMs + 2 * driver_->GetDeviceInfo()->networkTimeout)) {
        return false;
    }
    if (state_.load() != kAudioInIdle) {
        SetState(kAudioInStopped);
        SetDeviceState(false);
        SetState(kAudioInIdle);
    }
    return true;
}

CAxisAudioMulticastRTSPChannel::CAxisAudioMulticastRTSPChannel(uint32_t source, IDriver* driver,
                                                               void* host1, void* host2,
                                                               void* host3, bool duplex)
    : CBaseAudioMulticastRTSPChannel(driver, host1, host2, host3),
      CAxisProfileManager(driver, "camera " + driver->GetDeviceInfo()->address),
      source_(source),
      duplex_(duplex),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 Web::CHttpSender::kDefaultUserAgent)),
      requests_(*sender_, *driver, *this, "vornak::CAxisAudioMulticastRTSPChannel::RequestGet"),
      parser_(driver, host_.callback, true) {
    sender_->SetCancelEvent(&stopEvent_);
}

CAxisAudioMulticastRTSPChannel::~CAxisAudioMulticastRTSPChannel() {
    sender_->Abort();
    StopCapture();
}

bool CAxisAudioMulticastRTSPChannel::RequestGet(const std::string& url, std::string& response) {
    return !stopEvent_.IsSet() && requests_.Get(url, response);
}

void CAxisAudioMulticastRTSPChannel::GetDesiredParameters(ProfileParams& params) {
    params = {{"audio", "1"}};
}

std::string CAxisAudioMulticastRTSPChannel::GetDefaultProfileName() {
    return Format("Vorn%.2uAudio", source_ + 1);
}

std::string CAxisAudioMulticastRTSPChannel::GetProfileDescription() {
    return "Multicast%20profile%20for%20audio%20%28created%20by%20Vornak%20VMS%29";
}

bool CAxisAudioMulticastRTSPChannel::Configure(RTSPClientSettings& settings) {
    static constexpr const char* kMethod =
        "vornak::CAxisAudioMulticastRTSPChannel::ProcessConfiguration";
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    const AudioInputSettings audio =
        ReadAudioInputSettings(driver_->GetHostFolder(), device, source_ + 1);
    interfaceAddress_ = audio.networkInterface;
    // As for video: only the primary client changes the camera.
    const bool mayChange = audio.streamingMode == kStreamingMulticastPrimary;
    std::string groups = "StreamProfile,Network.RTSP";
    if (mayChange) {
        groups += Format(",Audio.DuplexMode,Audio.A%u.Enabled,AudioSource.A%u", source_, source_);
    }
    std::string list;
    if (!RequestGet("/axis-cgi/param.cgi?action=list&group=" + groups, list) ||
        !ProcessRTSPConfiguration(
            list, mayChange, "vornak::CAxisAudioMulticastRTSPChannel::ProcessRTSPConfiguration",
            "audio ")) {
        return false;
    }
    bool ok = false;
    if (mayChange) {
        std::string definitionsText;
        CAxisAudioDefinitions definitions;
        const std::string prefix = AudioSourcePrefix(source_);
        if (RequestGet(kAudioDefinitionsPath + prefix, definitionsText) &&
            definitions.Load(definitionsText, prefix)) {
            AudioInputPlanRequest request;
            request.source = source_;
            request.duplex = duplex_;
            request.settings = audio;
            request.supported = {"g711", "g726"};
            const AudioInputPlan plan = BuildAudioUpdate(request, list, definitions);
            ok = requests_.Update(plan.update, kMethod) &&
                 UpdateStreamProfile(audio.profileName, list);
        }
    } else {
        ok = VerifyStreamProfile(audio.profileName, list, "RTSP multicast audio");
    }
    if (!ok) {
        return false;
    }
    settings.userAgent = "Vornak RTSP Client (Axis v2.5.x / Multicast audio)";
    settings.clientRtpPort = 4020;
    settings.clientRtcpPort = 4021;
    settings.port = RtspPort();
    settings.blockSize = audio.rtpPacketSize;
    settings.path = "/axis-media/media.amp";
    if (!ProfileName().empty()) {
        settings.path += "?streamprofile=" + ProfileName();
    }
    return true;
}

bool CAxisAudioMulticastRTSPChannel::InitializeAudioParser(const MediaDescription& audio) {
    const AudioFormat format = AudioFormatOfMedia(audio);
    if (format.codec == 0) {
        driver_->DebugMessage(kLogError,
                              "vornak::CAxisAudioMulticastRTSPChannel::InitializeAudioParser: "
                              "Unable process audio stream from the device %s with the following "
                              "SDP information: payload=%u, encoding=\"%s\"",
                              driver_->GetDeviceInfo()->address.c_str(), audio.payloadType,
                              audio.encoding.c_str());
        return false;
    }
    CLockGuard guard(parserLock_);
    parser_.LoadFormat(format);
    return true;
}

bool CAxisAudioMulticastRTSPChannel::OnRtspDescribeProcessed(
    const SessionDescription& description) {
    if (!InitializeAudioParser(description.audio)) {
        return false;
    }
    selector_.SetPayloadType(description.audio.payloadType);
    if (!description.audio.connectionAddress.empty() && description.audio.port != 0) {
        return JoinGroup(description.audio.connectionAddress, description.audio.port);
    }
    return true;
}

bool CAxisAudioMulticastRTSPChannel::OnRtspSetupProcessed(const char* destination, uint16_t port) {
    const std::string& address = driver_->GetDeviceInfo()->address;
    if (destination == nullptr || *destination == '\0') {
        driver_->DebugMessage(kLogError,
                              "vornak::CAxisAudioMulticastRTSPChannel::OnRtspSetupProcessed: RTSP "
                              "SETUP response doesn't contain destination address. Multicast "
                              "audio stream cannot be started for %s",
                              address.c_str());
        return false;
    }
    if (port == 0) {
        driver_->DebugMessage(kLogError,
                              "vornak::CAxisAudioMulticastRTSPChannel::OnRtspSetupProcessed: RTSP "
                              "SETUP response doesn't contain streaming ports. Multicast audio "
                              "stream cannot be started for device %s",
                              address.c_str());
        return false;
    }
    if (receiver_.GetPort() == port) {
        return true;
    }
    return JoinGroup(destination, port);
}

void CAxisAudioMulticastRTSPChannel::ProcessPacket(const CRTPPacket& packet) {
    CLockGuard guard(parserLock_);
    if (!parser_.Parse(packet.payload)) {
        driver_->DebugMessage(kLogWarning,
                              "vornak::CAxisAudioMulticastRTSPChannel::ProcessPacket: Could not "
                              "parse audio packet (%u bytes) from device %s",
                              packet.payloadLength, driver_->GetDeviceInfo()->address.c_str());
    }
}

}  // namespace vornak
