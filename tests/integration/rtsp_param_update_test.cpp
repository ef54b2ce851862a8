// Cameras of the older HTTP API through the library's exports, against camsim: the RTSP channel
// sets the stream up with param.cgi updates before the session, steps a refused frame rate down
// one at a time, and sends the updates again when the host changes the capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::test::FakeResolution;
using vornak::test::FakeSettings;
using vornak::test::RecordingSink;

constexpr uint32_t Fps(uint32_t fps) {
    return 0x7000 | fps;
}

const std::string kUpdatePath = "/axis-cgi/operator/param.cgi";
const std::string kUpdate = kUpdatePath + "?action=update";

// What the host stored for a camera that reported HTTP API version 2.
std::map<uint32_t, std::string> OlderCameraParameters(uint32_t networkTimeoutMs) {
    auto parameters = FixedCameraParameters(networkTimeoutMs);
    parameters[2] = "4.47";
    parameters[3] = "2";
    return parameters;
}

// A profile made an older camera, which also knows the MPEG profile setting.
void MakeOlder(camsim::Simulator& sim, uint32_t channel = 0) {
    sim.SetParam("Properties.API.HTTP.Version", "2");
    sim.SetParam("Image.I" + std::to_string(channel) + ".MPEG.ProfileLevel", "0");
}

// The camera refuses frame rates outside min..max.
void LimitFrameRate(camsim::Simulator& sim, int min, int max) {
    camsim::ParamType range;
    range.kind = camsim::ParamType::Kind::kInt;
    range.min = min;
    range.max = max;
    sim.Params().SetType("Image.I0.Stream.FPS", range);
}

// param.cgi updates as the camera received them, without the common prefix; a request repeated
// with the credentials its challenge asked for counts once.
std::vector<std::string> Updates(const camsim::Simulator& sim) {
    std::vector<std::string> updates;
    std::string previous;
    for (const std::string& target : sim.HttpRequestLog()) {
        const bool repeated = target == std::exchange(previous, target);
        if (target.rfind(kUpdate, 0) == 0 && !repeated) {
            updates.push_back(target.substr(kUpdate.size()));
        }
    }
    return updates;
}

// Frame rates offered to the camera, in order.
std::vector<int> RatesTried(const std::vector<std::string>& updates) {
    static const std::string kKey = "Image.I0.Stream.FPS=";
    std::vector<int> rates;
    for (const std::string& update : updates) {
        const size_t at = update.find(kKey);
        if (at != std::string::npos) {
            rates.push_back(std::atoi(update.c_str() + at + kKey.size()));
        }
    }
    return rates;
}

std::vector<std::string> ExpectedLines(uint32_t pCount, const std::string& resolution,
                                       const std::vector<int>& rates, uint32_t compression,
                                       uint32_t channel = 0) {
    std::vector<std::string> lines = {
        "&Image.I0.MPEG.ICount=1&Image.I0.MPEG.PCount=" + std::to_string(pCount),
        "&Image.I0.MPEG.ProfileLevel=247", "&Image.I0.Appearance.Resolution=" + resolution};
    for (int rate : rates) {
        lines.push_back("&Image.I0.Stream.Duration=0&Image.I0.Stream.FPS=" + std::to_string(rate) +
                        "&Image.I0.RateControl.Mode=vbr");
    }
    lines.push_back("&Image.I0.Appearance.Compression=" + std::to_string(compression));
    const std::string input = ".I" + std::to_string(channel) + ".";
    for (std::string& line : lines) {
        for (size_t at = line.find(".I0."); at != std::string::npos;
             at = line.find(".I0.", at + input.size())) {
            line.replace(at, 4, input);
        }
    }
    return lines;
}

// Median distance of the frames' times: the rate the camera really streams at.
double MedianStepMs(const Frames& frames) {
    std::vector<double> steps;
    for (size_t i = 1; i < frames.size(); ++i) {
        steps.push_back(static_cast<double>(vornak::SystemTimeToTime(frames[i].time) -
                                            vornak::SystemTimeToTime(frames[i - 1].time)) /
                        10000.0);
    }
    if (steps.empty()) {
        return 0;
    }
    std::nth_element(steps.begin(), steps.begin() + static_cast<ptrdiff_t>(steps.size() / 2),
                     steps.end());
    return steps[steps.size() / 2];
}

void ExpectSize(const Frames& frames, uint32_t width, uint32_t height) {
    ASSERT_FALSE(frames.empty());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, width) << "frame " << i;
        EXPECT_EQ(frames[i].height, height) << "frame " << i;
    }
}

uint64_t RtspCount(const camsim::Simulator& sim, const std::string& method) {
    const auto counts = sim.GetCounters().rtsp_requests;
    const auto it = counts.find(method);
    return it == counts.end() ? 0 : it->second;
}

struct StartCase {
    const char* name;
    const char* profile;
    uint32_t videoInputs, channel;
    uint32_t format;  // 2 MPEG-4, 3 H.264
    uint32_t width, height;
    const char* resolution;  // as the camera names it
    uint32_t rateCode;
    uint32_t quality;
    uint32_t pCount;
    int fps;  // what the camera is asked for
    const char* codec;
    size_t frames;  // to wait for: enough steps for the median to ride out a late frame
    bool profileSetting = true;  // the model knows the MPEG profile setting
};
void PrintTo(const StartCase& c, std::ostream* out) {
    *out << c.name;
}

class OlderCameraStartTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(OlderCameraStartTest, CameraIsSetUpBeforeTheSession) {
    const StartCase& c = GetParam();
    Camera camera(CamsimSetup{c.profile});
    ASSERT_TRUE(camera.started) << camera.error;
    if (c.profileSetting) {
        MakeOlder(camera.sim, c.channel);
    }
    auto parameters = OlderCameraParameters(3000);
    if (c.videoInputs > 1) {
        parameters[7] = "D1;4CIF;2CIF;CIF;QCIF";
    }
    DriverUnderTest driver(camera.sim.HttpPort(), parameters, "root", "pass", c.videoInputs);
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(c.format, c.width, c.height, c.rateCode, c.quality);
    ASSERT_TRUE(driver.Capture()->StartCapture(c.channel, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= c.frames; }, 10s)) << "no frames arrived";
    ASSERT_TRUE(driver.Capture()->StopCapture(c.channel));

    EXPECT_EQ(Updates(camera.sim),
              ExpectedLines(c.pCount, c.resolution, {c.fps}, 100 - c.quality, c.channel));
    camsim::ParamDb& db = camera.sim.Params();
    const std::string image = "Image.I" + std::to_string(c.channel) + ".";
    EXPECT_EQ(db.Get(image + "Appearance.Resolution"), c.resolution);
    EXPECT_EQ(db.Get(image + "Stream.FPS"), std::to_string(c.fps));
    EXPECT_EQ(db.Get(image + "Appearance.Compression"), std::to_string(100 - c.quality));
    EXPECT_EQ(db.Get(image + "MPEG.PCount"), std::to_string(c.pCount));

    // The settings go out before the RTSP port is asked for, that is before the session.
    const auto log = camera.sim.HttpRequestLog();
    const auto port = std::find_if(log.begin(), log.end(), [](const std::string& target) {
        return target.find("group=Network.RTSP.Port") != std::string::npos;
    });
    ASSERT_NE(port, log.end());
    EXPECT_EQ(std::count_if(port, log.end(),
                            [](const std::string& t) { return t.rfind(kUpdate, 0) == 0; }),
              0);

    // The stream of the input that was set up, in the size it was given (camsim serves the
    // nearest clip: 640x480 for 4CIF).
    const Frames frames = sink.Frames();
    ExpectSize(frames, c.width, c.height);
    EXPECT_NEAR(MedianStepMs(frames), 1000.0 / c.fps, 100.0 / c.fps)
        << "the camera streams at the rate it was given";
    const camsim::Counters counters = camera.sim.GetCounters();
    ASSERT_EQ(counters.streams.size(), 1u);
    EXPECT_EQ(counters.streams[0].codec, c.codec);
    EXPECT_EQ(driver.logger.Count("refused"), c.profileSetting ? 0u : 1u);
    EXPECT_EQ(driver.logger.Count("refused the stream setting \"&Image.I0.MPEG.ProfileLevel=247\""),
              c.profileSetting ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, OlderCameraStartTest,
    ::testing::Values(
        StartCase{"H264", "fixed", 1, 0, 3, 640, 480, "640x480", Fps(10), 70, 9, 10, "h264", 8},
        // The MPEG-4 path names no codec settings at all.
        StartCase{"Mpeg4", "fixed", 1, 0, 2, 320, 240, "320x240", Fps(8), 50, 7, 8, "mpeg4", 8},
        // One frame in 2.5 s rounds to 0 frames per second; the camera gets its slowest rate.
        StartCase{"SlowerThanOnePerSecond", "fixed", 1, 0, 3, 320, 240, "320x240", 2500, 40, 0, 1,
                  "h264", 3},
        // The second input of a video server: its own image settings and /mpeg4/2/media.amp.
        StartCase{"SecondInput", "encoder-4ch", 4, 1, 2, 640, 480, "4CIF", Fps(6), 60, 5, 6,
                  "mpeg4", 8},
        // Models without a setting refuse it; the stream runs on the camera's own value.
        StartCase{"RefusedSideSetting", "fixed", 1, 0, 3, 320, 240, "320x240", Fps(10), 70, 9, 10,
                  "h264", 8, false}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

struct FallbackCase {
    const char* name;
    bool errorStatus;  // refused with an HTTP error rather than an error line
    std::vector<int> tried;
};
void PrintTo(const FallbackCase& c, std::ostream* out) {
    *out << c.name;
}

class FrameRateFallbackTest : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(FrameRateFallbackTest, StepsDownOneRateAtATime) {
    const FallbackCase& c = GetParam();
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    MakeOlder(camera.sim);
    if (c.errorStatus) {
        for (const char* rate : {"FPS=15&", "FPS=14&"}) {
            camsim::Fault fault;
            fault.status = 500;
            fault.query_contains = rate;
            camera.sim.SetHttpFault(kUpdatePath, fault);
        }
    } else {
        LimitFrameRate(camera.sim, 1, 12);
    }
    DriverUnderTest driver(camera.sim.HttpPort(), OlderCameraParameters(3000));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(3, 640, 480, Fps(15), 70);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 8; }, 10s)) << "no frames arrived";
    ASSERT_TRUE(driver.Capture()->StopCapture(0));

    EXPECT_EQ(Updates(camera.sim), ExpectedLines(14, "640x480", c.tried, 30));
    const int accepted = c.tried.back();
    EXPECT_EQ(camera.sim.Params().Get("Image.I0.Stream.FPS"), std::to_string(accepted));
    const Frames frames = sink.Frames();
    ExpectSize(frames, 640, 480);
    EXPECT_NEAR(MedianStepMs(frames), 1000.0 / accepted, 100.0 / accepted);
    EXPECT_EQ(RtspCount(camera.sim, "SETUP"), 1u) << "one connection was enough";
    EXPECT_EQ(driver.logger.Count("refused every frame rate"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, FrameRateFallbackTest,
                         ::testing::Values(FallbackCase{"ErrorLine", false, {15, 14, 13, 12}},
                                           FallbackCase{"HttpError", true, {15, 14, 13}}),
                         [](const ::testing::TestParamInfo<FallbackCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(FrameRateRefusalTest, CameraRefusingEveryRateNeverStreams) {
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    MakeOlder(camera.sim);
    camsim::ParamType fixedRate;
    fixedRate.kind = camsim::ParamType::Kind::kInt;
    fixedRate.readonly = true;
    camera.sim.Params().SetType("Image.I0.Stream.FPS", fixedRate);
    // Connection time-out 1.5 s.
    DriverUnderTest driver(camera.sim.HttpPort(), OlderCameraParameters(500));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(3, 640, 480, Fps(15), 70);
    const auto started = Clock::now();
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.signalLost >= 1; }, 8s)) << "the host was not told";
    uint32_t state = 0;
    ASSERT_TRUE(driver.Capture()->GetChannelState(0, &state, nullptr, nullptr, 0));
    EXPECT_EQ(state, 2u);
    ASSERT_TRUE(driver.Capture()->StopCapture(0));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    const std::vector<int> rates = RatesTried(Updates(camera.sim));
    std::vector<int> onePass;
    for (int rate = 15; rate >= 1; --rate) {
        onePass.push_back(rate);
    }
    ASSERT_GE(rates.size(), onePass.size());
    EXPECT_TRUE(std::equal(onePass.begin(), onePass.end(), rates.begin()))
        << "every rate from 15 down to 1, once each, then the connection fails";
    // Failed connections are retried about once a second, not in a tight loop.
    const size_t passes = static_cast<size_t>(std::count(rates.begin(), rates.end(), 15));
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, static_cast<size_t>(seconds * 2) + 2) << "over " << seconds << " s";
    EXPECT_EQ(std::count(rates.begin(), rates.end(), 0), 0);
    EXPECT_EQ(RtspCount(camera.sim, "DESCRIBE"), 0u) << "no session without a frame rate";
    EXPECT_EQ(sink.FrameCount(), 0u);
    EXPECT_GE(driver.logger.Count("refused every frame rate from 15 fps down to 1 fps"), 1u);
    EXPECT_EQ(driver.logger.Count("is online"), 0u);
    EXPECT_EQ(camera.sim.Params().Get("Image.I0.Stream.FPS"), "0");
}

// A change of size or rate on such a camera reconnects: the updates go out again, then a new
// session on the same path.
TEST(OlderCameraUpdateTest, NewSizeAndRateAreSentAgain) {
    Camera camera;
    ASSERT_TRUE(camera.started) << camera.error;
    MakeOlder(camera.sim);
    LimitFrameRate(camera.sim, 1, 12);
    DriverUnderTest driver(camera.sim.HttpPort(), OlderCameraParameters(3000));
    ASSERT_TRUE(driver.opened) << driver.loadError;
    RecordingSink sink;
    FakeSettings settings(3, 640, 480, Fps(10), 70);
    ASSERT_TRUE(driver.Capture()->StartCapture(0, &sink, &settings));
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= 3; }, 10s)) << "no frames arrived";
    const size_t before = Updates(camera.sim).size();
    ASSERT_EQ(before, 5u);

    FakeResolution smaller(320, 240);
    ASSERT_TRUE(driver.Capture()->UpdateCapture(0, &smaller, Fps(14)));
    ASSERT_TRUE(WaitFor(
        [&] {
            const Frames frames = sink.Frames();
            return frames.back().width == 320 && frames.size() >= 3;
        },
        10s))
        << "no frame of the new size";
    const size_t switched = sink.FrameCount();
    ASSERT_TRUE(WaitFor([&] { return sink.FrameCount() >= switched + 7; }, 5s));
    ASSERT_TRUE(driver.Capture()->StopCapture(0));

    const std::vector<std::string> updates = Updates(camera.sim);
    const std::vector<std::string> after(updates.begin() + static_cast<ptrdiff_t>(before),
                                         updates.end());
    EXPECT_EQ(after, ExpectedLines(13, "320x240", {14, 13, 12}, 30));
    EXPECT_EQ(camera.sim.Params().Get("Image.I0.Appearance.Resolution"), "320x240");
    EXPECT_EQ(camera.sim.Params().Get("Image.I0.Stream.FPS"), "12");
    EXPECT_EQ(RtspCount(camera.sim, "SETUP"), 2u) << "a new session after the updates";

    // Frames of the old size, then only the new one.
    const Frames frames = sink.Frames();
    const auto first = std::find_if(frames.begin(), frames.end(),
                                    [](const auto& frame) { return frame.width == 320; });
    ASSERT_NE(first, frames.end());
    const Frames tail(first, frames.end());
    ExpectSize(tail, 320, 240);
    EXPECT_NEAR(MedianStepMs(tail), 1000.0 / 12, 100.0 / 12);
    EXPECT_EQ(sink.signalLost, 0);
    EXPECT_EQ(driver.logger.Count("is online"), 1u) << "the host saw no interruption";
}

}  // namespace
}  // namespace quillon::test
