#include "rtsp/rtsp_client.h"

#include <algorithm>

#include "web/codec.h"

namespace vornak {

namespace {
constexpr const char* kDefaultUserAgent = "Vornak RTSP Client (Axis v2.5.x)";
constexpr uint32_t kMinBlockSize = 101;
}  // namespace

RTSPClientSettings ClientSettingsFor(const DEVICE_INFO& device) {
    RTSPClientSettings settings;
    settings.host = device.address;
    settings.proxy = device.proxy;
    settings.userName = device.userName;
    settings.password = device.password;
    settings.connectTimeoutMs = device.networkTimeout;
    settings.receiveTimeoutMs = device.networkTimeout;
    return settings;
}

CBaseRTSPClient::CBaseRTSPClient(IDebugMessage* debug, std::string ownerName,
                                 uint32_t transportKind)
    : CBaseThread(debug),
      ownerName_(std::move(ownerName)),
      transportKind_(transportKind),
      clock_(&SystemStreamClock()) {}

CBaseRTSPClient::~CBaseRTSPClient() {
    CBaseRTSPClient::Stop();
}

bool CBaseRTSPClient::SendRequest(uint32_t /*method*/) {
    return true;
}

bool CBaseRTSPClient::Start(const RTSPClientSettings& settings, IRTSPClientUser* user) {
    parser_.Reset();
    user_ = user;
    settings_ = settings;
    keepAliveMethod_ = kRtspGetParameter;
    lastKeepAliveMs_ = lastReportMs_ = clock_->TickMs();
    {
        CLockGuard guard(statsLock_);
        stats_ = CReceptionStats{};
        sourceSsrc_ = 0;
        SystemRandomSource().Fill(&ownSsrc_, sizeof(ownSsrc_));
    }
    return StartThread(Format("RTSP Client Thread (%s)", ownerName_.c_str()));
}

uint32_t CBaseRTSPClient::StopWaitMs() const {
    return 2 * std::max(settings_.sendTimeoutMs, settings_.receiveTimeoutMs) + 1000;
}

bool CBaseRTSPClient::Stop() {
    return StopThread(StopWaitMs());
}

const MediaDescription& CBaseRTSPClient::SelectedTrack() const {
    switch (settings_.mediaKind) {
        case 2:
            return parser_.description.audio;
        case 3:
            return parser_.description.metadata;
        default:
            return parser_.description.video;
    }
}

std::string CBaseRTSPClient::BaseUrl() const {
    if (parser_.contentBase.find("rtsp://") != std::string::npos) {
        return parser_.contentBase;
    }
    std::string_view path = settings_.path;
    while (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    return Format("rtsp://%s:%u/", settings_.host.c_str(), settings_.port) + std::string(path);
}

std::string CBaseRTSPClient::TrackUrl() const {
    const std::string& control = SelectedTrack().control;
    if (control.find("://") != std::string::npos) {
        return control;
    }
    std::string url = BaseUrl();
    if (!control.empty()) {
        if (!url.empty() && url.back() == '/') {
            url.pop_back();
        }
        if (control.front() != '/') {
            url.push_back('/');
        }
        url += control;
    }
    return url;
}

std::string CBaseRTSPClient::TransportLine() const {
    const MediaDescription& track = SelectedTrack();
    const bool multicast = transportKind_ == kTransportUdp && settings_.multicast != 0;
    std::string line = "Transport: ";
    if (!track.transport.empty() && track.transport != "RTP/AVP") {
        line += track.transport;
    } else {
        line += transportKind_ == kTransportUdp ? "RTP/AVP/UDP" : "RTP/AVP/TCP";
    }
    line += multicast ? ";multicast" : ";unicast";
    if (transportKind_ != kTransportUdp) {
        line += ";interleaved=0-1";
    } else if (multicast && track.port != 0) {
        line += Format(";client_port=%u-%u", track.port, track.port + 1u);
    } else {
        line += Format(";client_port=%u-%u", settings_.clientRtpPort, settings_.clientRtcpPort);
    }
    return line + "\r\n";
}

// The Digest response covers the URL of the request it goes with, so that servers which check
// the uri against the request line accept SETUP of a track URL too.
std::string CBaseRTSPClient::AuthorizationLine(uint32_t method, const std::string& url) const {
    if (settings_.authMode == kRtspAuthBasic) {
        const std::string credentials =
            Web::EncodeCredentials(settings_.userName, settings_.password);
        return credentials.empty() ? std::string{} : "Authorization: Basic " + credentials + "\r\n";
    }
    if (settings_.authMode != kRtspAuthDigest || parser_.authScheme != kRtspAuthDigest ||
        parser_.realm.empty() || parser_.nonce.empty() || settings_.userName.empty() ||
        settings_.password.empty() || url.empty()) {
        return {};
    }
    const std::string_view name = RtspMethodName(method);
    const std::string ha1 =
        Web::MD5Hex(settings_.userName + ":" + parser_.realm + ":" + settings_.password);
    const std::string ha2 = Web::MD5Hex(std::string(name) + ":" + url);
    const std::string response = Web::MD5Hex(ha1 + ":" + parser_.nonce + ":" + ha2);
    return Format(
        "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
        "response=\"%s\"\r\n",
        settings_.userName.c_str(), parser_.realm.c_str(), parser_.nonce.c_str(), url.c_str(),
        response.c_str());
}

std::string CBaseRTSPClient::BuildRequest(uint32_t method) {
    const std::string_view name = RtspMethodName(method);
    const std::string url = method == kRtspSetup ? TrackUrl() : BaseUrl();
    std::string request = std::string(name) + " " + url + " RTSP/1.0\r\n";
    request += Format("CSeq: %u\r\n", ++parser_.cseq);
    request += AuthorizationLine(method, url);
    request += "User-Agent: ";
    request += settings_.userAgent.empty() ? kDefaultUserAgent : settings_.userAgent;
    request += "\r\n";
    const std::string session =
        parser_.sessionId.empty() ? std::string{} : "Session: " + parser_.sessionId + "\r\n";
    const std::string range =
        "Range: " + (settings_.range.empty() ? std::string("npt=0.000-") : settings_.range) +
        "\r\n";
    switch (method) {
        case kRtspDescribe:
            request += "Accept: application/sdp\r\n";
            break;
        case kRtspSetup:
            request += TransportLine();
            if (settings_.blockSize >= kMinBlockSize) {
                request += Format("Blocksize: %u\r\n", settings_.blockSize);
            }
            break;
        case kRtspPlay:
        case kRtspPause:
            request += session + range;
            break;
        case kRtspTeardown:
        case kRtspGetParameter:
        case kRtspOptions:
            request += session;
            break;
        default:
            break;
    }
    return request + "\r\n";
}

bool CBaseRTSPClient::ExecuteRequest(uint32_t method) {
    if (stopEvent_.IsSet() && method != kRtspTeardown) {
        return false;
    }
    bool result = SendRequest(method);
    if (!result) {
        return false;
    }
    if (parser_.status == 401 && parser_.authScheme != kRtspAuthNone &&
        parser_.authScheme != settings_.authMode) {
        settings_.authMode = parser_.authScheme;
        result = SendRequest(method);
    }
    return result && parser_.status / 100 == 2;
}

bool CBaseRTSPClient::NotifyDescribe() {
    if (user_ == nullptr) {
        return true;
    }
    try {
        return user_->OnRtspDescribeProcessed(parser_.description);
    } catch (...) {
        return false;
    }
}

void CBaseRTSPClient::NotifyClosed() {
    if (user_ == nullptr) {
        return;
    }
    try {
        user_->OnRtspSessionClosed();
    } catch (...) {
    }
}

uint64_t CBaseRTSPClient::SessionTimeoutMs() const {
    return uint64_t{parser_.sessionTimeoutSec != 0 ? parser_.sessionTimeoutSec
                                                   : settings_.sessionTimeoutSec} *
           1000;
}

void CBaseRTSPClient::KeepAliveCheck() {
    const uint64_t now = clock_->TickMs();
    const uint64_t elapsedMs = now > lastKeepAliveMs_ ? now - lastKeepAliveMs_ : 0;
    if (elapsedMs <= SessionTimeoutMs() * 2 / 3) {
        return;
    }
    bool kept = ExecuteRequest(keepAliveMethod_);
    // A server without GET_PARAMETER still knows OPTIONS; asking again every look would
    // only let the session expire.
    if (!kept && keepAliveMethod_ == kRtspGetParameter &&
        (parser_.status == 405 || parser_.status == 501)) {
        keepAliveMethod_ = kRtspOptions;
        kept = ExecuteRequest(keepAliveMethod_);
    }
    if (kept) {
        lastKeepAliveMs_ = clock_->TickMs();
    }
}

void CBaseRTSPClient::StreamKeepAlive() {
    constexpr uint64_t kReportIntervalMs = 5000;
    const uint64_t now = clock_->TickMs();
    const uint64_t timeoutMs = SessionTimeoutMs();
    if (now - lastReportMs_ >= std::min(kReportIntervalMs, timeoutMs / 3)) {
        lastReportMs_ = now;
        ReceiverReportFields fields;
        {
            CLockGuard guard(statsLock_);
            fields.ownSsrc = ownSsrc_;
            fields.sourceSsrc = sourceSsrc_;
            stats_.Report(fields);
        }
        const auto report = BuildReceiverReport(fields);
        std::string frame = {'$', static_cast<char>(parser_.interleavedChannel + 1), 0,
                             static_cast<char>(report.size())};
        frame.append(reinterpret_cast<const char*>(report.data()), report.size());
        SendInStream(frame);
    }
    if (now - lastKeepAliveMs_ > timeoutMs * 2 / 3) {
        lastKeepAliveMs_ = now;
        SendInStream(BuildRequest(keepAliveMethod_));
    }
}

void CBaseRTSPClient::RunSession() {
    pauseRequested_.Reset();
    playRequested_.Reset();
    SessionState state = SessionState::kDescribe;
    while (state != SessionState::kClosed) {
        switch (state) {
            case SessionState::kDescribe:
                state = StepDescribe();
                break;
            case SessionState::kSetup:
                state = StepSetup();
                break;
            case SessionState::kRunning:
                state = StepRunning();
                break;
            case SessionState::kTeardown:
                state = StepTeardown();
                break;
            case SessionState::kClosed:
                break;
        }
    }
}

CBaseRTSPClient::SessionState CBaseRTSPClient::StepDescribe() {
    if (ExecuteRequest(kRtspDescribe)) {
        return SessionState::kSetup;
    }
    if (debug_ != nullptr) {
        debug_->DebugMessage(kLogWarning,
                             "vornak::CBaseRTSPClient::ThreadFunction: DESCRIBE of %s failed "
                             "(status %u)",
                             BaseUrl().c_str(), parser_.status);
    }
    // Nothing was set up, so there is nothing to tear down.
    NotifyClosed();
    return SessionState::kClosed;
}

CBaseRTSPClient::SessionState CBaseRTSPClient::StepSetup() {
    if (!NotifyDescribe() || !ExecuteRequest(kRtspSetup) || !OnSetupDone()) {
        return SessionState::kTeardown;
    }
    if (!paused_) {
        playRequested_.Set();
    }
    return SessionState::kRunning;
}

// One wait for a request of the user, stop, or the next keep-alive look.
CBaseRTSPClient::SessionState CBaseRTSPClient::StepRunning() {
    CEvent* events[] = {&stopEvent_, &pauseRequested_, &playRequested_};
    // Short session time-outs are looked at often enough to keep them.
    const auto waitMs =
        static_cast<uint32_t>(std::clamp<uint64_t>(SessionTimeoutMs() / 6, 100, loopWaitMs_));
    switch (CEvent::WaitForMultiple(events, 3, waitMs)) {
        case 0:
            return SessionState::kTeardown;
        case 1:
            if (ExecuteRequest(kRtspPause)) {
                paused_ = true;
            }
            return SessionState::kRunning;
        case 2:
            paused_ = false;
            if (ExecuteRequest(kRtspPlay)) {
                OnPlayDone();
            }
            return PlayEndsSession() ? SessionState::kTeardown : SessionState::kRunning;
        default:
            KeepAliveCheck();
            return SessionState::kRunning;
    }
}

CBaseRTSPClient::SessionState CBaseRTSPClient::StepTeardown() {
    ExecuteRequest(kRtspTeardown);  // sent even once stop is set
    NotifyClosed();
    return SessionState::kClosed;
}

void CBaseRTSPClient::OnStreamRead() {
    // One clock read per read of the connection, not one per packet.
    readTickMs_ = clock_->TickMs();
}

void CBaseRTSPClient::OnStreamPacket(const CRTPPacket& packet) {
    {
        CLockGuard guard(statsLock_);
        if (!stats_.Started() || packet.ssrc != sourceSsrc_) {
            sourceSsrc_ = packet.ssrc;  // the sender of this connection, or its restart
            stats_ = CReceptionStats{};
        }
        stats_.OnPacket(packet.sequence, packet.timestamp, static_cast<uint32_t>(readTickMs_ * 90));
    }
    if (user_ == nullptr) {
        return;
    }
    try {
        user_->OnRtspPacketReceived(packet);
    } catch (...) {
    }
}

void CBaseRTSPClient::OnStreamBye() {
    stopEvent_.Set();
    if (user_ == nullptr) {
        return;
    }
    try {
        user_->OnRtcpBye();
    } catch (...) {
    }
}

}  // namespace vornak
