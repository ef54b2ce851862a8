// Turns the RTP timestamps of successive frames into wall-clock times without knowing the RTP
// clock rate: the ratio of system time to RTP ticks is learned from the last 1000 frames, and the
// result is kept close to the arrival time. For recordings it can be pinned to a start time and a
// fixed step instead.
#pragma once

#include <cstdint>
#include <deque>

#include "base/sync.h"
#include "base/time.h"
#include "rtsp/stream_clock.h"

namespace vornak {

class CTimeStampConverter {
  public:
    static constexpr size_t kWindow = 1000;

    CTimeStampConverter() : clock_(&SystemStreamClock()) {}
    // `clock` is borrowed and must outlive the converter.
    explicit CTimeStampConverter(IStreamClock* clock) : clock_(clock) {}
    virtual ~CTimeStampConverter() = default;

    void Convert(uint32_t rtpTimestamp);
    // The time of the last converted frame, or now when there is none.
    void GetTime(SYSTEMTIME& systemTime);
    TimeValue GetLastOutput();
    // Pinned mode: from startTime on, each RTP tick of a clockRate Hz clock is 10^7 / clockRate
    // units of 100 ns; a repeated timestamp advances by step.
    void SetSyncPoint(TimeValue startTime, TimeValue step, uint32_t clockRate = 90000);
    // A new session: what was learned goes, but its first frame still comes after the last one.
    void Reset();

  private:
    // A window of the last kWindow samples with its running sum.
    struct Window {
        std::deque<uint64_t> samples;
        uint64_t sum = 0;
        void Add(uint64_t value);
        uint64_t Mean() const { return samples.empty() ? 0 : sum / samples.size(); }
    };

    void ConvertAdaptive(uint32_t rtp);
    void ConvertPinned(uint32_t rtp);

    CLock lock_;
    IStreamClock* clock_;
    TimeValue lastOutput_ = 0;
    TimeValue lastSessionOutput_ = 0;  // lastOutput_ before the last Reset
    uint32_t lastRtp_ = 0;
    uint64_t correction_ = 0;
    Window rtpDeltas_;
    Window timeDeltas_;
    TimeValue lastNow_ = 0;
    bool adaptive_ = true;
    uint64_t fixedStep_ = 0;
    uint32_t clockRate_ = 90000;
};

}  // namespace vornak
