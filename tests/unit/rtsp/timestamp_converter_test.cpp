#include "rtsp/timestamp_converter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "rtsp_test_support.h"

namespace vornak {
namespace {

using test::CManualClock;

constexpr uint64_t kMs = kTicksPerMs;

// 25 frames per second at 90 kHz (3600 ticks per 40 ms), each frame after the given time.
struct Stream25 {
    void Frame(uint64_t after = 40 * kMs) {
        clock.now += after;
        rtp += 3600;
        converter.Convert(rtp);
    }
    TimeValue Out() { return converter.GetLastOutput(); }
    CManualClock clock;
    CTimeStampConverter converter{&clock};
    uint32_t rtp = 1;
};

TEST(TimeStampConverterTest, EarlyFramesClampToArrivalThenMeasuredStep) {
    CManualClock clock;
    CTimeStampConverter converter(&clock);
    // 30 frames per second at 90 kHz: 3000 ticks per 33.333 ms.
    const uint64_t interval = 333333;
    uint32_t rtp = 3000;
    converter.Convert(rtp);
    EXPECT_EQ(converter.GetLastOutput(), clock.now) << "the first frame is stamped on arrival";
    for (int i = 1; i <= 100; ++i) {
        clock.now += interval;
        rtp += 3000;
        converter.Convert(rtp);
        // 3000 ticks count as 30 ms, less than the 33 ms that passed: clamped to arrival.
        EXPECT_EQ(converter.GetLastOutput(), clock.now) << "frame " << i;
    }
    TimeValue previous = converter.GetLastOutput();
    for (int i = 0; i < 50; ++i) {
        clock.now += interval;
        rtp += 3000;
        converter.Convert(rtp);
        const TimeValue output = converter.GetLastOutput();
        EXPECT_NEAR(static_cast<double>(output - previous), static_cast<double>(interval), 1.0);
        EXPECT_GE(output, clock.now) << "never before arrival";
        previous = output;
    }
}

TEST(TimeStampConverterTest, JumpsJustBelowTheEarlyLimitStayNearArrival) {
    CManualClock clock;
    CTimeStampConverter converter(&clock);
    // 25 frames per second whose timestamps jump 1.1 s at 90 kHz: 0.99 s each while learning.
    uint32_t rtp = 1;
    TimeValue previous = 0;
    for (int i = 0; i < 300; ++i) {
        converter.Convert(rtp);
        const TimeValue output = converter.GetLastOutput();
        EXPECT_LE(output, clock.now + 100 * kMs) << "frame " << i;
        EXPECT_GT(output, previous) << "frame " << i;
        previous = output;
        clock.now += 40 * kMs;
        rtp += 99000;
    }
}

// Without history the time is now; a repeated or older timestamp moves 1 ms on; a timestamp
// far ahead of the clock starts again from the arrival.
TEST(TimeStampConverterTest, NoHistoryRepeatedTimestampAndEarlyJump) {
    CManualClock clock;
    CTimeStampConverter converter(&clock);
    SYSTEMTIME t{};
    converter.GetTime(t);
    SYSTEMTIME expected{};
    TimeToSystemTime(clock.now, expected);
    EXPECT_EQ(std::memcmp(&t, &expected, sizeof(t)), 0);
    converter.Convert(5000);
    const TimeValue first = converter.GetLastOutput();
    converter.Convert(5000);
    EXPECT_EQ(converter.GetLastOutput(), first + kMs);
    converter.Convert(4000);
    EXPECT_EQ(converter.GetLastOutput(), first + 2 * kMs) << "an older timestamp also moves on";
    clock.now += 10 * kMs;
    converter.Convert(5000 + 100000);  // 100000 ticks x 10 us = 1 s
    EXPECT_EQ(converter.GetLastOutput(), clock.now);
}

TEST(TimeStampConverterTest, LeadIsAbsorbedStepByStep) {
    Stream25 s;
    for (int i = 0; i <= 150; ++i) {
        s.Frame();
    }
    // A burst: ten frames arrive at once, each with its full RTP step.
    const TimeValue burstAt = s.clock.now;
    for (int i = 0; i < 10; ++i) {
        s.Frame(0);
    }
    EXPECT_NEAR(static_cast<double>(s.Out() - burstAt), 100.0 * kMs, 10.0)
        << "the burst runs ahead of the wall clock up to the bound, still rising";
    // Steady frames again: each step is shortened (by 1 ms up to a tenth of the step) until the
    // lead is gone. The burst's zero time deltas also lower the measured ratio for a while.
    int frames = 0;
    while (s.Out() > s.clock.now + 40 * kMs && frames < 500) {
        const TimeValue previous = s.Out();
        s.Frame();
        EXPECT_LE(s.Out() - previous, 39 * kMs) << "at least 1 ms is taken off";
        EXPECT_GE(s.Out() - previous, 32 * kMs) << "no more than a tenth of a measured step";
        EXPECT_GE(s.Out(), s.clock.now) << "never before arrival";
        ++frames;
    }
    EXPECT_GT(frames, 5);
    EXPECT_LT(frames, 500) << "the lead is worked off";
}

TEST(TimeStampConverterTest, NewSessionStartsAfterTheLastFrameOfTheOldOne) {
    Stream25 s;
    for (int i = 0; i <= 150; ++i) {
        s.Frame();
    }
    s.Frame(20 * kMs);  // a lead that is kept
    const TimeValue last = s.Out();
    ASSERT_GT(last, s.clock.now);
    // Reconnected at once, or a session that carried no frame between: still after that frame.
    s.converter.Reset();
    s.converter.Reset();
    s.rtp = 777777;
    s.Frame(5 * kMs);
    EXPECT_GT(s.Out(), last);
    EXPECT_LT(s.Out(), last + kMs);
    s.Frame();
    EXPECT_GT(s.Out(), last);
    // A frame with timestamp 0 is not a new session: no step back either.
    s.Frame(20 * kMs);
    const TimeValue ahead = s.Out();
    s.clock.now += 5 * kMs;
    s.converter.Convert(0);
    s.converter.Convert(100);
    EXPECT_GT(s.Out(), ahead);
    // A wall clock set back by an hour between sessions is followed.
    s.converter.Reset();
    s.clock.now -= 3600 * 1000 * kMs;
    s.Frame();
    EXPECT_EQ(s.Out(), s.clock.now);
}

TEST(TimeStampConverterTest, SmallLeadIsNotCorrected) {
    Stream25 s;
    for (int i = 0; i <= 150; ++i) {
        s.Frame();
    }
    // One frame 20 ms early: a lead within 250 ms is kept as it is, not clamped and not
    // recorded for correction; the next frame on time lands on its arrival again.
    s.Frame(20 * kMs);
    EXPECT_GT(s.Out(), s.clock.now + 15 * kMs);
    s.Frame(60 * kMs);
    EXPECT_EQ(s.Out(), s.clock.now);
    s.Frame();
    EXPECT_EQ(s.Out(), s.clock.now) << "no correction was left to absorb";
}

TEST(TimeStampConverterTest, PinnedMode) {
    CManualClock clock;
    CTimeStampConverter converter(&clock);
    const TimeValue start = 132000000000000000ULL;
    converter.SetSyncPoint(start, 400000);
    converter.Convert(0);
    EXPECT_EQ(converter.GetLastOutput(), start) << "0 is ignored";
    converter.Convert(9000);
    EXPECT_EQ(converter.GetLastOutput(), start) << "the first timestamp only anchors";
    converter.Convert(9000);
    EXPECT_EQ(converter.GetLastOutput(), start + 400000) << "same timestamp: the fixed step";
    converter.Convert(12600);
    const TimeValue afterStep = start + 400000 + 40 * kMs;
    EXPECT_EQ(converter.GetLastOutput(), afterStep) << "3600 ticks of 90 kHz are 40 ms";
    converter.Convert(100);
    EXPECT_EQ(converter.GetLastOutput(), afterStep) << "older: unchanged";
    clock.now += 1000 * kMs;
    EXPECT_EQ(converter.GetLastOutput(), afterStep) << "no wall clock involved";
    converter.SetSyncPoint(start, 400000, 8000);
    converter.Convert(1000);
    converter.Convert(1080);
    EXPECT_EQ(converter.GetLastOutput(), start + 10 * kMs) << "80 ticks of 8 kHz are 10 ms";

    converter.Reset();
    converter.Convert(5);
    EXPECT_EQ(converter.GetLastOutput(), clock.now) << "Reset returns to the adaptive mode";
}

// Frames sent every 40 ms arrive up to 8 ms late: once the rate is measured, the stamps step
// evenly and stay close behind the arrivals instead of copying the network's jitter.
TEST(TimeStampConverterSpacingTest, JitteredArrivalsGetEvenSteps) {
    CManualClock clock;
    CTimeStampConverter converter(&clock);
    const TimeValue start = clock.now;
    uint32_t rtp = 1;
    TimeValue previous = 0;
    int uneven = 0;
    for (int i = 0; i < 500; ++i) {
        clock.now = start + i * 40 * kMs + (i * 7919 % 9) * kMs;
        converter.Convert(rtp);
        rtp += 3600;
        const TimeValue output = converter.GetLastOutput();
        ASSERT_GE(output, clock.now) << "frame " << i;
        if (i > 150) {
            EXPECT_LT(output - clock.now, 20 * kMs) << "frame " << i << " runs ahead";
            uneven += output - previous > 41 * kMs || output - previous < 39 * kMs;
        }
        previous = output;
    }
    EXPECT_LE(uneven, 3) << "steps off the 40 ms interval";
}

}  // namespace
}  // namespace vornak
