// Live H.264 and MPEG-4 over RTSP: the camera is prepared, an RTSP session of the configured
// transport runs, RTP packets go to the codec's depacketizer and frames to the host.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "channels/axis_common_channel.h"
#include "channels/base_camera_channel.h"
#include "parsers/codec_table.h"
#include "parsers/media_parser.h"
#include "rtsp/rtcp_handler.h"
#include "rtsp/rtp_receiver.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/timestamp_converter.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

// The RTSP media path for a capture request.
struct MediaPathInput {
    uint32_t codec = kCodecH264;
    uint16_t apiVersion = 3;
    VideoCaptureRequest request;
    uint32_t channel = 0;
    uint32_t videoInputs = 1;
    uint32_t streamCamera = 0;  // configured camera of the stream kind; 0 none
    std::string resolutionText;
};
std::string RtspMediaPath(const MediaPathInput& in);

// The param.cgi lines that set up an older camera's stream; the frame-rate line is built by
// FrameRateLine for each rate tried.
std::vector<std::string> StreamParameterLines(const VideoCaptureRequest& request,
                                              const std::string& resolutionText);
std::string FrameRateLine(uint32_t fps);
// The RTSP port of a Network.RTSP.Port parameter reply; 0 when it names none.
uint16_t RtspPortOf(std::string_view reply);
// A camera refuses a param.cgi update with an error status or, usually, with "# Error: ..." in a
// 200 answer.
bool ParameterUpdateAccepted(uint32_t status, std::string_view reply);
// ".I0." becomes ".I<channel>." for inputs other than the first.
std::string ForChannel(std::string line, uint32_t channel);

class CBaseRTPChannel : public CBaseCameraChannel,
                        public IRTPReceiverUser,
                        public IMediaParserClient {
  public:
    CBaseRTPChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    ~CBaseRTPChannel() override;

    bool UpdateSettings(const VideoCaptureRequest* request) override;
    // The size the parser has seen in the stream, else the one asked for.
    Size GetResolution() override;

    // IMediaParserClient
    bool FrameReady(ipcapture::IVideoFrame* frame) override;
    Size GetRequestedSize() override;
    std::string GetStreamName() override;

    // IRTPReceiverUser
    void PacketReceived(const sockaddr_in& sender, const CRTPPacket& packet) override;
    void OnReceiveTimeout() override {}
    void OnSocketClosed() override {}

    static constexpr uint16_t kFirstRtpPort = 3556;
    static constexpr uint16_t kLastRtpPort = 4554;

  protected:
    void ThreadFunction() override;

    virtual bool OpenStream();
    virtual void CloseStream();
    virtual bool ApplySettingsUpdate() = 0;
    virtual void KeepAlive() {}
    virtual bool PrepareDevice() = 0;
    virtual bool IsPaused() = 0;
    virtual void ProcessPacket(const CRTPPacket& packet) = 0;
    bool Connect();

    uint32_t keepAliveIntervalMs_ = 30000;
    CTime keepAliveTimer_;
    CManualEvent frameReceived_;
    // Whether this connection's first frame has set frameReceived_: only that frame needs the
    // event's lock and notification, the capture thread waits for no other.
    std::atomic<bool> frameSignalled_{false};
    CEvent settingsUpdated_{false};
    uint32_t deviceIp_ = 0;  // network order; 0 when the address does not resolve
    std::atomic<uint32_t> rtpMode_{0};
    std::atomic<bool> connected_{false};  // since the last CloseStream
    std::unique_ptr<CRTPReceiver> receiver_;
    std::unique_ptr<CRTCPHandler> rtcp_;
    // Packets arrive on the receiving threads while the capture thread may replace or reset
    // the parser.
    CLock parserLock_;
    std::unique_ptr<CRTPMediaParser> parser_;
};

class CBaseRTSPChannel : public CBaseRTPChannel, public IRTSPClientUser {
  public:
    CBaseRTSPChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    ~CBaseRTSPChannel() override;

    bool Pause() override;
    bool Resume() override;

    void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) override;

    // IRTSPClientUser
    void OnRtcpBye() override {}
    void OnRtspSessionClosed() override {}
    void OnRtspPacketReceived(const CRTPPacket& packet) override;

  protected:
    bool OpenStream() override;
    void CloseStream() override;
    bool IsPaused() override;
    // Media path, port and block size of the session.
    virtual void FillClientSettings(RTSPClientSettings& settings) = 0;
    virtual void ResetParser() = 0;
    // Starts a session on the given client with fresh settings.
    bool StartSession(CBaseRTSPClient& client);

    CLock clientLock_;
    std::unique_ptr<CBaseRTSPClient> client_;
    CTimeStampConverter clock_;
};

// One channel class for every codec carried over RTSP; the codec's row supplies the rest.
class CAxisCommonChannelRTSP : public CAxisCommonChannel, public CBaseRTSPChannel {
  public:
    CAxisCommonChannelRTSP(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink,
                           const CodecInfo& codec);
    ~CAxisCommonChannelRTSP() override;

    void ApplyCaptureSettings(ipcapture::ICaptureSettings* settings) override;
    bool OnRtspDescribeProcessed(const SessionDescription& description) override;
    // A codec that must be listed is asked for once, here: a camera without it fails the start.
    bool Start(const VideoCaptureRequest* request) override;

    std::string BuildMediaPath();

  protected:
    bool ApplySettingsUpdate() override;
    bool PrepareDevice() override;
    void FillClientSettings(RTSPClientSettings& settings) override;
    void OnStopRequested() override;
    void ProcessPacket(const CRTPPacket& packet) override;
    void ResetParser() override;

    MediaParserStats reported_;  // the parser's counters at the last session report

  private:
    enum class LineResult { kAccepted, kRefused, kNoAnswer };
    bool ConfigureStreamParameters();
    LineResult SendParameterLine(const std::string& line);
    void ReadRtspPort();
    // False only when the camera answered and its format list lacks the codec.
    bool CameraOffersCodec();

    std::unique_ptr<Web::CHttpSender> sender_;
    CLock lock_;
    uint32_t blockSize_ = 0;
    uint16_t rtspPort_ = 554;
    const CodecInfo& codec_;
};

}  // namespace vornak
