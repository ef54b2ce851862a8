// The capability query through the library's entry points against every camsim profile, with
// Basic and Digest (a stalled answer is a row of the stop table).
#include <gtest/gtest.h>

#include <chrono>

#include "camsim/camsim.h"
#include "capability_report.h"
#include "host_objects.h"

namespace {

using namespace vornak::ipcapture;

using Result = quillon::host::CapabilityRecorder;
using Notify = quillon::host::CapabilityNotify;

class CapabilityQueryCamsim : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(library_.Load(QUILLON_LIBRARY_PATH, error)) << error;
    }

    // Runs one query through the flat entry points.
    void Query(uint16_t port, const char* password, Notify& notify, Result& result,
               const char* address = "127.0.0.1") {
        ASSERT_EQ(library_.initQuery(&notify, 0), 1u);
        ASSERT_EQ(library_.startQuery(address, port, "root", password, &result), 1u);
        ASSERT_TRUE(notify.Wait(60));
        EXPECT_EQ(library_.uninitQuery(), 1u);
    }

    quillon::host::DriverLibrary library_;
};

struct ProfileExpectation {
    const char* profile;
    const char* name;
    bool video;
    bool audioOut;
    const char* ptz;
    const char* resolutions;
    const char* codecs;  // item 120; the encoder's firmware has no H.265
};

TEST_F(CapabilityQueryCamsim, EveryProfileGivesItsItems) {
    const ProfileExpectation profiles[] = {
        {"fixed", "AXIS AXIS M1065-L Network Camera", true, true,
         "Pan=0; Tilt=0; Zoom=0; Focus=0; Iris=0; Preset=0", "1920x1080;1280x720;640x480;320x240",
         "h264,h265,mpeg,jpeg"},
        {"ptz-dome", "AXIS AXIS Q6032-E PTZ Dome Network Camera", true, true,
         "Pan=1; Tilt=1; Zoom=1; Focus=1; Iris=1; Unzoom=1; AreaZoom=1; Center=1; Preset=1",
         "4CIF;2CIF;CIF;QCIF;640x480;320x240", "h264,h265,mpeg,jpeg"},
        {"encoder-4ch", "AXIS AXIS Q7404 Video Encoder", true, true, nullptr,
         "D1;4CIF;2CIF;CIF;QCIF", "h264,mpeg,jpeg"},
        {"audio-io", "AXIS AXIS P8221 Network I/O Audio Module", false, true,
         "Pan=0; Tilt=0; Zoom=0; Focus=0; Iris=0; Preset=0", "176x144", nullptr},
    };
    for (const ProfileExpectation& expected : profiles) {
        SCOPED_TRACE(expected.profile);
        camsim::Options options;
        options.profile = expected.profile;
        camsim::Simulator camera(options);
        std::string error;
        ASSERT_TRUE(camera.Start(&error)) << error;
        Notify notify;
        Result result;
        Query(camera.HttpPort(), "pass", notify, result);
        ASSERT_TRUE(notify.success) << notify.text;
        EXPECT_EQ(result.name, expected.name);
        for (uint32_t id = 1; id <= 11; ++id) {
            EXPECT_EQ(result.named.count(id), 1u) << id;
        }
        EXPECT_EQ(result.named[1].value, "7000");
        EXPECT_EQ(result.named[3].value, "3");
        EXPECT_EQ(result.named[7].value, expected.resolutions);
        EXPECT_EQ(result.named[11].value, expected.video ? "0" : "1");
        if (expected.ptz != nullptr) {
            EXPECT_EQ(result.named[4].value, expected.ptz);
        }
        EXPECT_EQ(result.items[101], "Count=1; IsStereo=0");
        EXPECT_EQ(result.items.count(102), expected.audioOut ? 1u : 0u);
        for (uint32_t id : {120u, 121u, 122u, 124u, 125u, 126u}) {
            EXPECT_EQ(result.items.count(id), expected.video ? 1u : 0u) << id;
        }
        if (expected.codecs != nullptr) {
            EXPECT_EQ(result.items[120], expected.codecs);
        }
        EXPECT_EQ(result.items[1], "127.0.0.1");
        EXPECT_EQ(result.items[2], std::to_string(camera.HttpPort()));
        EXPECT_FALSE(result.lists[1].items.empty());
        camera.Stop();
    }
}

TEST_F(CapabilityQueryCamsim, DigestOnlyWithStaleNonces) {
    camsim::Options options;
    options.http_auth.schemes = camsim::AuthSchemes::kDigest;
    options.http_auth.nonce_lifetime = std::chrono::seconds(0);
    camsim::Simulator camera(options);
    std::string error;
    ASSERT_TRUE(camera.Start(&error)) << error;
    camera.ExpireNonces();
    Notify notify;
    Result result;
    Query(camera.HttpPort(), "pass", notify, result);
    EXPECT_TRUE(notify.success) << notify.text;
    EXPECT_EQ(result.named[2].value, "6.50.2") << "firmware read through Digest";
}

}  // namespace
