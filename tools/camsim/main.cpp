// camsim command line: serves one simulated camera on loopback until interrupted.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "camsim.h"
#include "fault_schedule.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

// An installed camsim keeps its profiles and clips in ../share/quillon/camsim beside its bin
// folder; a camsim in a build folder uses the source tree's.
void UseInstalledData(camsim::Options& opts) {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path data = exe.parent_path().parent_path() / "share/quillon/camsim";
    if (ec || !std::filesystem::is_directory(data / "media", ec)) {
        return;
    }
    if (opts.media_dir.empty()) {
        opts.media_dir = data / "media";
    }
    if (opts.profile_dir.empty()) {
        opts.profile_dir = data / "profiles";
    }
}

// What every stream sent so far, as JSON, replacing the file whole so a reader never sees half.
void WriteStreamStats(const camsim::Simulator& sim, const std::string& path) {
    std::ostringstream json;
    json << "{\"streams\":[";
    const camsim::Counters counters = sim.GetCounters();
    for (size_t i = 0; i < counters.streams.size(); ++i) {
        const camsim::StreamStats& s = counters.streams[i];
        // Session ids and queries are the simulator's own text: no quote or backslash in them.
        json << (i ? ",\n" : "\n") << "{\"session\":\"" << s.session << "\",\"transport\":\""
             << s.transport << "\",\"codec\":\"" << s.codec << "\",\"camera\":" << s.camera
             << ",\"query\":\"" << s.query << "\",\"frames\":" << s.frames
             << ",\"packets\":" << s.rtp_packets << ",\"bytes\":" << s.bytes
             << ",\"first_ms\":" << s.first_frame_ms << ",\"last_ms\":" << s.last_frame_ms
             << ",\"active\":" << (s.active ? "true" : "false") << "}";
    }
    json << "]}\n";
    const std::string part = path + ".part";
    std::ofstream(part) << json.str();
    std::error_code ec;
    std::filesystem::rename(part, path, ec);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"camsim - simulated network camera"};
    camsim::Options opts;
    std::string user = "root", password = "pass", auth = "both", jpeg_mode = "plain";
    int http_port = 0, rtsp_port = 0, timeout = 60, rtcp_ms = 5000;
    size_t payload = 1400;
    bool fast = false, stap = false;
    double run_seconds = 0;
    std::vector<double> outage;
    std::string faults_file, event_log, stats_file;
    app.add_option("--profile", opts.profile, "profile name or file")->capture_default_str();
    app.add_option("--http-port", http_port, "HTTP port (0 = any)");
    app.add_option("--rtsp-port", rtsp_port, "RTSP port (0 = any)");
    app.add_option("--user", user, "user name")->capture_default_str();
    app.add_option("--password", password, "password")->capture_default_str();
    app.add_option("--auth", auth, "basic|digest|both|none")->capture_default_str();
    app.add_option("--bind", opts.bind_address, "address to listen on")->capture_default_str();
    app.add_option("--media-dir", opts.media_dir, "folder with the media clips");
    app.add_option("--session-timeout", timeout, "RTSP session time-out in seconds");
    app.add_option("--rtcp-interval-ms", rtcp_ms, "RTCP sender report interval");
    app.add_option("--max-payload", payload, "RTP payload size");
    app.add_option("--jpeg-mode", jpeg_mode, "plain|ext|whole");
    app.add_flag("--stap-a", stap, "aggregate small H.264 NAL units");
    app.add_flag("--fast", fast, "send as fast as possible instead of in real time");
    app.add_flag("--print-requests", opts.print_requests, "print each HTTP request line");
    app.add_option("--run-seconds", run_seconds, "stop after this long (0 = until a signal)");
    app.add_option("--outage", outage,
                   "AT FOR: stop the live media AT seconds after the start, for FOR seconds; "
                   "the storage card records on")
        ->expected(2);
    app.add_option("--faults", faults_file,
                   "apply this schedule of faults, lines \"AT_SECONDS KIND [ARGS]\" "
                   "(fault_schedule.h)")
        ->check(CLI::ExistingFile);
    app.add_option("--event-log", event_log, "write each fault's start and end as a JSON line");
    app.add_option("--stream-stats", stats_file,
                   "write what each stream sent as JSON, every 10 s and at the end");
    CLI11_PARSE(app, argc, argv);
    std::vector<camsim::ScheduledFault> schedule;
    if (!faults_file.empty()) {
        std::ifstream in(faults_file);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        auto parsed = camsim::ParseFaultSchedule(text.str(), &error);
        if (!parsed) {
            fprintf(stderr, "camsim: %s: %s\n", faults_file.c_str(), error.c_str());
            return 2;
        }
        schedule = std::move(*parsed);
    }
    std::unique_ptr<FILE, int (*)(FILE*)> log(nullptr, fclose);
    if (!event_log.empty()) {
        log.reset(fopen(event_log.c_str(), "w"));
        if (!log) {
            fprintf(stderr, "camsim: cannot write %s\n", event_log.c_str());
            return 2;
        }
    }
    UseInstalledData(opts);

    camsim::AuthSchemes schemes = camsim::AuthSchemes::kBoth;
    if (auth == "basic")
        schemes = camsim::AuthSchemes::kBasic;
    else if (auth == "digest")
        schemes = camsim::AuthSchemes::kDigest;
    else if (auth == "none")
        schemes = camsim::AuthSchemes::kNone;
    else if (auth != "both") {
        fprintf(stderr, "camsim: --auth must be basic, digest, both or none\n");
        return 2;
    }
    opts.http_auth.schemes = schemes;
    opts.rtsp_auth.schemes = schemes;
    opts.users = {{user, password, camsim::AccessLevel::kAdmin}};
    opts.http_port = static_cast<uint16_t>(http_port);
    opts.rtsp_port = static_cast<uint16_t>(rtsp_port);
    opts.session_timeout = std::chrono::seconds(timeout);
    opts.rtcp_interval = std::chrono::milliseconds(rtcp_ms);
    opts.as_fast_as_possible = fast;
    opts.packetizer.max_payload = payload;
    opts.packetizer.h264_stap_a = stap;
    opts.packetizer.jpeg_mode = jpeg_mode == "ext"     ? camsim::JpegRtpMode::kHeaderExt
                                : jpeg_mode == "whole" ? camsim::JpegRtpMode::kWholeInExt
                                                       : camsim::JpegRtpMode::kPlain;

    camsim::Simulator sim(opts);
    std::string error;
    if (!sim.Start(&error)) {
        fprintf(stderr, "camsim: %s\n", error.c_str());
        return 1;
    }
    printf("camsim profile=%s realm=%s\n", opts.profile.c_str(), sim.Realm().c_str());
    printf("http http://%s:%u/axis-cgi/param.cgi?action=list\n", opts.bind_address.c_str(),
           sim.HttpPort());
    printf("http http://%s:%u/axis-cgi/mjpg/video.cgi\n", opts.bind_address.c_str(),
           sim.HttpPort());
    printf("rtsp rtsp://%s:%u/axis-media/media.amp?videocodec=h264\n", opts.bind_address.c_str(),
           sim.RtspPort());
    printf("tunnel http://%s:%u/axis-media/media.amp\n", opts.bind_address.c_str(), sim.HttpPort());
    printf("ready\n");
    fflush(stdout);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    auto start = std::chrono::steady_clock::now();
    camsim::FaultScheduleRunner faults(sim, std::move(schedule), log.get());
    double stats_written = 0;
    bool outage_on = false;
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double since =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool down = outage.size() == 2 && since >= outage[0] && since < outage[0] + outage[1];
        if (down != outage_on) {
            outage_on = down;
            sim.StopMedia(down);
        }
        faults.Advance(since);
        if (!stats_file.empty() && since - stats_written >= 10) {
            stats_written = since;
            WriteStreamStats(sim, stats_file);
        }
        if (run_seconds > 0 &&
            std::chrono::steady_clock::now() - start > std::chrono::duration<double>(run_seconds)) {
            break;
        }
    }
    faults.Finish(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!stats_file.empty()) {
        WriteStreamStats(sim, stats_file);
    }
    sim.Stop();
    return 0;
}
