#include "driver/video_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "fake_host.h"

namespace vornak {
namespace {

using test::FakeSettings;

// A channel that only records what the capture object asks of it.
class RecordingChannel : public ICameraChannel {
  public:
    explicit RecordingChannel(std::vector<std::string>* log, uint32_t index)
        : log_(log), index_(index) {}
    ~RecordingChannel() override { log_->push_back("delete " + std::to_string(index_)); }
    uint32_t GetChannelIndex() override { return index_; }
    ipcapture::IFrameSink* GetFrameSink() override { return nullptr; }
    void SetEdgeMonitor(IEdgeStorageCallback*) override {}
    void ApplyCaptureSettings(ipcapture::ICaptureSettings*) override { log_->push_back("zones"); }
    bool Start(const VideoCaptureRequest* r) override {
        request = *r;
        log_->push_back("start");
        return startResult;
    }
    bool UpdateSettings(const VideoCaptureRequest* r) override {
        request = *r;
        log_->push_back("update");
        if (release != nullptr) {  // a camera that takes its time
            entered.Set();
            released = release->Wait(3000);
        }
        return true;
    }
    void Stop() override { log_->push_back("stop"); }
    bool Pause() override { return true; }
    bool Resume() override { return true; }
    uint32_t GetState() override { return 2; }
    Size GetResolution() override { return {request.width, request.height}; }

    VideoCaptureRequest request{};
    bool startResult = true;
    CManualEvent* release = nullptr;
    CManualEvent entered;
    std::atomic<bool> released{false};

  private:
    std::vector<std::string>* log_;
    uint32_t index_;
};

class RecordingCreator : public IVideoChannelCreator {
  public:
    ICameraChannel* CreateVideoChannel(uint32_t channel, ipcapture::IFrameSink*,
                                       uint32_t format) override {
        if (format != 1 && format != 3) {
            return nullptr;
        }
        last = new RecordingChannel(&log, channel);
        last->startResult = startResult;
        log.push_back("create " + std::to_string(channel));
        return last;
    }
    IMotionChannel* CreateMotionChannel(uint32_t, ipcapture::IFrameSink*) override {
        return nullptr;
    }
    IEdgeStorageHandler* CreateEdgeStorageHandler() override { return nullptr; }
    bool IsEdgeStorageAllowed() override { return true; }

    std::vector<std::string> log;
    RecordingChannel* last = nullptr;
    bool startResult = true;
};

// An input beyond the device and an unknown format create nothing and leave nothing to stop; a
// channel that refuses to start is kept so that stopping releases it.
TEST(VideoCaptureTest, StartRefusals) {
    RecordingCreator creator;
    CIPVideoCapture capture(&creator, 2);
    FakeSettings settings(3, 640, 480, 0x7019, 50);
    EXPECT_FALSE(capture.StartCapture(3, nullptr, &settings));
    EXPECT_FALSE(capture.StartStream(0, 4, nullptr, &settings));
    FakeSettings unknownFormat(7, 640, 480, 0, 0);
    EXPECT_FALSE(capture.StartCapture(0, nullptr, &unknownFormat));
    EXPECT_TRUE(creator.log.empty());
    uint32_t state = 99;
    EXPECT_FALSE(capture.GetChannelState(0, &state, nullptr, nullptr, 0));
    EXPECT_FALSE(capture.StopCapture(0));
    creator.startResult = false;
    EXPECT_FALSE(capture.StartCapture(1, nullptr, &settings));
    EXPECT_TRUE(capture.StopCapture(1));
}

TEST(VideoCaptureTest, SecondStartReplacesTheFirstChannel) {
    RecordingCreator creator;
    CIPVideoCapture capture(&creator, 1);
    FakeSettings settings(3, 0x10000 + 640, 480, 0x7019, 50);
    ASSERT_TRUE(capture.StartCapture(0, nullptr, &settings));
    ASSERT_TRUE(capture.StartCapture(0, nullptr, &settings));
    EXPECT_EQ(creator.log, (std::vector<std::string>{"create 0", "zones", "start", "stop",
                                                     "delete 0", "create 0", "zones", "start"}));
    const VideoCaptureRequest& r = creator.last->request;
    EXPECT_EQ(r.width, 640u) << "the host's values are taken as 16 bits";
    EXPECT_EQ(r.height, 480u);
    EXPECT_EQ(r.frameRate, 0x7019u);
    EXPECT_EQ(r.quality, 50u);
    EXPECT_EQ(r.stream, 0u);
    EXPECT_TRUE(capture.StopCapture(0));
    EXPECT_FALSE(capture.StopCapture(0)) << "nothing left to stop";
}

TEST(VideoCaptureTest, StreamsAreIndependentAndStopCaptureTakesAll) {
    RecordingCreator creator;
    CIPVideoCapture capture(&creator, 1);
    FakeSettings settings(3, 1280, 720, 0, 0);
    FakeSettings live(3, 640, 360, 0, 0);
    ASSERT_TRUE(capture.StartCapture(0, nullptr, &settings));
    ASSERT_TRUE(capture.StartStream(0, 1, nullptr, &live));
    EXPECT_EQ(creator.last->request.stream, 1u);
    EXPECT_EQ(capture.GetStreamResolution(0, 1), (Size{640, 360}));
    EXPECT_EQ(capture.GetStreamResolution(0, 2), (Size{0, 0}));
    EXPECT_TRUE(capture.StopStream(0, 1));
    EXPECT_FALSE(capture.StopStream(0, 1));
    ASSERT_TRUE(capture.StartStream(0, 2, nullptr, &live));
    EXPECT_TRUE(capture.StopCapture(0));
    EXPECT_EQ(capture.GetStreamResolution(0, 0), (Size{0, 0}));
    EXPECT_EQ(capture.GetStreamResolution(0, 2), (Size{0, 0}));
}

// State and update without a stream fail; the state clears its outputs all the same. An update
// goes to stream 0 with quality 0.
TEST(VideoCaptureTest, ChannelStateAndUpdate) {
    RecordingCreator creator;
    CIPVideoCapture capture(&creator, 1);
    test::FakeResolution resolution(320, 240);
    EXPECT_FALSE(capture.UpdateCapture(0, &resolution, 100));
    uint32_t state = 77;
    uint32_t detail = 5;
    char text[8] = "abc";
    EXPECT_FALSE(capture.GetChannelState(0, &state, &detail, text, sizeof(text)));
    EXPECT_EQ(detail, 0u);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(state, 77u);
    FakeSettings settings(3, 640, 480, 0, 60);
    ASSERT_TRUE(capture.StartCapture(0, nullptr, &settings));
    EXPECT_TRUE(capture.GetChannelState(0, &state, &detail, text, sizeof(text)));
    EXPECT_EQ(state, 2u);
    EXPECT_TRUE(capture.PauseCapture(0));
    EXPECT_FALSE(capture.PauseCapture(1));
    ASSERT_TRUE(capture.UpdateCapture(0, &resolution, 100));
    const VideoCaptureRequest& r = creator.last->request;
    EXPECT_EQ(r.width, 320u);
    EXPECT_EQ(r.height, 240u);
    EXPECT_EQ(r.frameRate, 100u);
    EXPECT_EQ(r.quality, 0u);
}

TEST(VideoCaptureTest, AChannelWaitingForItsCameraHoldsUpNoOtherInput) {
    RecordingCreator creator;
    CIPVideoCapture capture(&creator, 2);
    FakeSettings settings(3, 640, 480, 0, 0);
    ASSERT_TRUE(capture.StartCapture(0, nullptr, &settings));
    RecordingChannel* slow = creator.last;
    CManualEvent release;
    slow->release = &release;
    ASSERT_TRUE(capture.StartCapture(1, nullptr, &settings));
    test::FakeResolution resolution(320, 240);
    std::thread update([&] { capture.UpdateCapture(0, &resolution, 100); });
    ASSERT_TRUE(slow->entered.Wait(3000));
    uint32_t state = 0;
    EXPECT_TRUE(capture.GetChannelState(1, &state, nullptr, nullptr, 0));
    EXPECT_TRUE(capture.PauseCapture(1));
    release.Set();
    update.join();
    EXPECT_TRUE(slow->released) << "the other input's calls waited for the slow camera";
}

TEST(VideoCaptureTest, Options) {
    RecordingCreator creator;
    CIPVideoCapture capture(&creator, 1);
    uint32_t value32 = 0;
    uint16_t value16 = 7;
    EXPECT_TRUE(capture.GetOption("MAXFPS_RES2", &value32, 4));
    EXPECT_EQ(value32, 25u);
    EXPECT_TRUE(capture.GetOption("isipcamera", &value32, 4)) << "names ignore case";
    EXPECT_EQ(value32, 1u);
    EXPECT_FALSE(capture.GetOption("isIPCamera", &value32, 2));
    EXPECT_FALSE(capture.GetOption("MAXFPS_RES4", &value32, 4));
    EXPECT_TRUE(capture.GetOption("EdgeStorageState", &value16, 2));
    EXPECT_EQ(value16, 0u);
    const uint32_t on32 = 1;
    EXPECT_FALSE(capture.SetOption("EdgeStorageState", &on32, 4));
    const uint16_t on = 1;
    EXPECT_TRUE(capture.SetOption("EdgeStorageState", &on, 2));
    EXPECT_TRUE(capture.GetOption("EdgeStorageState", &value16, 2));
    EXPECT_EQ(value16, 1u);
    EXPECT_FALSE(capture.SetOption(nullptr, &on, 2));
}

}  // namespace
}  // namespace vornak
