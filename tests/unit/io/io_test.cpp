#include <gtest/gtest.h>

#include "fake_host.h"
#include "host_io.h"
#include "io/axis_io.h"
#include "recording_debug.h"

namespace vornak {
namespace {

using namespace std::chrono_literals;

std::vector<InputRecord> FeedMonitorInPieces(std::string_view text, std::vector<size_t> cuts) {
    CInputMonitorParser parser;
    std::vector<InputRecord> records;
    size_t from = 0;
    cuts.push_back(text.size());
    for (size_t cut : cuts) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data()) + from;
        for (const InputRecord& r : parser.Feed({bytes, cut - from})) {
            records.push_back(r);
        }
        from = cut;
    }
    return records;
}

TEST(InputMonitorParserTest, ReadBoundariesDoNotChangeTheRecords) {
    struct Row {
        std::string text;
        std::vector<InputRecord> expected;
        const char* why;
    };
    const Row rows[] = {
        {"--ioboundary\r\nContent-Type: text/plain\r\n\r\nIO0:H\r\nIO1:L\r\n\r\n--ioboundary\r\n",
         {{0, 2}, {1, 1}},
         "a first part lists the current states"},
        {"IO0:/\r\nIO1:\\\r\nIO2:h\r\nIO3:l\r\nIO4:?\r\n",
         {{0, 2}, {1, 1}, {2, 2}, {3, 1}, {4, 0}},
         "edges and levels; an unknown character is undetermined"},
        {"IOx:/IO:/IO1:H", {{1, 2}}, "a number that is absent or no number is no record"},
        {"IO12345678901:/IO7:L", {{7, 1}}, "a number too long for an index is skipped"},
        {"IIOIO2:/OIO", {{2, 2}}, "stray letters around a record"},
        {"IO3:", {}, "a record without its state is not guessed"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(FeedMonitorInPieces(row.text, {}), row.expected) << row.why << ": whole";
        for (size_t cut = 1; cut < row.text.size(); ++cut) {
            EXPECT_EQ(FeedMonitorInPieces(row.text, {cut}), row.expected)
                << row.why << ": cut at " << cut;
        }
        std::vector<size_t> everyByte;
        for (size_t i = 1; i < row.text.size(); ++i) {
            everyByte.push_back(i);
        }
        EXPECT_EQ(FeedMonitorInPieces(row.text, everyByte), row.expected)
            << row.why << ": byte by byte";
    }
}

TEST(PolledInputStateTest, CheckReplies) {
    struct Row {
        const char* body;
        uint32_t index;
        uint32_t expected;
        const char* why;
    };
    const Row rows[] = {
        {"input1=1\r\ninput2=0\r\n", 0, kIOActive, "CR LF lines"},
        {"input1=1\ninput2=0", 1, kIOInactive, "LF lines, no final line end"},
        {"input1=0 input2=1\tinput3=0", 1, kIOActive, "blank and tab separate items too"},
        {"input10=1\r\ninput1=0\r\n", 0, kIOInactive, "input10 is not input1"},
        {"input1=yes\r\n", 0, kIOUndetermined, "only 0 and 1 are states"},
        {"input2=1\r\n", 0, kIOUndetermined, "an input the reply leaves out"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PolledInputState(row.body, row.index), row.expected) << row.why;
    }
    EXPECT_EQ(InputNumberList(4), "1,2,3,4");
}

// The device side replaced by a script: polls block until told otherwise, outputs are recorded.
class ScriptedIO : public CIOBase {
  public:
    explicit ScriptedIO(IDriver* driver) : CIOBase(driver) {}
    ~ScriptedIO() override { StopIO(); }

    std::atomic<int> polls{0};
    std::atomic<bool> pollSucceeds{true};
    std::mutex mutex;
    std::vector<std::pair<uint32_t, uint32_t>> sent;

  protected:
    bool SendOutput(uint32_t index, uint32_t state) override {
        std::lock_guard lock(mutex);
        sent.emplace_back(index, state);
        return true;
    }
    bool PollInputs() override {
        ++polls;
        SetInputState(0, kIOActive);
        // As a request does that the stop aborts.
        InputStopEvent()->Wait(pollSucceeds ? 0 : kInfinite);
        return pollSucceeds && !IsInputStopping();
    }
    void MonitorInputs() override { InputStopEvent()->Wait(kInfinite); }
    void AbortRequests() override {}
};

struct ScriptedSetup {
    explicit ScriptedSetup(uint32_t inputs = 2, uint32_t outputs = 2)
        : host(Settings(inputs, outputs)), io(&host.driver) {
        io.SetCallback(&sink);
    }
    static quillon::host::DeviceSettings Settings(uint32_t inputs, uint32_t outputs) {
        quillon::host::DeviceSettings s;
        s.digitalInputs = inputs;
        s.digitalOutputs = outputs;
        return s;
    }
    std::vector<std::pair<uint32_t, uint32_t>> Sent() {
        std::lock_guard lock(io.mutex);
        return io.sent;
    }
    test::OpenedDriver host;
    quillon::host::HostIOSink sink;
    ScriptedIO io;
};

TEST(IOBaseTest, AStopDuringAPollIsNoLostConnection) {
    ScriptedSetup s;
    s.io.pollSucceeds = false;
    s.io.StartIO();
    ASSERT_TRUE(test::WaitFor([&] { return s.io.polls > 0; }, 5000ms));
    s.io.StopIO();
    EXPECT_EQ(s.sink.LostCount(), 0u);
    EXPECT_EQ(s.host.logger.Count("was lost"), 0u);
}

TEST(IOBaseTest, OutputRequests) {
    ScriptedSetup s;
    s.io.StartIO();
    s.io.SetOutput(0, kIOActive);
    s.io.SetOutput(0, kIOActive);
    s.io.SetOutput(1, 3);  // no state
    s.io.SetOutput(0, kIOInactive);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0, kIOInactive}, {1, kIOInactive}, {0, kIOActive}, {0, kIOInactive}};
    // The input thread's first poll reports one change; it runs beside the output thread.
    ASSERT_TRUE(test::WaitFor(
        [&] { return s.Sent().size() >= expected.size() && !s.sink.Changes().empty(); }, 5000ms));
    EXPECT_EQ(s.Sent(), expected) << "the start drives every output inactive; a repeat sends "
                                     "nothing; an invalid state is refused before sending";
    EXPECT_EQ(s.host.logger.Count("Invalid state 3 for output 1"), 1u);
    EXPECT_EQ(s.sink.LostCount(), 0u) << "a refused state is no failed request";
    const auto changes = s.sink.Changes();
    ASSERT_EQ(changes.size(), 1u) << "nor does it reset the input states";
    s.io.StopIO();
    EXPECT_EQ(s.io.polls, 1);
}

TEST(IOBaseTest, NoInputsNoInputThreadNoOutputsNoOutputThread) {
    ScriptedSetup s(0, 0);
    s.io.StartIO();
    s.io.SetOutput(0, kIOActive);
    std::this_thread::sleep_for(100ms);
    s.io.StopIO();
    EXPECT_EQ(s.io.polls, 0);
    EXPECT_TRUE(s.Sent().empty());
    EXPECT_EQ(s.host.logger.Count("There is no output 0"), 1u);
}

TEST(DriverIOApiTest, OnlyADeviceWithInputsOrOutputsHasAnIOObject) {
    for (const auto& [inputs, outputs] : {std::pair{0u, 0u}, {1u, 0u}, {0u, 2u}}) {
        test::OpenedDriver host(ScriptedSetup::Settings(inputs, outputs));
        ASSERT_TRUE(host.opened);
        ICaptureIOApi* io = host.driver.GetIOApi();
        EXPECT_EQ(io != nullptr, inputs + outputs > 0) << inputs << " in, " << outputs << " out";
        if (io != nullptr) {
            EXPECT_EQ(io->GetInputCount(), inputs);
            EXPECT_EQ(io->GetOutputCount(), outputs);
        }
    }
}

TEST(HostOutputSwitchTest, Texts) {
    using quillon::host::ParseOutputSwitch;
    EXPECT_EQ(ParseOutputSwitch("0=on"), std::make_pair(0u, 2u));
    EXPECT_EQ(ParseOutputSwitch("3=off"), std::make_pair(3u, 1u));
    for (const char* bad : {"", "=on", "1=", "1=onn", "-1=on", "1 =on", "x=off", "1=on "}) {
        EXPECT_FALSE(ParseOutputSwitch(bad)) << bad;
    }
}

}  // namespace
}  // namespace vornak
