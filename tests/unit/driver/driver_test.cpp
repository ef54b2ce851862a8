#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fake_host.h"
#include "platform/host_info.h"

namespace vornak {
namespace {

using quillon::host::DeviceSettings;
using Harness = test::OpenedDriver;

DeviceSettings Camera() {
    DeviceSettings s;
    s.address = "cam.example";
    s.port = 8080;
    s.user = "root";
    s.password = "pass";
    s.model = "P1375";
    return s;
}

TEST(DriverOpenTest, NetworkTimeoutFromParameterOne) {
    struct Row {
        const char* value;
        uint32_t network;
        const char* why;
    };
    const Row rows[] = {{nullptr, 5000, "absent"},
                        {"0", 5000, "zero means default"},
                        {"2000", 2000, "a number is taken"},
                        {"abc", 5000, "not a number"},
                        {"(none)", 5000, "host's empty marker"}};
    for (const Row& row : rows) {
        DeviceSettings s = Camera();
        if (row.value != nullptr) {
            s.parameters[1] = row.value;
        }
        Harness h(s);
        ASSERT_TRUE(h.opened) << row.why;
        EXPECT_EQ(h.driver.GetDeviceInfo()->networkTimeout, row.network) << row.why;
        EXPECT_EQ(h.driver.GetDeviceInfo()->connectionTimeout, 3 * row.network) << row.why;
    }
}

TEST(DriverOpenTest, AddressAndProxySplit) {
    struct Row {
        const char* text;
        const char* address;
        const char* proxy;
    };
    const Row rows[] = {{"cam.example|proxy.example:3128", "cam.example", "proxy.example:3128"},
                        {"a|b|c", "a|b|c", ""},
                        {"10.1.2.3", "10.1.2.3", ""},
                        {"cam|", "cam", ""}};
    for (const Row& row : rows) {
        DeviceSettings s = Camera();
        s.address = row.text;
        Harness h(s);
        ASSERT_TRUE(h.opened);
        EXPECT_EQ(h.driver.GetDeviceInfo()->address, row.address) << row.text;
        EXPECT_EQ(h.driver.GetDeviceInfo()->proxy, row.proxy) << row.text;
    }
}

TEST(DriverOpenTest, ParametersAndStreamCameras) {
    DeviceSettings s = Camera();
    s.parameters[2] = "9.80.1";
    s.parameters[3] = "3";
    s.parameters[9] = "Recording:2;Live:1";
    s.parameters[10] = "1";
    Harness h(s);
    ASSERT_TRUE(h.opened);
    EXPECT_EQ(h.driver.GetStreamCamera(0), 2u);
    EXPECT_EQ(h.driver.GetStreamCamera(1), 1u);
    EXPECT_EQ(h.driver.GetStreamCamera(2), 0u);
    const auto cameras = ParseStreamCameras(" Live : 3 ;Remote:;Other:4;Recording:x");
    EXPECT_EQ(cameras.size(), 1u) << "empty, unknown and non-numeric items are skipped";
    EXPECT_EQ(cameras.at(1), 3);
    EXPECT_EQ(h.driver.GetParameter(2), "9.80.1");
    EXPECT_EQ(h.driver.GetParameter(1), "") << "the host's \"(none)\" reads as empty";
    EXPECT_EQ(h.driver.GetParameterInt(1), kParameterAbsent) << "(none) is not a number";
    EXPECT_EQ(h.driver.GetParameterInt(42), kParameterAbsent) << "absent is not 0";
    EXPECT_EQ(h.driver.GetApiVersion(), 3);
    EXPECT_TRUE(h.driver.IsMulticastAllowed());
}

TEST(DriverOpenTest, AudioCountWithoutFormatsFailsOpen) {
    DeviceSettings s = Camera();
    s.parameters[102] = "Count=1; IsStereo=0";
    Harness h(s);
    EXPECT_FALSE(h.opened);
    EXPECT_EQ(h.logger.Count("DRIVER IS OPENED"), 0u);

    s.parameters[6] = "G711;G726";
    Harness withFormats(s);
    EXPECT_TRUE(withFormats.opened);
    EXPECT_EQ(withFormats.driver.GetAudioOutputCapabilities().count, 1u);
}

TEST(DriverOpenTest, OpenedLineNamesModelFirmwareAndAddress) {
    DeviceSettings s = Camera();
    s.parameters[2] = "9.80.1";
    Harness h(s);
    ASSERT_TRUE(h.opened);
    ASSERT_EQ(h.logger.Count("DRIVER IS OPENED"), 1u);
    EXPECT_EQ(h.logger.Lines().back().text,
              "DRIVER IS OPENED (name: Quillon, device model: P1375, FW: 9.80.1, address: "
              "cam.example:8080)");
    h.logger.Clear();
    h.driver.DebugMessage(4, "%s", "detail");
    h.driver.DebugMessage(1, "%s: %d%%", "vornak::X", 5);
    ASSERT_EQ(h.logger.Lines().size(), 1u) << "level 4 never reaches the host";
    EXPECT_EQ(h.logger.Lines()[0].text, "vornak::X: 5%");

    Harness noFirmware(Camera());
    ASSERT_TRUE(noFirmware.opened);
    EXPECT_EQ(noFirmware.logger.Lines().back().text,
              "DRIVER IS OPENED (name: Quillon, device model: P1375, address: cam.example:8080)");

    DeviceSettings noModel = Camera();
    noModel.model = "";
    Harness anonymous(noModel);
    ASSERT_TRUE(anonymous.opened);
    EXPECT_EQ(anonymous.logger.Count("DRIVER IS OPENED"), 0u);
}

TEST(DriverOpenTest, OpenWithoutDeviceContextFails) {
    quillon::host::HostLogger logger(false);
    quillon::host::HostFrameAllocator allocator;
    CAxisIPCaptureDriver driver;
    EXPECT_FALSE(driver.Open(&logger, &allocator, nullptr));
    driver.Close();
    driver.Close();
}

TEST(DriverTest, LevelMappingByHostVersion) {
    struct Row {
        platform::FileVersion version;
        uint32_t in;
        uint32_t out;
    };
    const Row rows[] = {
        {{5, 11, 0, 0}, 3, 2},    {{5, 11, 0, 0}, 100, 2}, {{5, 11, 0, 0}, 1, 1},
        {{5, 12, 0, 0}, 100, 3},  {{5, 12, 0, 0}, 3, 3},   {{6, 2, 9, 9}, 100, 3},
        {{6, 3, 0, 0}, 100, 100}, {{6, 3, 0, 0}, 3, 3},    {{7, 0, 0, 0}, 100, 100},
        {{4, 99, 0, 0}, 3, 2},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CIPCaptureDriver::MapLevel(row.in, row.version), row.out)
            << row.version.major << "." << row.version.minor << " level " << row.in;
    }
}

TEST(SizeClassTest, Boundaries) {
    struct Row {
        uint32_t w, h, expected;
    };
    const Row rows[] = {{199, 100, 1},  {200, 100, 2},  {399, 300, 2},  {400, 300, 4},
                        {1023, 500, 3}, {1023, 512, 4}, {1024, 100, 4}, {1920, 1080, 4},
                        {176, 144, 1},  {640, 480, 4},  {800, 200, 3}};
    for (const Row& row : rows) {
        EXPECT_EQ(ResolutionClass(row.w, row.h), row.expected) << row.w << "x" << row.h;
    }
}

TEST(StreamNamesTest, KindsAndLabels) {
    EXPECT_EQ(StreamName("Quillon", 0), "Quillon::RecStream");
    EXPECT_EQ(StreamName("Quillon", 1), "Quillon::LiveStream");
    EXPECT_EQ(StreamName("Quillon", 2), "Quillon::RemoteStream");
    EXPECT_EQ(StreamName("Quillon", 7), "Quillon");
    EXPECT_STREQ(StreamLabel(2), "(Remote)");
}

TEST(HostCoreLibraryTest, VersionFromFileName) {
    platform::FileVersion v;
    EXPECT_TRUE(platform::ParseHostCoreLibraryName("libtarnhold.so.6.2.1234.7", v));
    EXPECT_EQ(v, (platform::FileVersion{6, 2, 1234, 7}));
    for (const char* bad :
         {"libtarnhold.so", "libtarnhold.so.6.2", "libtarnhold.so.6.2.1.x",
          "libtarnhold.so.6.2.1.2.3", "libtarnhold.so.70000.1.1.1", "libother.so.6.2.1.1"}) {
        EXPECT_FALSE(platform::ParseHostCoreLibraryName(bad, v)) << bad;
    }
    EXPECT_EQ(platform::ModuleFolderOf("/opt/host/bin/host"), "/opt/host/bin/");
    EXPECT_EQ(platform::ModuleFolderOf("host"), "host");
    EXPECT_EQ(platform::ModuleFolderOf(std::string(600, 'a')), "");
}

// The answer is kept between device opens, but a changed library path must be searched again.
TEST(HostCoreLibraryTest, SearchFollowsTheLibraryPath) {
    namespace fs = std::filesystem;
    const char* before = std::getenv("LD_LIBRARY_PATH");
    const std::string saved = before != nullptr ? before : "";
    const fs::path root =
        fs::temp_directory_path() / ("quillon-hostcore-" + std::to_string(::getpid()));
    const auto folderWith = [&](const char* name) {
        const fs::path folder = root / name;
        fs::create_directories(folder);
        std::ofstream(folder / (std::string("libtarnhold.so.") + name)) << "";
        return folder.string();
    };
    const std::string older = folderWith("5.11.0.0");
    const std::string newer = folderWith("6.3.1.2");
    platform::FileVersion v;
    for (int round = 0; round < 2; ++round) {
        ::setenv("LD_LIBRARY_PATH", older.c_str(), 1);
        ASSERT_TRUE(platform::FindHostCoreVersion(v));
        EXPECT_EQ(v, (platform::FileVersion{5, 11, 0, 0}));
        ::setenv("LD_LIBRARY_PATH", (newer + ":" + older).c_str(), 1);
        ASSERT_TRUE(platform::FindHostCoreVersion(v));
        EXPECT_EQ(v, (platform::FileVersion{6, 3, 1, 2}));
    }
    ::setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
    if (before == nullptr) {
        ::unsetenv("LD_LIBRARY_PATH");
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace vornak
