#include "base/bytes.h"
#include "base/text.h"

#include <gtest/gtest.h>

namespace vornak {
namespace {

TEST(TextTest, Trim) {
    EXPECT_EQ(Trim(" \t a b\t "), "a b");
    EXPECT_EQ(Trim(" \t "), "") << "all blank";
    EXPECT_EQ(Trim("\r\na\n"), "\r\na\n") << "line ends are not blanks by default";
    EXPECT_EQ(Trim("\r\n 7 \n", " \t\r\n"), "7") << "callers may widen the set";
}

TEST(TextTest, SplitListDropsEmptyItems) {
    using List = std::vector<std::string>;
    EXPECT_EQ(SplitList(" mjpeg, h264 ,,h265 ", ','), (List{"mjpeg", "h264", "h265"}));
    EXPECT_EQ(SplitList("1920x1080;;640x480;", ';', {}), (List{"1920x1080", "640x480"}));
    EXPECT_EQ(SplitList("/a b: /c:", ':', {}), (List{"/a b", " /c"})) << "kept as written";
    EXPECT_TRUE(SplitList(" , ", ',').empty());
}

TEST(TextTest, CaseInsensitiveCompare) {
    EXPECT_TRUE(EqualsNoCase("WWW-Authenticate", "www-authenticate"));
    EXPECT_FALSE(EqualsNoCase("Basic", "Basi")) << "a prefix is not equal";
    EXPECT_FALSE(EqualsNoCase("\xC4", "\xE4")) << "ASCII only, whatever the locale";
    EXPECT_TRUE(StartsWithNoCase("rtsp://h", "RTSP://"));
    EXPECT_FALSE(StartsWithNoCase("rt", "RTSP"));
    EXPECT_EQ(ToLower("MD5-Sess"), "md5-sess");
}

TEST(TextTest, ParseDecimalTakesPlainDigitsOnly) {
    struct Row {
        const char* text;
        std::optional<uint32_t> value;
        const char* why;
    };
    const Row rows[] = {
        {"0", 0u, "zero is a value, not a failure"},
        {"4294967295", 4294967295u, "largest"},
        {"4294967296", std::nullopt, "overflow"},
        {"+1", std::nullopt, "sign"},
        {"-1", std::nullopt, "negative"},
        {" 1", std::nullopt, "blank: callers trim"},
        {"12a", std::nullopt, "trailing text"},
        {"", std::nullopt, "empty"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseDecimal(row.text), row.value) << row.why;
    }
    // Host parameters may be negative and arrive with their line end.
    EXPECT_EQ(ParseSignedDecimal(" -12\r\n"), -12);
    EXPECT_EQ(ParseSignedDecimal("+1"), std::nullopt) << "no '+', as before";
    EXPECT_EQ(ParseSignedDecimal("2147483648"), std::nullopt) << "overflow";
    EXPECT_EQ(ParseSignedDecimal(" \n"), std::nullopt) << "blank";
}

TEST(BytesTest, BigEndianReadsAndWritesRoundTrip) {
    // High bits set in every byte: a sign-extending read would spill into the upper bytes.
    uint8_t b[4] = {};
    WriteBe32(b, 0xF1E2D3C4u);
    EXPECT_EQ(b[0], 0xF1);
    EXPECT_EQ(b[3], 0xC4);
    EXPECT_EQ(ReadBe32(b), 0xF1E2D3C4u);
    EXPECT_EQ(ReadBe24(b + 1), 0xE2D3C4u);
    EXPECT_EQ(ReadBe16(b + 2), 0xD3C4u);
}

}  // namespace
}  // namespace vornak
