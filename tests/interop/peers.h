// Web servers and proxies we did not write, started by tests on loopback: each on a free port
// with its own configuration in a temporary folder, stopped by its process id.
#pragma once

#include <sys/types.h>

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

// A child process we started; stopped with SIGTERM (SIGKILL when it lingers) by its pid.
class PeerProcess {
  public:
    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program (looked up on PATH and in the system folders) with output to logFile;
    // true once port accepts connections on 127.0.0.1 (within five seconds).
    bool Start(const std::vector<std::string>& argv, const std::string& logFile, uint16_t port);
    void Stop();
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

// Full path of a program, or empty when it is not installed.
std::string FindProgram(const std::string& name);
// Runs a program to its end (bounded by seconds); true on exit status 0.
bool RunProgram(const std::vector<std::string>& argv, int seconds);
std::string ReadFile(const std::string& path);

}  // namespace interop
