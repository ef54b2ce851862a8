// Peers we did not write, started by tests: servers (lighttpd, tinyproxy, GStreamer's RTSP server)
// with their configuration in a temporary folder, and tools (FFmpeg, GStreamer, curl) run to their
// end with their output captured. Every child is stopped by its process id.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace interop {

// A temporary folder removed again with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string Write(const std::string& name, const std::string& content) const;

  private:
    std::string path_;
};

// A server we started; stopped with SIGTERM (SIGKILL when it lingers).
class PeerProcess {
  public:
    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program (looked up on PATH and in the system folders) with output to logFile.
    bool Launch(const std::vector<std::string>& argv, const std::string& logFile);
    // Launch, then true once port accepts connections on 127.0.0.1 (within five seconds).
    bool Start(const std::vector<std::string>& argv, const std::string& logFile, uint16_t port);
    void Stop();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// How a tool ended (124 when its time ran out) and what it printed, stdout and stderr together.
struct ToolResult {
    int exit_code = -1;
    std::string output;
};

// A tool run under `timeout -s <signal> <seconds>`, so that it ends even if the test is killed.
// Several may run at once; Wait collects the result.
class ToolRun {
  public:
    ToolRun(std::vector<std::string> argv, int seconds, const char* signal = "KILL");
    ~ToolRun();
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;
    ToolResult Wait();

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point deadline_;
};

inline ToolResult RunTool(std::vector<std::string> argv, int seconds) {
    return ToolRun(std::move(argv), seconds).Wait();
}

// FFmpeg's framecrc output: lines of decoded frames of stream 0 and any other line (a complaint).
struct FrameLines {
    size_t frames = 0;
    size_t other = 0;
    std::string firstOther;
};
FrameLines CountFrameLines(const std::string& output);

// Full path of a program, or empty when it is not installed.
std::string FindProgram(const std::string& name);
std::string ReadFile(const std::string& path);

}  // namespace interop
