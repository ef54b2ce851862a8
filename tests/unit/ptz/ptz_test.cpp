#include <gtest/gtest.h>

#include <mutex>

#include "ptz/preset_names.h"
#include "ptz/ptz_comm.h"
#include "ptz/ptz_control.h"
#include "recording_debug.h"
#include "stub_driver.h"

namespace vornak {
namespace {

TEST(PtzSpeedTest, HostSpeedsScaleToTheDevicesRange) {
    const std::pair<int32_t, int32_t> rows[] = {
        {-1, 0}, {0, 0}, {1, 5}, {2, 11}, {8, 49}, {15, 94}, {16, 100}, {1000, 100},
    };
    for (const auto& [speed, scaled] : rows) {
        EXPECT_EQ(ScalePtzSpeed(speed), scaled) << "speed " << speed;
    }
    EXPECT_EQ(MoveSuffix(4, 30), "&continuouspantiltmove=-30,30") << "up and left";
    EXPECT_EQ(MoveSuffix(9, 0), "&continuouszoommove=-0") << "speed 0 still sends its text";
    EXPECT_EQ(MoveSuffix(10, 30), "") << "no such direction";
}

TEST(PtzReplyTest, PresetListsAndErrorTexts) {
    using Map = std::map<uint32_t, std::string>;
    const std::pair<const char*, Map> lists[] = {
        {"presetposno1=Home\r\npresetposno3=Door\r\n", {{0, "Home"}, {1, "Door"}}},
        {"presetposno1=Home\npresetposno3=Door", {{0, "Home"}, {1, "Door"}}},
        {"a=Home\rb=\nc=x=y\n", {{0, "Home"}, {1, "x=y"}}},
        {"no equals sign\n", {}},
        {"", {}},
    };
    for (const auto& [body, expected] : lists) {
        EXPECT_EQ(ParsePresetList(body), expected) << body;
    }
    const std::pair<const char*, int32_t> errors[] = {
        {"", 1},
        {"OK Error:", 1},
        {"Error: setserverpresetname: too many preset positions", -26},
        {"Error: no more available", -26},
        {"Error: setserverpresetname: name exceeded max length", -28},
        {"Error: exceeded max length", -23},
        {"Error: gotoserverpresetname: unknown", -23},
    };
    for (const auto& [body, result] : errors) {
        EXPECT_EQ(PresetReplyResult(body), result) << body;
    }
    EXPECT_EQ(FirstLine("axis_q6032\r\nmore"), "axis_q6032");
    EXPECT_EQ(FirstLine("Error: no driver"), "Error: no driver") << "ends with the body";
    EXPECT_EQ(FormEncode("a b&c=d+e%f~Ω"), "a%20b%26c%3Dd%2Be%25f~%CE%A9");
}

TEST(PresetNameTest, HostAndCameraSpellings) {
    const std::u16string omega1 = u"\u03A91";
    EXPECT_EQ(HostNameToUnits("\xCE\xA9"
                              "1",
                              true),
              omega1);
    EXPECT_EQ(EscapeUnits(omega1), "%u03A91");
    EXPECT_EQ(AnsiFromUnits(omega1), "?1");
    EXPECT_EQ(DecodeCameraName("%u03A91"), omega1);
    EXPECT_EQ(DecodeCameraName("100%u"), u"100%u") << "not an escape: Latin-1";
    EXPECT_EQ(UnitsToHost(DecodeCameraName("Caf\xE9"), true), "Caf\xC3\xA9");
    EXPECT_EQ(UnitsToHost(u"\U0001F600", true), "\xF0\x9F\x98\x80") << "surrogate pair";
    const char* refused[] = {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF"};
    for (const char* name : refused) {
        EXPECT_FALSE(HostNameToUnits(name, true)) << "invalid UTF-8 " << name;
    }
    EXPECT_TRUE(HostNameToUnits(std::string(255, 'x'), false));
    EXPECT_FALSE(HostNameToUnits(std::string(256, 'x'), false)) << "256 units with terminator";

    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(CopyNameToHost("%u03A9%u03A9", true, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "\xCE\xA9") << "never half a character";
    EXPECT_EQ(CopyNameToHost("Home", false, buffer, 0), -3);
    EXPECT_EQ(CopyNameToHost("Home", false, nullptr, 4), -3);
}

// The queue without its worker: what is posted stays pending.
class QueueOnly : public CBasePTZComm {
  public:
    explicit QueueOnly(test::StubDriver* driver)
        : CBasePTZComm(driver, 0, PtzCapabilities{true, true, true, true, true}) {}
    int32_t SetPreset(const std::string&) override { return 1; }
    int32_t GotoPreset(const std::string&, int32_t) override { return 1; }
    int32_t RemovePreset(const std::string&) override { return 1; }
    bool LoadPrepositions(std::map<uint32_t, std::string>&) override { return true; }

    std::vector<CPTZMessage> Executed() {
        std::lock_guard lock(mutex_);
        return executed_;
    }

  protected:
    void ExecuteCommand(const CPTZMessage& m) override {
        std::lock_guard lock(mutex_);
        executed_.push_back(m);
    }

  private:
    std::mutex mutex_;
    std::vector<CPTZMessage> executed_;
};

// Ticks only when the test says so.
class HeldControl : public CAxisPTZControl {
  public:
    explicit HeldControl(test::StubDriver* driver)
        : CAxisPTZControl(driver, 0, PtzCapabilities{true, true, true, true, true}),
          driver_(driver) {
        tickIntervalMs_ = kInfinite - 1;
    }
    ~HeldControl() override { CTickThread::StopThread(1000); }
    CBasePTZComm* CreateComm() override { return new QueueOnly(driver_); }
    using CAxisPTZControl::OnTick;
    QueueOnly& Comm() { return *static_cast<QueueOnly*>(comm_.get()); }

  private:
    test::StubDriver* driver_;
};

TEST(PtzQueueTest, NewerCommandsReplaceWhatTheyMakePointless) {
    const auto move = [](int32_t direction) {
        return CPTZMessage{kPtzMove, 0, 5, direction, 0, 0};
    };
    const CPTZMessage zoomStop{kPtzStop, kStopZoom, 0, 0, 0, 0};
    const CPTZMessage focus{kPtzFocus, 2, 5, 0, 0, 0};
    struct Row {
        std::vector<CPTZMessage> posted;
        std::vector<CPTZMessage> pending;
        const char* why;
    };
    const Row rows[] = {
        {{move(0), move(1), move(2)}, {move(2)}, "the latest pan/tilt move wins"},
        {{move(0), move(8), zoomStop}, {move(0), zoomStop}, "a zoom stop keeps the pan move"},
        {{move(8), move(1), move(9)}, {move(1), move(9)}, "zoom and pan apart, order kept"},
        {{focus, focus}, {focus}, "one focus step pending at most"},
        {{zoomStop, move(9)}, {zoomStop, move(9)}, "a move keeps the stop before it"},
    };
    test::StubDriver driver;
    for (const Row& row : rows) {
        QueueOnly queue(&driver);
        for (const CPTZMessage& m : row.posted) {
            ASSERT_EQ(queue.PostCommand(m), 1);
        }
        EXPECT_EQ(queue.PendingCommands(), row.pending) << row.why;
    }
    QueueOnly noZoom(&driver);
    EXPECT_EQ(noZoom.Unzoom(5), -19) << "without the capability nothing is queued";
    EXPECT_TRUE(noZoom.PendingCommands().empty());
}

TEST(PtzControlTest, HeldFocusRepeatsUntilReleased) {
    test::StubDriver driver;
    HeldControl control(&driver);
    ASSERT_TRUE(control.Open());
    const auto executed = [&](size_t n) {
        return test::WaitFor([&] { return control.Comm().Executed().size() >= n; },
                             std::chrono::seconds(2));
    };
    ASSERT_EQ(control.FocusNear(5), 1);
    ASSERT_TRUE(executed(1));
    for (size_t n = 2; n <= 3; ++n) {
        control.OnTick();
        ASSERT_TRUE(executed(n)) << "each tick while held posts the step again";
    }
    EXPECT_EQ(control.FocusNear(0), 1);
    control.OnTick();
    EXPECT_EQ(control.StopAll(), 1);
    EXPECT_TRUE(control.Comm().PendingCommands().empty());
    const CPTZMessage step{kPtzFocus, 2, 5, 0, 0, 0};
    EXPECT_EQ(control.Comm().Executed(), std::vector<CPTZMessage>(3, step))
        << "released: no tick and nothing left to stop";
}

}  // namespace
}  // namespace vornak
