// PTZ through the driver's exports against camsim's head: the requests each host call makes,
// the queue under a burst, held focus, presets with names of any kind and the device's errors.
#include <cstring>
#include <functional>

#include "driver_harness.h"

namespace quillon::test {
namespace {

constexpr const char* kAllCapabilities =
    "Pan=1; Tilt=1; Zoom=1; Focus=1; Iris=1; Unzoom=1; AreaZoom=1; Center=1; Preset=1";

// "GET query" or "POST path body", without the script's path for GETs.
std::vector<std::string> Seen(camsim::Simulator& sim, size_t from = 0) {
    std::vector<std::string> out;
    const auto requests = sim.Ptz().Requests();
    for (size_t i = from; i < requests.size(); ++i) {
        const auto& r = requests[i];
        const size_t q = r.target.find('?');
        out.push_back(r.method == "POST" ? "POST " + r.target + " " + r.body
                                         : r.target.substr(q == std::string::npos ? 0 : q + 1));
    }
    return out;
}

struct PtzRig {
    // LF line ends unless the dome profile (CR LF) is asked for; PTZ on camera 1 either way.
    explicit PtzRig(const std::string& profile = "fixed",
                    const std::string& capabilities = kAllCapabilities)
        : camera(CamsimSetup{profile}) {
        camera.sim.SetParam("PTZ.NbrOfCameras", "1");
        auto parameters = FixedCameraParameters(2000);
        parameters[4] = capabilities;
        driver = std::make_unique<DriverUnderTest>(camera.sim.HttpPort(), parameters);
        if (driver->opened) {
            ptz = driver->Driver()->GetPTZDriverEx()->GetPTZApi(0);
        }
    }
    // Waits until `count` requests arrived after `from`; then gives late extras a moment.
    std::vector<std::string> Await(size_t from, size_t count) {
        WaitFor([&] { return sim().Ptz().Requests().size() >= from + count; }, 3000ms);
        return Seen(sim(), from);
    }
    camsim::Simulator& sim() { return camera.sim; }

    Camera camera;
    std::unique_ptr<DriverUnderTest> driver;
    vornak::IIPPTZApiEx* ptz = nullptr;
};

TEST(PtzTest, EachHostCallMakesItsRequests) {
    PtzRig rig;
    ASSERT_NE(rig.ptz, nullptr);
    ASSERT_EQ(rig.Await(0, 1), std::vector<std::string>{"query=position&camera=1"})
        << "the worker reads the automatic modes first";
    auto* p = rig.ptz;
    struct Row {
        std::function<int32_t()> call;
        std::vector<std::string> requests;
        const char* why;
    };
    const Row rows[] = {
        {[&] { return p->Move(0, 1); }, {"camera=1&continuouspantiltmove=-5,0"}, "speed 1 is 5"},
        {[&] { return p->Move(0, 2); }, {}, "one step faster is the same held move"},
        {[&] { return p->Move(1, 2); },
         {"camera=1&continuouspantiltmove=11,0"},
         "the other way is a new move, whatever the speed"},
        {[&] { return p->Move(7, 16); }, {"camera=1&continuouspantiltmove=100,-100"}, "16 is 100"},
        {[&] { return p->Move(7, 0); }, {"camera=1&continuouspantiltmove=0,0"}, "stop"},
        {[&] { return p->Move(7, 0); }, {}, "no stop when nothing moves"},
        {[&] { return p->ZoomIn(15); },
         {"camera=1&continuouszoommove=0", "camera=1&continuouszoommove=94"},
         "a zoom move starts from a stop; 15 is 94"},
        {[&] { return p->ZoomOut(15); },
         {"camera=1&continuouszoommove=0", "camera=1&continuouszoommove=-94"},
         "zooming the other way at the same speed is a new move"},
        {[&] { return p->ZoomIn(0); }, {"camera=1&continuouszoommove=0"}, "zoom stop"},
        {[&] { return p->FocusNear(3) + p->FocusNear(0) - 1; },
         {"camera=1&autofocus=off", "camera=1&rfocus=-500"},
         "a focus step turns automatic focus off first"},
        {[&] { return p->IrisOpen(3) + p->IrisOpen(0) - 1; },
         {"camera=1&autoiris=off", "camera=1&riris=+200"},
         "likewise the iris"},
        {[&] { return p->AreaZoom(320, 240, 300, 5); },
         {"camera=1&areazoom=320,240,300&imagewidth=640&imageheight=480", "camera=1&autofocus=on"},
         "area zoom in the channel's picture, then automatic focus again"},
        {[&] { return p->Center(100, 80, 5); },
         {"camera=1&center=100,80&imagewidth=640&imageheight=480"},
         "focus is already automatic"},
        {[&] { return p->Unzoom(1); }, {"camera=1&zoom=1"}, "unzoom"},
        {[&] { return p->Move(2, 5); },
         {"camera=1&continuouspantiltmove=0,30", "camera=1&autoiris=on"},
         "a move gives the iris back to the camera"},
        {[&] { return p->StopAll(); }, {"camera=1&continuouspantiltmove=0,0"}, "only tilt moved"},
    };
    for (const Row& row : rows) {
        const size_t before = rig.sim().Ptz().Requests().size();
        EXPECT_EQ(row.call(), 1) << row.why;
        EXPECT_EQ(rig.Await(before, row.requests.size()), row.requests) << row.why;
    }
}

TEST(PtzTest, BurstLeavesOnlyTheLatestMovePerHalfOfTheHead) {
    PtzRig rig;
    ASSERT_NE(rig.ptz, nullptr);
    rig.Await(0, 1);
    camsim::Fault slow;
    slow.kind = camsim::Fault::Kind::kDelay;
    // Long enough for the four moves below to queue behind it even under ThreadSanitizer.
    slow.delay = 1500ms;
    slow.count = 1;
    rig.sim().SetHttpFault("/axis-cgi/com/ptz.cgi", slow);
    const size_t before = rig.sim().Ptz().Requests().size();
    ASSERT_EQ(rig.ptz->Move(0, 5), 1);
    ASSERT_TRUE(WaitFor([&] { return rig.sim().Ptz().Requests().size() > before; }, 2000ms));
    for (uint32_t direction : {1u, 2u, 3u, 8u}) {
        EXPECT_EQ(rig.ptz->Move(direction, 5), 1);
    }
    const std::vector<std::string> expected = {
        "camera=1&continuouspantiltmove=-30,0", "camera=1&continuouspantiltmove=0,-30",
        "camera=1&continuouszoommove=0", "camera=1&continuouszoommove=30"};
    EXPECT_EQ(rig.Await(before, expected.size()), expected);
}

TEST(PtzTest, HeldFocusRepeatsItsStepEverySecond) {
    PtzRig rig;
    ASSERT_NE(rig.ptz, nullptr);
    rig.Await(0, 1);
    ASSERT_EQ(rig.ptz->FocusFar(5), 1);
    std::this_thread::sleep_for(3500ms);
    ASSERT_EQ(rig.ptz->FocusFar(0), 1);
    std::this_thread::sleep_for(300ms);
    std::vector<Clock::time_point> steps;
    for (const auto& r : rig.sim().Ptz().Requests()) {
        if (r.target.find("rfocus=+500") != std::string::npos) {
            steps.push_back(r.at);
        }
    }
    ASSERT_EQ(steps.size(), 4u) << "one at once, then one a second while held";
    for (size_t i = 1; i < steps.size(); ++i) {
        const auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(steps[i] - steps[i - 1]);
        EXPECT_GT(gap.count(), 800) << "step " << i;
        EXPECT_LT(gap.count(), 1500) << "step " << i;
    }
}

TEST(PtzTest, PresetsKeepAnyNameAndReportTheCamerasErrors) {
    PtzRig rig;
    ASSERT_NE(rig.ptz, nullptr);
    rig.Await(0, 1);
    auto* p = rig.ptz;
    EXPECT_TRUE(p->SetUnicodeNames(true));
    const char* omega =
        "\xCE\xA9"
        "1";
    const char* tricky = "Door&removeserverpresetname=Home";
    rig.sim().Ptz().SetPresetLimits(3, 64);
    ASSERT_EQ(p->SetPreset("Home"), 1);
    const size_t before = rig.sim().Ptz().Requests().size();
    ASSERT_EQ(p->SetPreset(omega), 1);
    ASSERT_EQ(p->SetPreset(tricky), 1);
    EXPECT_EQ(Seen(rig.sim(), before),
              (std::vector<std::string>{
                  "POST /axis-cgi/com/ptzconfig.cgi camera=1&setserverpresetname=%25u03A91",
                  "POST /axis-cgi/com/ptzconfig.cgi "
                  "camera=1&setserverpresetname=Door%26removeserverpresetname%3DHome"}));
    const auto stored = rig.sim().Ptz().State().presets;
    ASSERT_EQ(stored.size(), 3u) << "no preset was removed by a name";
    EXPECT_EQ(stored.at(2).name, "%u03A91");
    EXPECT_EQ(stored.at(3).name, tricky);

    ASSERT_EQ(p->LoadPresets(), 3) << "LF-ended list lines";
    char name[8];
    EXPECT_EQ(p->GetPresetName(1, name, sizeof(name)), 1);
    EXPECT_STREQ(name, omega);
    EXPECT_EQ(p->GetPresetName(2, name, sizeof(name)), 1);
    EXPECT_STREQ(name, "Door&re") << "cut to the buffer and terminated";
    EXPECT_EQ(p->GetPresetName(1, nullptr, 8), -3);
    EXPECT_EQ(p->GotoPreset(5, omega), 1);
    EXPECT_EQ(Seen(rig.sim()).back(),
              "POST /axis-cgi/com/ptz.cgi camera=1&speed=30&gotoserverpresetname=%25u03A91");
    EXPECT_EQ(p->GetCurrentPreset(name, sizeof(name)), 1);
    EXPECT_STREQ(name, omega);

    struct Row {
        std::function<int32_t()> call;
        int32_t expected;
        const char* why;
    };
    const std::string longest(64, 'x');
    const Row rows[] = {
        {[&] { return p->SetPreset("Fourth"); }, -26, "the camera's table is full"},
        {[&] { return p->SetPreset(std::string(65, 'x').c_str()); }, -28, "65 characters"},
        {[&] { return p->RemovePreset("Home"); }, 1, "removed"},
        {[&] { return p->SetPreset(longest.c_str()); }, 1, "64 characters fit"},
        {[&] { return p->GotoPreset(5, "Home"); }, -23, "listed before, gone on the camera"},
        {[&] { return p->GotoPreset(5, longest.c_str()); }, -3, "never listed"},
        {[&] { return p->GotoPreset(0, omega); }, -3, "speed 0"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.call(), row.expected) << row.why;
    }
    rig.sim().Ptz().SetPresetLimits(20, 10);
    EXPECT_EQ(p->SetPreset("Eleven char"), -28) << "the camera's own length limit";
}

TEST(PtzTest, RefusedRequestsAreLoggedAndReported) {
    PtzRig rig;
    ASSERT_NE(rig.ptz, nullptr);
    rig.Await(0, 1);
    camsim::Fault refuse;
    refuse.status = 500;
    rig.sim().SetHttpFault("/axis-cgi/com/ptz.cgi", refuse);
    rig.sim().SetHttpFault("/axis-cgi/com/ptzconfig.cgi", refuse);
    const std::string device = "127.0.0.1:" + std::to_string(rig.sim().HttpPort());
    auto& log = rig.driver->logger;
    EXPECT_EQ(rig.ptz->Move(0, 5), 1) << "queued; the worker meets the refusal";
    EXPECT_TRUE(WaitFor(
        [&] {
            return log.Count("vornak::CAxisComm::SendMoveCommand: cannot send HTTP message to " +
                             device +
                             ", message=/axis-cgi/com/ptz.cgi?camera=1&continuouspantiltmove=-30,"
                             "0, http status=500") == 1;
        },
        3000ms));
    EXPECT_EQ(rig.ptz->SetPreset("Home"), -4);
    EXPECT_EQ(log.Count("vornak::CAxisComm::ExecutePrepositionCommand(): cannot send HTTP "
                        "message to device " +
                        device + ", message=/axis-cgi/com/ptzconfig.cgi, status code=500"),
              1u);
    EXPECT_EQ(rig.ptz->LoadPresets(), -1);
    EXPECT_EQ(
        log.Count("vornak::CAxisComm::LoadPrepositions: cannot send HTTP message to " + device +
                  ", message=/axis-cgi/com/ptz.cgi?query=presetposcam&camera=1, "
                  "http status=500"),
        1u);
}

TEST(PtzTest, IsDomeAsksTheDeviceAndItsControlQueueOption) {
    struct Row {
        const char* profile;
        bool ptzCamera;
        bool refuseWhoami;
        const char* queueing;
        bool expected;
        const char* why;
    };
    const Row rows[] = {
        {"fixed", false, false, "false", false, "an LF-ended \"Error:\" line means no PTZ driver"},
        {"ptz-dome", true, false, "false", true, "named driver, queueing off"},
        {"ptz-dome", true, true, "true", false, "no name for us, queueing on"},
        {"ptz-dome", true, true, "false", true, "no name for us, queueing off"},
    };
    for (const Row& row : rows) {
        PtzRig rig(row.profile);
        ASSERT_NE(rig.ptz, nullptr) << row.why;
        if (!row.ptzCamera) {
            rig.sim().SetParam("PTZ.NbrOfCameras", "0");
        }
        rig.sim().SetParam("PTZ.Various.V1.CtlQueueing", row.queueing);
        if (row.refuseWhoami) {
            camsim::Fault refuse;
            refuse.status = 401;
            refuse.query_contains = "whoami";
            rig.sim().SetHttpFault("/axis-cgi/com/ptz.cgi", refuse);
        }
        EXPECT_EQ(rig.ptz->IsDome(), row.expected) << row.why;
        EXPECT_EQ(rig.driver->logger.Count("PTZ Control Queue option is enabled for device"),
                  row.refuseWhoami && !row.expected ? 1u : 0u)
            << row.why;
    }
    PtzRig still("ptz-dome", "Pan=0; Tilt=0; Zoom=0; Focus=0; Iris=0; Preset=1");
    ASSERT_NE(still.ptz, nullptr);
    EXPECT_FALSE(still.ptz->IsDome()) << "nothing to move";
    auto* handler = still.driver->Driver()->GetPTZDriverEx();
    EXPECT_EQ(handler->GetPTZApi(0), still.ptz) << "one control object per input";
    EXPECT_EQ(handler->GetPTZApi(1), nullptr) << "the device has one video input";
    EXPECT_EQ(still.ptz->FocusNear(5), -19);
    EXPECT_EQ(still.ptz->Move(0, 5), -19);
    EXPECT_EQ(still.ptz->Move(0, 5), -19) << "a refused move is not remembered as made";
}

}  // namespace
}  // namespace quillon::test
