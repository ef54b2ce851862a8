#include "base/text.h"

#include <algorithm>
#include <charconv>

namespace vornak {

std::string_view Trim(std::string_view text, std::string_view chars) {
    const size_t first = text.find_first_not_of(chars);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = LowerAscii(c);
    }
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::optional<uint32_t> ParseDecimal(std::string_view text) {
    // from_chars alone would take a leading '-' for nothing but reject it; checking the first
    // character keeps the contract obvious.
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    uint32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<int32_t> ParseSignedDecimal(std::string_view text) {
    text = Trim(text, " \t\r\n");
    int32_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

namespace {
// What is not a digit counts as 0, as devices' own decoders read it.
int HexOrZero(char c) {
    return std::max(HexDigit(c), 0);
}
}  // namespace

std::vector<uint8_t> DecodeHex(std::string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2 + 1);
    for (size_t i = 0; i < text.size(); i += 2) {
        if (i + 1 < text.size()) {
            out.push_back(static_cast<uint8_t>(HexOrZero(text[i]) << 4 | HexOrZero(text[i + 1])));
        } else {
            out.push_back(static_cast<uint8_t>(HexOrZero(text[i])));
        }
    }
    return out;
}

std::vector<std::string> SplitList(std::string_view text, char separator, std::string_view blanks) {
    std::vector<std::string> items;
    while (!text.empty()) {
        const size_t at = text.find(separator);
        const std::string_view item = Trim(text.substr(0, at), blanks);
        if (!item.empty()) {
            items.emplace_back(item);
        }
        if (at == std::string_view::npos) {
            break;
        }
        text.remove_prefix(at + 1);
    }
    return items;
}

}  // namespace vornak
