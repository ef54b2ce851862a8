#include "unit/web/loopback_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "base/text.h"

namespace testing_support {

namespace {
constexpr int kPollMs = 50;

// Waits for the socket to become readable; false when the server stops first.
bool WaitReadable(int fd, const std::atomic<bool>& stop) {
    while (!stop.load()) {
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, kPollMs);
        if (n > 0) {
            return true;
        }
        if (n < 0) {
            return false;
        }
    }
    return false;
}
}  // namespace

std::string HttpRequestSeen::Header(std::string_view name) const {
    const std::string lowerHead = vornak::ToLower(head);
    const std::string key = "\r\n" + vornak::ToLower(name) + ":";
    const size_t at = lowerHead.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const size_t start = at + key.size();
    const size_t end = head.find("\r\n", start);
    std::string value = head.substr(start, end - start);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

bool LoopbackConnection::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool LoopbackConnection::ReadExact(size_t n, std::string& out) {
    const size_t fromPending = std::min(n, pending_.size());
    out.append(pending_, 0, fromPending);
    pending_.erase(0, fromPending);
    n -= fromPending;
    char buffer[16384];
    while (n > 0) {
        if (!WaitReadable(fd_, stop_)) {
            return false;
        }
        const ssize_t got = ::recv(fd_, buffer, std::min(n, sizeof(buffer)), 0);
        if (got <= 0) {
            return false;
        }
        out.append(buffer, static_cast<size_t>(got));
        n -= static_cast<size_t>(got);
    }
    return true;
}

void LoopbackConnection::Stall() {
    char buffer[4096];
    while (WaitReadable(fd_, stop_)) {
        if (::recv(fd_, buffer, sizeof(buffer), 0) <= 0) {
            break;
        }
    }
    closed_ = true;
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler, bool readBody)
    : handler_(std::move(handler)), readBody_(readBody) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    const int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::listen(listenFd_, 16) == 0) {
        socklen_t length = sizeof(address);
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stop_.store(true);
    acceptThread_.join();
    for (std::thread& worker : workers_) {
        worker.join();
    }
    ::close(listenFd_);
}

std::vector<HttpRequestSeen> LoopbackHttpServer::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string LoopbackHttpServer::Response(int status, std::string_view body,
                                         std::string_view extraHeaders) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " Status\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += extraHeaders;
    out += "\r\n";
    out += body;
    return out;
}

void LoopbackHttpServer::AcceptLoop() {
    while (WaitReadable(listenFd_, stop_)) {
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        const int number = ++connections_;
        workers_.emplace_back([this, fd, number] { Serve(fd, number); });
    }
}

void LoopbackHttpServer::Serve(int fd, int number) {
    LoopbackConnection connection(fd, stop_);
    char buffer[16384];
    while (!connection.closed()) {
        std::string& data = connection.pending_;
        size_t headEnd;
        while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
            if (!WaitReadable(fd, stop_)) {
                ::close(fd);
                return;
            }
            const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0 || data.size() > 1 << 20) {
                ::close(fd);
                return;
            }
            data.append(buffer, static_cast<size_t>(got));
            if (!std::isupper(static_cast<unsigned char>(data.front()))) {
                ::close(fd);  // not HTTP (e.g. a TLS hello)
                return;
            }
        }
        HttpRequestSeen request;
        request.connection = number;
        request.head = data.substr(0, headEnd + 2);
        data.erase(0, headEnd + 4);
        const size_t firstBlank = request.head.find(' ');
        const size_t secondBlank = request.head.find(' ', firstBlank + 1);
        if (firstBlank == std::string::npos || secondBlank == std::string::npos) {
            break;  // not HTTP (e.g. a TLS hello): drop the connection
        }
        request.method = request.head.substr(0, firstBlank);
        request.path = request.head.substr(firstBlank + 1, secondBlank - firstBlank - 1);
        const std::string length = request.Header("Content-Length");
        request.contentLength = length.empty() ? 0 : std::stoull(length);
        if (readBody_ && request.contentLength > 0 &&
            !connection.ReadExact(request.contentLength, request.body)) {
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        handler_(request, connection);
    }
    ::close(fd);
}

}  // namespace testing_support
