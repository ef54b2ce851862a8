// Motion detection through the library's exports against camsim: motion frames on state
// changes, and what happens for a camera without motion windows.
#include <gtest/gtest.h>

#include "camsim/motion.h"
#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

struct MotionState {
    bool motion;
    vornak::TimeValue received;
};

// The motion frames among the sink's frames; each must be a complete motion frame.
std::vector<MotionState> MotionStates(RecordingSink& sink) {
    std::vector<MotionState> states;
    for (const auto& frame : sink.Frames()) {
        if (frame.fourcc != 0x444D454Du) {
            continue;
        }
        EXPECT_EQ(frame.data.size(), 2u);
        EXPECT_EQ(frame.data[0], 1u);
        EXPECT_EQ(frame.width * 1000 + frame.height, 320240u);
        EXPECT_EQ(frame.sizeClass, 2u);
        EXPECT_EQ(frame.stream, "Quillon::MotionDetection");
        states.push_back({frame.data.size() == 2 && frame.data[1] == 1, frame.received});
    }
    return states;
}

struct MotionRun {
    explicit MotionRun(const std::string& api = "3") {
        auto parameters = FixedCameraParameters(3000);
        parameters[3] = api;
        driver = std::make_unique<DriverUnderTest>(camera.sim.HttpPort(), parameters);
        settings.motion = 1;
    }
    bool Start() { return driver->Capture()->StartCapture(0, &sink, &settings); }
    bool WaitForStates(size_t count) {
        return WaitFor([&] { return MotionStates(sink).size() >= count; }, 8s);
    }

    Camera camera;
    RecordingSink sink;
    FakeSettings settings{1, 320, 240, 0x7001, 0};
    std::unique_ptr<DriverUnderTest> driver;
};

// camsim cuts every record across two writes, so the driver reads records in pieces.
TEST(MotionDetection, StateChangesReachTheHostAtMostEveryTwoSeconds) {
    MotionRun run;
    ASSERT_TRUE(run.camera.started) << run.camera.error;
    run.camera.sim.Motion().SplitRecords(true);
    ASSERT_TRUE(run.driver->opened) << run.driver->loadError;
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitForStates(2));
    run.camera.sim.Motion().SetLevel(0, 50);
    ASSERT_TRUE(run.WaitForStates(3));
    run.camera.sim.Motion().SetLevel(0, 0);
    ASSERT_TRUE(run.WaitForStates(4));
    run.driver->Capture()->StopCapture(0);
    const std::vector<MotionState> states = MotionStates(run.sink);
    ASSERT_EQ(states.size(), 4u);
    const bool expected[] = {true, false, true, false};  // the first decision after its opposite
    for (size_t i = 0; i < states.size(); ++i) {
        EXPECT_EQ(states[i].motion, expected[i]) << "state " << i;
        if (i >= 2) {
            EXPECT_GE(states[i].received - states[i - 1].received, 19'900'000u) << "state " << i;
        }
    }
}

struct NoWindows {
    const char* api;
    bool creates;
    const char* logged;
    const char* reason;
};

const NoWindows kNoWindows[] = {
    {"3", true, "The system has created 'Motion.M0' group by default",
     "a VAPIX 3 camera gets a default window and then reports motion"},
    {"2", false, "Please configure motion masks manually via Web-interface",
     "an older camera is left alone: only the warning"},
};

class MotionWithoutWindows : public ::testing::TestWithParam<NoWindows> {};

TEST_P(MotionWithoutWindows, DefaultWindowOnlyWhereTheCameraTakesOne) {
    const NoWindows& row = GetParam();
    MotionRun run(row.api);
    ASSERT_TRUE(run.camera.started) << run.camera.error;
    run.camera.sim.Params().Remove("Motion.M0");
    ASSERT_TRUE(run.driver->opened) << run.driver->loadError;
    run.Start();
    ASSERT_TRUE(WaitFor([&] { return run.driver->logger.Count(row.logged) >= 1; }, 8s))
        << row.reason;
    if (row.creates) {
        ASSERT_TRUE(run.WaitForStates(2)) << row.reason;
    }
    run.driver->Capture()->StopCapture(0);
    const auto log = run.camera.sim.HttpRequestLog();
    const auto sent = [&](const std::string& target) {
        return std::count(log.begin(), log.end(), target) == 1;
    };
    EXPECT_EQ(sent("/axis-cgi/admin/param.cgi?action=add&group=Motion&template=motion"
                   "&Motion.M.WindowType=include&Motion.M.ImageSource=0"),
              row.creates)
        << row.reason;
    EXPECT_EQ(sent("/axis-cgi/admin/param.cgi?action=update&&Motion.M0.Left=90&Motion.M0.Top=90"
                   "&Motion.M0.Right=9910&Motion.M0.Bottom=9910"
                   "&Motion.M0.Name=Vornak%20Default%20Window%20[0]"),
              row.creates)
        << row.reason;
    EXPECT_EQ(run.camera.sim.Params().Get("Motion.M0.Name").value_or("none"),
              row.creates ? "Vornak Default Window [0]" : "none");
    EXPECT_EQ(MotionStates(run.sink).empty(), !row.creates);
}

INSTANTIATE_TEST_SUITE_P(Api, MotionWithoutWindows, ::testing::ValuesIn(kNoWindows),
                         [](const ::testing::TestParamInfo<NoWindows>& info) {
                             return std::string("Vapix") + info.param.api;
                         });

}  // namespace
}  // namespace quillon::test
