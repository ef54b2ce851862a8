// Digital IO through the library's exports against camsim: input changes reach the host's sink
// once each, outputs switch on the camera, and an outage is reported once.
#include <gtest/gtest.h>

#include "driver_harness.h"
#include "host_io.h"

namespace quillon::test {
namespace {

using IoChange = host::HostIOSink::Change;

// A driver opened for camsim's four-input, four-output encoder, its IO started.
class IoDevice {
  public:
    explicit IoDevice(uint16_t port) : context_(Settings(port)) {
        std::string error;
        if (!library_.Load(QUILLON_LIBRARY_PATH, error)) {
            ADD_FAILURE() << error;
            return;
        }
        driver_ = library_.create[0]();
        if (driver_ == nullptr || !driver_->Open(&logger, &allocator_, &context_) ||
            (io = driver_->GetIOApi()) == nullptr) {
            ADD_FAILURE() << "no IO object";
            return;
        }
        io->SetCallback(&sink);
        io->StartIO();
    }
    ~IoDevice() {
        if (driver_ != nullptr) {
            driver_->Close();
            library_.destroy[0](driver_);
        }
    }
    static host::DeviceSettings Settings(uint16_t port) {
        host::DeviceSettings s;
        s.port = port;
        s.user = "root";
        s.password = "pass";
        s.digitalInputs = 4;
        s.digitalOutputs = 4;
        s.parameters = {{1, "2000"}};
        return s;
    }

    host::HostLogger logger{false};
    host::HostIOSink sink;
    vornak::ICaptureIOApi* io = nullptr;

  private:
    host::DriverLibrary library_;
    host::HostFrameAllocator allocator_;
    host::HostDeviceContext context_;
    host::IIPCaptureDriverEx5* driver_ = nullptr;
};

size_t IoRequests(camsim::Simulator& sim, const std::string& part) {
    const auto log = sim.HttpRequestLog();
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& r) {
        return r.find(part) != std::string::npos;
    }));
}

std::string IoLogText(host::HostLogger& logger) {
    std::string text;
    for (const host::LogLine& line : logger.Lines()) {
        text += line.text + "\n";
    }
    return text;
}

const std::vector<IoChange> kAllInactive = {{0, 1}, {1, 1}, {2, 1}, {3, 1}};

class IoInputTest : public ::testing::TestWithParam<bool> {};

// With split records every monitor part reaches the driver in two reads, cut inside a record.
TEST_P(IoInputTest, EachChangeReachesTheSinkOnce) {
    Camera camera({.profile = "encoder-4ch"});
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.SplitIoRecords(GetParam());
    IoDevice device(camera.sim.HttpPort());
    ASSERT_TRUE(
        WaitFor([&] { return IoRequests(camera.sim, "input.cgi?monitor=1,2,3,4") > 0; }, 10s));
    // The first change comes through the monitor stream, from its first part when it opened
    // after the change; the stream is open from then on.
    camera.sim.SetInput(3, true);
    ASSERT_TRUE(WaitFor([&] { return device.sink.Changes().size() >= 5; }, 10s));
    const std::pair<int, bool> toggles[] = {{3, true}, {3, false}, {1, true}};
    for (const auto& [port, active] : toggles) {
        camera.sim.SetInput(port, active);
    }
    std::vector<IoChange> expected = kAllInactive;
    expected.insert(expected.end(), {{2, 2}, {2, 1}, {0, 2}});
    ASSERT_TRUE(WaitFor([&] { return device.sink.Changes().size() >= expected.size(); }, 10s))
        << device.sink.Changes().size() << " changes";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(device.sink.Changes(), expected);
    EXPECT_EQ(device.sink.LostCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Records, IoInputTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Split" : "Whole"; });

TEST(IoOutputTest, OutputsSwitchOnTheCamera) {
    Camera camera({.profile = "encoder-4ch"});
    ASSERT_TRUE(camera.started) << camera.error;
    IoDevice device(camera.sim.HttpPort());
    // The start drives every output inactive.
    ASSERT_TRUE(
        WaitFor([&] { return IoRequests(camera.sim, "output.cgi?action=4:%5C") == 1; }, 10s));
    device.io->SetOutput(1, 2);
    ASSERT_TRUE(WaitFor([&] { return camera.sim.OutputActive(2); }, 10s));
    device.io->SetOutput(1, 2);
    device.io->SetOutput(1, 1);
    ASSERT_TRUE(WaitFor([&] { return !camera.sim.OutputActive(2); }, 10s));
    EXPECT_EQ(IoRequests(camera.sim, "output.cgi?action=2:%2F"), 1u) << "a repeat sends nothing";
    EXPECT_EQ(IoRequests(camera.sim, "output.cgi?action=2:%5C"), 2u);
    EXPECT_EQ(device.sink.LostCount(), 0u);
}

TEST(IoOutageTest, OneLossOneReturnAndAPollEveryTwoSeconds) {
    // Without authentication every poll and monitor request is one request in the log.
    Camera camera({.profile = "encoder-4ch", .http = camsim::AuthSchemes::kNone});
    ASSERT_TRUE(camera.started) << camera.error;
    camera.sim.SetInput(2, true);
    IoDevice device(camera.sim.HttpPort());
    const std::vector<IoChange> states = {{0, 1}, {1, 2}, {2, 1}, {3, 1}};
    ASSERT_TRUE(WaitFor([&] { return IoRequests(camera.sim, "input.cgi?monitor") > 0; }, 10s));
    // The start's output requests are done before the outage; one that failed would be a loss.
    ASSERT_TRUE(WaitFor([&] { return IoRequests(camera.sim, "output.cgi") == 4; }, 10s));

    // Down long enough for two polls to fail.
    camera.sim.Restart(5000ms);
    ASSERT_TRUE(WaitFor([&] { return device.logger.Count("is established") > 0; }, 20s));
    ASSERT_TRUE(WaitFor([&] { return device.sink.Changes().size() >= 8; }, 5s));
    std::vector<IoChange> expected = states;
    expected.insert(expected.end(), states.begin(), states.end());
    EXPECT_EQ(device.sink.Changes(), expected) << "every input reported again on return";
    EXPECT_EQ(device.sink.LostCount(), 1u) << IoLogText(device.logger);
    EXPECT_EQ(device.logger.Count("Digital input connection (Quillon / 127.0.0.1:"), 2u);
    EXPECT_EQ(device.logger.Count("was lost"), 1u);

    // A camera that refuses the poll is asked again every 2000 ms.
    ASSERT_TRUE(WaitFor([&] { return IoRequests(camera.sim, "input.cgi?monitor") == 2; }, 5s));
    camsim::Fault refuse;
    refuse.query_contains = "check";
    camera.sim.SetHttpFault("/axis-cgi/io/input.cgi", refuse);
    camera.sim.CloseAllConnections();
    ASSERT_TRUE(WaitFor([&] { return device.sink.LostCount() == 2; }, 10s));
    const size_t before = IoRequests(camera.sim, "input.cgi?check");
    std::this_thread::sleep_for(5s);
    const size_t polls = IoRequests(camera.sim, "input.cgi?check") - before;
    EXPECT_GE(polls, 2u);
    EXPECT_LE(polls, 3u);
    device.io->StopIO();
    EXPECT_EQ(device.sink.LostCount(), 2u) << "once per outage, nothing on the stop";
}

}  // namespace
}  // namespace quillon::test
