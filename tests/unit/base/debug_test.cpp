#include "base/debug.h"

#include <gtest/gtest.h>

#include "recording_debug.h"

namespace vornak {
namespace {

TEST(FormatTest, FormatsWithoutLengthLimit) {
    const std::string longText(5000, 'x');
    EXPECT_EQ(Format("%s-%d", longText.c_str(), 42), longText + "-42");
    EXPECT_EQ(Format("%s", ""), "");
}

// A repeat is dropped until the filter is reset; percent signs reach the host unchanged.
TEST(LoggerInstanceTest, RepeatsAreDroppedUntilResetAndOtherTextsPass) {
    test::RecordingDebug debug;
    CLoggerInstance logger(&debug);
    logger.Log(1, "%s: connection failed, device %s", "vornak::X::Run", "cam");
    logger.Log(1, "%s: connection failed, device %s", "vornak::X::Run", "cam");
    logger.Log(3, "%s", "100% done, %d %s %n");
    logger.ResetLogFilter();
    logger.Log(3, "%s", "100% done, %d %s %n");
    const auto lines = debug.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "vornak::X::Run: connection failed, device cam");
    EXPECT_EQ(lines[0].level, 1u);
    EXPECT_EQ(lines[1].level, 3u);
    EXPECT_EQ(lines[2].text, "100% done, %d %s %n");
}

// Empty texts are ignored and do not count.
TEST(LoggerInstanceTest, FifteenthDistinctIsDroppedSixteenthPasses) {
    test::RecordingDebug debug;
    CLoggerInstance logger(&debug);
    for (int i = 0; i < 20; ++i) {
        logger.Log(1, "%s", "");
    }
    for (int i = 1; i <= 16; ++i) {
        logger.Log(1, "message %d", i);
    }
    const auto lines = debug.Lines();
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[13].text, "message 14");
    EXPECT_EQ(lines[14].text, "message 16");
}

TEST(LoggerInstanceTest, ThinningOver70000DistinctMessages) {
    test::RecordingDebug debug;
    CLoggerInstance logger(&debug);
    for (int i = 1; i <= 70000; ++i) {
        logger.Log(1, "message %d", i);
    }
    // 14 always, then 15 each of one-in-16, one-in-256 and one-in-4096 up to 65534; the
    // 65535th resets the counter to 4095, after which 4096 and 8192 pass again.
    const auto lines = debug.Lines();
    ASSERT_EQ(lines.size(), 61u);
    EXPECT_EQ(lines[14].text, "message 16");
    EXPECT_EQ(lines[29].text, "message 256");
    EXPECT_EQ(lines[44].text, "message 4096");
    EXPECT_EQ(lines[58].text, "message 61440");
    EXPECT_EQ(lines[59].text, "message 65536");
    EXPECT_EQ(lines[60].text, "message 69632");
}

TEST(ResultDefTest, SetResultWithoutFormatClearsTheMessage) {
    CResultDef result;
    result.SetResultEx(1, 401, "%s: login failed, device %s", "vornak::F", "cam");
    EXPECT_EQ(result.GetMessage(), "vornak::F: login failed, device cam");
    result.SetResult(2, 5);
    EXPECT_EQ(result.GetLevel(), 2u);
    EXPECT_EQ(result.GetCode(), 5u);
    EXPECT_EQ(result.GetMessage(), "");
}

TEST(DebugInfoTest, EmptyTextIsAbsent) {
    const CDebugInfo empty(3, "");
    EXPECT_EQ(empty.GetText(), nullptr);
    const CDebugInfo none(3, nullptr);
    EXPECT_EQ(none.GetText(), nullptr);
    const CDebugInfo line(100, "text");
    EXPECT_STREQ(line.GetText(), "text");
    EXPECT_EQ(line.GetLevel(), 100);
}

}  // namespace
}  // namespace vornak
