#include "properties/capability_query_module.h"

#include <gtest/gtest.h>

#include "camsim/camsim.h"
#include "capability_report.h"
#include "loopback_port.h"

namespace {

using vornak::CAxisCapabilityQueryModule;

using RecordingResult = quillon::host::CapabilityRecorder;
using WaitingNotify = quillon::host::CapabilityNotify;

// The simulated fixed camera, made to look like a typical one with digital PTZ whose frame rate
// has to be read from the parameter definitions.
struct QueryCamera {
    QueryCamera() {
        EXPECT_TRUE(sim.Start());
        sim.SetParam("Image.I0.RateControl.MaxFPS", "0");
        for (const char* axis : {"Pan", "Tilt", "Zoom"}) {
            sim.SetParam(std::string("PTZ.Various.V1.") + axis + "Enabled", "true");
        }
        sim.SetParam("PTZ.CamPorts.Cam1Port", "1");
    }
    uint16_t port() const { return sim.HttpPort(); }
    std::string Get(const std::string& name) { return sim.Params().Get(name).value_or("-"); }
    camsim::Simulator sim;
};

// One query of the camera on this port, waited for to its end.
void Query(uint16_t port, WaitingNotify& notify, RecordingResult& result,
           const char* password = "pass") {
    CAxisCapabilityQueryModule module(&notify, 0);
    ASSERT_EQ(module.StartQuery("127.0.0.1", port, "root", password, &result), 1u);
    ASSERT_TRUE(notify.Wait(30));
}

TEST(CapabilityQuery, TypicalCameraGivesEveryItem) {
    QueryCamera camera;
    WaitingNotify notify;
    RecordingResult result;
    Query(camera.port(), notify, result);
    ASSERT_TRUE(notify.success) << notify.text;
    EXPECT_EQ(result.name, "AXIS AXIS M1065-L Network Camera");
    EXPECT_EQ(result.items[1], "127.0.0.1");
    EXPECT_EQ(result.items[2], std::to_string(camera.port()));
    EXPECT_EQ(result.items[3], "root");
    EXPECT_EQ(result.items[4], "pass");
    EXPECT_EQ(result.items[101], "Count=1; IsStereo=0");
    EXPECT_EQ(result.items[102], "Count=1; IsStereo=0") << "full duplex is listed";
    EXPECT_EQ(result.items[120], "h264,h265,mpeg,jpeg");
    EXPECT_EQ(result.items[121], "1920x1080:40,1280x720:40,640x480:40,320x240:40")
        << "25 fps from the capture mode's definition";
    EXPECT_EQ(result.items[122],
              "values=1000,500,333,250,200,167,143,125,111,100,91,83,77,71,67,63,59,56,53,50,48,"
              "45,43,42,40;default=40");
    EXPECT_EQ(result.items[124], result.items[120]) << "stream profiles: a remote stream too";
    const std::map<uint32_t, std::string> itemNames = {
        {101, "Audio Input Parameters"},
        {102, "Audio Output Parameters"},
        {120, "Live Stream: Supported Codecs"},
        {121, "Live Stream: Supported Resolutions"},
        {122, "Live Stream: Supported Framerates"},
        {124, "Remote Stream: Supported Codecs"},
        {125, "Remote Stream: Supported Resolutions"},
        {126, "Remote Stream: Supported Framerates"}};
    EXPECT_EQ(result.itemNames, itemNames) << "connection items go without a name";
    EXPECT_EQ(result.features[27], 2u);
    EXPECT_EQ(result.features[2], 1u);
    EXPECT_EQ(result.features[3], 1u);
    EXPECT_EQ(result.features[4], 1u);
    EXPECT_EQ(result.features[13], 3u);
    EXPECT_EQ(result.features[14], 1u);
    EXPECT_EQ(result.features[26], 1u);
    EXPECT_EQ(result.features[28], 1u) << "local storage with SD card";
    EXPECT_EQ(result.lists[0].items,
              (std::vector<std::string>{"1920x1080", "1280x720", "640x480", "320x240"}));
    EXPECT_EQ(result.lists[1].defaultValue, "1920x1080");
    EXPECT_EQ(result.lists[3].defaultValue, "60");
    EXPECT_EQ(result.lists[3].items.size(), 10u);

    const std::map<uint32_t, std::pair<std::string, std::string>> expected = {
        {1, {"Network Timeout", "7000"}},
        {2, {"Firmware Version", "6.50.2"}},
        {3, {"HTTP API Version (VAPIX)", "3"}},
        {4,
         {"PTZ Capabilities",
          "Pan=1; Tilt=1; Zoom=1; Focus=0; Iris=0; Unzoom=1; AreaZoom=1; Center=1; Preset=1"}},
        {5, {"AXIS PTZ Port Mapping", "Cam1Port=1"}},
        {6, {"Supported Audio Formats", "g711,g726,aac"}},
        {7, {"Supported Resolutions", "1920x1080;1280x720;640x480;320x240"}},
        {8, {"Privacy Zones Count", "3"}},
        {9, {"View Channels Info", "(none)"}},
        {10, {"Multicast Supported", "1"}},
        {11, {"Is No-Video Device", "0"}},
    };
    for (const auto& [id, item] : expected) {
        EXPECT_EQ(result.named[id].name, item.first) << id;
        EXPECT_EQ(result.named[id].value, item.second) << id;
    }
    EXPECT_EQ(result.named[1].kind, 0u);
    EXPECT_EQ(result.named[2].kind, 1u);
    EXPECT_EQ(camera.Get("Audio.A0.Enabled"), "yes") << "the first audio input was enabled";
    // Every request went to the parameter and PTZ interfaces, each step after the ones whose
    // answers it needs.
    const std::vector<std::string> steps = {
        "listdefinitions",      "group=PTZ",           "whoami",
        "group=AudioSource.A0", "group=StreamProfile", "group=Network.RTP"};
    std::vector<std::string> order;
    for (const std::string& target : camera.sim.HttpRequestLog()) {
        EXPECT_TRUE(target.rfind("/axis-cgi/admin/param.cgi?", 0) == 0 ||
                    target.rfind("/axis-cgi/com/ptz.cgi?", 0) == 0)
            << target;
        for (const std::string& step : steps) {
            if (target.find(step) != std::string::npos && (order.empty() || order.back() != step)) {
                order.push_back(step);
            }
        }
    }
    EXPECT_EQ(order, steps);
}

// Also: the frame rate falls back to the mains frequency when the definitions are refused
// (the capture mode would give 25 fps).
TEST(CapabilityQuery, DuplexSwitchedToFullWhenTheDeviceListsNoModes) {
    QueryCamera camera;
    camera.sim.SetParam("Properties.Audio.DuplexMode", "");
    camera.sim.SetParam("ImageSource.I0.CaptureFrequency", "60Hz");
    camera.sim.SetHttpFault("/axis-cgi/admin/param.cgi",
                            {.status = 404, .query_contains = "listdefinitions"});
    WaitingNotify notify;
    RecordingResult result;
    Query(camera.port(), notify, result);
    ASSERT_TRUE(notify.success) << notify.text;
    EXPECT_EQ(camera.Get("Audio.DuplexMode"), "full");
    EXPECT_EQ(result.items[102], "Count=1; IsStereo=0");
    EXPECT_EQ(result.items[121], "1920x1080:33,1280x720:33,640x480:33,320x240:33")
        << "without readable definitions a 60 Hz source gives 30 fps";
}

// A wrong password ends the query at the first group; a reply beyond what one query may hold
// ends it with a clear text.
TEST(CapabilityQuery, WrongPasswordAndOversizedReply) {
    QueryCamera camera;
    camera.sim.HttpAuth().SetSettings({.schemes = camsim::AuthSchemes::kBasic});
    WaitingNotify notify;
    RecordingResult result;
    Query(camera.port(), notify, result, "other");
    EXPECT_FALSE(notify.success);
    EXPECT_EQ(notify.status, 1u);
    EXPECT_EQ(notify.text, "Failed to get camera properties, login failed (invalid credentials)");
    EXPECT_EQ(camera.sim.HttpRequestLog().size(), 2u)
        << "the challenge, then the first group ends it";

    camera.sim.SetParam("Image.I0.Padding", std::string(9u << 20, 'x'));
    WaitingNotify largeNotify;
    Query(camera.port(), largeNotify, result);
    EXPECT_FALSE(largeNotify.success);
    EXPECT_EQ(largeNotify.text,
              "Failed to get camera properties: The device's 'Image' parameter list goes beyond "
              "the 8 MiB one query may hold");
}

// Failures before any answer: each ends with its status and the host's text.
TEST(CapabilityQuery, FailuresBeforeAnyAnswer) {
    struct Row {
        const char* reason;
        std::string address;
        uint16_t port;
        bool withResult;
        uint32_t status;
        const char* text;
    };
    const Row rows[] = {
        {"nothing listens", "127.0.0.1", testing_support::UnusedLoopbackPort(), true, 2,
         "Failed to get camera properties, device is offline or is located in unaccessible "
         "subnet"},
        {"a forbidden character: refused before any traffic", "10.0.0.5/admin", 80, true, 3,
         "Failed to start capability fetching thread. Device address is invalid!"},
        {"no result object", "127.0.0.1", 1, false, 3,
         "Failed to start capability fetching thread. Internal error occurs"},
    };
    for (const Row& row : rows) {
        WaitingNotify notify;
        RecordingResult result;
        CAxisCapabilityQueryModule module(&notify, 0);
        ASSERT_EQ(module.StartQuery(row.address.c_str(), row.port, "root", "pass",
                                    row.withResult ? &result : nullptr),
                  1u)
            << row.reason;
        ASSERT_TRUE(notify.Wait(30)) << row.reason;
        EXPECT_FALSE(notify.success) << row.reason;
        EXPECT_EQ(notify.status, row.status) << row.reason;
        EXPECT_EQ(notify.text, row.text) << row.reason;
        EXPECT_TRUE(result.items.empty()) << row.reason;
    }
}

TEST(CapabilityQuery, ForbiddenCharacters) {
    for (char c : std::string("@#$%^&*(){}[]/\\+=:;,~'!?\"")) {
        EXPECT_TRUE(CAxisCapabilityQueryModule::IsForbiddenAddress(std::string("cam") + c)) << c;
    }
    EXPECT_FALSE(CAxisCapabilityQueryModule::IsForbiddenAddress("camera-1.example_net"));
}

TEST(CapabilityQuery, ProxyFormSetsLongerLimits) {
    WaitingNotify notify;
    RecordingResult result;
    CAxisCapabilityQueryModule module(&notify, 0);
    // The proxy part may hold ":"; nothing listens on that loopback port.
    const std::string proxy = "127.0.0.1:" + std::to_string(testing_support::UnusedLoopbackPort());
    ASSERT_EQ(module.StartQuery(("127.0.0.1|" + proxy).c_str(), 80, "root", "pass", &result), 1u);
    ASSERT_TRUE(notify.Wait(60));
    EXPECT_EQ(module.GetDevice().address, "127.0.0.1");
    EXPECT_EQ(module.GetDevice().proxy, proxy);
    EXPECT_EQ(module.GetDevice().networkTimeout, 15000u);
    EXPECT_EQ(module.GetDevice().connectionTimeout, 45000u);
    EXPECT_EQ(notify.status, 2u) << "the proxy is used: it does not answer";
}

TEST(CapabilityQuery, OneQueryPerModuleAndFailureTexts) {
    QueryCamera camera;
    WaitingNotify notify;
    RecordingResult result;
    CAxisCapabilityQueryModule module(&notify, 0);
    ASSERT_EQ(module.StartQuery("127.0.0.1", camera.port(), "root", "pass", &result), 1u);
    EXPECT_EQ(module.StartQuery("127.0.0.1", camera.port(), "root", "pass", &result), 0u);
    ASSERT_TRUE(notify.Wait(30));

    using M = vornak::CCapabilityQueryModule;
    EXPECT_EQ(M::FailureMessage(1, "why"), "Failed to get camera properties: why");
    EXPECT_EQ(M::FailureMessage(3, ""), "Failed to get camera properties");
    EXPECT_EQ(M::FailureMessage(3, "List of resolutions is empty"),
              "Failed to get camera properties: List of resolutions is empty");
}

}  // namespace
