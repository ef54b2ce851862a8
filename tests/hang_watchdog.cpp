// A test that hangs would only show up as a time-out. This watchdog prints every thread's stack
// (through gdb, when the machine has it) and aborts, so a hang leaves a trace to work from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Far beyond any single test; QUILLON_HANG_WATCHDOG_SECONDS changes it (0 turns it off, e.g. for
// long --gtest_repeat runs).
std::chrono::seconds Limit() {
    const char* text = std::getenv("QUILLON_HANG_WATCHDOG_SECONDS");
    return std::chrono::seconds(text != nullptr ? std::strtoll(text, nullptr, 10) : 240);
}

class HangWatchdog : public ::testing::Environment {
  public:
    void SetUp() override {
        const auto limit = Limit();
        if (limit.count() <= 0) {
            return;
        }
        std::thread([limit] {
            std::this_thread::sleep_for(limit);
            std::fprintf(stderr, "\nhang watchdog: still running after %lld s; stacks follow\n",
                         static_cast<long long>(limit.count()));
            const std::string command = "timeout 60 gdb -q -batch -p " +
                                        std::to_string(::getpid()) +
                                        " -ex 'thread apply all bt 20' 1>&2 2>/dev/null";
            if (std::system(command.c_str()) != 0) {
                std::fprintf(stderr, "hang watchdog: no stacks (gdb unavailable)\n");
            }
            std::abort();
        }).detach();
    }
};

const auto* const kWatchdog = ::testing::AddGlobalTestEnvironment(new HangWatchdog);

}  // namespace
