// The RTSP/1.0 client core: one session against one camera for one track. The transports derive
// from it and supply the connection, the sending of a request and the thread body.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/sync.h"
#include "base/thread.h"
#include "driver/device_info.h"
#include "rtsp/rtcp_packets.h"
#include "rtsp/rtsp_interfaces.h"
#include "rtsp/rtsp_response_parser.h"
#include "rtsp/stream_clock.h"

namespace vornak {

struct RTSPClientSettings {
    uint16_t port = 554;
    uint16_t clientRtpPort = 0;
    uint16_t clientRtcpPort = 0;
    std::string host;
    std::string userName;
    std::string password;
    uint32_t connectTimeoutMs = 5000;
    uint32_t receiveTimeoutMs = 5000;
    uint32_t receiveBufferSize = 65536;
    uint32_t sendTimeoutMs = 1000;
    uint32_t sessionTimeoutSec = 60;    // keep-alive base when the server names no timeout
    uint32_t authMode = kRtspAuthNone;  // changed by a 401 with another scheme
    std::string path;
    uint32_t mediaKind = 1;  // 1 video, 2 audio, 3 metadata
    std::string range;
    uint32_t multicast = 0;
    std::string proxy;
    std::string userAgent;
    uint32_t blockSize = 0;  // sent only when 101 or more
    // Borrowed: the owner's stop event. Once set, a connect or a tunnel set-up under way ends,
    // so that a stop does not wait for a camera that never accepts.
    CEvent* cancel = nullptr;
};

// The device's address, proxy, credentials and network time-out as a session's settings.
RTSPClientSettings ClientSettingsFor(const DEVICE_INFO& device);

enum RtspTransportKind : uint32_t {
    kTransportUdp = 0,
    kTransportInterleaved = 2,
    kTransportHttp = 3,
};

class CBaseRTSPClient : public CBaseThread, public IRTSPStreamParserUser {
  public:
    // `debug` is borrowed and outlives the client; `ownerName` names the thread.
    CBaseRTSPClient(IDebugMessage* debug, std::string ownerName, uint32_t transportKind);
    ~CBaseRTSPClient() override;

    virtual bool SendRequest(uint32_t method);
    virtual std::string BuildRequest(uint32_t method);
    virtual bool Start(const RTSPClientSettings& settings, IRTSPClientUser* user);
    virtual bool Stop();

    void RequestPause() { pauseRequested_.Set(); }
    void RequestPlay() { playRequested_.Set(); }

    // True for a 2xx answer; retries once when a 401 names another scheme.
    bool ExecuteRequest(uint32_t method);

    std::string BaseUrl() const;
    std::string TrackUrl() const;

    // Tests replace the clock; it must outlive the client.
    void SetClock(IStreamClock* clock) { clock_ = clock; }

    const CRTSPResponseParser& Parser() const { return parser_; }
    const RTSPClientSettings& Settings() const { return settings_; }
    bool IsPaused() const { return paused_; }

    // IRTSPStreamParserUser, for the interleaved and tunnelled transports.
    void OnStreamRead() override;
    void OnStreamPacket(const CRTPPacket& packet) override;
    void OnStreamBye() override;

  protected:
    enum class SessionState { kDescribe, kSetup, kRunning, kTeardown, kClosed };

    // The session shared by the UDP, interleaved and multicast transports.
    void RunSession();
    SessionState StepDescribe();
    SessionState StepSetup();
    SessionState StepRunning();
    SessionState StepTeardown();
    // Sends the keep-alive request when more than two thirds of the session time-out have passed
    // since the last one: GET_PARAMETER, or OPTIONS from the first 405 or 501 to it on.
    void KeepAliveCheck();
    // While media flows inside the RTSP connection no answer can be waited for: sends receiver
    // reports on the RTCP channel and, when due, the keep-alive request, through SendInStream.
    void StreamKeepAlive();
    virtual bool SendInStream(const std::string& /*bytes*/) { return false; }
    uint64_t SessionTimeoutMs() const;
    uint32_t StopWaitMs() const;

    // Hooks of the session for the transports.
    virtual bool OnSetupDone() { return true; }
    virtual void OnPlayDone() {}
    // True when PLAY carried the media until the connection ended (interleaved).
    virtual bool PlayEndsSession() const { return false; }

    bool NotifyDescribe();
    void NotifyClosed();

    std::string TransportLine() const;
    std::string AuthorizationLine(uint32_t method, const std::string& url) const;
    const MediaDescription& SelectedTrack() const;

    std::string ownerName_;
    const uint32_t transportKind_;
    RTSPClientSettings settings_;
    IRTSPClientUser* user_ = nullptr;  // borrowed; outlives the session thread
    CRTSPResponseParser parser_;
    CEvent pauseRequested_{false};
    CEvent playRequested_{false};
    std::atomic<bool> paused_{false};  // read by the channel thread
    uint64_t lastKeepAliveMs_ = 0;     // monotonic
    uint32_t keepAliveMethod_ = kRtspGetParameter;
    // Reception of the media inside the RTSP connection, for its receiver reports.
    CLock statsLock_;
    CReceptionStats stats_;
    uint32_t sourceSsrc_ = 0;
    uint32_t ownSsrc_ = 0;
    uint64_t lastReportMs_ = 0;
    uint64_t readTickMs_ = 0;  // when the read being parsed returned; the reading thread's own
    IStreamClock* clock_;      // borrowed
    uint32_t loopWaitMs_ = 2000;
};

}  // namespace vornak
