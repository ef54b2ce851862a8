#include "motion/motion_parser.h"

#include <algorithm>
#include <map>

#include "base/text.h"

namespace vornak {

namespace {
// Reads "<name>=<digits>;" at the front of text and moves past it.
std::optional<uint32_t> TakeField(std::string_view& text, std::string_view name) {
    if (text.substr(0, name.size()) != name || text.substr(name.size(), 1) != "=") {
        return std::nullopt;
    }
    text.remove_prefix(name.size() + 1);
    const size_t end = text.find(';');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    const auto value = ParseDecimal(text.substr(0, end));
    text.remove_prefix(end + 1);
    return value;
}
}  // namespace

std::optional<MotionLine> ReadMotionLine(std::string_view line) {
    line = Trim(line, " \t\r");
    const auto window = TakeField(line, "group");
    const auto level = window ? TakeField(line, "level") : std::nullopt;
    const auto threshold = level ? TakeField(line, "threshold") : std::nullopt;
    if (!threshold) {
        return std::nullopt;
    }
    return MotionLine{*window, *level, *threshold};
}

MotionResult JudgeMotionRecord(std::string_view record, const std::vector<uint32_t>& windows) {
    std::map<uint32_t, bool> motion;
    while (!record.empty()) {
        const size_t end = record.find('\n');
        const auto line = ReadMotionLine(record.substr(0, end));
        if (line && std::find(windows.begin(), windows.end(), line->window) != windows.end()) {
            motion[line->window] = line->level > line->threshold;
        }
        record.remove_prefix(end == std::string_view::npos ? record.size() : end + 1);
    }
    if (motion.empty()) {
        return kMotionUndecided;
    }
    const bool any =
        std::any_of(motion.begin(), motion.end(), [](const auto& w) { return w.second; });
    return any ? kMotionDetected : kMotionQuiet;
}

std::vector<MotionResult> CAxisMDParser::Parse(std::span<const uint8_t> chunk) {
    std::vector<MotionResult> results;
    buffer_.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    size_t start = 0;  // of the open record
    for (size_t at = buffer_.find(kBoundary, scanned_); at != std::string::npos;
         at = buffer_.find(kBoundary, start)) {
        if (started_ && !skipping_ && at - start > kMaxRecordBytes) {
            ++skipped_;
        } else if (started_ && !skipping_) {
            const std::string_view record(buffer_.data() + start, at - start);
            if (const MotionResult result = JudgeMotionRecord(record, windows_);
                result != kMotionUndecided) {
                results.push_back(result);
            }
        }
        started_ = true;
        skipping_ = false;
        start = at + kBoundary.size();
    }
    buffer_.erase(0, start);
    // Only a boundary's worth of tail is needed where no record is kept.
    const size_t tail = kBoundary.size() - 1;
    const bool overlong = started_ && buffer_.size() > kMaxRecordBytes;
    if (overlong && !skipping_) {
        skipping_ = true;
        ++skipped_;
    }
    if ((!started_ || skipping_) && buffer_.size() > tail) {
        buffer_.erase(0, buffer_.size() - tail);
    }
    scanned_ = buffer_.size() > tail ? buffer_.size() - tail : 0;
    return results;
}

}  // namespace vornak
