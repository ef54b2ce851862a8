#include "web/field_search.h"

namespace vornak {

namespace {
constexpr std::string_view kRoot = "root.";
}  // namespace

std::optional<FieldSpan> FindFieldValue(std::string_view text, std::string_view key,
                                        std::string_view separator, std::string_view lineEnds,
                                        bool rootPrefix) {
    if (key.empty() || separator.empty()) {
        return std::nullopt;
    }
    size_t from = 0;
    while (from < text.size()) {
        const size_t hit = text.find(key, from);
        if (hit == std::string_view::npos) {
            break;
        }
        from = hit + 1;
        const size_t lastEnd =
            hit == 0 ? std::string_view::npos : text.find_last_of(lineEnds, hit - 1);
        const size_t lineStart = lastEnd == std::string_view::npos ? 0 : lastEnd + 1;
        size_t lineEnd = text.find_first_of(lineEnds, hit);
        if (lineEnd == std::string_view::npos) {
            lineEnd = text.size();
        }
        const size_t sep = text.find(separator, hit + key.size());
        if (sep == std::string_view::npos || sep >= lineEnd) {
            continue;
        }
        size_t nameStart = lineStart;
        if (rootPrefix && text.substr(lineStart, hit - lineStart) == kRoot) {
            nameStart = hit;
        }
        if (Trim(text.substr(nameStart, sep - nameStart)) != key) {
            continue;
        }
        const size_t valueStart = sep + separator.size();
        if (valueStart >= lineEnd) {
            continue;  // an empty value is no answer; a later line may hold one
        }
        return FieldSpan{valueStart, lineEnd};
    }
    return std::nullopt;
}

std::string GetParameterValue(std::string_view reply, std::string_view key) {
    const auto span = FindFieldValue(reply, key, "=", "\r\n", true);
    return span ? std::string(reply.substr(span->begin, span->end - span->begin)) : std::string();
}

std::string GetFieldValue(std::string_view text, std::string_view key, std::string_view separator,
                          std::string_view lineEnds) {
    const auto span = FindFieldValue(text, key, separator, lineEnds, false);
    return span ? std::string(text.substr(span->begin, span->end - span->begin)) : std::string();
}

bool IsNumber(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace vornak
