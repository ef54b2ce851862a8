#include "multicast/multicast_channel.h"

#include <arpa/inet.h>

#include <algorithm>

#include "driver/settings_file.h"
#include "parsers/codec_table.h"
#include "web/field_search.h"
#include "web/http_sender.h"

namespace vornak {

const char* StreamKindWord(uint32_t stream, bool shortForm) {
    switch (stream) {
        case kStreamLive:
            return "Live";
        case kStreamRemote:
            return "Remote";
        default:
            return shortForm ? "Rec" : "Recording";
    }
}

CBaseMulticastRTSPChannel::CBaseMulticastRTSPChannel(uint32_t channel, IDriver* driver,
                                                     ipcapture::IFrameSink* sink)
    : CBaseRTPChannel(channel, driver, sink) {}

CBaseMulticastRTSPChannel::~CBaseMulticastRTSPChannel() {
    StopThread();
}

void CBaseMulticastRTSPChannel::ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) {
    clock_.Convert(rtpTimestamp);
    clock_.GetTime(time);
}

void CBaseMulticastRTSPChannel::PacketReceived(const sockaddr_in& sender,
                                               const CRTPPacket& packet) {
    const auto verdict = selector_.Take(sender.sin_addr.s_addr, packet);
    if (verdict == CMulticastSenderSelector::Verdict::kDrop) {
        return;
    }
    if (verdict == CMulticastSenderSelector::Verdict::kNewlyAccepted) {
        rtcp_->SetSourceSsrc(packet.ssrc);
        // Other senders are dropped from now on before they take a packet buffer.
        receiver_->SetPacketFilter(packet.payloadType, packet.ssrc);
        driver_->DebugMessage(kLogInfo,
                              "vornak::CBaseMulticastRTSPChannel::PacketReceived: Multicast video "
                              "SSRC=%.8X was started for %s stream from device %s",
                              ntohl(packet.ssrc), StreamKindWord(GetRequest().stream, false),
                              driver_->GetDeviceInfo()->address.c_str());
    }
    packetAccepted_.Set();
    rtcp_->AcceptRtp(packet);
    ProcessPacket(packet);
}

void CBaseMulticastRTSPChannel::OnRtspPacketReceived(const CRTPPacket& packet) {
    packetAccepted_.Set();
    rtcp_->AcceptRtp(packet);
    ProcessPacket(packet);
}

void CBaseMulticastRTSPChannel::OnRtspPlayProcessed(uint32_t rtpTime, uint16_t /*sequence*/) {
    if (const std::optional<uint32_t> ssrc = selector_.OnPlay(rtpTime)) {
        rtcp_->SetSourceSsrc(*ssrc);
        driver_->DebugMessage(kLogInfo,
                              "vornak::CBaseMulticastRTSPChannel::OnRtspPlayProcessed: Multicast "
                              "video SSRC=%.8X was started for %s stream from device %s",
                              ntohl(*ssrc), StreamKindWord(GetRequest().stream, false),
                              driver_->GetDeviceInfo()->address.c_str());
    }
}

bool CBaseMulticastRTSPChannel::JoinGroup(const std::string& destination, uint16_t port) {
    selector_.Reset(deviceIp_);
    clock_.Reset();
    if (destination.empty() || port == 0) {
        return false;
    }
    receiver_->SetUser(this);
    receiver_->SetSource(deviceIp_);
    receiver_->SetPacketFilter(0xFF, 0);
    receiver_->SetWakePerPicture(true);
    rtcp_->SetUser(this);
    packetAccepted_.Reset();
    byeReceived_.Reset();
    if (!stopEvent_.IsSet() && receiver_->OpenMulticast(destination, port, interfaceAddress_) &&
        rtcp_->OpenMulticast(deviceIp_, destination, static_cast<uint16_t>(port + 1))) {
        rtcp_->ExpectNewSource();
        // Hosts show the group beside the stream; the text is kept stable for them.
        driver_->DebugMessage(kLogInfo,
                              "vornak::CBaseMulticastRTSPChannel::JoinGroup: Multicast video of "
                              "channel %u stream %u arrives on group %s:%hu",
                              channel_, GetRequest().stream, destination.c_str(), port);
        return true;
    }
    receiver_->Close();
    rtcp_->Close();
    return false;
}

void CBaseMulticastRTSPChannel::TearDown() {
    std::unique_ptr<CRTSPClientMulticast> client;
    {
        CLockGuard guard(clientLock_);
        client = std::move(client_);
    }
    if (client) {
        client->Stop();
    }
    receiver_->Close();
    rtcp_->Close();
    selector_.Reset(deviceIp_);
    ResetParser();
}

bool CBaseMulticastRTSPChannel::StartSession() {
    if (stopEvent_.IsSet()) {
        return false;
    }
    RTSPClientSettings settings = ClientSettingsFor(*driver_->GetDeviceInfo());
    settings.proxy.clear();  // multicast is not carried through a proxy
    settings.mediaKind = 1;
    settings.multicast = 1;
    FillClientSettings(settings);
    sessionClosed_.Reset();
    auto client = std::make_unique<CRTSPClientMulticast>(driver_, driver_->GetDeviceName());
    const bool started = client->Start(settings, static_cast<IRTSPClientUserEx*>(this));
    CLockGuard guard(clientLock_);
    client_ = std::move(client);
    return started;
}

void CBaseMulticastRTSPChannel::ThreadFunction() {
    const uint32_t timeout = driver_->GetDeviceInfo()->connectionTimeout;
    lastFrameTime_.Touch();
    uint32_t delayMs = 10;
    while (!stopEvent_.IsSet()) {
        const uint64_t sinceFrame = lastFrameTime_.GetElapsedMs();
        const uint32_t state = GetStateValue();
        if (state == kStateRunning) {
            // A settings change (size or rate, from UpdateSettings) goes into the profile at the
            // next connection; a closed session or the camera's BYE ends the stream sooner than
            // the silence would tell.
            if (settingsUpdated_.Wait(0) || sessionClosed_.IsSet() || byeReceived_.IsSet()) {
                SetState(kStateSignalLost);
                delayMs = 10;
            } else if (sinceFrame < timeout / 2) {
                if (!CheckProfile()) {
                    SetState(kStateSignalLost);
                    delayMs = 10;
                }
            } else {
                SetState(kStateSignalLost);
            }
        } else if (state == kStateSignalLost) {
            if (sinceFrame >= timeout) {
                OnSignalLost();
                SetCameraState(false);
            }
            TearDown();
            if (!ConfigureChannel() || !StartSession()) {
                // At least this long, so that a refusing camera is not asked again and again.
                delayMs = 2000;
            } else {
                CEvent* events[] = {&stopEvent_, &packetAccepted_, &sessionClosed_};
                const int woken = CEvent::WaitForMultiple(events, 3, timeout / 2);
                if (woken == 1) {
                    SetState(kStateRunning);
                    delayMs = 2000;
                } else {
                    delayMs = woken == 2 ? 4000 : 10;
                }
            }
        } else {
            SetState(kStateSignalLost);
            delayMs = 10;
        }
        stopEvent_.Wait(delayMs);
    }
    TearDown();
    SetState(kStateStopped);
    SetCameraState(false);
}

CAxisMulticastChannelRTSP::CAxisMulticastChannelRTSP(uint32_t channel, IDriver* driver,
                                                     ipcapture::IFrameSink* sink, uint32_t format)
    : CAxisCommonChannel(driver, channel),
      CBaseMulticastRTSPChannel(channel, driver, sink),
      CAxisProfileManager(driver, DeviceLabel(false)),
      format_(format),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 Web::CHttpSender::kDefaultUserAgent)),
      requests_(*sender_, *driver, *this, "vornak::CAxisMulticastChannelRTSP::RequestGet") {
    sender_->SetCancelEvent(&stopEvent_);
}

CAxisMulticastChannelRTSP::~CAxisMulticastChannelRTSP() {
    StopThread();
}

bool CAxisMulticastChannelRTSP::RequestGet(const std::string& url, std::string& response) {
    if (stopEvent_.IsSet()) {
        return false;
    }
    return requests_.Get(url, response);
}

void CAxisMulticastChannelRTSP::GetDesiredParameters(ProfileParams& params) {
    const VideoCaptureRequest request = GetRequest();
    params.clear();
    // Without a size the camera keeps its own default.
    if (request.width != 0 && request.height != 0) {
        params.emplace_back("resolution", GetResolutionText(request.width, request.height));
    }
    params.emplace_back("compression",
                        std::to_string(100 - std::min<uint32_t>(request.quality, 100)));
    params.emplace_back("videobitrate", "0");
    if (request.frameRate != 0) {
        const std::string fps = std::to_string(FramesPerSecond(request.frameRate));
        params.emplace_back("fps", fps);
        if (format_ != kCodecJpeg) {
            params.emplace_back("videokeyframeinterval", fps);
        }
    }
    const CodecInfo* codec = FindCodec(format_);
    params.emplace_back("videocodec", codec != nullptr ? codec->name : "h264");
    const uint32_t sources = driver_->GetVideoChannelCount();
    const uint32_t streamCamera = driver_->GetStreamCamera(request.stream);
    if (sources >= 2) {
        params.emplace_back("camera", std::to_string(channel_ + 1));
    } else if (streamCamera != 0) {
        params.emplace_back("camera", std::to_string(streamCamera));
    }
}

std::string CAxisMulticastChannelRTSP::GetDefaultProfileName() {
    return Format("Vorn%.2u%s", channel_ + 1, StreamKindWord(GetRequest().stream, true));
}

std::string CAxisMulticastChannelRTSP::GetProfileDescription() {
    std::string text = std::string("Multicast%20profile%20for%20") +
                       StreamKindWord(GetRequest().stream, false) + "%20stream";
    if (driver_->GetVideoChannelCount() > 1) {
        text += Format("%%20for%%20channel%%20%%23%u", channel_ + 1);
    }
    return text + "%20%28created%20by%20Vornak%20VMS%29";
}

bool CAxisMulticastChannelRTSP::ConfigureChannel() {
    clock_.Reset();
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    const StreamSettings settings =
        ReadStreamSettings(driver_->GetHostFolder(), device, channel_ + 1, GetRequest().stream);
    interfaceAddress_ = settings.networkInterface;
    {
        CLockGuard guard(lock_);
        blockSize_ = settings.rtpPacketSize;
    }
    // Only the primary client of a multicast stream changes the camera; the others take it as
    // it is.
    const bool manages = settings.streamingMode == kStreamingMulticastPrimary;
    std::string list;
    if (!RequestGet("/axis-cgi/param.cgi?action=list&group=StreamProfile,Network.RTSP", list) ||
        !ProcessRTSPConfiguration(
            list, manages, "vornak::CAxisMulticastChannelRTSP::ProcessRTSPConfiguration", "")) {
        return false;
    }
    profileCheck_.Touch();
    if (manages) {
        return UpdateStreamProfile(settings.profileName, list);
    }
    return VerifyStreamProfile(settings.profileName, list, "RTSP multicast video");
}

void CAxisMulticastChannelRTSP::FillClientSettings(RTSPClientSettings& settings) {
    const uint32_t stream = GetRequest().stream;
    settings.userAgent = std::string("Vornak RTSP Client (Axis v2.5.x / ") +
                         StreamKindWord(stream, false) + " multicast video)";
    settings.clientRtpPort = static_cast<uint16_t>((stream + 2000) * 2);
    settings.clientRtcpPort = static_cast<uint16_t>(settings.clientRtpPort + 1);
    if (RtspPort() != 0) {
        settings.port = RtspPort();
    }
    settings.path = "/axis-media/media.amp";
    if (!ProfileName().empty()) {
        settings.path += "?streamprofile=" + ProfileName();
    }
    CLockGuard guard(lock_);
    settings.blockSize = blockSize_;
}

bool CAxisMulticastChannelRTSP::CheckProfile() {
    const uint32_t limit = driver_->GetDeviceInfo()->networkTimeout;
    if (ProfileGroup().empty() || profileCheck_.GetElapsedMs() <= limit) {
        return true;
    }
    profileCheck_.Touch();
    const std::string key = ProfileGroup() + ".Parameters";
    std::string list;
    if (!RequestGet("/axis-cgi/param.cgi?action=list&group=" + key, list)) {
        return true;  // a missed answer is not a changed profile; silence ends a dead stream
    }
    const std::string now = GetParameterValue(list, key);
    if (ProfileParameters().empty()) {
        RememberParameters(now);
        return true;
    }
    if (now == ProfileParameters()) {
        return true;
    }
    Log(kLogInfo,
        "vornak::CAxisMulticastChannelRTSP::CheckProfile: The '%s' profile was changed on %s; "
        "the multicast stream is restarted",
        ProfileName().c_str(), deviceText_.c_str());
    return false;
}

bool CAxisMulticastChannelRTSP::InitializeVideoParser(const MediaDescription& video,
                                                      const ParameterSets& parameterSets) {
    const std::string encoding = ToLower(video.encoding);
    uint32_t format = 0;
    if (video.payloadType == 26 || encoding.starts_with("jpeg")) {
        format = kCodecJpeg;
    } else if (encoding.starts_with("h264")) {
        format = kCodecH264;
    } else if (encoding.starts_with("mpeg4") || encoding.starts_with("mp4v")) {
        format = kCodecMpeg4;
    }
    const CodecInfo* codec = FindCodec(format);
    if (codec == nullptr) {
        driver_->DebugMessage(kLogError,
                              "vornak::CAxisMulticastChannelRTSP::InitializeVideoParser: Unable "
                              "process video stream from the %s with the following SDP "
                              "information: payload=%u, encoding='%s'",
                              deviceText_.c_str(), video.payloadType, video.encoding.c_str());
        return false;
    }
    std::unique_ptr<CRTPMediaParser> parser = codec->makeParser(driver_);
    parser->SetClient(this);
    parser->SetParameterSets(parameterSets);
    CLockGuard guard(parserLock_);
    parser_ = std::move(parser);
    return true;
}

bool CAxisMulticastChannelRTSP::OnRtspDescribeProcessed(const SessionDescription& description) {
    if (!InitializeVideoParser(description.video, description.parameterSets)) {
        return false;
    }
    selector_.SetPayloadType(description.video.payloadType);
    if (!description.video.connectionAddress.empty() && description.video.port != 0) {
        return JoinGroup(description.video.connectionAddress, description.video.port);
    }
    return true;
}

bool CAxisMulticastChannelRTSP::OnRtspSetupProcessed(const char* destination, uint16_t port) {
    if (destination == nullptr || *destination == '\0') {
        driver_->DebugMessage(kLogError,
                              "vornak::CAxisMulticastChannelRTSP::OnRtspSetupProcessed: RTSP SETUP "
                              "response doesn't contain destination address. Multicast video "
                              "stream cannot be started for %s",
                              deviceText_.c_str());
        return false;
    }
    if (port == 0) {
        driver_->DebugMessage(kLogError,
                              "vornak::CAxisMulticastChannelRTSP::OnRtspSetupProcessed: RTSP SETUP "
                              "response doesn't contain streaming ports. Multicast video stream "
                              "cannot be started for device %s",
                              deviceText_.c_str());
        return false;
    }
    if (receiver_->GetPort() == port) {
        return true;
    }
    receiver_->Close();
    rtcp_->Close();
    return JoinGroup(destination, port);
}

void CAxisMulticastChannelRTSP::ProcessPacket(const CRTPPacket& packet) {
    CLockGuard guard(parserLock_);
    if (parser_) {
        parser_->ProcessPacket(packet);
    }
}

void CAxisMulticastChannelRTSP::ResetParser() {
    CLockGuard guard(parserLock_);
    if (parser_) {
        parser_->Reset();
    }
}

void CAxisMulticastChannelRTSP::OnStopRequested() {
    sender_->Abort();
}

}  // namespace vornak
