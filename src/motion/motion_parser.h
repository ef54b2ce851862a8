// The camera's motion data stream: multipart records between "--axismdb" CR LF lines, each
// carrying lines "group=<window>;level=<n>;threshold=<n>;" for the camera's motion windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornak {

// What one record (or one decision) says.
enum MotionResult : uint32_t { kMotionUndecided = 0, kMotionDetected = 1, kMotionQuiet = 2 };

struct MotionLine {
    uint32_t window = 0;
    uint32_t level = 0;
    uint32_t threshold = 0;
};

// "group=%u;level=%u;threshold=%u;" with all three numbers; text after the last ";" is ignored.
[[nodiscard]] std::optional<MotionLine> ReadMotionLine(std::string_view line);

// One record's verdict over the watched windows: motion when any of them has a level above its
// threshold (a later line for a window replaces an earlier one); undecided when no line names a
// watched window.
[[nodiscard]] MotionResult JudgeMotionRecord(std::string_view record,
                                             const std::vector<uint32_t>& windows);

// Cuts the stream into records and judges each. Only records closed by a boundary count, and
// the bytes before the first boundary are not a record. Where the stream is split into chunks
// does not change the results, so a record spread over several reads is judged once, whole.
class CAxisMDParser {
  public:
    static constexpr std::string_view kBoundary = "--axismdb\r\n";
    // A record this long is not motion data; it is skipped up to the next boundary.
    static constexpr size_t kMaxRecordBytes = 65536;

    explicit CAxisMDParser(std::vector<uint32_t> windows) : windows_(std::move(windows)) {}

    // The verdicts of the records these bytes complete, in stream order; undecided records
    // give none.
    [[nodiscard]] std::vector<MotionResult> Parse(std::span<const uint8_t> chunk);
    // Records skipped for their length since the parser was made.
    [[nodiscard]] uint32_t GetSkippedRecords() const { return skipped_; }

  private:
    std::vector<uint32_t> windows_;
    std::string buffer_;  // the open record (before the first boundary: a tail only)
    size_t scanned_ = 0;  // buffer_ holds no boundary that starts before this
    bool started_ = false;
    bool skipping_ = false;  // the open record went beyond the limit
    uint32_t skipped_ = 0;
};

}  // namespace vornak
