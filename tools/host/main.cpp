// quillon-host: a reference host. Loads libquillon.so at run time, hands it a device and shows
// what the driver says and delivers.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio_session.h"
#include "capability_report.h"
#include "capture_session.h"
#include "edge_view.h"
#include "host_io.h"
#include "host_objects.h"
#include "html_report.h"
#include "motion_view.h"
#include "multicast_status.h"
#include "ptz_commands.h"
#include "settings_check.h"

using namespace quillon::host;

namespace {

struct Options {
    std::string library;
    DeviceSettings device;
    std::vector<std::string> params;
    std::string paramsFile;
    std::string passwordFile;
    std::vector<std::string> streams;
    double seconds = 10;
    std::string outFolder = "quillon-out";
    bool discard = false;
    std::string reportFile;
    bool io = false;
    std::vector<std::string> outputs;
    PtzOptions ptz;
    bool motion = false;
    bool edge = false;
    bool audioIn = false;
    std::string audioOut;
    bool audioLoop = false;
    std::string summaryFile;
    std::vector<std::string> slowSinks;
    unsigned devices = 1;

    bool query = false;
    CLI::Option* checkSettings = nullptr;
    std::string settingsFile;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillon-host: %s\n", message.c_str());
    return 1;
}

std::atomic<bool> g_interrupted{false};
// The signal handler writes a byte here, so that a wait ends at once on Ctrl-C.
int g_wakePipe[2] = {-1, -1};

void OnStopSignal(int) {
    g_interrupted = true;
    if (g_wakePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(g_wakePipe[1], &byte, 1);
    }
}

// Sleeps until `until` or a stop signal, whichever comes first.
void SleepUnlessInterrupted(std::chrono::steady_clock::time_point until) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (g_interrupted || left.count() <= 0) {
        return;
    }
    pollfd wake{g_wakePipe[0], POLLIN, 0};
    poll(&wake, g_wakePipe[0] >= 0 ? 1 : 0,
         static_cast<int>(std::min<int64_t>(left.count(), 60 * 1000)));
}
// For the status lines: how streams travel, and the driver's lines that name a multicast group.
MulticastGroups* g_groups = nullptr;
uint32_t g_streamingMode = 0;

const char* StateText(bool known, uint32_t state) {
    if (!known) {
        return "-";
    }
    switch (state) {
        case 0:
            return "running";
        case 2:
            return "signal lost";
        case 3:
            return "stopped";
        default:
            return "?";
    }
}

struct Running {
    IIPVideoCaptureEx2* capture = nullptr;
    std::string device;  // "dN " when the run carries several devices, else empty
    std::unique_ptr<StreamRecorder> recorder;
    std::unique_ptr<HostCaptureSettings> settings;
    std::unique_ptr<MotionTap> motion;  // with --motion, in front of the recorder
    std::unique_ptr<EdgeTap> edge;      // with --edge, in front of both
    std::unique_ptr<SlowSink> slow;     // with --slow-sink, in front of all
    bool started = false;
    StreamRecorder::Figures previous;
};

std::string StatusLine(Running& r, double interval) {
    const StreamSpec& spec = r.recorder->Spec();
    const StreamRecorder::Figures now = r.recorder->Snapshot();
    uint32_t state = 0;
    uint32_t detail = 0;
    const bool known =
        spec.stream == 0 && r.capture->GetChannelState(spec.channel, &state, &detail, nullptr, 0);
    const double fps = static_cast<double>(now.frames - r.previous.frames) / interval;
    const double kbits = static_cast<double>(now.bytes - r.previous.bytes) * 8 / 1000 / interval;
    r.previous = now;
    char line[256];
    std::snprintf(line, sizeof(line),
                  "%sch%u %-6s %s %5ux%-5u frames %7llu  %5.1f fps  %8.0f kbit/s  keys %5llu  "
                  "lag %5lld ms  lost %llu  %s",
                  r.device.c_str(), spec.channel, KindText(spec.stream),
                  now.frames ? FourCCText(now.fourcc).c_str() : "----", now.width, now.height,
                  static_cast<unsigned long long>(now.frames), fps, kbits,
                  static_cast<unsigned long long>(now.keyFrames),
                  static_cast<long long>(now.frames ? now.lastLagMs : 0),
                  static_cast<unsigned long long>(now.signalLost), StateText(known, state));
    std::string text = line;
    if (g_groups != nullptr) {
        text += "  " + g_groups->Text(g_streamingMode, spec.channel, spec.stream);
    }
    if (r.motion) {
        text += "  " + MotionTap::Text(r.motion->Snapshot());
    }
    return r.edge ? text + "  " + EdgeTap::Text(r.edge->Snapshot()) : text;
}

// Starts every stream of one device; one that does not start is reported and still shown (with
// no frames).
void StartStreams(IIPVideoCaptureEx2* capture, const std::string& device, const Options& options,
                  const std::vector<StreamSpec>& specs, const std::string& outFolder,
                  std::vector<Running>& running) {
    for (StreamSpec spec : specs) {
        spec.text = device + spec.text;  // tells the devices apart in the report and the JSON
        Running& r = running.emplace_back();
        r.capture = capture;
        r.device = device;
        r.recorder = std::make_unique<StreamRecorder>(spec, outFolder, options.discard);
        r.settings = std::make_unique<HostCaptureSettings>(spec);
        IFrameSink* sink = r.recorder.get();
        if (spec.motion) {
            r.motion = std::make_unique<MotionTap>(sink);
            sink = r.motion.get();
        }
        if (options.edge) {
            r.edge = std::make_unique<EdgeTap>(sink);
            sink = r.edge.get();
        }
        if (spec.slowSinkMs != 0) {
            r.slow = std::make_unique<SlowSink>(sink, spec.slowSinkMs);
            sink = r.slow.get();
        }
        r.started = spec.stream == 0
                        ? capture->StartCapture(spec.channel, sink, r.settings.get())
                        : capture->StartStream(spec.channel, spec.stream, sink, r.settings.get());
        if (!r.started) {
            std::fprintf(stderr, "quillon-host: stream %s did not start\n", spec.text.c_str());
        }
    }
}

void StopStreams(IIPVideoCaptureEx2* capture, const std::vector<StreamSpec>& specs) {
    for (const StreamSpec& spec : specs) {
        if (spec.stream == 0) {
            capture->StopCapture(spec.channel);
        } else {
            capture->StopStream(spec.channel, spec.stream);
        }
    }
}

// A host runs for months while streams come and go. glibc gives each thread that allocates an
// arena of its own and keeps the free memory of every arena, so the process grows with each
// burst of reconnects though the heap in use stays flat. One arena, handed back to the system
// once a minute, keeps the resident size on the heap in use; streams allocate per picture, not
// per packet, so the shared arena's lock is taken seldom.
void LimitAllocatorArenas() {
    mallopt(M_ARENA_MAX, 1);
}

void ReturnFreeMemory() {
    static auto last = std::chrono::steady_clock::now();
    const auto now = std::chrono::steady_clock::now();
    if (now - last >= std::chrono::minutes(1)) {
        last = now;
        malloc_trim(0);
    }
}

// One status line per stream each second until the time is up or the user interrupts; on a
// terminal the lines are rewritten in place. Returns the seconds that passed.
double ShowStatus(std::vector<Running>& running, double seconds) {
    const bool tty = isatty(STDOUT_FILENO) != 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    auto lastPrint = start;
    bool printed = false;
    while (!g_interrupted && std::chrono::steady_clock::now() < end) {
        // Once a second: every other wake-up would only cost CPU that the benchmarks count.
        SleepUnlessInterrupted(std::min(end, lastPrint + std::chrono::seconds(1)));
        ReturnFreeMemory();
        const auto now = std::chrono::steady_clock::now();
        const double interval = std::chrono::duration<double>(now - lastPrint).count();
        if (interval < 1.0) {
            continue;
        }
        lastPrint = now;
        if (tty && printed) {
            std::printf("\x1b[%zuA", running.size());
        }
        for (Running& r : running) {
            std::printf(tty ? "\r\x1b[K%s\n" : "%s\n", StatusLine(r, interval).c_str());
        }
        std::fflush(stdout);
        printed = true;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The summary table; 2 when a stream delivered no frames.
int PrintSummary(const std::vector<Running>& running, double elapsed) {
    const bool devices = !running.empty() && !running.front().device.empty();
    if (devices) {
        std::printf("\n%-4s", "dev");
    }
    std::printf("%s%-3s %-7s %-5s %-11s %8s %8s %9s %6s %6s  %s\n", devices ? "" : "\n", "ch",
                "stream", "codec", "size", "frames", "fps", "kbit/s", "keys", "lost", "file");
    int result = 0;
    for (const Running& r : running) {
        const StreamSpec& spec = r.recorder->Spec();
        const StreamRecorder::Figures f = r.recorder->Snapshot();
        char size[32];
        std::snprintf(size, sizeof(size), "%ux%u", f.width, f.height);
        if (devices) {
            std::printf("%-4s", r.device.c_str());
        }
        std::printf("%-3u %-7s %-5s %-11s %8llu %8.1f %9.0f %6llu %6llu  %s\n", spec.channel,
                    KindText(spec.stream), f.frames ? FourCCText(f.fourcc).c_str() : "-", size,
                    static_cast<unsigned long long>(f.frames),
                    static_cast<double>(f.frames) / elapsed,
                    static_cast<double>(f.bytes) * 8 / 1000 / elapsed,
                    static_cast<unsigned long long>(f.keyFrames),
                    static_cast<unsigned long long>(f.signalLost),
                    r.recorder->OutputPath().empty() ? "-" : r.recorder->OutputPath().c_str());
        if (r.motion) {
            std::printf("    %s\n", MotionTap::Text(r.motion->Snapshot()).c_str());
        }
        if (r.edge) {
            std::printf("    %s\n", EdgeTap::Text(r.edge->Snapshot()).c_str());
        }
        if (f.timeWentBack) {
            std::printf("    warning: frame times went backwards on this stream\n");
        }
        if (f.frames == 0) {
            result = 2;
        }
    }
    return result;
}

// Every stream of the list on each device; several devices each write into a folder of their
// own.
int RunStreams(const std::vector<IIPCaptureDriverEx5*>& drivers, const Options& options,
               const std::vector<StreamSpec>& specs) {
    std::vector<IIPVideoCaptureEx2*> captures;
    for (IIPCaptureDriverEx5* driver : drivers) {
        IIPVideoCaptureEx2* capture = driver->GetVideoCaptureEx2();
        if (capture == nullptr) {
            std::fprintf(stderr, "quillon-host: the driver offers no video capture\n");
            return 1;
        }
        const uint16_t edgeOn = 1;
        if (options.edge && !capture->SetOption("EdgeStorageState", &edgeOn, 2)) {
            return Fail("the driver refused to switch edge storage on");
        }
        captures.push_back(capture);
    }
    std::vector<Running> running;
    for (size_t d = 0; d < captures.size(); ++d) {
        const bool one = captures.size() == 1;
        const std::string folder =
            one ? options.outFolder : options.outFolder + "/device" + std::to_string(d);
        if (!options.discard) {
            std::error_code ec;
            std::filesystem::create_directories(folder, ec);
        }
        StartStreams(captures[d], one ? "" : "d" + std::to_string(d) + " ", options, specs, folder,
                     running);
    }
    const double elapsed = ShowStatus(running, options.seconds);
    for (IIPVideoCaptureEx2* capture : captures) {
        StopStreams(capture, specs);
    }
    const int summary = PrintSummary(running, elapsed);
    int result = summary;
    std::vector<StreamRecorder*> recorders;
    for (Running& r : running) {
        recorders.push_back(r.recorder.get());
    }
    std::string error;
    if (!options.reportFile.empty() &&
        !WriteHtmlReport(options.reportFile, "quillon-host: " + options.device.address, recorders,
                         elapsed, error)) {
        result = Fail(error);
    }
    if (!options.summaryFile.empty() &&
        !WriteTextFile(options.summaryFile, RunJson(recorders, elapsed), error)) {
        result = Fail(error);
    }
    running.clear();  // closes the files
    if (summary != 0) {
        std::fprintf(stderr, "quillon-host: a stream delivered no frames\n");
    }
    return result;
}

// Runs the capability query through the library's flat entry points; with a parameters file
// the device parameters are written there for a later run's --params-file. `found` receives them
// and `defaultSize` the device's default resolution ("WxH", empty when it names none).
int RunQuery(DriverLibrary& library, const Options& options,
             std::map<uint32_t, std::string>* found = nullptr, std::string* defaultSize = nullptr) {
    if (library.initQuery == nullptr || library.startQuery == nullptr ||
        library.terminateQuery == nullptr || library.uninitQuery == nullptr) {
        return Fail("the library has no capability query entry points");
    }
    CapabilityNotify notify;
    CapabilityRecorder result;
    if (library.initQuery(&notify, 0) != 1) {
        return Fail("InitCapabilityQuery failed");
    }
    const DeviceSettings& device = options.device;
    std::printf("Querying %s:%u ...\n", device.address.c_str(), device.port);
    if (library.startQuery(device.address.c_str(), static_cast<uint16_t>(device.port),
                           device.user.c_str(), device.password.c_str(), &result) != 1) {
        library.uninitQuery();
        return Fail("StartCapabilityQuery refused the query");
    }
    if (!notify.Wait(120)) {
        library.terminateQuery();
        notify.Wait(30);
    }
    library.uninitQuery();
    if (notify.terminated) {
        std::fprintf(stderr, "quillon-host: query terminated\n");
    }
    if (!notify.success) {
        return Fail("query failed (status " + std::to_string(notify.status) + "): " + notify.text);
    }
    result.Print(stdout);
    if (found != nullptr) {
        *found = result.DeviceParameters();
    }
    if (const auto it = result.lists.find(kListResolutions);
        defaultSize != nullptr && it != result.lists.end()) {
        *defaultSize = it->second.defaultValue;
    }
    if (!options.paramsFile.empty()) {
        std::string error;
        if (!SaveParametersFile(options.paramsFile, result.DeviceParameters(), error)) {
            return Fail(error);
        }
        std::printf("Device parameters written to %s\n", options.paramsFile.c_str());
    }
    return 0;
}

void AddOptions(CLI::App& app, Options& options) {
    app.add_option("--library", options.library, "driver library to load")->capture_default_str();
    app.add_option("--address", options.device.address,
                   "device address; \"address|proxy\" goes through an HTTP proxy")
        ->capture_default_str();
    app.add_option("--port", options.device.port, "device HTTP port")->capture_default_str();
    app.add_option("--user", options.device.user, "user name");
    app.add_option("--password", options.device.password,
                   "password (visible to every user of the machine; see --password-file)");
    app.add_option("--password-file", options.passwordFile,
                   "read the password from the first line of this file; without either, "
                   "QUILLON_PASSWORD")
        ->check(CLI::ExistingFile);
    app.add_option("--model", options.device.model, "device model name")->capture_default_str();
    app.add_option("--video-inputs", options.device.videoInputs, "number of video inputs")
        ->capture_default_str();
    app.add_option("--inputs", options.device.digitalInputs, "number of digital inputs");
    app.add_option("--outputs", options.device.digitalOutputs, "number of digital outputs");
    app.add_option("--format", options.device.defaultFormat,
                   "default video format: 1 JPEG/HTTP, 2 MPEG-4/RTSP, 3 H.264/RTSP, 4 H.265/RTSP")
        ->capture_default_str();
    app.add_option("--param", options.params, "device parameter ID=text (repeatable)");
    app.add_option("--params-file", options.paramsFile,
                   "device parameters file (ID=text lines, as --query writes); with neither this "
                   "nor --param, the device is queried first");
    app.add_option("--stream", options.streams,
                   "start a stream CHANNEL:STREAM:FORMAT[:WxH][@FPS] (repeatable); stream 0 "
                   "recording, 1 live, 2 remote; format 1 JPEG/HTTP, 2 MPEG-4, 3 H.264, 4 H.265");
    app.add_option("--seconds", options.seconds, "how long to capture")->capture_default_str();
    app.add_option("--devices", options.devices,
                   "open the device this many times, as one recording server carries many "
                   "cameras, and run every --stream on each (audio, IO and PTZ on the first)")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
    app.add_option("--out", options.outFolder, "folder for the captured files")
        ->capture_default_str();
    app.add_flag("--null", options.discard, "count frames but write nothing");
    app.add_option("--report", options.reportFile,
                   "write the run as one self-contained HTML page: timelines per stream, "
                   "signal loss and reconnects, the summary table");
    app.add_option("--summary", options.summaryFile,
                   "write the report's figures as JSON: per stream frames, events, gaps and "
                   "backward steps in frame time");
    app.add_option("--slow-sink", options.slowSinks,
                   "CHANNEL:STREAM=MS: the host's sink holds each frame of that stream MS ms "
                   "(repeatable)");
    app.add_flag("--io", options.io, "print digital input changes as they happen");
    app.add_option("--output", options.outputs,
                   "switch digital output N (from 0): N=on or N=off (repeatable)");
    app.add_flag("--motion", options.motion,
                 "run the camera's motion detection beside every recording stream (kind 0)");
    app.add_flag("--edge", options.edge,
                 "fill gaps in the streams from the camera's storage card and show each fill");
    app.add_flag("--audio-in", options.audioIn,
                 "capture audio input 0 (G.711 to audio-in.wav, other codecs to audio-in.raw)");
    app.add_option("--audio-out", options.audioOut,
                   "send a file (raw in the negotiated codec, or a mu-law .wav) to audio output 0");
    app.add_flag("--audio-loop", options.audioLoop,
                 "send the --audio-out file over and over until the run ends");

    AddPtzOptions(app, options.ptz);
    app.add_flag("--query", options.query,
                 "ask the device what it can do; with --params-file, write its parameters there");
    options.checkSettings =
        app.add_option("--check-settings", options.settingsFile,
                       "read a settings file as the driver does (default: the one the driver "
                       "reads, Quillon.xml beside this program), print the effective settings "
                       "and name what the driver would ignore; exit 1 when anything is named")
            ->expected(0, 1);
}

bool ParseStreams(const Options& options, std::vector<StreamSpec>& specs, std::string& error) {
    for (const std::string& text : options.streams) {
        auto spec = ParseStreamSpec(text, error);
        if (!spec) {
            return false;
        }
        spec->motion = options.motion && spec->stream == 0;
        specs.push_back(*spec);
    }
    for (const std::string& text : options.slowSinks) {
        uint32_t channel = 0, stream = 0, ms = 0;
        char end = 0;
        const bool read =
            std::sscanf(text.c_str(), "%u:%u=%u%c", &channel, &stream, &ms, &end) == 3;
        const auto spec = std::find_if(specs.begin(), specs.end(), [&](const StreamSpec& s) {
            return s.channel == channel && s.stream == stream;
        });
        if (!read || spec == specs.end()) {
            error = "--slow-sink expects CHANNEL:STREAM=MS of a --stream, got \"" + text + "\"";
            return false;
        }
        spec->slowSinkMs = ms;
    }
    return true;
}

// The password from the command line, else the file's first line, else the environment.
bool ResolvePassword(Options& options, std::string& error) {
    if (!options.device.password.empty()) {
        return true;
    }
    if (!options.passwordFile.empty()) {
        std::ifstream file(options.passwordFile);
        if (!file || !std::getline(file, options.device.password)) {
            error = "cannot read a password from " + options.passwordFile;
            return false;
        }
        if (!options.device.password.empty() && options.device.password.back() == '\r') {
            options.device.password.pop_back();
        }
        return true;
    }
    if (const char* text = std::getenv("QUILLON_PASSWORD")) {
        options.device.password = text;
    }
    return true;
}

// The device parameters handed to the driver at open: the file first, --param on top.
bool CollectParameters(Options& options, std::string& error) {
    if (!options.paramsFile.empty() &&
        !LoadParametersFile(options.paramsFile, options.device.parameters, error)) {
        return false;
    }
    for (const std::string& param : options.params) {
        const size_t eq = param.find('=');
        uint32_t id = 0;
        if (eq == std::string::npos || std::sscanf(param.c_str(), "%u", &id) != 1 || id == 0) {
            error = "--param expects ID=text, got \"" + param + "\"";
            return false;
        }
        options.device.parameters[id] = param.substr(eq + 1);
    }
    return true;
}

// Audio alone: one status line each second until the time is up or the user interrupts.
void ShowAudioStatus(AudioSession& audio, double seconds) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    while (!g_interrupted && std::chrono::steady_clock::now() < end) {
        SleepUnlessInterrupted(
            std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
        ReturnFreeMemory();
        std::printf("%s\n", audio.StatusLine().c_str());
        std::fflush(stdout);
    }
}

// Opens the driver for the device, runs the streams and closes it again.
int RunCapture(DriverLibrary& library, const Options& options,
               const std::vector<StreamSpec>& specs) {
    HostLogger logger;
    MulticastGroups groups;
    logger.ObserveInstead([&groups](const LogLine& line) { groups.Note(line.text); });
    HostFrameAllocator allocator;
    // Every stream holds one frame at a time; the spare ones cover a picture of a new size.
    allocator.KeepReleasedFrames(2 * static_cast<size_t>(options.devices) * (specs.size() + 1));
    // Each device has a context of its own, as the cameras of a recording server do.
    std::vector<std::unique_ptr<HostDeviceContext>> contexts;
    std::vector<IIPCaptureDriverEx5*> drivers;
    auto closeAll = [&]() {
        for (IIPCaptureDriverEx5* opened : drivers) {
            opened->Close();
            library.destroy[0](opened);
        }
        drivers.clear();
        g_groups = nullptr;
    };
    g_groups = &groups;
    g_streamingMode = HostStreamingMode();
    for (unsigned i = 0; i < options.devices; ++i) {
        contexts.push_back(std::make_unique<HostDeviceContext>(options.device));
        IIPCaptureDriverEx5* opened = library.create[0]();
        if (opened == nullptr) {
            closeAll();
            return Fail("CreateIPCapture returned no driver");
        }
        if (!opened->Open(&logger, &allocator, contexts.back().get())) {
            library.destroy[0](opened);
            closeAll();
            return Fail("Open failed for device " + options.device.address + ":" +
                        std::to_string(options.device.port));
        }
        drivers.push_back(opened);
    }
    std::printf("Driver opened for %s:%u (%s)", options.device.address.c_str(), options.device.port,
                options.device.model.c_str());
    std::printf(options.devices > 1 ? ", %u times\n" : "\n", options.devices);
    // Audio, IO and PTZ go to the first device.
    IIPCaptureDriverEx5* driver = drivers.front();
    HostIO io;
    std::string error;
    if ((options.io || !options.outputs.empty()) &&
        !io.Start(driver->GetIOApi(), options.io, options.outputs, error)) {
        closeAll();
        return Fail(error);
    }
    if (!options.discard) {
        std::error_code ec;
        std::filesystem::create_directories(options.outFolder, ec);
    }
    AudioSession audio(options.audioIn, options.audioOut, options.discard ? "" : options.outFolder);
    audio.LoopAudioOut(options.audioLoop);
    int result = audio.Start(driver, &allocator) ? 0 : 2;
    if (!options.ptz.commands.empty()) {
        result = std::max(result, RunPtzCommands(driver, options.ptz));
    }
    if (!specs.empty()) {
        result = std::max(result, RunStreams(drivers, options, specs));
    } else if (audio.Active()) {
        ShowAudioStatus(audio, options.seconds);
    } else if (options.io || !options.outputs.empty()) {
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<int64_t>(options.seconds * 1000));
        while (!g_interrupted && std::chrono::steady_clock::now() < end) {
            SleepUnlessInterrupted(
                std::min(end, std::chrono::steady_clock::now() + std::chrono::minutes(1)));
            ReturnFreeMemory();
        }
    }
    audio.Stop();
    result = std::max(result, audio.PrintSummary());
    io.Stop();
    closeAll();
    std::printf("Driver closed\n");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    LimitAllocatorArenas();
    Options options;
    // Beside the executable in a build folder; an installed host finds it by its run path.
    options.library = ExecutableFolder() + "libquillon.so";
    if (!std::filesystem::exists(options.library)) {
        options.library = QUILLON_LIBRARY_SONAME;
    }
    options.device.model = "Demo Camera";
    CLI::App app{"quillon-host: loads the capture driver and runs it against a camera"};
    AddOptions(app, options);
    CLI11_PARSE(app, argc, argv);
    if (*options.checkSettings) {
        return CheckSettingsFile(
            options.settingsFile.empty() ? DriverSettingsPath() : options.settingsFile, stdout);
    }

    std::string error;
    std::vector<StreamSpec> specs;
    if (!ParseStreams(options, specs, error)) {
        return Fail(error);
    }
    if (pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_wakePipe[0] = g_wakePipe[1] = -1;  // the waits then run their full length
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    if (!ResolvePassword(options, error) ||
        (!options.query && !CollectParameters(options, error))) {
        return Fail(error);
    }
    DriverLibrary library;
    if (!library.Load(options.library, error)) {
        return Fail(error);
    }
    if (options.query) {
        return RunQuery(library, options);
    }
    // Without parameters the driver would take the device for an old model and rewrite its
    // stream settings; a host asks the device first, as a real recording server does.
    // A stream without a size then gets the device's default one, as a host would offer it.
    if (options.device.parameters.empty()) {
        std::string defaultSize;
        const int queried = RunQuery(library, options, &options.device.parameters, &defaultSize);
        if (queried != 0) {
            return queried;
        }
        unsigned width = 0;
        unsigned height = 0;
        if (std::sscanf(defaultSize.c_str(), "%ux%u", &width, &height) == 2) {
            for (StreamSpec& spec : specs) {
                if (spec.width == 0 || spec.height == 0) {
                    spec.width = width;
                    spec.height = height;
                }
            }
        }
    }
    return RunCapture(library, options, specs);
}
