// Connects that never complete: a listener whose queue holds one connection that is never
// accepted, so the kernel drops every further SYN and the client waits in its retries. And what
// waits in the sockets of a connection that camsim stopped reading.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "server.h"

namespace camsim {

uint16_t Simulator::UnansweredPort() {
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.unanswered) {
        asio::error_code ec;
        const asio::ip::tcp::endpoint any(asio::ip::make_address(d.options.bind_address, ec), 0);
        auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(d.io);
        auto filler = std::make_unique<asio::ip::tcp::socket>(d.io);
        acceptor->open(any.protocol(), ec);
        acceptor->bind(any, ec);
        acceptor->listen(0, ec);  // room for one connection only
        const asio::ip::tcp::endpoint bound = acceptor->local_endpoint(ec);
        filler->connect(bound, ec);
        if (ec)
            return 0;
        d.unanswered = std::move(acceptor);
        d.unanswered_filler = std::move(filler);
    }
    asio::error_code ec;
    return d.unanswered->local_endpoint(ec).port();
}

namespace {

// Calls `row`(local, remote, state, queues) for each line of /proc/net/tcp.
template <typename Row>
void ForEachTcpSocket(Row row) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        row(local, remote, state, queues);
    }
}

// ":PORT" as /proc/net/tcp writes the end of an address.
std::string ProcPortSuffix(uint16_t port) {
    char text[8];
    std::snprintf(text, sizeof(text), ":%04X", port);
    return text;
}

}  // namespace

size_t Simulator::UnansweredConnects() {
    std::string wanted;
    {
        Impl& d = *impl_;
        std::lock_guard lock(d.mutex);
        if (!d.unanswered)
            return 0;
        asio::error_code ec;
        wanted = ProcPortSuffix(d.unanswered->local_endpoint(ec).port());
    }
    size_t pending = 0;
    ForEachTcpSocket(
        [&](const std::string&, const std::string& remote, const std::string& state,
            const std::string&) { pending += remote.ends_with(wanted) && state == "02"; });
    return pending;
}

uint64_t Simulator::QueuedHttpBytes() {
    const std::string wanted = ProcPortSuffix(HttpPort());
    uint64_t queued = 0;
    ForEachTcpSocket([&](const std::string& local, const std::string& remote, const std::string&,
                         const std::string& queues) {
        // "tx_queue:rx_queue": camsim's side has not read, a client's side has not sent.
        const size_t colon = queues.find(':');
        if (colon == std::string::npos)
            return;
        if (local.ends_with(wanted))
            queued += std::strtoull(queues.c_str() + colon + 1, nullptr, 16);
        else if (remote.ends_with(wanted))
            queued += std::strtoull(queues.substr(0, colon).c_str(), nullptr, 16);
    });
    return queued;
}

}  // namespace camsim
