// Live video that the camera sends to a multicast group: a stream profile on the camera, an RTSP
// session that asks for multicast, the group joined for RTP and RTCP, and the camera's own sender
// picked out among all that send to the group.
#pragma once

#include <memory>
#include <string>

#include "audio/audio_requests.h"
#include "channels/axis_common_channel.h"
#include "channels/rtsp_channel.h"
#include "multicast/profile_manager.h"
#include "multicast/sender_selector.h"
#include "rtsp/rtsp_transports.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

// "Live", "Remote" or "Rec" as profile names spell the stream kind; "Recording" in texts.
const char* StreamKindWord(uint32_t stream, bool shortForm);

class CBaseMulticastRTSPChannel : public CBaseRTPChannel, public IRTSPClientUserEx {
  public:
    CBaseMulticastRTSPChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    ~CBaseMulticastRTSPChannel() override;

    void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) override;
    void PacketReceived(const sockaddr_in& sender, const CRTPPacket& packet) override;

    // IRTSPClientUserEx
    void OnRtcpBye() override { byeReceived_.Set(); }
    void OnRtspSessionClosed() override { sessionClosed_.Set(); }
    void OnRtspPacketReceived(const CRTPPacket& packet) override;
    void OnRtspPlayProcessed(uint32_t rtpTime, uint16_t sequence) override;

  protected:
    void ThreadFunction() override;
    bool ApplySettingsUpdate() override { return false; }
    bool IsPaused() override { return false; }

    // Camera configuration before each session; false retries later.
    virtual bool ConfigureChannel() = 0;
    virtual void FillClientSettings(RTSPClientSettings& settings) = 0;
    // False when the camera's profile changed under the running session.
    virtual bool CheckProfile() { return true; }
    virtual void ResetParser() = 0;

    // Joins the group for RTP (port) and RTCP (port + 1) and starts a new sender choice.
    bool JoinGroup(const std::string& destination, uint16_t port);
    void TearDown();
    bool StartSession();

    CMulticastSenderSelector selector_;
    CTimeStampConverter clock_;
    uint32_t interfaceAddress_ = 0;  // network order; 0 lets the routing table choose
    CEvent packetAccepted_{false};
    CEvent sessionClosed_{false};
    CEvent byeReceived_{false};

  private:
    CLock clientLock_;
    std::unique_ptr<CRTSPClientMulticast> client_;
};

class CAxisMulticastChannelRTSP : public CAxisCommonChannel,
                                  public CBaseMulticastRTSPChannel,
                                  public CAxisProfileManager {
  public:
    CAxisMulticastChannelRTSP(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink,
                              uint32_t format);
    ~CAxisMulticastChannelRTSP() override;

    // The profile, not the host, decides what the camera streams to the group.
    void ApplyCaptureSettings(ipcapture::ICaptureSettings* /*settings*/) override {}
    bool OnRtspDescribeProcessed(const SessionDescription& description) override;
    bool OnRtspSetupProcessed(const char* destination, uint16_t port) override;

    // CAxisProfileManager
    bool RequestGet(const std::string& url, std::string& response) override;
    void GetDesiredParameters(ProfileParams& params) override;
    std::string GetDefaultProfileName() override;
    std::string GetProfileDescription() override;

  protected:
    bool ConfigureChannel() override;
    bool PrepareDevice() override { return ConfigureChannel(); }
    void FillClientSettings(RTSPClientSettings& settings) override;
    bool CheckProfile() override;
    void ProcessPacket(const CRTPPacket& packet) override;
    void ResetParser() override;
    void OnStopRequested() override;

  private:
    bool InitializeVideoParser(const MediaDescription& video, const ParameterSets& parameterSets);

    const uint32_t format_;
    std::unique_ptr<Web::CHttpSender> sender_;
    CAudioRequests requests_;
    CLock lock_;
    uint32_t blockSize_ = 0;
    CTime profileCheck_;
};

}  // namespace vornak
