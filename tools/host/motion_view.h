// Motion frames among a recording stream's frames: the host shows the state they carry and how
// often it changed, and passes every other frame on to the stream's recorder.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "host_objects.h"

namespace quillon::host {

class MotionTap : public IFrameSink {
  public:
    static constexpr uint32_t kFourCC = 0x444D454Du;  // "MEMD"

    explicit MotionTap(IFrameSink* next) : next_(next) {}

    bool OnFrame(IVideoFrame* frame) override;
    void OnSignalLost() override { next_->OnSignalLost(); }

    struct Figures {
        uint64_t frames = 0;
        uint64_t changes = 0;  // frames whose state differs from the one before
        int state = -1;        // -1 none yet, 0 no motion, 1 motion
        uint64_t malformed = 0;
    };
    Figures Snapshot();
    // "motion yes (3 changes)"; "motion -" before the first frame.
    static std::string Text(const Figures& figures);

  private:
    IFrameSink* next_;
    std::mutex mutex_;
    Figures figures_;
};

}  // namespace quillon::host
