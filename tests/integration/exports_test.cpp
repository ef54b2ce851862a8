// The library as a host sees it: loaded with dlopen, used only through its exports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "host_objects.h"

namespace {

using namespace quillon::host;
namespace fs = std::filesystem;

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
    std::set<std::string> symbols;
    const std::string command = "nm -D --defined-only '" + path + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return symbols;
    }
    char line[1024];
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
        char address[64], type[8], name[900];
        if (std::sscanf(line, "%63s %7s %899s", address, type, name) == 3) {
            symbols.insert(name);
        }
    }
    pclose(pipe);
    return symbols;
}

TEST(ExportsTest, DynamicSymbolTableIsExactlyTheExportList) {
    const std::set<std::string> expected = {
        "CreateIPCapture",      "CreateIPCaptureEx",           "CreateIPCaptureEx3",
        "CreateIPCaptureEx4",   "CreateIPCaptureEx5",          "DeleteIPCapture",
        "DeleteIPCaptureEx",    "DeleteIPCaptureEx3",          "DeleteIPCaptureEx4",
        "DeleteIPCaptureEx5",   "DeleteCapabilityQueryModule", "CreateCapabilityQueryModule",
        "InitCapabilityQuery",  "StartCapabilityQuery",        "TerminateCapabilityQuery",
        "UninitCapabilityQuery"};
    EXPECT_EQ(DefinedDynamicSymbols(QUILLON_LIBRARY_PATH), expected);
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(library.Load(QUILLON_LIBRARY_PATH, error)) << error;
    }
    DriverLibrary library;
};

TEST_F(LibraryTest, EveryCreateAndDeleteNameWorks) {
    for (int c = 0; c < 5; ++c) {
        for (int d = 0; d < 5; ++d) {
            IIPCaptureDriverEx5* driver = library.create[c]();
            ASSERT_NE(driver, nullptr);
            EXPECT_EQ(driver->GetVideoCapture(), nullptr) << "nothing exists before Open";
            library.destroy[d](driver);
        }
    }
    for (int d = 0; d < 5; ++d) {
        library.destroy[d](nullptr);
    }
    library.deleteQueryModule(nullptr);
}

TEST_F(LibraryTest, OpenCloseAndOpenAgain) {
    HostLogger logger(false);
    HostFrameAllocator allocator;
    DeviceSettings settings;
    settings.model = "M3045";
    HostDeviceContext context(settings);
    IIPCaptureDriverEx5* driver = library.create[4]();
    ASSERT_TRUE(driver->Open(&logger, &allocator, &context));
    IIPVideoCapture* capture = driver->GetVideoCapture();
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(static_cast<IIPVideoCapture*>(driver->GetVideoCaptureEx()), capture);
    EXPECT_EQ(static_cast<IIPVideoCapture*>(driver->GetVideoCaptureEx2()), capture);
    EXPECT_EQ(capture->GetChannelCount(), 1u);
    driver->Close();
    EXPECT_EQ(driver->GetVideoCapture(), nullptr);
    driver->Close();
    ASSERT_TRUE(driver->Open(&logger, &allocator, &context));
    EXPECT_EQ(logger.Count("DRIVER IS OPENED"), 2u);
    library.destroy[0](driver);
}

// The host core library's version decides the level of the opened line. Each case places a
// version file on the library path of this test process; the mapping itself is covered by the
// unit tests, so one version below, one above and none.
class HostVersionTest : public LibraryTest,
                        public ::testing::WithParamInterface<std::pair<const char*, uint32_t>> {};

TEST_P(HostVersionTest, OpenedLineLevel) {
    const auto [version, level] = GetParam();
    const fs::path folder = fs::temp_directory_path() /
                            ("quillon-hostlib-" + std::to_string(::getpid()) + "-" + version);
    fs::create_directories(folder);
    if (*version != '\0') {
        std::ofstream(folder / (std::string("libtarnhold.so.") + version)) << "";
    }
    ::setenv("LD_LIBRARY_PATH", folder.c_str(), 1);

    HostLogger logger(false);
    HostFrameAllocator allocator;
    DeviceSettings settings;
    settings.model = "Q6075";
    HostDeviceContext context(settings);
    IIPCaptureDriverEx5* driver = library.create[0]();
    ASSERT_TRUE(driver->Open(&logger, &allocator, &context));
    library.destroy[0](driver);
    fs::remove_all(folder);

    const auto lines = logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, level) << "host version " << version;
}

INSTANTIATE_TEST_SUITE_P(Versions, HostVersionTest,
                         ::testing::Values(std::make_pair("5.11.0.0", 2u),
                                           std::make_pair("6.3.0.0", 100u),
                                           std::make_pair("", 3u)));

}  // namespace
