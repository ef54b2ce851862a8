// Stop anywhere: camsim holds the driver at one place where it blocks on the camera (a connect,
// the read of an answer or of a stream, a keep-alive, the answer to TEARDOWN, a wait for frames)
// and the host stops it there; the stop must return within the bound below. Holds last for ever.
// Multicast rows run in a private network (private_network.h).
#include <future>

#include "audio/audio_format.h"
#include "audio/audio_output.h"
#include "audio_session.h"
#include "capability_report.h"
#include "host_io.h"
#include "private_network.h"

namespace quillon::test {
namespace {

using vornak::test::FakeSettings;
using vornak::test::RecordingSink;
using HoldKind = camsim::Fault::Kind;

// The join limit of a capture thread is twice the network time-out; the driver does better and
// ends every blocking call on a stop, so the bound is one second (plus what a loaded two-core
// machine under a sanitizer adds), below the network time-out: a stop that waits for the camera
// or for a time-out fails its row.
constexpr uint32_t kStopTableNetworkTimeoutMs = 3000;
constexpr auto kBound = 1000ms + 1500ms;

enum class Device {
    kMjpeg,
    kRtsp,
    kH265,
    kIo,
    kAudioIn,
    kAudioOut,
    kMotion,
    kPtz,
    kPtzMove,  // a move posted once the worker runs
    kQuery,    // the capability query; its stop is UninitCapabilityQuery
    kMulticast,
    kEdge,  // a recording stream with gap fill, after an outage
};
enum class StopBy { kStopCapture, kStopStream, kClose };

// Where camsim holds the driver.
enum class At {
    kHttp,         // the request for path `key` ("path?text": its query contains text)
    kRtsp,         // the RTSP request `key`
    kHttpConnect,  // the device's HTTP port never accepts
    kRtspConnect,  // the RTSP port never accepts
    kNoMedia,      // sessions start, media never comes
};

struct StopRow {
    const char* name;
    Device device;
    const char* mode;  // RTPMode of RTSP rows
    At at;
    const char* key;
    HoldKind kind;
    uint64_t afterBytes;  // kStall: bytes the camera still sends
    bool onceRunning;     // the hold is set once frames flow
    // Log text that shows the hold is reached; empty: camsim saw the request (or the connect is
    // pending, or frames flowed for holds set once running).
    const char* reachedLog;
    StopBy stop;
};

// clang-format off
const StopRow kRows[] = {
    // Motion JPEG over HTTP.
    {"MjpegConnect", Device::kMjpeg, "", At::kHttpConnect, "", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"MjpegAnswer", Device::kMjpeg, "", At::kHttp, "/axis-cgi/mjpg/video.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"MjpegMidPicture", Device::kMjpeg, "", At::kHttp, "/axis-cgi/mjpg/video.cgi", HoldKind::kStall, 3000, false, "", StopBy::kStopCapture},
    {"MjpegMidPictureClose", Device::kMjpeg, "", At::kHttp, "/axis-cgi/mjpg/video.cgi", HoldKind::kStall, 3000, false, "", StopBy::kClose},
    {"MjpegWaitAfterLoss", Device::kMjpeg, "", At::kHttp, "/axis-cgi/mjpg/video.cgi", HoldKind::kStall, 7000, false, "Signal was lost", StopBy::kStopCapture},
    // RTSP: the port query, the connect, each request, the stream, the waits.
    {"RtspPortQuery", Device::kRtsp, "RTPoverUDP", At::kHttp, "/axis-cgi/admin/param.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"RtspConnect", Device::kRtsp, "RTPoverUDP", At::kRtspConnect, "", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"RtspDescribe", Device::kRtsp, "RTPoverUDP", At::kRtsp, "DESCRIBE", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"RtspDescribeClose", Device::kRtsp, "RTPoverTCP", At::kRtsp, "DESCRIBE", HoldKind::kWithhold, 0, false, "", StopBy::kClose},
    {"RtspSetup", Device::kRtsp, "RTPoverTCP", At::kRtsp, "SETUP", HoldKind::kWithhold, 0, false, "", StopBy::kStopStream},
    {"RtspPlay", Device::kRtsp, "RTPoverRTSP", At::kRtsp, "PLAY", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"RtspPlayHalfAnswer", Device::kRtsp, "RTPoverUDP", At::kRtsp, "PLAY", HoldKind::kStall, 20, false, "", StopBy::kStopCapture},
    {"RtspInterleavedMidFrame", Device::kRtsp, "RTPoverRTSP", At::kRtsp, "PLAY", HoldKind::kStall, 3000, false, "", StopBy::kStopCapture},
    {"RtspFirstFrameWait", Device::kRtsp, "RTPoverUDP", At::kNoMedia, "PLAY", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"RtspKeepAlive", Device::kRtsp, "RTPoverTCP", At::kRtsp, "GET_PARAMETER", HoldKind::kWithhold, 0, true, "", StopBy::kStopCapture},
    {"RtspKeepAliveDrip", Device::kRtsp, "RTPoverTCP", At::kRtsp, "GET_PARAMETER", HoldKind::kDripHeader, 0, true, "", StopBy::kStopCapture},
    {"RtspTeardown", Device::kRtsp, "RTPoverUDP", At::kRtsp, "TEARDOWN", HoldKind::kWithhold, 0, true, "", StopBy::kStopCapture},
    // A camera that answers with endless media frames, or drips its answer byte by byte.
    {"RtspDescribeFlood", Device::kRtsp, "RTPoverUDP", At::kRtsp, "DESCRIBE", HoldKind::kFlood, 0, false, "", StopBy::kStopCapture},
    {"RtspDescribeDrip", Device::kRtsp, "RTPoverUDP", At::kRtsp, "DESCRIBE", HoldKind::kDripHeader, 0, false, "", StopBy::kStopCapture},
    {"InterleavedDescribeDripBody", Device::kRtsp, "RTPoverRTSP", At::kRtsp, "DESCRIBE", HoldKind::kDripBody, 0, false, "", StopBy::kStopCapture},
    {"UdpTeardownFlood", Device::kRtsp, "RTPoverUDP", At::kRtsp, "TEARDOWN", HoldKind::kFlood, 0, true, "", StopBy::kStopCapture},
    {"UdpTeardownDrip", Device::kRtsp, "RTPoverUDP", At::kRtsp, "TEARDOWN", HoldKind::kDripHeader, 0, true, "", StopBy::kStopCapture},
    {"TcpTeardownDripBody", Device::kRtsp, "RTPoverTCP", At::kRtsp, "TEARDOWN", HoldKind::kDripBody, 0, true, "", StopBy::kStopCapture},
    {"InterleavedTeardownFlood", Device::kRtsp, "RTPoverRTSP", At::kRtsp, "TEARDOWN", HoldKind::kFlood, 0, true, "", StopBy::kStopCapture},
    {"InterleavedTeardownDrip", Device::kRtsp, "RTPoverRTSP", At::kRtsp, "TEARDOWN", HoldKind::kDripHeader, 0, true, "", StopBy::kStopCapture},
    {"InterleavedTeardownDripBody", Device::kRtsp, "RTPoverRTSP", At::kRtsp, "TEARDOWN", HoldKind::kDripBody, 0, true, "", StopBy::kStopCapture},
    // RTSP tunnelled through HTTP: the GET that carries answers and media, a request in it.
    {"TunnelGet", Device::kRtsp, "RTPoverHTTP", At::kHttp, "/axis-media/media.amp", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"TunnelDescribe", Device::kRtsp, "RTPoverHTTP", At::kRtsp, "DESCRIBE", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"TunnelMidFrame", Device::kRtsp, "RTPoverHTTP", At::kRtsp, "PLAY", HoldKind::kStall, 3000, false, "", StopBy::kClose},
    // Digital inputs: the monitor stream's answer, and the stream cut inside a part.
    {"IoMonitorAnswer", Device::kIo, "", At::kHttp, "/axis-cgi/io/input.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"IoMonitorMidPart", Device::kIo, "", At::kHttp, "/axis-cgi/io/input.cgi", HoldKind::kStall, 150, false, "", StopBy::kClose},
    // Motion data beside a motion JPEG stream: its answer, a record cut in two.
    {"MotionAnswer", Device::kMotion, "", At::kHttp, "/axis-cgi/motion/motiondata.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"MotionMidRecord", Device::kMotion, "", At::kHttp, "/axis-cgi/motion/motiondata.cgi", HoldKind::kStall, 150, false, "", StopBy::kClose},
    // The PTZ worker's first request (it reads the automatic modes when it starts).
    {"PtzRequest", Device::kPtz, "", At::kHttp, "/axis-cgi/com/ptz.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kClose},
    // Audio in: the answer to the stream request, and the stream itself.
    {"AudioInAnswer", Device::kAudioIn, "", At::kHttp, "/axis-cgi/audio/receive.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kClose},
    {"AudioInStream", Device::kAudioIn, "", At::kHttp, "/axis-cgi/audio/receive.cgi", HoldKind::kStall, 2000, false, "", StopBy::kStopCapture},
    // Audio out: the answer to a whole POST body withheld (the host sends a little more).
    {"AudioOutAnswer", Device::kAudioOut, "", At::kHttp, "/axis-cgi/audio/transmit.cgi", HoldKind::kStall, 0, false, "", StopBy::kStopCapture},
    {"AudioOutAnswerClose", Device::kAudioOut, "", At::kHttp, "/axis-cgi/audio/transmit.cgi", HoldKind::kStall, 0, false, "", StopBy::kClose},
    // Audio out blocked in a write: the camera stopped reading the POST body.
    {"AudioOutWriteBlocked", Device::kAudioOut, "", At::kHttp, "/axis-cgi/audio/transmit.cgi", HoldKind::kStopReading, 0, false, "", StopBy::kStopCapture},
    {"AudioOutWriteBlockedClose", Device::kAudioOut, "", At::kHttp, "/axis-cgi/audio/transmit.cgi", HoldKind::kStopReading, 0, false, "", StopBy::kClose},
    // A PTZ move in flight when the driver closes.
    {"PtzMoveRacingClose", Device::kPtzMove, "", At::kHttp, "/axis-cgi/com/ptz.cgi", HoldKind::kWithhold, 0, true, "", StopBy::kClose},
    // The capability query: the answer withheld, and cut inside its header.
    {"QueryAnswer", Device::kQuery, "", At::kHttp, "/axis-cgi/admin/param.cgi", HoldKind::kWithhold, 0, false, "", StopBy::kClose},
    {"QueryMidAnswer", Device::kQuery, "", At::kHttp, "/axis-cgi/admin/param.cgi", HoldKind::kStall, 40, false, "", StopBy::kClose},
    // Multicast: the stream profile list and add, and each request of the session.
    {"MulticastProfileList", Device::kMulticast, "", At::kHttp, "/axis-cgi/param.cgi?action=list&group=StreamProfile", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"MulticastProfileAdd", Device::kMulticast, "", At::kHttp, "/axis-cgi/param.cgi?action=add", HoldKind::kWithhold, 0, false, "", StopBy::kClose},
    {"MulticastDescribe", Device::kMulticast, "", At::kRtsp, "DESCRIBE", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    {"MulticastSetup", Device::kMulticast, "", At::kRtsp, "SETUP", HoldKind::kWithhold, 0, false, "", StopBy::kClose},
    {"MulticastPlay", Device::kMulticast, "", At::kRtsp, "PLAY", HoldKind::kWithhold, 0, false, "", StopBy::kStopCapture},
    // Gap fill after an outage: the card list, the recording list and the playback's PLAY.
    {"EdgeCardList", Device::kEdge, "RTPoverUDP", At::kHttp, "/axis-cgi/disks/list.cgi", HoldKind::kWithhold, 0, true, "", StopBy::kClose},
    {"EdgeRecordingList", Device::kEdge, "RTPoverTCP", At::kHttp, "/axis-cgi/record/list.cgi", HoldKind::kWithhold, 0, true, "", StopBy::kStopStream},
    {"EdgePlayback", Device::kEdge, "RTPoverUDP", At::kRtsp, "PLAY", HoldKind::kWithhold, 0, true, "", StopBy::kClose},
    // H.265 interleaved in RTSP, cut inside the first picture.
    {"H265InterleavedFirstPicture", Device::kH265, "RTPoverRTSP", At::kRtsp, "PLAY", HoldKind::kStall, 3000, false, "", StopBy::kStopCapture},
    {"H265InterleavedFirstPictureClose", Device::kH265, "RTPoverRTSP", At::kRtsp, "PLAY", HoldKind::kStall, 3000, false, "", StopBy::kClose},
};
// clang-format on

void PrintTo(const StopRow& row, std::ostream* out) {
    *out << row.name;
}

bool IsRtsp(Device device) {
    return device == Device::kRtsp || device == Device::kH265 || device == Device::kEdge;
}

class StopAnywhereTest : public ::testing::TestWithParam<StopRow> {
  protected:
    uint64_t Requests() {
        const StopRow& row = GetParam();
        if (row.at == At::kHttp) {
            const std::string key = row.key;
            const std::string path = key.substr(0, key.find('?'));
            const std::string query =
                key.find('?') == std::string::npos ? "" : key.substr(key.find('?') + 1);
            uint64_t n = 0;
            for (const std::string& target : camera.sim.HttpRequestLog()) {
                n += target.rfind(path, 0) == 0 && target.find(query) != std::string::npos;
            }
            return n;
        }
        const auto map = camera.sim.GetCounters().rtsp_requests;
        const auto it = map.find(row.key);
        return it == map.end() ? 0 : it->second;
    }
    void SetHold() {
        const StopRow& row = GetParam();
        camsim::Fault fault;
        fault.kind = row.kind;
        fault.after_bytes = row.afterBytes;
        if (row.at == At::kHttp) {
            const std::string key = row.key;
            if (key.find('?') != std::string::npos) {
                fault.query_contains = key.substr(key.find('?') + 1);
            }
            camera.sim.SetHttpFault(key.substr(0, key.find('?')), fault);
        } else if (row.at == At::kRtsp) {
            camera.sim.SetRtspFault(row.key, fault);
        } else if (row.at == At::kNoMedia) {
            camera.sim.StopMedia(true);
        } else if (row.at == At::kRtspConnect) {
            camera.sim.SetParam("Network.RTSP.Port", std::to_string(unanswered));
        }
    }
    bool Reached(uint64_t before) {
        const StopRow& row = GetParam();
        if (row.reachedLog[0] != '\0') {
            return driver->logger.Count(row.reachedLog) > 0;
        }
        if (row.at == At::kHttpConnect || row.at == At::kRtspConnect) {
            return camera.sim.UnansweredConnects() > 0;
        }
        if (row.kind == HoldKind::kStopReading) {
            // Buffers that stay full past the first window probe: the driver's write blocks.
            const uint64_t queued = camera.sim.QueuedHttpBytes();
            if (queued != queuedSeen) {
                queuedSeen = queued;
                queuedSince = Clock::now();
            }
            return queued > 50000 && Clock::now() - queuedSince > 300ms;
        }
        if (row.device == Device::kAudioOut) {
            const auto uploads = camera.sim.AudioUploads();
            return std::any_of(uploads.begin(), uploads.end(), [](const camsim::AudioUpload& u) {
                return u.announced > 0 && u.received == u.announced;
            });
        }
        if (row.onceRunning && std::string(row.key) == "TEARDOWN") {
            return true;  // the stop itself sends it
        }
        return Requests() > before;
    }
    void StartAndRun(const StopRow& row) {
        if (row.device == Device::kIo) {
            io = driver->Driver()->GetIOApi();
            ASSERT_NE(io, nullptr);
            io->SetCallback(&ioSink);
            io->StartIO();
        } else if (row.device == Device::kAudioIn) {
            ASSERT_TRUE(
                driver->Driver()->GetAudioCapture()->StartCapture(0, this, &audioIn, &audioCodecs));
        } else if (row.device == Device::kAudioOut) {
            ASSERT_TRUE(
                driver->Driver()->GetAudioSender()->StartOutput(0, this, &audioOut, &audioCodecs));
            const std::vector<uint8_t> bytes(2000, 0x7F);
            for (uint64_t sent = 0; sent <= vornak::kMaxAudioPostLength; sent += bytes.size()) {
                auto* frame = host::MakeOutputFrame(driver->allocator, 0, vornak::kCodecG711Mu,
                                                    64000, bytes.data(), 2000);
                ASSERT_TRUE(driver->Driver()->GetAudioSender()->SendFrame(frame));
            }
        } else if (row.device == Device::kPtz || row.device == Device::kPtzMove) {
            ASSERT_NE(driver->Driver()->GetPTZDriverEx()->GetPTZApi(0), nullptr);
        } else if (row.device == Device::kQuery) {
            ASSERT_EQ(library.initQuery(&queryNotify, 0), 1u);
            ASSERT_EQ(library.startQuery("127.0.0.1", camera.sim.HttpPort(), "root", "pass",
                                         &queryResult),
                      1u);
        } else if (row.device == Device::kEdge) {
            const uint16_t on = 1;
            ASSERT_TRUE(driver->Capture()->SetOption("EdgeStorageState", &on, 2));
            ASSERT_TRUE(driver->Capture()->StartStream(0, 0, &sink, settings.get()));
        } else if (row.stop == StopBy::kStopStream) {
            ASSERT_TRUE(driver->Capture()->StartStream(0, 1, &sink, settings.get()));
        } else {
            ASSERT_TRUE(driver->Capture()->StartCapture(0, &sink, settings.get()));
        }
    }
    // Once running: a PTZ move is posted on a held request; gap fill follows an outage longer
    // than the connection time-out. Returns the request count the hold must pass.
    uint64_t HoldOnceRunning(const StopRow& row) {
        if (row.device == Device::kPtzMove) {
            SetHold();
            const uint64_t before = Requests();
            driver->Driver()->GetPTZDriverEx()->GetPTZApi(0)->Move(0, 5);
            return before;
        }
        if (row.device != Device::kEdge) {
            const uint64_t before = Requests();
            SetHold();
            return before;
        }
        uint64_t before = Requests();
        if (row.at == At::kHttp) {
            SetHold();  // the live stream never asks for these
        }
        // The playback reads the RTSP port first: slowed down, so that the PLAY hold is in place
        // before the playback's PLAY.
        camsim::Fault slowPort;
        slowPort.kind = HoldKind::kDelay;
        slowPort.delay = 1000ms;
        slowPort.query_contains = "Network.RTSP.Port";
        camera.sim.SetHttpFault("/axis-cgi/admin/param.cgi", slowPort);
        camera.sim.StopMedia(true);
        EXPECT_TRUE(WaitFor([&] { return driver->logger.Count("Signal was lost") > 0; }, 30s));
        camera.sim.StopMedia(false);
        if (row.at == At::kRtsp) {
            EXPECT_TRUE(WaitFor(
                [&] { return driver->logger.Count("Start receiving of recorded video") > 0; },
                30s));
            before = Requests();
            SetHold();
        }
        return before;
    }
    std::string LogText() {
        std::string text;
        for (const host::LogLine& line : driver->logger.Lines()) {
            text += line.text + "\n";
        }
        return text;
    }
    bool Stop(const StopRow& row) {
        if (row.device == Device::kQuery) {
            return library.uninitQuery() == 1 && !queryNotify.terminated;
        }
        if (row.stop == StopBy::kClose) {
            driver->Driver()->Close();
            return true;
        }
        switch (row.device) {
            case Device::kIo:
                io->StopIO();
                return true;
            case Device::kAudioIn:
                return driver->Driver()->GetAudioCapture()->StopCapture(0);
            case Device::kAudioOut:
                return driver->Driver()->GetAudioSender()->StopOutput(0);
            default:
                return row.stop == StopBy::kStopStream
                           ? driver->Capture()->StopStream(0, row.device == Device::kEdge ? 0 : 1)
                           : driver->Capture()->StopCapture(0);
        }
    }

    Camera camera{CamsimSetup{GetParam().device == Device::kIo ? "encoder-4ch" : "fixed"}};
    uint16_t unanswered = 0;
    uint64_t queuedSeen = 0;
    Clock::time_point queuedSince;
    std::unique_ptr<DriverUnderTest> driver;
    std::unique_ptr<FakeSettings> settings;
    RecordingSink sink;
    host::HostIOSink ioSink;
    vornak::ICaptureIOApi* io = nullptr;
    host::HostAudioCodecs audioCodecs;
    host::AudioInRecorder audioIn;
    host::AudioOutStates audioOut;
    host::DriverLibrary library;
    host::CapabilityNotify queryNotify;
    host::CapabilityRecorder queryResult;
};

TEST_P(StopAnywhereTest, StopReturnsWithinItsBound) {
    const StopRow& row = GetParam();
    if (row.device == Device::kMulticast) {
        RUN_IN_PRIVATE_NETWORK();
        WritePrivateSettings("multicast primary");
    }
    ASSERT_TRUE(camera.started) << camera.error;
    unanswered = camera.sim.UnansweredPort();
    ASSERT_NE(unanswered, 0);
    camera.sim.SetSessionTimeout(3s);  // keep-alives after 2 s
    std::unique_ptr<ScopedDeviceSection> section;
    if (IsRtsp(row.device)) {
        section = std::make_unique<ScopedDeviceSection>(
            camera.sim.HttpPort(), std::string("<RTPMode>") + row.mode + "</RTPMode>");
    }
    auto parameters = FixedCameraParameters(kStopTableNetworkTimeoutMs);
    if (row.device == Device::kAudioIn || row.device == Device::kAudioOut) {
        parameters[6] = "g711";
        parameters[row.device == Device::kAudioIn ? 101 : 102] = "Count=1; IsStereo=0";
    } else if (row.device == Device::kPtz || row.device == Device::kPtzMove) {
        camera.sim.SetParam("PTZ.NbrOfCameras", "1");
        parameters[4] = "Pan=1; Tilt=1; Zoom=1";
    }
    if (!row.onceRunning) {
        SetHold();
    }
    const uint16_t port = row.at == At::kHttpConnect ? unanswered : camera.sim.HttpPort();
    std::string error;
    ASSERT_TRUE(library.Load(QUILLON_LIBRARY_PATH, error)) << error;
    driver = std::make_unique<DriverUnderTest>(port, parameters, "root", "pass",
                                               row.device == Device::kIo ? 4 : 1,
                                               row.device == Device::kIo ? 4 : 0);
    ASSERT_TRUE(driver->opened) << driver->loadError;
    const bool jpeg = row.device == Device::kMjpeg || row.device == Device::kMotion;
    settings = std::make_unique<FakeSettings>(jpeg                          ? 1
                                              : row.device == Device::kH265 ? 4
                                                                            : 3,
                                              320, 240, 0x7019, 50);
    settings->motion = row.device == Device::kMotion ? 1 : 0;
    ASSERT_NO_FATAL_FAILURE(StartAndRun(row));
    uint64_t before = 0;
    if (row.onceRunning) {
        ASSERT_TRUE(WaitFor(
            [&] { return row.device == Device::kPtzMove ? Requests() > 0 : sink.FrameCount() > 0; },
            30s))  // set-up, not the bound: time for one reconnect on a loaded machine
            << "not running; the driver logged:\n"
            << LogText();
        before = HoldOnceRunning(row);
    }
    ASSERT_TRUE(WaitFor([&] { return Reached(before); }, 20s)) << "the hold was not reached";

    auto stopped = std::async(std::launch::async, [&] { return Stop(row); });
    const bool returned = stopped.wait_for(kBound) == std::future_status::ready;
    if (!returned) {
        camera.sim.Stop();  // ends the stuck stop, so that the failure is reported
    }
    EXPECT_TRUE(returned) << "the stop took longer than " << kBound.count() << " ms";
    EXPECT_TRUE(stopped.get());
    EXPECT_EQ(driver->logger.Count("cannot be stopped"), 0u);
    EXPECT_EQ(driver->logger.Count("was not stopped"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Holds, StopAnywhereTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<StopRow>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace quillon::test
