// Audio in and out through the driver's exports against camsim: the updates each settings case
// sends, frames of each encoding, long POST bodies and their renewal, refused frames, and
// recovery after the device restarts or breaks off the stream.
#include "audio/audio_format.h"
#include "audio_session.h"
#include "driver_harness.h"

namespace quillon::test {
namespace {

using vornak::kCodecG711A;
using vornak::kCodecG711Mu;
using vornak::kCodecG726;
void* const kCookie = reinterpret_cast<void*>(uintptr_t{7});

std::map<uint32_t, std::string> AudioParameters(uint32_t timeoutMs) {
    auto parameters = FixedCameraParameters(timeoutMs);
    parameters[6] = "g711,g726,aac";
    parameters[101] = "Count=1; IsStereo=0";
    parameters[102] = "Count=1; IsStereo=0";
    return parameters;
}

struct AudioRig {
    explicit AudioRig(uint32_t timeoutMs = 3000)
        : driver(camera.sim.HttpPort(), AudioParameters(timeoutMs)) {}
    host::IIPAudioCapture2* Capture() { return driver.Driver()->GetAudioCapture(); }
    host::IIPAudioSender* Sender() { return driver.Driver()->GetAudioSender(); }
    std::vector<std::string> Updates() {
        std::vector<std::string> updates;
        for (const std::string& target : camera.sim.HttpRequestLog()) {
            if (target.find("action=update") != std::string::npos) {
                updates.push_back(target.substr(target.find('&')));
            }
        }
        return updates;
    }
    bool SendOut(std::vector<uint8_t> bytes, uint32_t codec = kCodecG711Mu, uint32_t rate = 8000,
                 uint32_t bitRate = 64000) {
        host::IAudioFrame* frame =
            host::MakeOutputFrame(driver.allocator, 0, codec, bitRate, bytes.data(),
                                  static_cast<uint32_t>(bytes.size()), rate);
        if (Sender()->SendFrame(frame)) {
            return true;
        }
        driver.allocator.ReleaseAudioFrame(frame);
        return false;
    }
    bool WaitOut(uint32_t state, std::chrono::milliseconds limit = 5s) {
        return WaitFor([&] { return Sender()->GetState(0) == state; }, limit);
    }

    Camera camera;
    DriverUnderTest driver;
    host::HostAudioCodecs codecs;
    host::AudioInRecorder in;
    host::AudioOutStates out;
};

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed * 131 + i * 7 + i / 251);
    }
    return bytes;
}

TEST(AudioIn, EachEncodingGivesItsUpdateFrameSizeAndTag) {
    const std::string base = "&Audio.DuplexMode=full&Audio.A0.Enabled=yes";
    const struct {
        const char* encoding;
        std::string update;  // audio out runs too, so full duplex is asked for
        uint32_t codec, bitRate, size;
    } rows[] = {
        {"", base, kCodecG711Mu, 64000, 2000},
        {"G726-16", base + "&AudioSource.A0.AudioEncoding=g726&AudioSource.A0.BitRate=16000",
         kCodecG726, 16000, 500},
        {"g726-24", base + "&AudioSource.A0.AudioEncoding=g726&AudioSource.A0.BitRate=24000",
         kCodecG726, 24000, 750},
        {"g726-32", base + "&AudioSource.A0.AudioEncoding=g726&AudioSource.A0.BitRate=32000",
         kCodecG726, 32000, 1000},
        {"g726-40", base + "&AudioSource.A0.AudioEncoding=g726&AudioSource.A0.BitRate=40000",
         kCodecG726, 40000, 1250},
    };
    for (const auto& row : rows) {
        AudioRig rig;
        ASSERT_TRUE(rig.camera.started && rig.driver.opened) << rig.camera.error;
        ScopedDeviceSection section(
            rig.camera.sim.HttpPort(),
            std::string("<Audio><Input><Encoding>") + row.encoding + "</Encoding></Input></Audio>");
        const size_t wanted = row.codec == kCodecG711Mu ? 5 : 2;
        ASSERT_TRUE(rig.Capture()->StartCapture(0, kCookie, &rig.in, &rig.codecs));
        ASSERT_TRUE(WaitFor([&] { return rig.in.Frames().size() >= wanted; }, 8s)) << row.encoding;
        EXPECT_EQ(rig.Updates(), std::vector<std::string>{row.update}) << row.encoding;
        const auto frames = rig.in.Frames();
        for (const auto& f : frames) {
            EXPECT_EQ(f.codec, row.codec);
            EXPECT_EQ(f.size, row.size);
            EXPECT_EQ(f.bitRate, row.bitRate);
            EXPECT_EQ(f.sampleRate, 8000u);
        }
        if (row.codec == kCodecG711Mu) {
            // Real time: 250 ms of sound per frame, within what a loaded machine allows.
            const int64_t span = frames[wanted - 1].atMs - frames[1].atMs;
            EXPECT_GT(span, 500) << "frames came faster than the sound they hold";
            EXPECT_LT(span, 1500);
        }
        EXPECT_EQ(rig.Capture()->GetState(0), 2u);
        EXPECT_TRUE(rig.Capture()->StopCapture(0));
        const auto states = rig.in.States().All();
        EXPECT_EQ(states, (std::vector<uint32_t>{1, 2, 3, 0})) << row.encoding;
    }
}

TEST(AudioIn, AnUpdateWithoutOkIsNotSuccess) {
    AudioRig rig;
    ASSERT_TRUE(rig.camera.started && rig.driver.opened);
    camsim::ParamType onlyNo;
    onlyNo.kind = camsim::ParamType::Kind::kEnum;
    onlyNo.entries = {{"no", "No"}};
    rig.camera.sim.Params().SetType("Audio.A0.Enabled", onlyNo);
    ASSERT_TRUE(rig.Capture()->StartCapture(0, kCookie, &rig.in, &rig.codecs));
    EXPECT_TRUE(WaitFor(
        [&] { return rig.driver.logger.Count("Unable to apply audio parameters") > 0; }, 5s));
    EXPECT_EQ(rig.Capture()->GetState(0), 1u) << "configuring, not streaming";
    EXPECT_EQ(rig.camera.sim.GetCounters().http_requests["/axis-cgi/audio/receive.cgi"], 0u);
    EXPECT_TRUE(rig.Capture()->StopCapture(0));
}

// 2000-byte frames: the opener and 4998 more fill a body of 9,998,000 bytes (the announced
// length stays at most 9,999,999). A larger frame then finishes that body and carries its rest
// into the next POST.
TEST(AudioOut, BytesArriveUnchangedAcrossAPostRenewal) {
    AudioRig rig;
    ASSERT_TRUE(rig.camera.started && rig.driver.opened);
    ASSERT_TRUE(rig.Sender()->StartOutput(0, kCookie, &rig.out, &rig.codecs));
    ASSERT_TRUE(rig.WaitOut(2));
    host::HostAudioFormat format;
    ASSERT_TRUE(rig.Sender()->GetFormat(0, &format));
    EXPECT_EQ(format.codec, kCodecG711Mu);
    EXPECT_EQ(format.bitRate, 64000u);

    const struct {
        uint32_t codec, rate, bitRate;
        const char* message;
    } refused[] = {
        {kCodecG711A, 8000, 64000,
         "incorrect audio codec (expected: G.711 Mu-law; received: G.711 A-law)"},
        {kCodecG711Mu, 16000, 64000, "incorrect frequency (expected: 8 kHz; received: 16000 Hz)"},
        {kCodecG711Mu, 8000, 32000,
         "incorrect bitrate (expected: 64000 bits/s; received: 32000 bits/s)"},
    };
    for (const auto& row : refused) {
        EXPECT_FALSE(rig.SendOut(Pattern(2000, 0), row.codec, row.rate, row.bitRate));
        EXPECT_EQ(rig.driver.logger.Count(
                      std::string("vornak::CAxisAudioOutputChannel::VerifyFrameOptions: Unexpected "
                                  "audio frame from audio output channel 0: ") +
                      row.message),
                  1u)
            << row.message;
    }

    std::vector<uint8_t> sent;
    uint32_t seed = 0;
    auto send = [&](size_t size) {
        std::vector<uint8_t> bytes = Pattern(size, ++seed);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        ASSERT_TRUE(rig.SendOut(std::move(bytes)));
    };
    for (int i = 0; i < 4998; ++i) {
        send(2000);
    }
    send(3000);  // 2000 end the first body, 1000 open the second
    for (int i = 0; i < 3; ++i) {
        send(2000);
    }
    ASSERT_TRUE(WaitFor([&] { return rig.camera.sim.AudioReceived().size() >= sent.size(); }, 60s));
    EXPECT_TRUE(rig.camera.sim.AudioReceived() == std::string(sent.begin(), sent.end()));
    const auto uploads = rig.camera.sim.AudioUploads();
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_EQ(uploads[0].announced, 9998000u);
    EXPECT_EQ(uploads[0].received, 9998000u);
    EXPECT_TRUE(uploads[0].answered);
    EXPECT_EQ(uploads[1].content_type, "audio/basic");
    EXPECT_LE(uploads[1].announced, 9999999u);
    EXPECT_EQ(uploads[1].received, 7000u);
    EXPECT_EQ(rig.Sender()->GetState(0), 2u);
    EXPECT_TRUE(rig.Sender()->StopOutput(0));
    EXPECT_EQ(rig.driver.allocator.Outstanding(), 0);
}

TEST(AudioOut, ReconnectsAfterTheDeviceRestarts) {
    AudioRig rig;
    ASSERT_TRUE(rig.camera.started && rig.driver.opened);
    ASSERT_TRUE(rig.Sender()->StartOutput(0, kCookie, &rig.out, &rig.codecs));
    ASSERT_TRUE(rig.WaitOut(2));
    ASSERT_TRUE(rig.SendOut(Pattern(2000, 1)));
    rig.camera.sim.Restart(2000ms);
    // Frames keep coming while the device is away; they are dropped, and only the refresh
    // reconnects, every 1500 ms, rather than a connect per frame.
    bool failed = false;
    ASSERT_TRUE(WaitFor(
        [&] {
            rig.SendOut(Pattern(2000, 2));
            failed = failed || rig.Sender()->GetState(0) == 5;
            return failed && rig.Sender()->GetState(0) == 2;
        },
        10s));
    const auto outage = rig.out.states.All();
    EXPECT_LE(std::count(std::find(outage.begin(), outage.end(), 5u), outage.end(), 1u), 3)
        << "connect attempts while the device was away";
    std::vector<uint8_t> after;
    for (uint32_t seed = 10; seed < 13; ++seed) {
        const std::vector<uint8_t> bytes = Pattern(2000, seed);
        after.insert(after.end(), bytes.begin(), bytes.end());
        ASSERT_TRUE(rig.SendOut(bytes));
    }
    const std::string tail(after.begin(), after.end());
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::string got = rig.camera.sim.AudioReceived();
            return got.size() >= tail.size() &&
                   got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
        },
        5s));
    const auto states = rig.out.states.All();
    EXPECT_NE(std::find(states.begin(), states.end(), 5u), states.end());
    EXPECT_EQ(states.back(), 2u);
    EXPECT_TRUE(rig.Sender()->StopOutput(0));
}

TEST(AudioOut, AStreamRefusedMidwayReconnectsAndConfiguresAgain) {
    AudioRig rig;
    ASSERT_TRUE(rig.camera.started && rig.driver.opened);
    ASSERT_TRUE(rig.Sender()->StartOutput(0, kCookie, &rig.out, &rig.codecs));
    ASSERT_TRUE(rig.WaitOut(2));
    ASSERT_TRUE(rig.SendOut(Pattern(2000, 1)));
    // Someone switches the device to microphone only: the next POST is answered 503.
    rig.camera.sim.SetParam("Audio.DuplexMode", "get");
    rig.camera.sim.CloseAllConnections();
    bool failed = false;
    EXPECT_TRUE(WaitFor(
        [&] {
            rig.SendOut(Pattern(2000, 2));
            failed = failed || rig.Sender()->GetState(0) == 5;
            return failed && rig.Sender()->GetState(0) == 2;
        },
        8s));
    EXPECT_EQ(rig.camera.sim.Params().Get("Audio.DuplexMode"), "full");
    EXPECT_TRUE(rig.Sender()->StopOutput(0));
}

// A device that closes each POST as it comes, or stops reading the body (the write blocks for the
// network time-out): the channel fails and pauses before its next POST, not one POST per frame.
TEST(AudioOut, ADeviceThatBreaksOffTheStreamGetsNoPostPerFrame) {
    for (const auto kind : {camsim::Fault::Kind::kClose, camsim::Fault::Kind::kStopReading}) {
        AudioRig rig(1000);
        ASSERT_TRUE(rig.camera.started && rig.driver.opened);
        ASSERT_TRUE(rig.Sender()->StartOutput(0, kCookie, &rig.out, &rig.codecs));
        ASSERT_TRUE(rig.WaitOut(2));
        camsim::Fault fault;
        fault.kind = kind;
        rig.camera.sim.SetHttpFault("/axis-cgi/audio/transmit.cgi", fault);
        for (int i = 0; i < 2500; ++i) {
            rig.SendOut(Pattern(2000, 1));  // enough to fill the socket buffers
        }
        // Each POST breaks, so a channel that pauses has no more POSTs than failures, plus one.
        size_t failures = 0;
        EXPECT_TRUE(WaitFor(
            [&] {
                rig.SendOut(Pattern(2000, 2));
                const auto states = rig.out.states.All();
                failures = std::count(states.begin(), states.end(), 5u);
                return failures > 0;
            },
            15s));
        EXPECT_LE(rig.camera.sim.GetCounters().http_requests["/axis-cgi/audio/transmit.cgi"],
                  failures + 1);
        EXPECT_TRUE(rig.Sender()->StopOutput(0));
    }
}

}  // namespace
}  // namespace quillon::test
