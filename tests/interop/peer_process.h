// Runs peer tools (FFmpeg, GStreamer, curl) as child processes with a hard time limit, several at
// once, capturing their output. Only the processes started here are ever signalled.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace camsim::interop {

struct PeerResult {
    int exit_code = -1;  // 124 when `timeout` ended it
    std::string output;  // stdout and stderr together
};

class PeerProcess {
  public:
    // argv runs under `timeout -s <signal> <limit>` so that it ends even if we are killed.
    PeerProcess(std::vector<std::string> argv, int limit_seconds, const char* signal = "KILL") {
        char tmpl[] = "/tmp/camsim_peer_XXXXXX";
        int fd = mkstemp(tmpl);
        out_path_ = tmpl;
        std::vector<std::string> full = {"timeout", "-s", signal, std::to_string(limit_seconds)};
        full.insert(full.end(), argv.begin(), argv.end());
        std::vector<char*> args;
        for (auto& a : full)
            args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&fa, fd, 1);
        posix_spawn_file_actions_adddup2(&fa, fd, 2);
        if (posix_spawnp(&pid_, "timeout", &fa, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fd);
        // A hard stop a little after the tool's own limit, in case `timeout` itself hangs.
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds + 15);
    }

    ~PeerProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(out_path_.c_str());
    }

    PeerResult Wait() {
        PeerResult r;
        if (pid_ <= 0) {
            r.output = "could not start the tool";
            return r;
        }
        int status = 0;
        while (!reaped_) {
            pid_t w = waitpid(pid_, &status, WNOHANG);
            if (w == pid_) {
                reaped_ = true;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline_) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                reaped_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::ifstream in(out_path_);
        std::stringstream ss;
        ss << in.rdbuf();
        r.output = ss.str();
        return r;
    }

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string out_path_;
    std::chrono::steady_clock::time_point deadline_;
};

inline bool ToolAvailable(const char* name) {
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace camsim::interop
