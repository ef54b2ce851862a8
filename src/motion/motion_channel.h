// Motion detection for one video input: the camera's motion windows that watch it, the motion
// data stream, and a two-byte motion frame to the host when the state changes.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/debug.h"
#include "base/sync.h"
#include "base/thread.h"
#include "channels/camera_channel.h"
#include "motion/motion_parser.h"
#include "parsers/media_parser_client.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

inline constexpr uint32_t kFourCCMotion = 0x444D454Du;

// The windows of a parameter list reply that watch the image source: Motion.M<i> for i up to
// 255 whose ImageSource is the source and whose WindowType is not "exclude".
[[nodiscard]] std::vector<uint32_t> WatchedMotionWindows(std::string_view reply, uint32_t source);

// Turns record verdicts into the states the host hears: at most one decision per hold-off, the
// first decision preceded by its opposite. Motion that starts and ends inside a hold-off is
// remembered and reported at the next decision, so a short event is never lost.
class CMotionReporter {
  public:
    static constexpr uint64_t kHoldOffMs = 2000;

    // The states to send now (true: motion), in order.
    [[nodiscard]] std::vector<bool> OnResult(MotionResult result, uint64_t nowMs);
    void Reset();
    [[nodiscard]] MotionResult GetLastReported() const { return lastReported_; }

  private:
    MotionResult lastReported_ = kMotionUndecided;
    uint64_t decidedAtMs_ = 0;
    bool motionInHoldOff_ = false;
};

class CAxisMDChannel : public CLoggerInstance,
                       public CBaseThread,
                       public IMotionChannel,
                       private IMediaParserClient {
  public:
    static constexpr const char* kUserAgent = "Vornak HTTP Motion Data Receiver";
    static constexpr const char* kThreadName = "Axis Motion Detection Thread";
    static constexpr uint32_t kRetryPauseMs = 1000;

    // driver and sink are borrowed; the driver outlives the channel.
    CAxisMDChannel(uint32_t channel, IDriver* driver, ipcapture::IFrameSink* sink);
    ~CAxisMDChannel() override;

    uint32_t GetChannelIndex() override { return channel_; }
    ipcapture::IFrameSink* GetFrameSink() override { return sink_.load(); }
    void SetEdgeMonitor(IEdgeStorageCallback* monitor) override { edgeMonitor_ = monitor; }
    bool Start() override;
    void Stop() override;

    // One verdict of the stream, as the thread hands it on; public for tests.
    void OnMotionResult(MotionResult result, uint64_t nowMs);

  protected:
    void ThreadFunction() override;

  private:
    bool RequestGet(const std::string& url, std::string& body);
    bool SetMotionDetectionSettings();
    bool CreateMotionWindowGroup(uint32_t& number);
    bool ReceiveMotionStream();
    // True when the stream brought at least one verdict.
    bool ReadMotionDataFromHTTPStream();
    void SendMDFrameCallback(bool motion);
    std::string DeviceName();
    std::string DeviceText();

    bool FrameReady(ipcapture::IVideoFrame* frame) override;
    Size GetRequestedSize() override { return {320, 240}; }
    std::string GetStreamName() override;
    void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) override;

    uint32_t channel_;
    IDriver* driver_;
    std::atomic<ipcapture::IFrameSink*> sink_;
    std::atomic<IEdgeStorageCallback*> edgeMonitor_{nullptr};
    std::unique_ptr<Web::CHttpSender> sender_;
    CLock lock_;  // windows_ and reporter_
    std::vector<uint32_t> windows_;
    CMotionReporter reporter_;
};

}  // namespace vornak
