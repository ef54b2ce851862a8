// Small text helpers for the 8-bit protocol and settings texts the driver reads. None of them
// reads past the view it is given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornak {

inline constexpr std::string_view kBlanks = " \t";

[[nodiscard]] constexpr char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// 0-15 for a hexadecimal digit of either case, -1 for anything else.
[[nodiscard]] constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = LowerAscii(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}

// `chars` removed at both ends; blanks and tabs unless told otherwise.
[[nodiscard]] std::string_view Trim(std::string_view text, std::string_view chars = kBlanks);
// ASCII only: protocol names and tokens, never user text.
[[nodiscard]] std::string ToLower(std::string_view text);
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// A CR or LF inside a value would end a header line and start another.
[[nodiscard]] inline bool HasLineEnd(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}
// Pairs of hex digits, any case; a non-hex character counts as 0, an odd last digit is a byte.
[[nodiscard]] std::vector<uint8_t> DecodeHex(std::string_view text);
// Plain decimal digits into 32 bits; nullopt for an empty text, a sign, a blank or an overflow.
[[nodiscard]] std::optional<uint32_t> ParseDecimal(std::string_view text);
// Host parameter values: blanks and line ends around, an optional '-', 32 bits signed.
[[nodiscard]] std::optional<int32_t> ParseSignedDecimal(std::string_view text);
// The items between separators, each with `blanks` trimmed off; empty items are left out.
[[nodiscard]] std::vector<std::string> SplitList(std::string_view text, char separator,
                                                 std::string_view blanks = kBlanks);

}  // namespace vornak
