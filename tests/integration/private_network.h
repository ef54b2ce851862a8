// Tests of multicast streams run again in a child process inside network and mount namespaces of
// their own: the network holds only loopback, so no multicast packet can leave the machine, and
// the settings file (whose streaming mode is global) is a private copy that no other test
// process sees.
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
    if (std::system("unshare -n -m true >/dev/null 2>&1") != 0 ||
        std::system("command -v ip >/dev/null 2>&1") != 0) {
        return PrivateNetworkSide::kNoNamespaces;
    }
    // The bind mount needs a file to cover; an empty configuration is what a missing one means.
    if (!std::filesystem::exists(PrivateSettingsFile())) {
        ScopedDeviceSection touch(0, "");
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    const std::string privateFile = (std::filesystem::temp_directory_path() /
                                     ("quillon-multicast-" + std::to_string(::getpid()) + ".xml"))
                                        .string();
    std::ofstream(privateFile) << "<Configuration></Configuration>\n";
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string command =
        std::string(kPrivateNetworkMark) +
        "=1 timeout 300 unshare -n -m sh -c 'ip link set lo up && ip link set lo multicast on && "
        "ip route add 224.0.0.0/4 dev lo && mount --bind \"$1\" \"$2\" && exec \"$3\" "
        "--gtest_filter=\"$4\"' sh '" +
        privateFile + "' '" + PrivateSettingsFile().string() + "' '" + self + "' '" + filter +
        "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe != nullptr) {
        char buffer[1024];
        while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
            output += buffer;
        }
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    std::filesystem::remove(privateFile);
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

// Written in place: the file is the private copy mounted over the shared one.
inline void WritePrivateSettings(const std::string& streamingMode, const std::string& device = "") {
    std::ofstream(PrivateSettingsFile()) << "<Configuration><StreamingMode>" << streamingMode
                                         << "</StreamingMode>" << device << "</Configuration>\n";
}

}  // namespace quillon::test
