#include "base/time.h"

#include <gtest/gtest.h>

namespace vornak {
namespace {

// Calendar fields; the day of the week is left 0.
SYSTEMTIME CalendarFields(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s,
                          uint16_t ms) {
    return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

TEST(TimeValueTest, KnownValues) {
    EXPECT_EQ(SystemTimeToTime(CalendarFields(1601, 1, 1, 0, 0, 0, 0)), 0u);
    EXPECT_EQ(SystemTimeToTime(CalendarFields(1970, 1, 1, 0, 0, 0, 0)), kUnixEpochTicks);
    // 2024-03-05T14:07:09.120Z = Unix 1709647629.120
    EXPECT_EQ(SystemTimeToTime(CalendarFields(2024, 3, 5, 14, 7, 9, 120)),
              kUnixEpochTicks + 17096476291200000ULL);
}

TEST(TimeValueTest, RoundTripsThroughCalendarFields) {
    for (const TimeValue value : std::initializer_list<TimeValue>{
             kUnixEpochTicks, kUnixEpochTicks + 17096476291200000ULL,
             SystemTimeToTime(CalendarFields(2000, 2, 29, 23, 59, 59, 999)),
             SystemTimeToTime(CalendarFields(2100, 12, 31, 0, 0, 0, 1))}) {
        SYSTEMTIME f{};
        ASSERT_TRUE(TimeToSystemTime(value, f));
        EXPECT_EQ(SystemTimeToTime(f), value);
    }
    SYSTEMTIME f{};
    ASSERT_TRUE(TimeToSystemTime(SystemTimeToTime(CalendarFields(2024, 3, 5, 0, 0, 0, 0)), f));
    EXPECT_EQ(f.wDayOfWeek, 2) << "5 March 2024 was a Tuesday";
}

TEST(TimeValueTest, InvalidFieldsGiveZero) {
    EXPECT_EQ(SystemTimeToTime(CalendarFields(2023, 2, 29, 0, 0, 0, 0)), 0u) << "not a leap year";
    EXPECT_EQ(SystemTimeToTime(CalendarFields(2024, 13, 1, 0, 0, 0, 0)), 0u);
    EXPECT_EQ(SystemTimeToTime(CalendarFields(2024, 4, 31, 0, 0, 0, 0)), 0u);
    EXPECT_EQ(SystemTimeToTime(CalendarFields(2024, 1, 1, 24, 0, 0, 0)), 0u);
    EXPECT_EQ(SystemTimeToTime(CalendarFields(2024, 1, 1, 0, 0, 0, 1000)), 0u);
    EXPECT_EQ(SystemTimeToTime(CalendarFields(1600, 12, 31, 0, 0, 0, 0)), 0u);
}

TEST(ParseTimeTest, Forms) {
    struct Row {
        const char* text;
        TimeValue expected;
        const char* why;
    };
    const TimeValue base = SystemTimeToTime(CalendarFields(2024, 3, 5, 14, 7, 9, 0));
    const Row rows[] = {
        {"2024-03-05T14:07:09.120Z", base + 120 * kTicksPerMs, "full form"},
        {"2024-03-05T14:07:09Z", base, "seconds without milliseconds stop after six fields"},
        {"2024-03-05T14:07:09.5Z", base + 5 * kTicksPerMs, "one digit counts milliseconds"},
        {"mar 5, 2024 14:07:09", base, "month name in any case"},
        {"Mar 05, 2024 14:07:09", base, "two-digit day"},
        {"Foo 5, 2024 14:07:09", 0, "unknown month"},
        {"2024-02-30T00:00:00Z", 0, "invalid day"},
        {"", 0, "empty"},
        {"2024-03-05", 0, "date only"},
        {"Mar 5, 2024", 0, "no time of day"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseTime(row.text), row.expected) << row.text << ": " << row.why;
    }
}

TEST(FormatTimeTest, FormsAndFailures) {
    const TimeValue value = SystemTimeToTime(CalendarFields(2024, 3, 5, 14, 7, 9, 120));
    EXPECT_EQ(FormatTime(0, value), "2024-03-05T14:07:09.120Z");
    EXPECT_EQ(FormatTime(1, value), "20240305T140709.120Z");
    EXPECT_EQ(FormatTime(2, value), "");
    EXPECT_EQ(FormatTime(0, 0), "");
    EXPECT_EQ(ParseTime(FormatTime(0, value)), value);
}

TEST(ElapsedTest, FutureStampGivesZero) {
    EXPECT_EQ(GetElapsedMs(GetCurrentTime() + 600 * 10000000ULL), 0u);
    EXPECT_GE(GetElapsedMs(GetCurrentTime() - 2000 * kTicksPerMs), 2000u);
    CTime stamp;
    stamp.Set(GetCurrentTime() + 10000000ULL);
    EXPECT_EQ(stamp.GetElapsedMs(), 0u);
    stamp.Set(GetCurrentTime() - 1500 * kTicksPerMs);
    EXPECT_GE(stamp.GetElapsedMs(), 1500u);
    stamp.Touch();
    EXPECT_LT(stamp.GetElapsedMs(), 1000u);
}

}  // namespace
}  // namespace vornak
