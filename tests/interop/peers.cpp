#include "interop/peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace interop {

namespace {
bool CanConnect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile) {
    const std::string program = FindProgram(argv.at(0));
    if (program.empty()) {
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = logFile.empty() ? open("/dev/null", O_WRONLY)
                                        : open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        dup2(open("/dev/null", O_RDONLY), 0);
        execv(program.c_str(), args.data());
        _exit(127);
    }
    return pid;
}

// Waits for the child until the deadline, then kills it; its wait status.
int Reap(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}
}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/quillon-interop-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
    const std::string file = path_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

bool PeerProcess::Launch(const std::vector<std::string>& argv, const std::string& logFile) {
    Stop();
    pid_ = Spawn(argv, logFile);
    pid_ = pid_ > 0 ? pid_ : -1;
    return pid_ > 0;
}

bool PeerProcess::Start(const std::vector<std::string>& argv, const std::string& logFile,
                        uint16_t port) {
    if (!Launch(argv, logFile)) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (CanConnect(port)) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;  // it ended by itself (bad configuration)
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
    return false;
}

void PeerProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        Reap(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    pid_ = -1;
}

ToolRun::ToolRun(std::vector<std::string> argv, int seconds, const char* signal)
    : deadline_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 15)) {
    argv.insert(argv.begin(), {"timeout", "-s", signal, std::to_string(seconds)});
    pid_ = Spawn(argv, dir_.path() + "/output");
}

ToolRun::~ToolRun() {
    if (pid_ > 0) {
        Reap(pid_, {});  // a deadline long past: killed at once
    }
}

ToolResult ToolRun::Wait() {
    if (pid_ <= 0) {
        return {-1, "could not start the tool"};
    }
    const int status = Reap(pid_, deadline_);
    pid_ = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            ReadFile(dir_.path() + "/output")};
}

FrameLines CountFrameLines(const std::string& output) {
    FrameLines counted;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.rfind("0,", 0) == 0) {
            ++counted.frames;
        } else if (counted.other++ == 0) {
            counted.firstOther = line;
        }
    }
    return counted;
}

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/sbin:/bin";
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) {
            continue;
        }
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace interop
