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

constexpr auto kLimit = std::chrono::seconds(240);

class HangWatchdog : public ::testing::Environment {
  public:
    void SetUp() override {
        std::thread([] {
            std::this_thread::sleep_for(kLimit);
            std::fprintf(stderr, "\nhang watchdog: still running after %lld s; stacks follow\n",
                         static_cast<long long>(kLimit.count()));
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
