#include "rtsp/rtsp_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/host_info.h"
#include "platform/net.h"
#include "rtsp/rtsp_client.h"

namespace vornak {

namespace {
constexpr int kConnectRoundMs = 100;
constexpr int kShortReceiveMs = 100;
// Receives wait in slices (the socket's own receive time-out, so that a read that finds data
// costs one call) so that a shortened time-out takes effect during a blocked read.
constexpr uint32_t kReceiveSliceMs = 50;

using platform::SetSocketTimeout;
using platform::TickMs;
}  // namespace

CTCPConnection::~CTCPConnection() {
    Close();
}

bool CTCPConnection::Open(const RTSPClientSettings& settings) {
    Close();
    readsEndMs_ = 0;
    receiveTimeoutMs_ = settings.receiveTimeoutMs;
    sendTimeoutMs_ = settings.sendTimeoutMs;
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        return false;
    }
    const int bufferSize = static_cast<int>(settings.receiveBufferSize);
    if (setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize)) != 0 ||
        !SetSocketTimeout(socket_, SO_RCVTIMEO, kReceiveSliceMs) ||
        !SetSocketTimeout(socket_, SO_SNDTIMEO, settings.sendTimeoutMs)) {
        Close();
        return false;
    }
    const uint32_t address = platform::ResolveIPv4(settings.host);
    if (address == 0) {
        Close();
        return false;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(settings.port);
    peer.sin_addr.s_addr = address;

    const int flags = fcntl(socket_, F_GETFL, 0);
    fcntl(socket_, F_SETFL, flags | O_NONBLOCK);
    if (connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) != 0) {
        if (errno != EINPROGRESS) {
            Close();
            return false;
        }
        bool connected = false;
        for (uint32_t round = 0; round < settings.connectTimeoutMs / kConnectRoundMs; ++round) {
            if (settings.cancel != nullptr && settings.cancel->IsSet()) {
                break;
            }
            pollfd fd{socket_, POLLOUT, 0};
            if (poll(&fd, 1, kConnectRoundMs) > 0) {
                int error = 0;
                socklen_t length = sizeof(error);
                getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length);
                connected = error == 0;
                break;
            }
        }
        if (!connected) {
            Close();
            return false;
        }
    }
    fcntl(socket_, F_SETFL, flags);
    return true;
}

bool CTCPConnection::Send(std::string_view text) {
    if (socket_ < 0) {
        return false;
    }
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(socket_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

int CTCPConnection::Receive(std::span<uint8_t> buffer) {
    return ReceiveWithin(buffer, receiveTimeoutMs_);
}

void CTCPConnection::ShortenReceiveTimeout() {
    uint64_t none = 0;
    readsEndMs_.compare_exchange_strong(none, TickMs() + kShortReceiveMs);
}

int CTCPConnection::ReceiveWithin(std::span<uint8_t> buffer, uint32_t waitMs) {
    if (socket_ < 0) {
        return -1;
    }
    // 0 stands for no limit, in either value.
    const uint64_t limit = receiveTimeoutMs_ == 0 ? waitMs
                           : waitMs == 0          ? receiveTimeoutMs_
                                                  : std::min(waitMs, receiveTimeoutMs_);
    const uint64_t start = TickMs();
    for (uint64_t now = start;; now = TickMs()) {
        // Once shortened, the end is fixed in time: a peer that keeps sending cannot hold a
        // reader that loops over Receive.
        const uint64_t readsEnd = readsEndMs_;
        if ((readsEnd != 0 && now >= readsEnd) || (limit != 0 && now - start >= limit)) {
            return -1;
        }
        const ssize_t n = recv(socket_, buffer.data(), buffer.size(), 0);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
    }
}

void CTCPConnection::Close() {
    if (socket_ >= 0) {
        close(socket_);
        socket_ = -1;
    }
}

}  // namespace vornak
