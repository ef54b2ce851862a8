#include "channels/rtsp_channel.h"

#include <algorithm>

#include "base/text.h"
#include "driver/settings_file.h"
#include "platform/host_info.h"
#include "platform/net.h"
#include "privacy/privacy_zone_handler.h"
#include "properties/capabilities.h"
#include "rtsp/rtsp_http_tunnel.h"
#include "rtsp/rtsp_transports.h"
#include "web/field_search.h"
#include "web/request_utils.h"

namespace vornak {

namespace {

const char* CodecName(uint32_t format) {
    const CodecInfo* codec = FindCodec(format);
    return codec != nullptr ? codec->name : "h264";
}
}  // namespace

std::string RtspMediaPath(const MediaPathInput& in) {
    if (in.apiVersion < 3) {
        if (in.codec == kCodecMpeg4) {
            return Format("/mpeg4/%u/media.amp", in.channel + 1);
        }
        return std::string("/axis-media/media.amp?videocodec=") + CodecName(in.codec);
    }
    const VideoCaptureRequest& r = in.request;
    std::string path = std::string("/axis-media/media.amp?videocodec=") + CodecName(in.codec);
    // A request without a size leaves the camera's own default; "0x0" would be refused.
    if (r.width != 0 && r.height != 0) {
        path += "&resolution=" + in.resolutionText;
    }
    path += Format("&compression=%u&videobitrate=0", 100 - std::min<uint32_t>(r.quality, 100));
    if (r.frameRate != 0) {
        const uint32_t fps = FramesPerSecond(r.frameRate);
        path += Format("&fps=%u&videokeyframeinterval=%u", fps, fps);
    }
    if (in.videoInputs > 1) {
        path += Format("&camera=%u", in.channel + 1);
    } else if (in.streamCamera != 0) {
        path += Format("&camera=%u", in.streamCamera);
    }
    return path + "&duration=0&audio=0";
}

std::vector<std::string> StreamParameterLines(const VideoCaptureRequest& request,
                                              const std::string& resolutionText) {
    const uint32_t fps = FramesPerSecond(request.frameRate);
    std::vector<std::string> lines;
    lines.push_back(
        Format("&Image.I0.MPEG.ICount=1&Image.I0.MPEG.PCount=%u", fps > 0 ? fps - 1 : 0));
    lines.emplace_back("&Image.I0.MPEG.ProfileLevel=247");
    if (request.width != 0 && request.height != 0) {
        lines.push_back("&Image.I0.Appearance.Resolution=" + resolutionText);
    }
    return lines;
}

std::string FrameRateLine(uint32_t fps) {
    return Format(
        "&Image.I0.Stream.Duration=0&Image.I0.Stream.FPS=%u&Image.I0.RateControl.Mode=vbr", fps);
}

uint16_t RtspPortOf(std::string_view reply) {
    const uint32_t port = ParseDecimal(GetParameterValue(reply, "Network.RTSP.Port")).value_or(0);
    return port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
}

bool ParameterUpdateAccepted(uint32_t status, std::string_view reply) {
    if (status < 200 || status > 299) {
        return false;
    }
    const size_t first = reply.find_first_not_of(" \t\r\n");
    return reply.find("Error") == std::string_view::npos &&
           (first == std::string_view::npos || reply[first] != '#');
}

std::string ForChannel(std::string line, uint32_t channel) {
    if (channel == 0) {
        return line;
    }
    const std::string replacement = Format(".I%u.", channel);
    for (size_t at = line.find(".I0."); at != std::string::npos;
         at = line.find(".I0.", at + replacement.size())) {
        line.replace(at, 4, replacement);
    }
    return line;
}

CBaseRTPChannel::CBaseRTPChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink)
    : CBaseCameraChannel(channel, driver, sink),
      deviceIp_(platform::ResolveIPv4(driver->GetDeviceInfo()->address)),
      receiver_(std::make_unique<CRTPReceiver>(driver)),
      rtcp_(std::make_unique<CRTCPHandler>(driver)) {}

CBaseRTPChannel::~CBaseRTPChannel() {
    StopThread();
}

bool CBaseRTPChannel::UpdateSettings(const VideoCaptureRequest* request) {
    if (TakeSizeAndRate(request)) {
        settingsUpdated_.Set();
    }
    return true;
}

bool CBaseRTPChannel::FrameReady(ipcapture::IVideoFrame* frame) {
    if (!frameSignalled_.exchange(true, std::memory_order_acq_rel)) {
        frameReceived_.Set();
    }
    if (!SendFrameCallback(frame)) {
        return false;
    }
    lastFrameTime_.Touch();
    SetCameraState(true);
    return true;
}

Size CBaseRTPChannel::GetRequestedSize() {
    const VideoCaptureRequest request = GetRequest();
    return {request.width, request.height};
}

std::string CBaseRTPChannel::GetStreamName() {
    return StreamName(driver_->GetDriverName(), GetRequest().stream);
}

void CBaseRTPChannel::PacketReceived(const sockaddr_in& sender, const CRTPPacket& packet) {
    // Anyone can send to our ports: only the camera's packets, of the session's sender, count.
    if (deviceIp_ == 0 || sender.sin_addr.s_addr != deviceIp_) {
        return;
    }
    if (rtcp_->AcceptRtp(packet)) {
        ProcessPacket(packet);
    }
}

Size CBaseRTPChannel::GetResolution() {
    Size seen;
    {
        CLockGuard guard(parserLock_);
        seen = parser_ ? parser_->GetPictureSize() : Size{};
    }
    if (seen.width != 0 && seen.height != 0) {
        return seen;
    }
    return CBaseCameraChannel::GetResolution();
}

bool CBaseRTPChannel::OpenStream() {
    // "RTPoverTCP" runs a UDP session like "RTPoverUDP" and needs the same ports.
    const uint32_t mode = rtpMode_;
    if (mode != kRtpOverUdp && mode != kRtpOverTcp) {
        return true;
    }
    receiver_->Close();
    receiver_->SetUser(this);
    // Datagrams of other hosts are dropped before they take a packet buffer.
    receiver_->SetSource(deviceIp_);
    receiver_->SetWakePerPicture(true);
    for (uint32_t port = kFirstRtpPort; port <= kLastRtpPort; port += 2) {
        if (stopEvent_.IsSet()) {
            return false;
        }
        if (!receiver_->Open(static_cast<uint16_t>(port))) {
            continue;
        }
        // Give a port shared by another process the chance to show itself before RTCP.
        if (stopEvent_.Wait(250)) {
            receiver_->Close();
            return false;
        }
        if (rtcp_->Open(deviceIp_, static_cast<uint16_t>(port + 1))) {
            return true;
        }
        receiver_->Close();
        rtcp_->Close();
    }
    return false;
}

void CBaseRTPChannel::CloseStream() {
    receiver_->Close();
    rtcp_->Close();
    // Once per connection that was made, not per failed attempt while the camera is away.
    if (connected_.exchange(false)) {
        platform::ReleaseFreeMemory();
    }
}

bool CBaseRTPChannel::Connect() {
    CloseStream();
    if (!driver_->GetDeviceInfo()->proxy.empty()) {
        rtpMode_ = kRtpOverHttp;
    }
    frameReceived_.Reset();
    frameSignalled_ = false;
    if (PrepareDevice() && OpenStream()) {
        connected_ = true;
        return true;
    }
    CloseStream();
    return false;
}

void CBaseRTPChannel::ThreadFunction() {
    const uint32_t timeout = driver_->GetDeviceInfo()->connectionTimeout;
    lastFrameTime_.Touch();
    bool reconnect = false;
    while (true) {
        if (GetStateValue() != kStateRunning || reconnect) {
            reconnect = false;
            if (Connect()) {
                CEvent* events[] = {&stopEvent_, &frameReceived_};
                if (CEvent::WaitForMultiple(events, 2, timeout) == 1) {
                    SetState(kStateRunning);
                }
            }
        } else if (keepAliveTimer_.GetElapsedMs() > keepAliveIntervalMs_) {
            KeepAlive();
            keepAliveTimer_.Touch();
        }
        CEvent* events[] = {&stopEvent_, &settingsUpdated_};
        const int woken = CEvent::WaitForMultiple(events, 2, 1000);
        if (woken == 0 || stopEvent_.IsSet()) {
            break;
        }
        if (woken == 1) {
            reconnect = !ApplySettingsUpdate();
            continue;
        }
        const uint64_t sinceFrame = lastFrameTime_.GetElapsedMs();
        if (sinceFrame >= timeout / 2 && !IsPaused()) {
            SetState(kStateSignalLost);
            if (sinceFrame >= timeout) {
                OnSignalLost();
                SetCameraState(false);
            }
        }
    }
    CloseStream();
    SetState(kStateStopped);
    SetCameraState(false);
}

CBaseRTSPChannel::CBaseRTSPChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink)
    : CBaseRTPChannel(channel, driver, sink) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
    StopThread();
}

bool CBaseRTSPChannel::Pause() {
    CLockGuard guard(clientLock_);
    if (client_) {
        client_->RequestPause();
    }
    return true;
}

bool CBaseRTSPChannel::Resume() {
    clock_.Reset();
    CLockGuard guard(clientLock_);
    if (client_) {
        client_->RequestPlay();
    }
    return true;
}

bool CBaseRTSPChannel::IsPaused() {
    CLockGuard guard(clientLock_);
    return client_ && client_->IsPaused();
}

void CBaseRTSPChannel::ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) {
    clock_.Convert(rtpTimestamp);
    clock_.GetTime(time);
}

void CBaseRTSPChannel::OnRtspPacketReceived(const CRTPPacket& packet) {
    ProcessPacket(packet);
}

bool CBaseRTSPChannel::OpenStream() {
    rtcp_->SetUser(this);
    if (!CBaseRTPChannel::OpenStream()) {
        return false;
    }
    // The session starts outside the client lock: a slow camera must not hold up the host's
    // pause, resume and state calls.
    std::unique_ptr<CBaseRTSPClient> client;
    {
        CLockGuard guard(clientLock_);
        client = std::move(client_);
    }
    if (!client) {
        const std::string owner = driver_->GetDeviceName();
        switch (rtpMode_.load()) {
            case kRtpOverRtsp:
                client = std::make_unique<CRTSPClientInterleaved>(driver_, owner);
                break;
            case kRtpOverHttp:
                client = std::make_unique<CRTSPClientHTTP>(driver_, owner);
                break;
            default:
                client = std::make_unique<CRTSPClientUDP>(driver_, owner);
                break;
        }
    }
    const bool started = StartSession(*client);
    CLockGuard guard(clientLock_);
    client_ = std::move(client);
    return started;
}

bool CBaseRTSPChannel::StartSession(CBaseRTSPClient& client) {
    if (stopEvent_.IsSet()) {
        return false;
    }
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    RTSPClientSettings settings = ClientSettingsFor(device);
    settings.clientRtpPort = receiver_->GetBoundPort();
    settings.clientRtcpPort = rtcp_->GetBoundPort();
    settings.cancel = &stopEvent_;
    FillClientSettings(settings);
    if (rtpMode_ == kRtpOverHttp) {
        settings.port = static_cast<uint16_t>(device.port);
    }
    return client.Start(settings, this);
}

void CBaseRTSPChannel::CloseStream() {
    std::unique_ptr<CBaseRTSPClient> client;
    {
        CLockGuard guard(clientLock_);
        client = std::move(client_);
    }
    if (client) {
        client->Stop();
        client.reset();
    }
    CBaseRTPChannel::CloseStream();
    // Ends the session's picture and reports what it received.
    ResetParser();
}

CAxisCommonChannelRTSP::CAxisCommonChannelRTSP(uint32_t channel, IDriver* driver,
                                               ipcapture::IFrameSink* sink, const CodecInfo& codec)
    : CAxisCommonChannel(driver, channel),
      CBaseRTSPChannel(channel, driver, sink),
      sender_(std::make_unique<Web::CHttpSender>(*driver->GetDeviceInfo(),
                                                 Web::CHttpSender::kDefaultUserAgent)),
      codec_(codec) {
    parser_ = codec.makeParser(driver);
    parser_->SetClient(this);
    // A stop that aborts between the stop check and the next request still cancels it.
    sender_->SetCancelEvent(&stopEvent_);
}

CAxisCommonChannelRTSP::~CAxisCommonChannelRTSP() {
    StopThread();
}

bool CAxisCommonChannelRTSP::Start(const VideoCaptureRequest* request) {
    if (codec_.mustBeListed) {
        Stop();  // the request below runs with no capture thread of this channel
        stopEvent_.Reset();
        if (!CameraOffersCodec()) {
            return false;
        }
    }
    return CBaseCameraChannel::Start(request);
}

bool CAxisCommonChannelRTSP::CameraOffersCodec() {
    static constexpr const char* kKey = "Properties.Image.Format";
    const HUtils::Reply reply =
        HUtils::Get(*sender_, std::string("/axis-cgi/admin/param.cgi?action=list&group=") + kKey);
    if (!reply.Ok()) {
        return true;  // unknown: the capture thread meets and reports whatever is wrong
    }
    const std::string formats = GetParameterValue(reply.body, kKey);
    for (const std::string& format : SplitList(formats, ',')) {
        if (EqualsNoCase(format, codec_.name)) {
            return true;
        }
    }
    driver_->DebugMessage(kLogError, "%s: %s does not offer %s (%s=%s); the stream is not started",
                          "vornak::CAxisCommonChannelRTSP::Start", DeviceLabel(true).c_str(),
                          codec_.encoding, kKey, formats.c_str());
    return false;
}

void CAxisCommonChannelRTSP::ApplyCaptureSettings(ipcapture::ICaptureSettings* settings) {
    if (GetRequest().stream == kStreamRecording && settings != nullptr) {
        privacyZones_->SetZones(settings->GetPrivacyZones());
    }
}

bool CAxisCommonChannelRTSP::OnRtspDescribeProcessed(const SessionDescription& description) {
    // Every session, a restart without the camera's BYE included, may have a new sender.
    rtcp_->ExpectNewSource();
    CLockGuard guard(parserLock_);
    parser_->SetParameterSets(description.parameterSets);
    return true;
}

void CAxisCommonChannelRTSP::ProcessPacket(const CRTPPacket& packet) {
    CLockGuard guard(parserLock_);
    parser_->ProcessPacket(packet);
}

void CAxisCommonChannelRTSP::ResetParser() {
    CLockGuard guard(parserLock_);
    // One line per session that carried packets, so a log shows whether a stream lost any.
    const MediaParserStats& now = parser_->Stats();
    if (now.packets != reported_.packets) {
        auto since = [](uint64_t a, uint64_t b) { return static_cast<unsigned long long>(a - b); };
        driver_->DebugMessage(
            now.gaps != reported_.gaps ? kLogWarning : kLogInfo,
            "%s: RTP session of %s ended: %llu packets, %llu gaps, %llu late, %llu duplicates, "
            "%llu frames delivered, %llu dropped",
            "vornak::CAxisCommonChannelRTSP::ResetParser", DeviceLabel(true).c_str(),
            since(now.packets, reported_.packets), since(now.gaps, reported_.gaps),
            since(now.late, reported_.late), since(now.duplicates, reported_.duplicates),
            since(now.framesDelivered, reported_.framesDelivered),
            since(now.framesDropped, reported_.framesDropped));
        reported_ = now;
    }
    parser_->Reset();
}

void CAxisCommonChannelRTSP::OnStopRequested() {
    sender_->Abort();
    privacyZones_->Abort();
}

std::string CAxisCommonChannelRTSP::BuildMediaPath() {
    MediaPathInput in;
    in.codec = codec_.format;
    in.apiVersion = driver_->GetApiVersion();
    in.request = GetRequest();
    in.channel = channel_;
    in.videoInputs = driver_->GetVideoChannelCount();
    in.streamCamera = driver_->GetStreamCamera(in.request.stream);
    in.resolutionText = GetResolutionText(in.request.width, in.request.height);
    return RtspMediaPath(in);
}

void CAxisCommonChannelRTSP::FillClientSettings(RTSPClientSettings& settings) {
    settings.path = BuildMediaPath();
    CLockGuard guard(lock_);
    settings.blockSize = blockSize_;
    if (rtspPort_ != 0) {
        settings.port = rtspPort_;
    }
}

CAxisCommonChannelRTSP::LineResult CAxisCommonChannelRTSP::SendParameterLine(
    const std::string& line) {
    if (stopEvent_.IsSet()) {
        return LineResult::kNoAnswer;
    }
    const HUtils::Reply reply = HUtils::Get(
        *sender_, "/axis-cgi/operator/param.cgi?action=update" + ForChannel(line, channel_));
    if (!reply.answered) {
        return LineResult::kNoAnswer;
    }
    return ParameterUpdateAccepted(reply.status, reply.body) ? LineResult::kAccepted
                                                             : LineResult::kRefused;
}

bool CAxisCommonChannelRTSP::ConfigureStreamParameters() {
    static constexpr const char* kMethod =
        "vornak::CAxisCommonChannelRTSP::ConfigureStreamParameters";
    const VideoCaptureRequest request = GetRequest();
    // Models differ in which of these settings they know; one they refuse leaves the camera's
    // own value, and the stream still runs.
    auto sendSetting = [&](const std::string& line) {
        const LineResult result = SendParameterLine(line);
        if (result == LineResult::kRefused) {
            driver_->DebugMessage(kLogWarning, "%s: %s refused the stream setting \"%s\"", kMethod,
                                  DeviceLabel(true).c_str(), line.c_str());
        }
        return result != LineResult::kNoAnswer;
    };
    for (const std::string& line :
         StreamParameterLines(request, GetResolutionText(request.width, request.height))) {
        if (!sendSetting(line)) {
            return false;
        }
    }
    if (request.frameRate != 0) {
        // A camera that refuses a rate may accept a lower one. Intervals longer than a second
        // come out as 0 frames per second; the slowest rate a camera takes is 1.
        const uint32_t first = std::max<uint32_t>(FramesPerSecond(request.frameRate), 1);
        LineResult result = LineResult::kRefused;
        for (uint32_t fps = first; fps >= 1 && result == LineResult::kRefused; --fps) {
            result = SendParameterLine(FrameRateLine(fps));
        }
        if (result == LineResult::kRefused) {
            driver_->DebugMessage(kLogError,
                                  "%s: %s refused every frame rate from %u fps down to 1 fps",
                                  kMethod, DeviceLabel(true).c_str(), first);
        }
        if (result != LineResult::kAccepted) {
            return false;
        }
    }
    if (request.quality != 0) {
        return sendSetting(Format("&Image.I0.Appearance.Compression=%u",
                                  100 - std::min<uint32_t>(request.quality, 100)));
    }
    return true;
}

void CAxisCommonChannelRTSP::ReadRtspPort() {
    if (stopEvent_.IsSet()) {
        return;
    }
    const HUtils::Reply reply =
        HUtils::Get(*sender_, "/axis-cgi/admin/param.cgi?action=list&group=Network.RTSP.Port");
    const uint16_t port = RtspPortOf(reply.body);
    if (port != 0 && !stopEvent_.IsSet()) {
        CLockGuard guard(lock_);
        rtspPort_ = port;
    }
}

bool CAxisCommonChannelRTSP::PrepareDevice() {
    bool ok = true;
    const VideoCaptureRequest request = GetRequest();
    if (request.stream == kStreamRecording) {
        const Size size = GetResolution();
        if (size.width > 0 && size.height > 0) {
            ok = privacyZones_->ApplyPrivacyZones(size.width, size.height);
        }
    }
    if (ok && driver_->GetApiVersion() < 3) {
        ok = ConfigureStreamParameters();
    } else if (ok) {
        const DEVICE_INFO& device = *driver_->GetDeviceInfo();
        const StreamSettings stream =
            ReadStreamSettings(driver_->GetHostFolder(), device, channel_ + 1, request.stream);
        rtpMode_ = device.proxy.empty() ? stream.rtpMode : kRtpOverHttp;
        CLockGuard guard(lock_);
        blockSize_ = stream.rtpPacketSize;
    }
    if (ok) {
        ReadRtspPort();
    }
    ResetParser();
    clock_.Reset();
    return ok;
}

bool CAxisCommonChannelRTSP::ApplySettingsUpdate() {
    if (GetStateValue() != kStateRunning || driver_->GetApiVersion() < 3) {
        return false;
    }
    // Stopped and restarted outside the client lock, as in OpenStream.
    std::unique_ptr<CBaseRTSPClient> client;
    {
        CLockGuard guard(clientLock_);
        client = std::move(client_);
    }
    if (!client) {
        return false;
    }
    client->Stop();
    clock_.Reset();
    ResetParser();
    const bool started = StartSession(*client);
    CLockGuard guard(clientLock_);
    client_ = std::move(client);
    return started;
}

}  // namespace vornak
