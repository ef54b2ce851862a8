// Connects that never complete: a listener whose queue holds one connection that is never
// accepted, so the kernel drops every further SYN and the client waits in its retries.
#include <cstdio>
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

size_t Simulator::UnansweredConnects() {
    Impl& d = *impl_;
    char wanted[8];
    {
        std::lock_guard lock(d.mutex);
        if (!d.unanswered)
            return 0;
        asio::error_code ec;
        std::snprintf(wanted, sizeof(wanted), ":%04X", d.unanswered->local_endpoint(ec).port());
    }
    std::ifstream in("/proc/net/tcp");
    std::string line;
    size_t pending = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (remote.size() > 5 && remote.substr(remote.size() - 5) == wanted && state == "02")
            ++pending;
    }
    return pending;
}

}  // namespace camsim
