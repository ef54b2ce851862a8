// For tests of objects that log and run threads: a recorder that keeps every line logged through
// it (a test driver gets the same by deriving from RecordingLog<its base>), and a bounded wait.
#pragma once

#include <chrono>
#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/debug.h"

namespace vornak::test {

template <typename Base>
class RecordingLog : public Base {
  public:
    struct Line {
        uint32_t level;
        std::string text;
    };

    std::string GetDeviceName() override { return "127.0.0.1:80"; }
    void DebugMessage(uint32_t level, const char* format, ...) override {
        va_list args;
        va_start(args, format);
        std::string text = FormatV(format, args);
        va_end(args);
        std::lock_guard lock(mutex_);
        lines_.push_back({level, std::move(text)});
    }

    std::vector<Line> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t Count(const std::string& part) {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const Line& line : lines_) {
            n += line.text.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

  private:
    std::mutex mutex_;
    std::vector<Line> lines_;
};

using RecordingDebug = RecordingLog<IDebugMessage>;

// Polls every 5 ms until the condition holds (true) or the limit has passed (false).
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vornak::test
