// Audio input over multicast RTP: the camera sends its audio to a group negotiated over RTSP with
// a stream profile, and the packets of its own sender become host audio frames.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "audio/audio_channel.h"
#include "audio/audio_format.h"
#include "audio/audio_parser.h"
#include "audio/audio_requests.h"
#include "base/thread.h"
#include "multicast/profile_manager.h"
#include "multicast/sender_selector.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp/rtsp_transports.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

// The host format of an SDP audio description; codec 0 when the driver cannot carry it.
AudioFormat AudioFormatOfMedia(const MediaDescription& audio);

// The connection loop and RTP/RTSP session of one multicast data stream.
class CBaseMulticastRTSPDataChannel : public CBaseThread,
                                      public IRTPReceiverUser,
                                      public IRTSPClientUserEx {
  public:
    static constexpr uint32_t kRetryWaitMs = 2000;

    explicit CBaseMulticastRTSPDataChannel(IDriver* driver);
    ~CBaseMulticastRTSPDataChannel() override;

    // IRTPReceiverUser
    void PacketReceived(const sockaddr_in& sender, const CRTPPacket& packet) override;
    void OnReceiveTimeout() override {}
    void OnSocketClosed() override {}

    // IRTSPClientUserEx
    void OnRtcpBye() override { restart_.Set(); }
    void OnRtspSessionClosed() override { sessionClosed_.Set(); }
    void OnRtspPacketReceived(const CRTPPacket& packet) override;
    void OnRtspPlayProcessed(uint32_t rtpTime, uint16_t sequence) override;

  protected:
    void ThreadFunction() override;
    // Camera configuration and the session's settings; false retries later.
    virtual bool Configure(RTSPClientSettings& settings) = 0;
    virtual void ProcessPacket(const CRTPPacket& packet) = 0;
    virtual void OnSessionState(bool receiving) = 0;
    bool JoinGroup(const std::string& destination, uint16_t port);

    IDriver* driver_;
    uint32_t deviceIp_ = 0;
    uint32_t interfaceAddress_ = 0;
    CMulticastSenderSelector selector_;
    CRTPReceiver receiver_;

  private:
    bool StartSession();
    void CloseSession();

    CLock clientLock_;
    std::unique_ptr<CRTSPClientMulticast> client_;
    CTime lastPacket_;
    CEvent firstPacket_{false};
    CEvent sessionClosed_{false};
    CEvent restart_{false};
};

// IAudioInputChannel and the state the host sees.
class CBaseAudioMulticastRTSPChannel : public CBaseMulticastRTSPDataChannel,
                                       public IAudioInputChannel {
  public:
    CBaseAudioMulticastRTSPChannel(IDriver* driver, void* host1, void* host2, void* host3);

    bool StartCapture() override;
    bool StopCapture() override;
    uint32_t GetState() override { return state_.load(); }

  protected:
    void OnSessionState(bool receiving) override;
    void SetState(uint32_t state);
    void SetDeviceState(bool signalOk);

    AudioHostArgs<ipcapture::IAudioInputCallback> host_;

  private:
    std::atomic<uint32_t> state_{0};
    CLock stateLock_;
    CLock lock_;
    bool reported_ = false;
    bool signalOk_ = false;
};

class CAxisAudioMulticastRTSPChannel : public CBaseAudioMulticastRTSPChannel,
                                       public CAxisProfileManager {
  public:
    CAxisAudioMulticastRTSPChannel(uint32_t source, IDriver* driver, void* host1, void* host2,
                                   void* host3, bool duplex);
    ~CAxisAudioMulticastRTSPChannel() override;

    bool OnRtspDescribeProcessed(const SessionDescription& description) override;
    bool OnRtspSetupProcessed(const char* destination, uint16_t port) override;

    // CAxisProfileManager
    bool RequestGet(const std::string& url, std::string& response) override;
    void GetDesiredParameters(ProfileParams& params) override;
    std::string GetDefaultProfileName() override;
    std::string GetProfileDescription() override;

  protected:
    bool Configure(RTSPClientSettings& settings) override;
    void ProcessPacket(const CRTPPacket& packet) override;

  private:
    bool InitializeAudioParser(const MediaDescription& audio);

    uint32_t source_;
    bool duplex_;
    std::unique_ptr<Web::CHttpSender> sender_;
    CAudioRequests requests_;
    CLock parserLock_;
    CAxisAudioParser parser_;
};

}  // namespace vornak
