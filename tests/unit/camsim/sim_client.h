// A tiny blocking TCP/UDP client for driving the in-process simulator in tests. Every read has a
// time limit so a test fails instead of hanging.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace camsim::testing {

class TcpClient {
  public:
    explicit TcpClient(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    ~TcpClient() { close(fd_); }

    void Send(const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(fd_, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }

    // Reads more bytes into the buffer; false on close, error or time-out.
    bool ReadMore(int timeout_ms = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return false;
        char tmp[65536];
        ssize_t n = recv(fd_, tmp, sizeof(tmp), 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buf_.append(tmp, static_cast<size_t>(n));
        return true;
    }

    // ReadMore with what is left of the time limit.
    bool ReadUntil(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return left.count() > 0 && ReadMore(static_cast<int>(left.count()));
    }

    // One answer head + Content-Length body from the buffer.
    std::optional<std::string> ReadAnswer(int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            TakeFrames();  // interleaved frames before an answer are kept for ReadFrame
            size_t end = buf_.find("\r\n\r\n");
            if (end != std::string::npos && buf_[0] != '$') {
                size_t body = 0;
                size_t cl = buf_.find("Content-Length: ");
                if (cl != std::string::npos && cl < end)
                    body = std::stoul(buf_.substr(cl + 16));
                if (buf_.size() >= end + 4 + body) {
                    std::string a = buf_.substr(0, end + 4 + body);
                    buf_.erase(0, end + 4 + body);
                    return a;
                }
            }
            if (!ReadUntil(deadline))
                return std::nullopt;
        }
    }

    // Next '$' frame: channel byte and packet.
    std::optional<std::pair<int, std::string>> ReadFrame(int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (true) {
            TakeFrames();
            if (!frames_.empty()) {
                std::string f = frames_.front();
                frames_.pop_front();
                return std::make_pair(static_cast<uint8_t>(f[1]), f.substr(4));
            }
            if (!buf_.empty() && buf_[0] != '$')
                return std::nullopt;  // text where a frame was expected
            if (!ReadUntil(deadline))
                return std::nullopt;
        }
    }

    // Reads until the server closes (or the time limit); returns everything received.
    std::string ReadToClose(int timeout_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!closed_ && ReadUntil(deadline)) {
        }
        return buf_;
    }

  private:
    // Moves whole '$' frames at the head of the buffer to the frame queue.
    void TakeFrames() {
        while (buf_.size() >= 4 && buf_[0] == '$') {
            size_t len = (static_cast<uint8_t>(buf_[2]) << 8) | static_cast<uint8_t>(buf_[3]);
            if (buf_.size() < 4 + len)
                return;
            frames_.push_back(buf_.substr(0, 4 + len));
            buf_.erase(0, 4 + len);
        }
    }

    int fd_ = -1;
    bool closed_ = false;
    std::string buf_;
    std::deque<std::string> frames_;
};

class UdpReceiver {
  public:
    UdpReceiver() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpReceiver() { close(fd_); }
    uint16_t Port() const { return port_; }
    std::optional<std::string> Receive(int timeout_ms = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return std::nullopt;
        char tmp[65536];
        ssize_t n = recv(fd_, tmp, sizeof(tmp), 0);
        if (n < 0)
            return std::nullopt;
        return std::string(tmp, static_cast<size_t>(n));
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace camsim::testing
