// Motion JPEG over HTTP: a continuous multipart stream from the camera, cut into pictures.
// Devices without video get a placeholder picture every 5 seconds instead.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "channels/axis_common_channel.h"
#include "channels/base_camera_channel.h"
#include "parsers/jpeg_stream_parser.h"
#include "parsers/media_parser_client.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

class CBaseHttpChannel : public CBaseCameraChannel, public IMediaParserClient {
  public:
    CBaseHttpChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    ~CBaseHttpChannel() override;

    bool UpdateSettings(const VideoCaptureRequest* request) override;
    bool Pause() override;
    bool Resume() override;
    Size GetResolution() override;

    bool FrameReady(ipcapture::IVideoFrame* frame) override;
    Size GetRequestedSize() override;
    std::string GetStreamName() override;
    void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) override;

    // Pause between attempts once the signal is lost.
    static constexpr uint32_t kRetryPauseMs = 5000;
    // First pause after an attempt that brought no picture; it doubles on each further one, up
    // to kRetryPauseMs, so that a refusing camera is not stormed with requests or logins.
    static constexpr uint32_t kFirstFailurePauseMs = 500;
    static constexpr uint32_t kReadChunk = 8192;

  protected:
    void ThreadFunction() override;
    void OnStopRequested() override;
    virtual bool Connect() = 0;
    void SendFakeJPEGFrame(const std::vector<uint8_t>& picture);

    std::unique_ptr<Web::CHttpSender> sender_;
    std::unique_ptr<CHttpMediaParser> parser_;
    CEvent settingsUpdated_{false};
    std::atomic<bool> paused_{false};
    uint64_t pictures_ = 0;  // delivered; capture thread only

  private:
    // No picture for the whole connection time-out.
    bool SignalTimedOut();
    void ReceiveLoop();
};

class CAxisJPEGChannelHTTP : public CBaseHttpChannel, public CAxisCommonChannel {
  public:
    CAxisJPEGChannelHTTP(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    ~CAxisJPEGChannelHTTP() override;

    void ApplyCaptureSettings(ipcapture::ICaptureSettings* settings) override;
    std::string GetStreamName() override;
    // The path the next connection asks for.
    std::string BuildPath();

  protected:
    bool Connect() override;
    void OnStopRequested() override;
};

}  // namespace vornak
