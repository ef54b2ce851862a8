#include "web/codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Web::Base64Encode;
using Web::EncodeCredentials;
using Web::EncodeText;
using Web::MD5Hex;

TEST(MD5Hex, HashesBytesNotCharacters) {
    const std::vector<uint8_t> withZero = {'a', 0, 'b'};
    EXPECT_NE(MD5Hex(withZero), MD5Hex("ab"));
    EXPECT_EQ(MD5Hex(withZero), MD5Hex(std::string_view("a\0b", 3)));
}

TEST(Base64, MatchesTheRfc4648Vectors) {
    struct Row {
        const char* in;
        const char* out;
    };
    for (const Row& row :
         {Row{"", ""}, Row{"f", "Zg=="}, Row{"fo", "Zm8="}, Row{"foo", "Zm9v"},
          Row{"foob", "Zm9vYg=="}, Row{"fooba", "Zm9vYmE="}, Row{"foobar", "Zm9vYmFy"}}) {
        EXPECT_EQ(EncodeText(row.in), row.out) << row.in;
    }
}

TEST(Base64, BreaksLinesAfterEvery76Characters) {
    // 57 bytes fill exactly one line of 76 characters: no break.
    EXPECT_EQ(EncodeText(std::string(57, 'x')).find("\r\n"), std::string::npos);
    // 58 bytes need a second line.
    const std::string two = EncodeText(std::string(58, 'x'));
    EXPECT_EQ(two.find("\r\n"), 76u);
    EXPECT_EQ(two.size(), 76u + 2u + 4u);
    // 114 bytes are exactly two lines: one break between, none at the end.
    const std::string exact = EncodeText(std::string(114, 'x'));
    EXPECT_EQ(exact.size(), 76u * 2 + 2);
    EXPECT_EQ(exact.rfind("\r\n"), 76u);
}

TEST(Base64, EncodesEveryByteValue) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<uint8_t>(i));
    }
    const std::string text = Base64Encode(bytes, false);
    EXPECT_EQ(text.size(), 344u);
    EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
    EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");
}

TEST(EncodeCredentials, OneHeaderLineOrNothing) {
    EXPECT_EQ(EncodeCredentials("root", ""), "cm9vdDo=") << "an empty password keeps its colon";
    const std::string encoded = EncodeCredentials(std::string(40, 'u'), std::string(40, 'p'));
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos) << "no line breaks when long";
    EXPECT_EQ(encoded.size(), 108u);
    // Line ends would split the header.
    EXPECT_EQ(EncodeCredentials("user\r\nX-Evil: 1", "pw"), "");
    EXPECT_EQ(EncodeCredentials("user", "pw\n"), "");
}

}  // namespace
