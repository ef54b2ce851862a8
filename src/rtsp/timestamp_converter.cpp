#include "rtsp/timestamp_converter.h"

#include <algorithm>

namespace vornak {

namespace {
constexpr uint64_t kTicksPerRtpEarly = 100;  // 10 us per RTP tick until measured
constexpr uint64_t kLearningSamples = 100;
constexpr uint64_t kEarlyJumpLimit = 10000000;  // 1 s
constexpr uint64_t kMinAdvance = 10000;         // 1 ms
constexpr uint64_t kMaxLead = 2500000;          // 250 ms
constexpr uint64_t kMinAbsorbStep = 40000;      // 4 ms
// However the camera's timestamps jump or frames bunch up, a frame is never stamped further
// ahead of its arrival: a lead learned from bad early steps would take minutes to absorb, and
// one below kMaxLead would never be absorbed at all.
constexpr uint64_t kMaxAhead = 1000000;  // 100 ms
}  // namespace

void CTimeStampConverter::Window::Add(uint64_t value) {
    samples.push_back(value);
    sum += value;
    if (samples.size() > kWindow) {
        sum -= samples.front();
        samples.pop_front();
    }
}

void CTimeStampConverter::Convert(uint32_t rtpTimestamp) {
    CLockGuard guard(lock_);
    if (adaptive_) {
        ConvertAdaptive(rtpTimestamp);
    } else {
        ConvertPinned(rtpTimestamp);
    }
}

void CTimeStampConverter::ConvertAdaptive(uint32_t r) {
    const TimeValue now = clock_->Now();
    TimeValue output = 0;
    bool forceLead = false;
    if (now == 0 || lastOutput_ == 0 || lastRtp_ == 0) {
        output = now;
        correction_ = 0;
        // Not before the frame before, of this session or of the last, which may have been
        // stamped up to kMaxAhead ahead of its arrival. A wall clock set back further than that
        // between sessions is followed.
        if (lastOutput_ != 0) {
            output = std::max(output, lastOutput_ + 1);
        } else if (lastSessionOutput_ >= now && lastSessionOutput_ - now <= kMaxAhead) {
            output = lastSessionOutput_ + 1;
        }
    } else {
        bool clamp = true;
        if (r <= lastRtp_) {
            // Repeated or older timestamp: still move forward.
            output = std::max(lastOutput_ + kMinAdvance, now);
            forceLead = true;
        } else {
            const uint64_t d = r - lastRtp_;
            rtpDeltas_.Add(d);
            if (now >= lastNow_) {
                timeDeltas_.Add(now - lastNow_);
            }
            if (rtpDeltas_.samples.size() <= kLearningSamples) {
                if (d * kTicksPerRtpEarly >= kEarlyJumpLimit) {
                    output = now;
                    correction_ = 0;
                    clamp = false;
                } else {
                    output = lastOutput_ + d * kTicksPerRtpEarly;
                    forceLead = rtpDeltas_.samples.size() == kLearningSamples;
                }
            } else {
                const uint64_t rtpMean = rtpDeltas_.Mean();
                const uint64_t timeMean = timeDeltas_.Mean();
                uint64_t step =
                    rtpMean == 0
                        ? 0
                        : static_cast<uint64_t>(static_cast<double>(d) * timeMean / rtpMean + 0.5);
                if (correction_ > kMinAdvance && step > kMinAbsorbStep) {
                    const uint64_t absorb = std::min(correction_, std::max(step / 10, kMinAdvance));
                    step -= absorb;
                    correction_ -= absorb;
                }
                output = lastOutput_ + step;
            }
        }
        if (clamp) {
            if (output > now) {
                if (forceLead || output - now > kMaxLead) {
                    correction_ = output - now;
                }
            } else {
                output = now;
                correction_ = 0;
            }
        }
        if (output > now + kMaxAhead) {
            output = now + kMaxAhead;
            correction_ = kMaxAhead;
        }
        // Frame times never go backwards, not even when the bound above or a reset to the
        // arrival time would lead there.
        output = std::max(output, lastOutput_ + 1);
    }
    lastOutput_ = output;
    lastNow_ = now;
    lastRtp_ = r;
}

void CTimeStampConverter::ConvertPinned(uint32_t r) {
    if (r == 0) {
        return;
    }
    if (lastRtp_ == 0) {
        lastRtp_ = r;
    } else if (r == lastRtp_) {
        lastOutput_ += fixedStep_;
    } else if (r > lastRtp_) {
        lastOutput_ += uint64_t{r - lastRtp_} * 10000000 / clockRate_;
        lastRtp_ = r;
    }
}

void CTimeStampConverter::GetTime(SYSTEMTIME& systemTime) {
    TimeValue value = 0;
    {
        CLockGuard guard(lock_);
        value = lastOutput_ != 0 && lastRtp_ != 0 ? lastOutput_ : clock_->Now();
    }
    TimeToSystemTime(value, systemTime);
}

TimeValue CTimeStampConverter::GetLastOutput() {
    CLockGuard guard(lock_);
    return lastOutput_;
}

void CTimeStampConverter::SetSyncPoint(TimeValue startTime, TimeValue step, uint32_t clockRate) {
    CLockGuard guard(lock_);
    Reset();
    if (startTime != 0 && step != 0 && clockRate != 0) {
        adaptive_ = false;
        clockRate_ = clockRate;
        lastOutput_ = startTime;
        fixedStep_ = step;
    }
}

void CTimeStampConverter::Reset() {
    CLockGuard guard(lock_);
    if (lastOutput_ != 0) {
        lastSessionOutput_ = lastOutput_;
    }
    lastOutput_ = 0;
    lastRtp_ = 0;
    correction_ = 0;
    rtpDeltas_ = Window{};
    timeDeltas_ = Window{};
    lastNow_ = 0;
    adaptive_ = true;
    fixedStep_ = 0;
}

}  // namespace vornak
