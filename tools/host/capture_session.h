// Streams a person asks quillon-host for: what to start, where frames go, and the live figures.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
    bool motion = false;      // motion detection beside a recording stream
    uint32_t slowSinkMs = 0;  // the host's sink holds each frame this long
    std::string text;
};
std::optional<StreamSpec> ParseStreamSpec(const std::string& text, std::string& error);
// "rec", "live" or "remote" for the stream kind.
inline const char* KindText(uint32_t stream) {
    static const char* kKinds[] = {"rec", "live", "remote"};
    return stream < 3 ? kKinds[stream] : "?";
}

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
    void OnSignalLost() override;
    // The same with the wall clock (ms since 1970) given, so a run can be replayed.
    bool OnFrameAt(IVideoFrame* frame, int64_t nowMs);
    void OnSignalLostAt(int64_t nowMs);

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

    // The run over time: counts per interval (a second, doubled whenever a long run would
    // outgrow kMaxSamples, so memory stays bounded) and what happened when.
    struct Sample {
        uint32_t frames = 0;
        uint32_t keyFrames = 0;
        uint64_t bytes = 0;
        int64_t maxLagMs = 0;  // of the frames in the interval
    };
    enum class EventKind {
        SignalLost,   // the driver reported the signal lost (repeats fold into one event)
        Reconnected,  // the first frame after a signal loss
        Resumed,      // the first frame after a silence of kGapMs with no loss reported
    };
    struct Event {
        EventKind kind = EventKind::SignalLost;
        int64_t atMs = 0;      // since the timeline's start
        int64_t gapMs = 0;     // Reconnected, Resumed: since the frame before
        uint64_t reports = 0;  // SignalLost: loss reports folded into it
    };
    // A step in frame time: forward by more than one and a half frame intervals of the asked
    // rate (frames missing), or backwards.
    struct TimeStep {
        int64_t atMs = 0;    // arrival, since the timeline's start
        int64_t stepMs = 0;  // frame time minus that of the frame before
    };
    struct Timeline {
        int64_t startMs = 0;  // wall clock
        uint32_t intervalSeconds = 1;
        std::vector<Sample> samples;
        std::vector<Event> events;
        uint64_t eventsDropped = 0;
        std::vector<TimeStep> gaps;  // forward; only with a rate asked for
        std::vector<TimeStep> backSteps;
        uint64_t stepsDropped = 0;  // of either kind, beyond kMaxEvents each
        int64_t lastArrivalMs = 0;  // wall clock of the newest frame
    };
    static constexpr size_t kMaxSamples = 3600;
    static constexpr size_t kMaxEvents = 1000;
    static constexpr int64_t kGapMs = 2000;
    Timeline TimelineSnapshot();
    const StreamSpec& Spec() const { return spec_; }
    std::string OutputPath() const { return outPath_; }
    std::string LastPicturePath() const { return lastPicturePath_; }

  private:
    void TrimTrailingDelimiter();
    Sample& SampleAt(int64_t nowMs);
    void AddEvent(const Event& event);
    void AddStep(std::vector<TimeStep>& steps, const TimeStep& step);

    StreamSpec spec_;
    bool discard_;
    std::string outPath_;
    std::string lastPicturePath_;
    std::mutex mutex_;
    FILE* out_ = nullptr;
    Figures figures_;
    int64_t lastTimeMs_ = 0;
    bool lossOpen_ = false;  // a signal loss with no frame since
    std::vector<uint8_t> lastPicture_;
    Timeline timeline_;
};

// A host whose frame sink takes its time: each frame waits here before it goes on.
class SlowSink : public IFrameSink {
  public:
    SlowSink(IFrameSink* next, uint32_t delayMs) : next_(next), delayMs_(delayMs) {}
    bool OnFrame(IVideoFrame* frame) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
        return next_->OnFrame(frame);
    }
    void OnSignalLost() override { next_->OnSignalLost(); }

  private:
    IFrameSink* next_;
    uint32_t delayMs_;
};

// Milliseconds since 1970 of a frame time record.
int64_t SystemTimeToUnixMs(const SYSTEMTIME& time);
std::string FourCCText(uint32_t fourcc);

}  // namespace quillon::host
