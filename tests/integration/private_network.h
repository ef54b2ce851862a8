// Tests of multicast streams run again in a child process inside a network namespace of its own:
// the network holds only loopback, so no multicast packet can leave the machine. The settings
// file (whose streaming mode is global) is read beside the program, so the child runs a hard link
// of this program in a private folder with its own file, which no other test process sees. A bind
// mount over the shared file would not do: another test's rename of that file detaches it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "driver_harness.h"

namespace quillon::test {

inline constexpr const char* kPrivateNetworkMark = "QUILLON_PRIVATE_NETWORK";

inline std::filesystem::path PrivateSettingsFile() {
    return host::ExecutableFolder() + "Quillon.xml";
}

enum class PrivateNetworkSide { kChild, kParentDone, kNoNamespaces };

// In the parent: runs the current test in the child and judges its exit status. In the child:
// kChild, and the test body runs.
inline PrivateNetworkSide RunInPrivateNetwork() {
    if (std::getenv(kPrivateNetworkMark) != nullptr) {
        return PrivateNetworkSide::kChild;
    }
    if (std::system("unshare -n true >/dev/null 2>&1") != 0 ||
        std::system("command -v ip >/dev/null 2>&1") != 0) {
        return PrivateNetworkSide::kNoNamespaces;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    const std::filesystem::path folder =
        self.parent_path() / ("private-network-" + std::to_string(::getpid()));
    const std::filesystem::path program = folder / self.filename();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directory(folder, error);
    std::filesystem::create_hard_link(self, program, error);
    if (error) {
        error.clear();
        std::filesystem::copy_file(self, program, error);
    }
    EXPECT_FALSE(error) << "cannot place the program in " << folder << ": " << error.message();
    std::ofstream(folder / "Quillon.xml") << "<Configuration></Configuration>\n";
    const std::string command =
        std::string(kPrivateNetworkMark) +
        "=1 timeout 300 unshare -n sh -c 'ip link set lo up && ip link set lo multicast on && "
        "ip route add 224.0.0.0/4 dev lo && exec \"$1\" --gtest_filter=\"$2\"' sh '" +
        program.string() + "' '" + filter + "' 2>&1";
    std::string output;
    FILE* pipe = error ? nullptr : popen(command.c_str(), "r");
    if (pipe != nullptr) {
        char buffer[1024];
        while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
            output += buffer;
        }
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    std::filesystem::remove_all(folder, error);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the test in its private network failed:\n"
        << output.substr(output.size() > 20000 ? output.size() - 20000 : 0);
    return PrivateNetworkSide::kParentDone;
}

#define RUN_IN_PRIVATE_NETWORK()                                        \
    do {                                                                \
        const PrivateNetworkSide where = RunInPrivateNetwork();         \
        if (where == PrivateNetworkSide::kNoNamespaces) {               \
            GTEST_SKIP() << "no network namespaces here (unshare, ip)"; \
        }                                                               \
        if (where == PrivateNetworkSide::kParentDone) {                 \
            return;                                                     \
        }                                                               \
    } while (false)

// In the child: the file beside its private copy of the program.
inline void WritePrivateSettings(const std::string& streamingMode, const std::string& device = "") {
    std::ofstream(PrivateSettingsFile()) << "<Configuration><StreamingMode>" << streamingMode
                                         << "</StreamingMode>" << device << "</Configuration>\n";
}

}  // namespace quillon::test
