// The capability query through the library's entry points against lighttpd with Digest
// authentication: a static parameter listing stands in for the camera, so every group request
// gets the whole listing, as a camera answering a list of all groups would.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "capability_report.h"
#include "host_objects.h"
#include "interop/peers.h"
#include "loopback_port.h"

namespace {

using namespace vornak::ipcapture;

constexpr const char* kListing =
    "root.Brand.Brand=AXIS\n"
    "root.Brand.ProdFullName=AXIS P1346 Network Camera\n"
    "root.Properties.API.HTTP.Version=3\n"
    "root.Properties.Firmware.Version=5.60.1\n"
    "root.Properties.Image.Format=jpeg,mjpeg,h264\n"
    "root.Properties.Image.Resolution=2048x1536,1280x720,640x480\n"
    "root.Properties.Audio.Audio=yes\n"
    "root.Properties.Audio.Format=g711,aac\n"
    "root.ImageSource.NbrOfSources=1\n"
    "root.ImageSource.I0.CaptureFrequency=60Hz\n"
    "root.Image.I0.RateControl.MaxFPS=20\n"
    "root.Input.NbrOfInputs=1\n"
    "root.Output.NbrOfOutputs=1\n"
    "root.AudioSource.NbrOfSources=1\n";

using Result = quillon::host::CapabilityRecorder;
using Notify = quillon::host::CapabilityNotify;

class QueryAgainstLighttpd : public testing::Test {
  protected:
    void SetUp() override {
        if (interop::FindProgram("lighttpd").empty()) {
            GTEST_SKIP() << "lighttpd is not installed";
        }
        dir_.Write("www/axis-cgi/admin/param.cgi", kListing);
        dir_.Write("users", "root:secret\n");
        port_ = testing_support::UnusedLoopbackPort();
        const std::string conf = dir_.Write(
            "lighttpd.conf", "server.document-root = \"" + dir_.path() +
                                 "/www\"\nserver.bind = \"127.0.0.1\"\n"
                                 "server.port = " +
                                 std::to_string(port_) +
                                 "\n"
                                 "server.modules = (\"mod_auth\", \"mod_authn_file\")\n"
                                 "auth.backend = \"plain\"\nauth.backend.plain.userfile = \"" +
                                 dir_.path() +
                                 "/users\"\nauth.require = ( \"/axis-cgi/\" => ( \"method\" => "
                                 "\"digest\", \"realm\" => "
                                 "\"AXIS_ACCC8E000001\", \"require\" => \"valid-user\", "
                                 "\"algorithm\" => \"MD5\" ) )\n");
        ASSERT_TRUE(server_.Start({"lighttpd", "-D", "-f", conf}, dir_.path() + "/log", port_));
        std::string error;
        ASSERT_TRUE(library_.Load(QUILLON_LIBRARY_PATH, error)) << error;
    }

    interop::TempDir dir_;
    interop::PeerProcess server_;
    uint16_t port_ = 0;
    quillon::host::DriverLibrary library_;
};

TEST_F(QueryAgainstLighttpd, FlatEntryPointsGiveTheItems) {
    Notify notify;
    Result result;
    EXPECT_EQ(library_.startQuery("127.0.0.1", port_, "root", "secret", &result), 0u)
        << "no module before InitCapabilityQuery";
    ASSERT_EQ(library_.initQuery(&notify, 0), 1u);
    EXPECT_EQ(library_.initQuery(&notify, 0), 0u) << "already initialised";
    EXPECT_EQ(library_.startQuery("127.0.0.1", port_, "root", nullptr, &result), 0u);
    ASSERT_EQ(library_.startQuery("127.0.0.1", port_, "root", "secret", &result), 1u);
    ASSERT_TRUE(notify.Wait(60));
    EXPECT_EQ(library_.terminateQuery(), 1u);
    EXPECT_EQ(library_.uninitQuery(), 1u);
    ASSERT_TRUE(notify.success) << notify.text;
    EXPECT_EQ(result.name, "AXIS AXIS P1346 Network Camera");
    EXPECT_EQ(result.named[2].value, "5.60.1");
    EXPECT_EQ(result.named[7].value, "2048x1536;1280x720;640x480");
    EXPECT_EQ(result.named[11].value, "0");
    EXPECT_EQ(result.items[101], "Count=1; IsStereo=0");
    EXPECT_EQ(result.items[120], "h264,jpeg");
    EXPECT_EQ(result.items[121], "2048x1536:50,1280x720:50,640x480:50");
    EXPECT_EQ(result.items.count(124), 0u) << "no stream profiles: no remote stream items";
    EXPECT_EQ(result.features[27], 1u);
}

TEST_F(QueryAgainstLighttpd, HostToolWritesTheParametersFile) {
    const std::string host = std::string(QUILLON_BINARY_DIR) + "/tools/host/quillon-host";
    const std::string file = dir_.path() + "/camera.params";
    if (access(host.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "quillon-host is not built";
    }
    const interop::ToolResult run = interop::RunTool(
        {host, "--library", QUILLON_LIBRARY_PATH, "--query", "--address", "127.0.0.1", "--port",
         std::to_string(port_), "--user", "root", "--password", "secret", "--params-file", file},
        60);
    ASSERT_EQ(run.exit_code, 0) << run.output;
    std::map<uint32_t, std::string> parameters;
    std::string error;
    ASSERT_TRUE(quillon::host::LoadParametersFile(file, parameters, error)) << error;
    EXPECT_EQ(parameters[1], "7000");
    EXPECT_EQ(parameters[3], "3");
    EXPECT_EQ(parameters[5], "(none)");
    EXPECT_EQ(parameters[101], "Count=1; IsStereo=0");
    EXPECT_EQ(parameters.count(102), 0u);
}

}  // namespace
