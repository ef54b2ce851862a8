// camsim command line: serves one simulated camera on loopback until interrupted.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "camsim.h"

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
    CLI11_PARSE(app, argc, argv);
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
        if (run_seconds > 0 &&
            std::chrono::steady_clock::now() - start > std::chrono::duration<double>(run_seconds)) {
            break;
        }
    }
    sim.Stop();
    return 0;
}
