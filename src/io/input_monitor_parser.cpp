#include "io/input_monitor_parser.h"

#include "base/text.h"

namespace vornak {

namespace {
// More digits than any 32-bit index has: such a number is no record.
constexpr size_t kMaxIndexDigits = 10;
}  // namespace

uint32_t InputStateFromChar(char c) {
    switch (c) {
        case '/':
        case 'H':
        case 'h':
            return kIOActive;
        case '\\':
        case 'L':
        case 'l':
            return kIOInactive;
        default:
            return kIOUndetermined;
    }
}

std::vector<InputRecord> CInputMonitorParser::Feed(std::span<const uint8_t> bytes) {
    pending_.append(bytes.begin(), bytes.end());
    const std::string_view text = pending_;
    std::vector<InputRecord> records;
    size_t pos = 0;
    size_t keep = text.size();  // where the unfinished tail starts; the end when there is none
    while (pos < text.size()) {
        const size_t io = text.find("IO", pos);
        if (io == std::string_view::npos) {
            // A last "I" may be the start of the next record.
            keep = text.back() == 'I' ? text.size() - 1 : text.size();
            break;
        }
        size_t end = io + 2;
        while (end < text.size() && end - io - 2 <= kMaxIndexDigits && text[end] >= '0' &&
               text[end] <= '9') {
            ++end;
        }
        const size_t digits = end - io - 2;
        if (digits > kMaxIndexDigits) {
            pos = io + 2;
            continue;
        }
        if (end + 1 >= text.size()) {
            if (end == text.size() || text[end] == ':') {
                keep = io;  // number, colon or state still to come
                break;
            }
        }
        if (text[end] != ':') {
            // Not a record ("IOx:/", or text that happens to hold "IO"): look further on.
            pos = io + 2;
            continue;
        }
        if (digits != 0) {
            if (auto index = ParseDecimal(text.substr(io + 2, digits))) {
                records.push_back({*index, InputStateFromChar(text[end + 1])});
            }
        }
        pos = end + 2;
    }
    pending_.erase(0, keep);
    return records;
}

}  // namespace vornak
