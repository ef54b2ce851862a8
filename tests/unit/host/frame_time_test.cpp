#include <gtest/gtest.h>

#include "capture_session.h"

namespace quillon::host {
namespace {

// Frame stamps become Unix milliseconds by arithmetic; fields out of range are normalised as
// timegm would, rather than lost.
TEST(FrameTimeTest, StampsBecomeUnixMilliseconds) {
    struct Row {
        SYSTEMTIME time;
        int64_t unixMs;
        const char* why;
    };
    const Row rows[] = {
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 0, "the epoch"},
        {{2026, 12, 1, 7, 9, 46, 20, 123}, 1796636780123, "a day of this year"},
        {{2024, 2, 4, 29, 23, 59, 59, 999}, 1709251199999, "leap day, last millisecond"},
        {{2026, 12, 1, 7, 24, 0, 0, 5}, 1796688000005, "hour 24 is the next day's midnight"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SystemTimeToUnixMs(row.time), row.unixMs) << row.why;
    }
}

}  // namespace
}  // namespace quillon::host
