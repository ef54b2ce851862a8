// The driver as a host runs it (loaded with dlopen, used through its exports) against an
// in-process camsim, plus what the tests need to judge the frames that arrive.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "camsim/camsim.h"
#include "host_objects.h"
#include "parsers/codec_table.h"
#include "parsers/media_parser_client.h"
#include "unit/fake_host.h"

namespace quillon::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

struct CamsimSetup {
    std::string profile = "fixed";
    camsim::AuthSchemes http = camsim::AuthSchemes::kBoth;
    camsim::AuthSchemes rtsp = camsim::AuthSchemes::kBoth;
};

// A started simulator; tests that cannot start it fail at once.
struct Camera {
    explicit Camera(const CamsimSetup& setup = {}) : sim(Options(setup)) {
        started = sim.Start(&error);
    }
    static camsim::Options Options(const CamsimSetup& setup) {
        camsim::Options o;
        o.profile = setup.profile;
        o.http_auth.schemes = setup.http;
        o.rtsp_auth.schemes = setup.rtsp;
        return o;
    }
    camsim::Simulator sim;
    bool started = false;
    std::string error;
};

// Device parameters a host would have stored from the capability query of the fixed camera.
inline std::map<uint32_t, std::string> FixedCameraParameters(uint32_t networkTimeoutMs) {
    return {{1, std::to_string(networkTimeoutMs)},
            {2, "6.50.2"},
            {3, "3"},
            {7, "1920x1080;1280x720;640x480;320x240"},
            {8, "3"},
            {10, "1"},
            {11, "0"}};
}

class DriverUnderTest {
  public:
    DriverUnderTest(uint16_t port, std::map<uint32_t, std::string> parameters,
                    const std::string& user = "root", const std::string& password = "pass",
                    uint32_t videoInputs = 1, uint32_t digitalInputs = 0)
        : context_(
              Settings(port, std::move(parameters), user, password, videoInputs, digitalInputs)) {
        std::string error;
        if (!library_.Load(QUILLON_LIBRARY_PATH, error)) {
            loadError = error;
            return;
        }
        driver_ = library_.create[0]();
        opened = driver_ != nullptr && driver_->Open(&logger, &allocator, &context_);
    }
    ~DriverUnderTest() {
        if (driver_ != nullptr) {
            driver_->Close();
            library_.destroy[0](driver_);
        }
    }
    host::IIPVideoCaptureEx2* Capture() { return driver_->GetVideoCaptureEx2(); }
    host::IIPCaptureDriverEx5* Driver() { return driver_; }

    host::HostLogger logger{false};
    host::HostFrameAllocator allocator;
    bool opened = false;
    std::string loadError;

  private:
    static host::DeviceSettings Settings(uint16_t port, std::map<uint32_t, std::string> parameters,
                                         const std::string& user, const std::string& password,
                                         uint32_t videoInputs, uint32_t digitalInputs) {
        host::DeviceSettings s;
        s.videoInputs = videoInputs;
        s.digitalInputs = digitalInputs;
        s.address = "127.0.0.1";
        s.port = port;
        s.user = user;
        s.password = password;
        s.model = "AXIS M1065-L";
        s.parameters = std::move(parameters);
        return s;
    }
    host::DriverLibrary library_;
    host::HostDeviceContext context_;
    host::IIPCaptureDriverEx5* driver_ = nullptr;
};

// Adds a device section to the settings file beside the test executable for the life of the
// object. Test processes run side by side, so every change is made under a file lock and lands
// with one rename: the driver always reads a whole file.
class ScopedDeviceSection {
  public:
    ScopedDeviceSection(uint16_t port, const std::string& body) : key_(Key(port)) {
        Edit([&](std::map<std::string, std::string>& sections) { sections[key_] = body; });
    }
    ~ScopedDeviceSection() {
        Edit([&](std::map<std::string, std::string>& sections) { sections.erase(key_); });
    }

  private:
    static std::string Key(uint16_t port) {
        return "<Device address=\"127.0.0.1\" port=\"" + std::to_string(port) + "\">";
    }
    static std::filesystem::path File() { return host::ExecutableFolder() + "Quillon.xml"; }

    template <typename Fn>
    static void Edit(Fn change) {
        const std::string lockPath = File().string() + ".lock";
        const int fd = ::open(lockPath.c_str(), O_CREAT | O_RDWR, 0644);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX);
        }
        std::map<std::string, std::string> sections = Read();
        change(sections);
        const std::string temp = File().string() + "." + std::to_string(::getpid());
        {
            std::ofstream out(temp);
            out << "<Configuration>\n";
            for (const auto& [key, body] : sections) {
                out << key << body << "</Device>\n";
            }
            out << "</Configuration>\n";
        }
        std::filesystem::rename(temp, File());
        if (fd >= 0) {
            ::flock(fd, LOCK_UN);
            ::close(fd);
        }
    }
    // Sections as this helper writes them: one per line.
    static std::map<std::string, std::string> Read() {
        std::map<std::string, std::string> sections;
        std::ifstream in(File());
        std::string line;
        while (std::getline(in, line)) {
            const size_t open = line.find('>');
            const size_t close = line.rfind("</Device>");
            if (line.rfind("<Device ", 0) == 0 && open != std::string::npos &&
                close != std::string::npos && close > open) {
                sections[line.substr(0, open + 1)] = line.substr(open + 1, close - open - 1);
            }
        }
        return sections;
    }

    std::string key_;
};

// Runs FFmpeg over the file; returns what it says at the error level ("" when it decodes
// cleanly), or a note when FFmpeg could not run.
inline std::string DecodeErrors(const std::string& path, const std::string& inputFormat = "") {
    std::string command = "timeout 120 ffmpeg -nostdin -v error ";
    if (!inputFormat.empty()) {
        command += "-f " + inputFormat + " ";
    }
    command += "-i '" + path + "' -f null - 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "cannot run ffmpeg";
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        output += buffer;
    }
    const int status = pclose(pipe);
    if (status != 0 && output.empty()) {
        output = "ffmpeg exit status " + std::to_string(status);
    }
    return output;
}

inline std::string WriteFrames(const std::vector<vornak::test::RecordingSink::Frame>& frames,
                               const std::string& name) {
    const std::string path =
        (std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid())))
            .string();
    std::ofstream out(path, std::ios::binary);
    for (const auto& frame : frames) {
        out.write(reinterpret_cast<const char*>(frame.data.data()),
                  static_cast<std::streamsize>(frame.data.size()));
    }
    return path;
}

using Frames = std::vector<vornak::test::RecordingSink::Frame>;

// The frames as an elementary stream file for FFmpeg. Each H.264 frame ends with the delimiter
// that opens the next access unit; the last one's never comes, so the file leaves it off.
inline std::string WriteStream(const Frames& frames, uint32_t format, const std::string& name) {
    const std::string path = WriteFrames(frames, name + (format == 3   ? ".h264"
                                                         : format == 4 ? ".h265"
                                                                       : ".m4v"));
    static const std::vector<uint8_t> kH264Delimiter = {0, 0, 1, 9, 0x30};
    static const std::vector<uint8_t> kH265Delimiter = {0, 0, 1, 0x46, 0x01, 0x50};
    const std::vector<uint8_t>& delimiter = format == 3 ? kH264Delimiter : kH265Delimiter;
    if ((format == 3 || format == 4) && !frames.empty()) {
        const auto& last = frames.back().data;
        if (last.size() >= delimiter.size() &&
            std::equal(last.end() - static_cast<long>(delimiter.size()), last.end(),
                       delimiter.begin())) {
            std::filesystem::resize_file(path, std::filesystem::file_size(path) - delimiter.size());
        }
    }
    return path;
}

// What every captured RTSP stream shows: a key frame first, the size asked for on every frame,
// and times that move forward and stay within maxLagMs of the frame's arrival.
inline void ExpectGoodFrames(const Frames& frames, uint32_t format, uint32_t width, uint32_t height,
                             double maxLagMs) {
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].fourcc, vornak::FindCodec(format)->keyFourCC)
        << "the first frame is a key frame";
    vornak::TimeValue previous = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& frame = frames[i];
        EXPECT_EQ(frame.width, width) << "frame " << i;
        EXPECT_EQ(frame.height, height) << "frame " << i;
        EXPECT_EQ(frame.sizeClass, vornak::ResolutionClass(width, height)) << "frame " << i;
        const vornak::TimeValue time = vornak::SystemTimeToTime(frame.time);
        ASSERT_GT(time, previous) << "frame " << i << " is not later than the one before";
        const double lagMs =
            (static_cast<double>(frame.received) - static_cast<double>(time)) / 10000.0;
        EXPECT_LT(std::fabs(lagMs), maxLagMs) << "frame " << i << " is off the wall clock";
        previous = time;
    }
}

}  // namespace quillon::test
