#include "rtsp/udp_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/net.h"

namespace vornak {

namespace {
constexpr uint32_t kNoGroup = 0xFFFFFFFFu;
constexpr uint32_t kDrainReads = 100;
constexpr uint32_t kGrowStep = 1024;
constexpr uint32_t kOpenSendTimeoutMs = 1000;
constexpr uint32_t kReceiveErrorPauseMs = 10;
// Without lent buffers (RTCP, or a pool that is used up) datagrams are few or dropped anyway.
constexpr size_t kOwnBatchSize = 16;

std::atomic<bool> smallBufferLogged{false};
}  // namespace

CUDPClient::CUDPClient(IDebugMessage* debug) : CBaseThread(debug) {}

CUDPClient::~CUDPClient() {
    Close();
}

bool CUDPClient::Open(IRTPClientUser* user, uint16_t port) {
    UDPClientOptions options;
    options.port = port;
    options.sendTimeoutMs = kOpenSendTimeoutMs;
    return OpenSocket(user, options);
}

bool CUDPClient::OpenMulticast(IRTPClientUser* user, const std::string& group, uint16_t port,
                               uint32_t interfaceAddress) {
    in_addr address{};
    if (inet_pton(AF_INET, group.c_str(), &address) != 1) {
        return false;
    }
    UDPClientOptions options;
    options.group = address.s_addr;
    options.interfaceAddress = interfaceAddress;
    options.port = port;
    options.sendTimeoutMs = kOpenSendTimeoutMs;
    return OpenSocket(user, options);
}

bool CUDPClient::OpenGroup(IRTPClientUser* user, const std::string& group, uint16_t port) {
    return OpenMulticast(user, group, port, 0);
}

bool CUDPClient::OpenSocket(IRTPClientUser* user, const UDPClientOptions& options) {
    {
        CLockGuard guard(lock_);
        if (socket_ >= 0) {
            return false;
        }
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        socket_ = fd;
        const bool multicast = options.group != kNoGroup;
        const int one = 1;
        const int zero = 0;
        bool ok = true;
        if (multicast) {
            ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == 0 &&
                 // Only the groups this socket joined, not those of other sockets on the port.
                 setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof(zero)) == 0;
        }
        const int wanted = static_cast<int>(
            options.receiveBufferSize == 0 ? kDefaultReceiveBuffer : options.receiveBufferSize);
        if (ok && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof(wanted)) != 0) {
            ok = setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof(wanted)) == 0;
        }
        if (ok) {
            int granted = 0;
            socklen_t length = sizeof(granted);
            // The kernel reports twice the usable size.
            if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0) {
                grantedBuffer_ = static_cast<uint32_t>(granted / 2);
            }
            if (static_cast<int>(grantedBuffer_) < wanted && !smallBufferLogged.exchange(true) &&
                debug_ != nullptr) {
                debug_->DebugMessage(kLogWarning,
                                     "vornak::CUDPClient::Open: UDP receive buffer is %d bytes, "
                                     "%d requested (raise net.core.rmem_max)",
                                     granted / 2, wanted);
            }
        }
        if (ok && options.sendTimeoutMs != 0) {
            ok = platform::SetSocketTimeout(fd, SO_SNDTIMEO, options.sendTimeoutMs);
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(options.port);
        // A socket bound to a unicast interface address never sees datagrams sent to a group
        // here; binding to the group itself keeps other traffic on the port out.
        local.sin_addr.s_addr = multicast ? options.group : options.interfaceAddress;
        if (ok) {
            ok = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
        }
        if (ok) {
            socklen_t length = sizeof(local);
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
            boundPort_ = ntohs(local.sin_port);
            port_ = options.port;
            socketTimeoutMs_ = options.sendTimeoutMs;
            user_ = user;
        }
        if (ok && multicast) {
            ip_mreq request{};
            request.imr_multiaddr.s_addr = options.group;
            request.imr_interface.s_addr = options.interfaceAddress;
            ok = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) == 0;
            if (ok) {
                membershipGroup_ = options.group;
                membershipInterface_ = options.interfaceAddress;
            }
        }
        if (ok) {
            ok = StartThread(Format("UDP %hu Receiving Thread", options.port));
        }
        if (ok) {
            return true;
        }
        // Taken ports are the rule while a search for a free pair passes them, not a fault.
        if (debug_ != nullptr) {
            const int error = errno;
            debug_->DebugMessage(error == EADDRINUSE ? kLogDetail : kLogWarning,
                                 "vornak::CUDPClient::Open: UDP port %hu: %s", options.port,
                                 std::strerror(error));
        }
    }
    Close();
    return false;
}

bool CUDPClient::ReceiveFailed(int error) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
        if (user_ != nullptr) {
            user_->OnReceiveTimeout(this);
        }
        return false;
    }
    if (error == EBADF || error == EFAULT || error == ENOTSOCK) {
        if (user_ != nullptr) {
            user_->OnSocketClosed(this);
        }
        return true;
    }
    // EINTR, or an error that passes (ENOMEM): a short pause keeps one that does not pass from
    // spinning the thread.
    if (error != EINTR) {
        stopEvent_.Wait(kReceiveErrorPauseMs);
    }
    return false;
}

void CUDPClient::ThreadFunction() {
    std::vector<uint8_t> own;  // for a user that lends no buffers
    std::array<iovec, kBatchSize> buffers{};
    std::array<sockaddr_in, kBatchSize> senders{};
    std::array<mmsghdr, kBatchSize> messages{};
    std::array<ReceivedDatagram, kBatchSize> received{};
    const int fd = socket_.load();
    uint32_t appliedTimeoutMs = 0;
    while (!stopEvent_.IsSet()) {
        // The wait happens inside the receive call: one system call per wake-up, where a poll
        // first would make two. The time-out is the socket's; Close's shutdown ends the wait.
        const uint32_t timeoutMs = std::max(selectTimeoutMs_.load(), 1u);
        if (timeoutMs != appliedTimeoutMs &&
            platform::SetSocketTimeout(fd, SO_RCVTIMEO, timeoutMs)) {
            appliedTimeoutMs = timeoutMs;
        }
        const uint32_t length = std::min(bufferLength_.load(), kMaxDatagram);
        IRTPClientUser* user = user_;
        size_t count = user != nullptr ? user->LendBuffers(this, length, buffers) : 0;
        const bool lent = count > 0;
        if (!lent) {
            own.resize(size_t{length} * kOwnBatchSize);
            for (size_t i = 0; i < kOwnBatchSize; ++i) {
                buffers[i] = {own.data() + i * length, length};
            }
            count = kOwnBatchSize;
        }
        for (size_t i = 0; i < count; ++i) {
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &senders[i];
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[i].msg_hdr.msg_iov = &buffers[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        // Blocks for the first datagram, then takes what else is queued. MSG_TRUNC makes the
        // kernel report a datagram's real size, so one larger than its buffer is recognised
        // instead of passed on cut.
        const int n = recvmmsg(fd, messages.data(), static_cast<unsigned>(count),
                               MSG_TRUNC | MSG_WAITFORONE, nullptr);
        const int error = errno;
        const bool stopping = stopEvent_.IsSet();
        const size_t got = n > 0 && !stopping ? static_cast<size_t>(n) : 0;
        uint32_t truncated = 0;
        uint32_t largest = 0;
        for (size_t i = 0; i < got; ++i) {
            const uint32_t size = messages[i].msg_len;
            const bool cut = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || size > length;
            received[i] = {senders[i], cut ? 0 : size};
            if (cut) {
                ++truncated;
                largest = std::max(largest, size);
            }
        }
        if (truncated != 0) {
            // The datagram is lost (and others of its size in this batch); the next receive
            // fits it. The buffer only grows, at least by a step, so a line each is few lines.
            const uint32_t grown = std::min(std::max(length + kGrowStep, largest), kMaxDatagram);
            bufferLength_ = grown;
            if (debug_ != nullptr) {
                debug_->DebugMessage(kLogWarning,
                                     "vornak::CUDPClient::ThreadFunction: UDP %hu: %u datagram(s) "
                                     "of up to %u bytes dropped, larger than the %u-byte buffer; "
                                     "it grows to %u bytes",
                                     port_, truncated, largest, length, grown);
            }
        }
        if (lent) {
            // Every lent buffer comes back, also when nothing arrived.
            user->OnDatagramBatch(this, std::span<const iovec>(buffers.data(), count),
                                  std::span<const ReceivedDatagram>(received.data(), got));
        } else {
            for (size_t i = 0; i < got && user != nullptr && !stopEvent_.IsSet(); ++i) {
                if (received[i].length > 0) {
                    user->OnDatagram(this, received[i].sender, own.data() + i * length,
                                     received[i].length);
                }
            }
        }
        if (stopping) {
            return;
        }
        if (n < 0 && ReceiveFailed(error)) {
            return;
        }
    }
}

void CUDPClient::Close() {
    stopEvent_.Set();
    int fd = -1;
    {
        CLockGuard guard(lock_);
        fd = socket_.load();
        if (fd >= 0) {
            if (membershipGroup_ != kNoGroup) {
                ip_mreq request{};
                request.imr_multiaddr.s_addr = membershipGroup_;
                request.imr_interface.s_addr = membershipInterface_;
                setsockopt(fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &request, sizeof(request));
                membershipGroup_ = membershipInterface_ = kNoGroup;
            }
            shutdown(fd, SHUT_RDWR);
            port_ = 0;
        }
    }
    StopThread(std::max(std::max(selectTimeoutMs_.load(), socketTimeoutMs_) + 1000, 5000u));
    if (fd < 0) {
        return;
    }
    uint8_t drain[1500];
    for (uint32_t i = 0; i < kDrainReads; ++i) {
        if (recv(fd, drain, sizeof(drain), MSG_DONTWAIT) <= 0) {
            break;
        }
    }
    {
        CLockGuard guard(lock_);
        socket_ = -1;
        boundPort_ = 0;
    }
    close(fd);
    IRTPClientUser* user = user_;
    user_ = nullptr;
    if (user != nullptr) {
        user->OnSocketClosed(this);
    }
}

bool CUDPClient::SendTo(const sockaddr_in& address, const uint8_t* data, uint32_t length) {
    const int fd = socket_.load();
    if (fd < 0) {
        return false;
    }
    uint32_t sent = 0;
    while (sent < length) {
        const ssize_t n = sendto(fd, data + sent, length - sent, MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        if (n <= 0) {
            return false;
        }
        sent += static_cast<uint32_t>(n);
    }
    return true;
}

}  // namespace vornak
