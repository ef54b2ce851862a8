// A scripted HTTP peer on 127.0.0.1 for tests: it reads each request and lets the test write
// whatever bytes it wants back, including broken, stalled and endless answers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loopback_port.h"

namespace testing_support {

struct HttpRequestSeen {
    std::string method;
    std::string path;
    std::string head;  // request line and headers
    std::string body;  // as far as the server read it
    uint64_t contentLength = 0;
    int connection = 0;  // number of the connection it came on, from 1
    std::string Header(std::string_view name) const;
};

class LoopbackConnection {
  public:
    LoopbackConnection(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
    bool Send(std::string_view bytes);
    // Reads exactly n bytes; false on close, error or server stop.
    bool ReadExact(size_t n, std::string& out);
    // Holds the connection open without answering until the server stops or the peer closes.
    void Stall();
    void Close() { closed_ = true; }
    bool closed() const { return closed_; }

  private:
    friend class LoopbackHttpServer;
    int fd_;
    const std::atomic<bool>& stop_;
    bool closed_ = false;
    std::string pending_;  // bytes read past the last request
};

class LoopbackHttpServer {
  public:
    using Handler = std::function<void(const HttpRequestSeen&, LoopbackConnection&)>;
    // With readBody false the handler reads the body itself (streamed uploads).
    explicit LoopbackHttpServer(Handler handler, bool readBody = true);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    uint16_t port() const { return port_; }
    int connections() const { return connections_.load(); }
    std::vector<HttpRequestSeen> requests();

    // A complete answer with Content-Length.
    static std::string Response(int status, std::string_view body,
                                std::string_view extraHeaders = {});

  private:
    void AcceptLoop();
    void Serve(int fd, int number);

    Handler handler_;
    bool readBody_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<HttpRequestSeen> requests_;
    std::vector<std::thread> workers_;
    std::thread acceptThread_;
};

}  // namespace testing_support
