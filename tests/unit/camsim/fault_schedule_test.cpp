// The soak run's fault schedule: what each line becomes, and the lines refused with the reason.
#include <gtest/gtest.h>

#include "camsim/fault_schedule.h"

namespace camsim {
namespace {

using ScheduledKind = ScheduledFault::Kind;

TEST(FaultSchedule, Lines) {
    struct Row {
        const char* line;
        bool ok;
        ScheduledKind kind;
        double seconds;
        uint64_t count;
        uint64_t bytes;
        const char* why;
    };
    const Row rows[] = {
        {"10 restart 4", true, ScheduledKind::kRestart, 4, 0, 3000, "downtime only"},
        {"12.5 outage 0.5  # comment", true, ScheduledKind::kOutage, 0.5, 0, 3000,
         "fractions, comments"},
        {"1 stall 20 6", true, ScheduledKind::kStall, 20, 6, 3000, "bytes default"},
        {"1 stall 20 6 777", true, ScheduledKind::kStall, 20, 6, 777, "bytes given"},
        {"1 auth401 10 30", true, ScheduledKind::kAuth401, 10, 30, 3000, "a storm of 30"},
        {"1 stale-nonce", true, ScheduledKind::kStaleNonce, 0, 0, 3000, "a moment"},
        {" 1   rtp-drop 5 50\r", true, ScheduledKind::kRtpDrop, 5, 50, 3000, "blanks, CR"},
        {"1 rtp-duplicate 5 7", true, ScheduledKind::kRtpDuplicate, 5, 7, 3000, ""},
        {"1 rtp-reorder 5 9", true, ScheduledKind::kRtpReorder, 5, 9, 3000, ""},
        {"1 ignore-keepalives 90", true, ScheduledKind::kIgnoreKeepAlives, 90, 0, 3000, ""},
        {"0 close", true, ScheduledKind::kClose, 0, 0, 3000, "at the start"},
        {"x restart 4", false, ScheduledKind::kClose, 0, 0, 0, "time not a number"},
        {"-1 restart 4", false, ScheduledKind::kClose, 0, 0, 0, "negative time"},
        {"1 reboot 4", false, ScheduledKind::kClose, 0, 0, 0, "unknown kind"},
        {"1", false, ScheduledKind::kClose, 0, 0, 0, "no kind"},
        {"1 restart", false, ScheduledKind::kClose, 0, 0, 0, "downtime missing"},
        {"1 outage 0", false, ScheduledKind::kClose, 0, 0, 0, "a window of nothing"},
        {"1 stall 20", false, ScheduledKind::kClose, 0, 0, 0, "count missing"},
        {"1 stall 20 6 7 8", false, ScheduledKind::kClose, 0, 0, 0, "one number too many"},
        {"1 rtp-drop 5 0", false, ScheduledKind::kClose, 0, 0, 0, "every 0th packet"},
        {"1 close 3", false, ScheduledKind::kClose, 0, 0, 0, "a moment takes no arguments"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.line) + " (" + row.why + ")");
        std::string error;
        const auto got = ParseFaultSchedule(std::string("# schedule\n\n") + row.line, &error);
        ASSERT_EQ(got.has_value(), row.ok) << error;
        if (!row.ok) {
            EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
            continue;
        }
        ASSERT_EQ(got->size(), 1u);
        const ScheduledFault& f = got->front();
        EXPECT_EQ(f.kind, row.kind);
        EXPECT_EQ(f.seconds, row.seconds);
        EXPECT_EQ(f.count, row.count);
        EXPECT_EQ(f.bytes, row.bytes);
        EXPECT_EQ(f.line, 3);
    }
    // Lines out of order run in time order; those at one time in the order written.
    const auto got = ParseFaultSchedule("30 close\n5 stale-nonce\n5 close\n", nullptr);
    ASSERT_TRUE(got.has_value());
    ASSERT_EQ(got->size(), 3u);
    EXPECT_EQ((*got)[0].line, 2);
    EXPECT_EQ((*got)[1].line, 3);
    EXPECT_EQ((*got)[2].line, 1);
}

}  // namespace
}  // namespace camsim
