// Frame hand-over latency: from the moment camsim has handed the last RTP packet of a frame to
// the kernel to the moment the driver calls the host's OnFrame with that frame. Camsim and the
// driver (loaded through its exports, as a host loads it) run in this one process so that both
// instants come from the same steady clock; over UDP on loopback the last packet is in the
// driver's socket buffer when the send returns, so the figure is the driver's own receive,
// depacketize and hand-over time plus one wake-up. Over TCP camsim writes a picture's packets in
// one send and stamps the frame when that send completes.
//   handover_latency --media-dir DIR [--streams N] [--seconds S] [--transport udp|tcp]
// Streams are 1080p25 H.264 of the fixed camera, three per driver instance (its one input's
// recording, live and remote streams), started one after another.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camsim/camsim.h"
#include "capture_session.h"
#include "host_objects.h"

namespace {

using namespace quillon::host;
using Clock = std::chrono::steady_clock;

constexpr size_t kTail = 8;       // bytes that identify a frame of the clip (its last ones)
constexpr size_t kTailRoom = 64;  // the driver may end a frame with a few bytes of its own

struct Sent {
    size_t clipIndex;
    uint8_t tail[kTail];
    Clock::time_point at;
};

struct Received {
    Clock::time_point at;
    uint8_t tail[kTailRoom];
    size_t tailSize;
};

class LatencySink : public IFrameSink {
  public:
    bool OnFrame(IVideoFrame* frame) override {
        const auto now = Clock::now();
        if (frame == nullptr) {
            return false;
        }
        Received r{now, {}, std::min<size_t>(frame->GetDataSize(), kTailRoom)};
        std::memcpy(r.tail, frame->GetBuffer() + frame->GetDataSize() - r.tailSize, r.tailSize);
        std::lock_guard lock(mutex);
        frames.push_back(r);
        return true;
    }
    void OnSignalLost() override {}
    size_t Count() {
        std::lock_guard lock(mutex);
        return frames.size();
    }

    std::mutex mutex;
    std::vector<Received> frames;
    std::set<uint32_t> candidates;  // SSRCs that appeared while this stream was being started
};

struct Recorder {
    void OnSent(const camsim::FrameSent& f) {
        Sent s{f.clip_index, {}, f.at};
        if (f.data.size() >= kTail) {
            std::memcpy(s.tail, f.data.data() + f.data.size() - kTail, kTail);
        }
        std::lock_guard lock(mutex);
        bySsrc[f.ssrc].push_back(s);
    }
    std::set<uint32_t> Ssrcs() {
        std::lock_guard lock(mutex);
        std::set<uint32_t> out;
        for (const auto& [ssrc, list] : bySsrc) {
            out.insert(ssrc);
        }
        return out;
    }
    std::mutex mutex;
    std::map<uint32_t, std::vector<Sent>> bySsrc;
};

// Pairs each received frame with the send of the same clip frame, in order; frames the driver
// never delivered are skipped. The first frame pairs with the latest matching send before it
// (sends go back to the stream's start, and the clip repeats). Latencies in microseconds.
std::vector<double> Match(const std::vector<Sent>& sent, const std::vector<Received>& received) {
    // The driver can finish a frame on the other core before camsim reads the clock after its
    // last send; such a frame still pairs, with a latency just under zero.
    constexpr auto kSlack = std::chrono::milliseconds(1);
    std::vector<double> out;
    size_t next = 0;
    bool paired = false;
    auto same = [](const Sent& s, const Received& r) {
        const uint8_t* end = r.tail + r.tailSize;
        return std::search(r.tail, end, s.tail, s.tail + kTail) != end;
    };
    for (const Received& r : received) {
        size_t found = sent.size();
        if (!paired) {
            for (size_t j = sent.size(); j-- > 0;) {
                if (sent[j].at <= r.at + kSlack && same(sent[j], r)) {
                    found = j;
                    break;
                }
            }
        } else {
            for (size_t j = next; j < sent.size() && j < next + 50 && sent[j].at <= r.at + kSlack;
                 ++j) {
                if (same(sent[j], r)) {
                    found = j;
                    break;
                }
            }
        }
        if (found < sent.size()) {
            out.push_back(std::chrono::duration<double, std::micro>(r.at - sent[found].at).count());
            next = found + 1;
            paired = true;
        }
    }
    return out;
}

double Percentile(std::vector<double>& v, double p) {
    if (v.empty()) {
        return 0;
    }
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * v.size()));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

}  // namespace

int main(int argc, char** argv) {
    std::string mediaDir, transport = "udp";
    std::string library = ExecutableFolder() + "libquillon.so";
    int streams = 1;
    double seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--media-dir") {
            mediaDir = value;
        } else if (key == "--streams") {
            streams = std::atoi(value);
        } else if (key == "--seconds") {
            seconds = std::atof(value);
        } else if (key == "--transport") {
            transport = value;
        } else if (key == "--library") {
            library = value;
        }
    }
    if (mediaDir.empty() || streams < 1 || streams > 256 || seconds <= 0 || seconds > 600 ||
        (transport != "udp" && transport != "tcp")) {
        std::fprintf(stderr,
                     "usage: handover_latency --media-dir DIR [--streams 1..256] "
                     "[--seconds S, at most 600] [--transport udp|tcp] [--library PATH]\n");
        return 2;
    }

    // The driver reads its streaming mode from the settings file beside the host program.
    const std::string settingsPath = ExecutableFolder() + "Quillon.xml";
    std::string saved;
    const bool hadSettings = std::filesystem::exists(settingsPath);
    if (hadSettings) {
        std::ifstream in(settingsPath, std::ios::binary);
        saved.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::ofstream(settingsPath) << "<Configuration><Default><RTPMode>"
                                << (transport == "udp" ? "RTPoverUDP" : "RTPoverRTSP")
                                << "</RTPMode></Default></Configuration>\n";

    Recorder recorder;
    camsim::Options options;
    options.media_dir = mediaDir;
    options.on_frame_sent = [&recorder](const camsim::FrameSent& f) { recorder.OnSent(f); };
    camsim::Simulator camera(options);
    std::string error;
    DriverLibrary driverLibrary;
    int result = 0;
    if (!camera.Start(&error)) {
        std::fprintf(stderr, "handover_latency: camsim: %s\n", error.c_str());
        result = 1;
    } else if (!driverLibrary.Load(library, error)) {
        std::fprintf(stderr, "handover_latency: %s\n", error.c_str());
        result = 1;
    }

    struct Device {
        std::unique_ptr<HostDeviceContext> context;
        IIPCaptureDriverEx5* driver = nullptr;
    };
    HostLogger logger(false);
    HostFrameAllocator allocator;
    std::vector<Device> devices;
    std::vector<std::unique_ptr<LatencySink>> sinks;
    std::vector<std::unique_ptr<HostCaptureSettings>> settings;
    std::vector<StreamSpec> specs;
    for (int i = 0; result == 0 && i < streams; ++i) {
        if (i % 3 == 0) {
            DeviceSettings device;
            device.port = camera.HttpPort();
            device.user = "root";
            device.password = "pass";
            device.model = "AXIS M1065-L";
            device.parameters = {
                {1, "5000"}, {2, "6.50.2"}, {3, "3"}, {7, "1920x1080;1280x720;640x480;320x240"},
                {8, "3"},    {10, "1"},     {11, "0"}};
            Device d{std::make_unique<HostDeviceContext>(device), driverLibrary.create[0]()};
            devices.push_back(std::move(d));
            if (devices.back().driver == nullptr ||
                !devices.back().driver->Open(&logger, &allocator, devices.back().context.get())) {
                std::fprintf(stderr, "handover_latency: the driver did not open\n");
                result = 1;
                break;
            }
        }
        StreamSpec spec;
        spec.stream = static_cast<uint32_t>(i % 3);
        spec.width = 1920;
        spec.height = 1080;
        spec.fps = 25;
        specs.push_back(spec);
        sinks.push_back(std::make_unique<LatencySink>());
        settings.push_back(std::make_unique<HostCaptureSettings>(spec));
        IIPVideoCaptureEx2* capture = devices.back().driver->GetVideoCaptureEx2();
        const std::set<uint32_t> before = recorder.Ssrcs();
        const bool started =
            spec.stream == 0
                ? capture->StartCapture(0, sinks.back().get(), settings.back().get())
                : capture->StartStream(0, spec.stream, sinks.back().get(), settings.back().get());
        // One stream at a time: the SSRC that appears before its first frame is its own.
        const auto limit = Clock::now() + std::chrono::seconds(15);
        while (started && sinks.back()->Count() == 0 && Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (uint32_t ssrc : recorder.Ssrcs()) {
            if (!before.count(ssrc)) {
                sinks.back()->candidates.insert(ssrc);
            }
        }
        if (!started || sinks.back()->Count() == 0) {
            std::fprintf(stderr, "handover_latency: stream %d delivered no frame\n", i);
            result = 1;
        }
    }
    if (result == 0) {
        // Frames before this point were part of the start-up; only the steady run counts.
        for (auto& sink : sinks) {
            std::lock_guard lock(sink->mutex);
            sink->frames.clear();
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    for (size_t i = 0; i < specs.size(); ++i) {
        IIPVideoCaptureEx2* capture = devices[i / 3].driver->GetVideoCaptureEx2();
        if (specs[i].stream == 0) {
            capture->StopCapture(0);
        } else {
            capture->StopStream(0, specs[i].stream);
        }
    }
    for (Device& d : devices) {
        if (d.driver != nullptr) {
            d.driver->Close();
            driverLibrary.destroy[0](d.driver);
        }
    }
    camera.Stop();
    if (hadSettings) {
        std::ofstream(settingsPath, std::ios::binary) << saved;
    } else {
        std::filesystem::remove(settingsPath);
    }
    if (result != 0) {
        return result;
    }

    std::vector<double> all;
    size_t received = 0;
    for (auto& sink : sinks) {
        received += sink->frames.size();
        std::vector<double> best;
        for (uint32_t ssrc : sink->candidates) {
            std::vector<double> got = Match(recorder.bySsrc[ssrc], sink->frames);
            if (got.size() > best.size()) {
                best = std::move(got);
            }
        }
        all.insert(all.end(), best.begin(), best.end());
    }
    const size_t matched = all.size();
    std::printf(
        "handover %s streams %d seconds %.0f frames %zu matched %zu p50_us %.0f "
        "p90_us %.0f p99_us %.0f max_us %.0f\n",
        transport.c_str(), streams, seconds, received, matched, Percentile(all, 50),
        Percentile(all, 90), Percentile(all, 99), Percentile(all, 100));
    return matched == 0 ? 1 : 0;
}
