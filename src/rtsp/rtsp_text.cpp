#include "rtsp/rtsp_text.h"

namespace vornak::rtsptext {

namespace {
bool IsBoundary(char c) {
    return c == ' ' || c == '\t' || c == ';' || c == ',';
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::optional<std::string_view> FindParameter(std::string_view text, std::string_view key,
                                              std::string_view separator,
                                              std::string_view terminators) {
    size_t from = 0;
    while (from <= text.size()) {
        const size_t at = text.find(key, from);
        if (at == std::string_view::npos) {
            return std::nullopt;
        }
        from = at + 1;
        if (at != 0 && !IsBoundary(text[at - 1])) {
            continue;
        }
        std::string_view rest = text.substr(at + key.size());
        // Blanks may stand around the separator ("timeout = 60").
        if (separator != " ") {
            rest = Trim(rest);
        }
        if (rest.substr(0, separator.size()) != separator) {
            continue;
        }
        rest.remove_prefix(separator.size());
        const size_t end = rest.find_first_of(terminators);
        return Trim(rest.substr(0, end));
    }
    return std::nullopt;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> words;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find_first_not_of(separators, pos);
        if (start == std::string_view::npos) {
            break;
        }
        size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        words.push_back(text.substr(start, end - start));
        pos = end;
    }
    return words;
}

std::vector<uint8_t> DecodeBase64(std::string_view text, size_t maxBytes) {
    std::vector<uint8_t> out;
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text) {
        const int value = Base64Value(c);
        if (value < 0) {
            continue;
        }
        accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (out.size() >= maxBytes) {
                return {};
            }
            out.push_back(static_cast<uint8_t>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    return out;
}

}  // namespace vornak::rtsptext
