// Streams a person asks quillon-host for: what to start, where frames go, and the live figures.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host_objects.h"

namespace quillon::host {

// "CHANNEL:STREAM:FORMAT[:WxH][@FPS]", e.g. "0:1:3:1280x720@25".
struct StreamSpec {
    uint32_t channel = 0;
    uint32_t stream = 0;
    uint32_t format = 3;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
    uint32_t quality = 0;
    bool motion = false;  // motion detection beside a recording stream
    std::string text;
};
std::optional<StreamSpec> ParseStreamSpec(const std::string& text, std::string& error);

// The capture settings the host hands to StartCapture/StartStream.
class HostCaptureSettings : public ICaptureSettings,
                            public IVideoFormatSettings,
                            public IRateSettings,
                            public IResolution,
                            public IPrivacyZoneEnumerator {
  public:
    explicit HostCaptureSettings(const StreamSpec& spec) : spec_(spec) {}
    IVideoFormatSettings* GetVideoFormatSettings() override { return this; }
    IRateSettings* GetRateSettings() override { return this; }
    IPrivacyZoneEnumerator* GetPrivacyZones() override { return this; }
    IResolution* GetResolution() override { return this; }
    uint32_t GetVideoFormat() override { return spec_.format; }
    // A rate in frames per second travels as 0x7000 + fps.
    uint32_t GetFrameRate() override { return spec_.fps == 0 ? 0 : 0x7000 | (spec_.fps & 0xFFF); }
    uint32_t GetQuality() override { return spec_.quality; }
    uint32_t GetMotionDetection() override { return spec_.motion ? 1 : 0; }
    uint32_t GetWidth() override { return spec_.width; }
    uint32_t GetHeight() override { return spec_.height; }
    IPrivacyZone* GetZone(uint32_t) override { return nullptr; }

  private:
    StreamSpec spec_;
};

// Receives one stream's frames, counts them and writes them where a person can play them.
class StreamRecorder : public IFrameSink {
  public:
    // outFolder empty or discard: frames are only counted.
    StreamRecorder(StreamSpec spec, const std::string& outFolder, bool discard);
    ~StreamRecorder() override;

    bool OnFrame(IVideoFrame* frame) override;
    void OnSignalLost() override { ++signalLost_; }

    struct Figures {
        uint64_t frames = 0;
        uint64_t keyFrames = 0;
        uint64_t bytes = 0;
        uint64_t signalLost = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        uint32_t fourcc = 0;
        int64_t lastLagMs = 0;  // wall clock minus the frame's time, for the newest frame
        bool timeWentBack = false;
    };
    Figures Snapshot();
    const StreamSpec& Spec() const { return spec_; }
    std::string OutputPath() const { return outPath_; }
    std::string LastPicturePath() const { return lastPicturePath_; }

  private:
    void TrimTrailingDelimiter();

    StreamSpec spec_;
    bool discard_;
    std::string outPath_;
    std::string lastPicturePath_;
    std::mutex mutex_;
    FILE* out_ = nullptr;
    Figures figures_;
    int64_t lastTimeMs_ = 0;
    std::vector<uint8_t> lastPicture_;
    std::atomic<uint64_t> signalLost_{0};
};

// Milliseconds since 1970 of a frame time record.
int64_t SystemTimeToUnixMs(const SYSTEMTIME& time);
std::string FourCCText(uint32_t fourcc);

}  // namespace quillon::host
