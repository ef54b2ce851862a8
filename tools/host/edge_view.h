// Recovered video among a stream's frames: the frames the driver fetched from the camera's card
// after an outage are counted per gap fill (interval and frames) and kept out of the live
// recording, whose file and figures they would put out of order.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "host_objects.h"

namespace quillon::host {

class EdgeTap : public IFrameSink {
  public:
    explicit EdgeTap(IFrameSink* next) : next_(next) {}

    bool OnFrame(IVideoFrame* frame) override;
    void OnSignalLost() override { next_->OnSignalLost(); }
    // The same with the wall clock (ms since 1970) given.
    bool OnFrameAt(IVideoFrame* frame, int64_t nowMs);

    struct Figures {
        uint64_t fills = 0;
        uint64_t frames = 0;
        // Of the latest fill: its frames and the times of its first and last (ms since 1970).
        uint64_t lastFrames = 0;
        int64_t lastFromMs = 0;
        int64_t lastToMs = 0;
    };
    Figures Snapshot();
    // "gap fills 2 (61 frames), last 12:00:01.040-12:00:03.440 UTC 60 frames"; "gap fills 0".
    static std::string Text(const Figures& figures);
    // Frames more than this apart in arrival belong to different fills.
    static constexpr int64_t kFillPauseMs = 3000;

  private:
    IFrameSink* next_;
    std::mutex mutex_;
    Figures figures_;
    int64_t lastArrivalMs_ = 0;
};

}  // namespace quillon::host
