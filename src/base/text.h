// Small text helpers for the 8-bit protocol and settings texts the driver reads. None of them
// reads past the view it is given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornak {

inline constexpr std::string_view kBlanks = " \t";

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
// Plain decimal digits into 32 bits; nullopt for an empty text, a sign, a blank or an overflow.
[[nodiscard]] std::optional<uint32_t> ParseDecimal(std::string_view text);
// Host parameter values: blanks and line ends around, an optional '-', 32 bits signed.
[[nodiscard]] std::optional<int32_t> ParseSignedDecimal(std::string_view text);

}  // namespace vornak
