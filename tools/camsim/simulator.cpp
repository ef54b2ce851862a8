// The simulator's life cycle, listening sockets, housekeeping and the test-facing API.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "server.h"

#ifndef CAMSIM_PROFILE_DIR
#define CAMSIM_PROFILE_DIR ""
#endif
#ifndef CAMSIM_MEDIA_DIR
#define CAMSIM_MEDIA_DIR ""
#endif

namespace camsim {

Simulator::Impl::Impl(Options o) : options(std::move(o)) {
    session_timeout = options.session_timeout;
}

bool Simulator::Impl::Listen(std::string* error) {
    asio::error_code ec;
    auto addr = asio::ip::make_address(options.bind_address, ec);
    if (ec) {
        if (error)
            *error = "bad bind address '" + options.bind_address + "'";
        return false;
    }
    auto open = [&](uint16_t port, std::unique_ptr<asio::ip::tcp::acceptor>& acc) -> uint16_t {
        acc = std::make_unique<asio::ip::tcp::acceptor>(io);
        asio::ip::tcp::endpoint ep(addr, port);
        acc->open(ep.protocol(), ec);
        if (ec)
            return 0;
        acc->set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
        acc->bind(ep, ec);
        if (ec)
            return 0;
        acc->listen(asio::socket_base::max_listen_connections, ec);
        if (ec)
            return 0;
        return acc->local_endpoint().port();
    };
    http_port = open(http_port ? http_port : options.http_port, http_acceptor);
    if (!http_port) {
        if (error)
            *error = "cannot listen for HTTP: " + ec.message();
        return false;
    }
    rtsp_port = open(rtsp_port ? rtsp_port : options.rtsp_port, rtsp_acceptor);
    if (!rtsp_port) {
        if (error)
            *error = "cannot listen for RTSP: " + ec.message();
        return false;
    }
    Accept(*http_acceptor, false);
    Accept(*rtsp_acceptor, true);
    return true;
}

void Simulator::Impl::Accept(asio::ip::tcp::acceptor& acceptor, bool rtsp_side) {
    acceptor.async_accept(
        [this, &acceptor, rtsp_side](asio::error_code ec, asio::ip::tcp::socket socket) {
            if (stopping)
                return;
            if (ec) {
                if (ec == asio::error::operation_aborted || !acceptor.is_open())
                    return;
            } else {
                bool rtsp_enabled = true;
                if (rtsp_side) {
                    auto enabled = params.Get("Network.RTSP.Enabled");
                    rtsp_enabled = !enabled || !IEquals(*enabled, "no");
                }
                if (rtsp_enabled) {
                    auto conn = std::make_shared<Connection>(*this, std::move(socket), rtsp_side);
                    // Forget connections that are gone before remembering a new one.
                    std::erase_if(connections, [](const auto& w) { return w.expired(); });
                    connections.push_back(conn);
                    {
                        std::lock_guard lock(mutex);
                        accepted++;
                    }
                    conn->Start();
                }
            }
            Accept(acceptor, rtsp_side);
        });
}

void Simulator::Impl::Relisten() {
    if (stopping)
        return;
    // Same ports as before; retried until they are free again.
    std::string err;
    if (Listen(&err)) {
        down = false;
        return;
    }
    restart_timer.expires_after(std::chrono::milliseconds(100));
    restart_timer.async_wait([this](asio::error_code e) {
        if (!e)
            Relisten();
    });
}

void Simulator::Impl::Housekeeping() {
    // A timer that had already expired when Stop cancelled it still runs its handler.
    if (stopping)
        return;
    auto now = std::chrono::steady_clock::now();
    std::chrono::seconds timeout;
    {
        std::lock_guard lock(mutex);
        timeout = session_timeout;
    }
    std::vector<std::string> expired;
    for (const auto& [id, s] : sessions) {
        if (now - s->last_activity > timeout)
            expired.push_back(id);
    }
    // A silent session ends as on a camera: the stream stops with a BYE.
    for (const auto& id : expired)
        DestroySession(id, true);
    housekeeping.expires_after(std::chrono::milliseconds(200));
    housekeeping.async_wait([this](asio::error_code ec) {
        if (!ec)
            Housekeeping();
    });
}

std::optional<Fault> Simulator::Impl::TakeFault(std::vector<FaultEntry>& list,
                                                const std::string& key, const std::string& query) {
    std::lock_guard lock(mutex);
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (!it->key.empty() && !IEquals(it->key, key))
            continue;
        if (!it->fault.query_contains.empty() &&
            query.find(it->fault.query_contains) == std::string::npos)
            continue;
        Fault f = it->fault;
        if (it->fault.count > 0 && --it->fault.count == 0)
            list.erase(it);
        return f;
    }
    return std::nullopt;
}

void Simulator::Impl::DestroySession(const std::string& id, bool send_bye) {
    auto it = sessions.find(id);
    if (it == sessions.end())
        return;
    auto session = it->second;
    sessions.erase(it);
    for (auto& track : session->tracks) {
        if (!track.stream)
            continue;
        if (track.transport.kind == Transport::Kind::kMulticast) {
            if (--track.stream->sharers > 0)
                continue;
        }
        track.stream->Stop(send_bye);
    }
}

void Simulator::Impl::ChannelClosed(const std::shared_ptr<RtspChannel>& channel) {
    // Media that travels on the closed connection has nowhere to go; UDP sessions live on
    // until TEARDOWN or their time-out.
    for (const auto& id : channel->sessions) {
        auto it = sessions.find(id);
        if (it == sessions.end())
            continue;
        bool on_connection = false;
        for (const auto& t : it->second->tracks) {
            on_connection = on_connection || t.transport.kind == Transport::Kind::kTcp;
        }
        if (on_connection)
            DestroySession(id, false);
    }
    if (channel->tunnelled)
        tunnels.erase(channel->cookie);
}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string* error) {
    Impl& d = *impl_;
    std::string profile_path = d.options.profile;
    if (profile_path.find('/') == std::string::npos &&
        profile_path.find(".prof") == std::string::npos) {
        std::string dir =
            d.options.profile_dir.empty() ? CAMSIM_PROFILE_DIR : d.options.profile_dir;
        profile_path = dir + "/" + profile_path + ".prof";
    }
    std::ifstream in(profile_path);
    if (!in) {
        if (error)
            *error = "cannot read profile " + profile_path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (auto err = d.params.LoadProfileText(text.str())) {
        if (error)
            *error = profile_path + ": " + *err;
        return false;
    }
    auto opts = d.params.Options();
    d.realm = "AXIS_" + opts.mac;
    d.http_auth = std::make_unique<Authenticator>(d.realm, d.options.users);
    d.http_auth->SetSettings(d.options.http_auth);
    d.rtsp_auth = std::make_unique<Authenticator>(d.realm, d.options.users);
    d.rtsp_auth->SetSettings(d.options.rtsp_auth);
    d.media = std::make_unique<MediaLibrary>(d.options.media_dir.empty() ? CAMSIM_MEDIA_DIR
                                                                         : d.options.media_dir);
    if (!d.Listen(error))
        return false;
    // Clients learn the RTSP port from the parameters, so they must name the real one.
    d.params.Set("Network.RTSP.Port", std::to_string(d.rtsp_port));
    d.work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
        d.io.get_executor());
    d.Housekeeping();
    // One thread keeps every handler serial; the I/O-side state relies on that. Pacing comes
    // from timers, so the thread count does not grow with the number of streams.
    d.threads.emplace_back([&d] { d.io.run(); });
    return true;
}

void Simulator::Stop() {
    Impl& d = *impl_;
    if (d.threads.empty())
        return;
    asio::post(d.io, [&d] {
        d.down = true;
        d.stopping = true;
        asio::error_code ec;
        if (d.http_acceptor)
            d.http_acceptor->close(ec);
        if (d.rtsp_acceptor)
            d.rtsp_acceptor->close(ec);
        d.housekeeping.cancel();
        d.restart_timer.cancel();
        std::vector<std::string> ids;
        for (const auto& [id, s] : d.sessions)
            ids.push_back(id);
        for (const auto& id : ids)
            d.DestroySession(id, true);
        for (auto& w : d.connections) {
            if (auto c = w.lock())
                c->Close();
        }
        d.connections.clear();
        for (auto& [k, w] : d.multicast_streams) {
            if (auto s = w.lock())
                s->Stop(true);
        }
        d.work.reset();
    });
    // The loop ends once no handler is left; a test must never hang on work that slipped past
    // the shutdown, so after a grace period the loop is stopped regardless.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!d.io.stopped() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!d.io.stopped()) {
        std::fprintf(stderr, "camsim: work still pending 5 s after stop; stopping the loop\n");
        d.io.stop();
    }
    for (auto& t : d.threads)
        t.join();
    d.threads.clear();
    d.io.stop();
}

uint16_t Simulator::HttpPort() const {
    return impl_->http_port;
}
uint16_t Simulator::RtspPort() const {
    return impl_->rtsp_port;
}
std::string Simulator::Realm() const {
    return impl_->realm;
}
ParamDb& Simulator::Params() {
    return impl_->params;
}
PtzHead& Simulator::Ptz() {
    return impl_->ptz;
}
Authenticator& Simulator::HttpAuth() {
    return *impl_->http_auth;
}
Authenticator& Simulator::RtspAuth() {
    return *impl_->rtsp_auth;
}

void Simulator::SetHttpFault(const std::string& path, const Fault& fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->http_faults.push_back({path, fault});
}

void Simulator::SetRtspFault(const std::string& method, const Fault& fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->rtsp_faults.push_back({method, fault});
}

void Simulator::ClearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->http_faults.clear();
    impl_->rtsp_faults.clear();
    impl_->rtp_faults = {};
    impl_->live_rtp_faults = {};
    impl_->media_stopped = false;
    impl_->ignore_keepalives = false;
}

void Simulator::SetRtpFaults(const RtpFaultPlan& plan) {
    std::lock_guard lock(impl_->mutex);
    impl_->rtp_faults = plan;
}

void Simulator::SetLiveRtpFaults(const RtpFaultPlan& plan) {
    std::lock_guard lock(impl_->mutex);
    impl_->live_rtp_faults = plan;
}

void Simulator::StopMedia(bool stopped) {
    std::lock_guard lock(impl_->mutex);
    impl_->media_stopped = stopped;
}

void Simulator::IgnoreKeepAlives(bool ignore) {
    std::lock_guard lock(impl_->mutex);
    impl_->ignore_keepalives = ignore;
}

void Simulator::SetSessionTimeout(std::chrono::seconds timeout) {
    std::lock_guard lock(impl_->mutex);
    impl_->session_timeout = timeout;
}

void Simulator::CloseAllConnections() {
    Impl& d = *impl_;
    std::promise<void> done;
    asio::post(d.io, [&d, &done] {
        for (auto& w : d.connections) {
            if (auto c = w.lock())
                c->Close();
        }
        d.connections.clear();
        done.set_value();
    });
    done.get_future().wait();
}

void Simulator::Restart(std::chrono::milliseconds downtime) {
    Impl& d = *impl_;
    std::promise<void> done;
    asio::post(d.io, [&d, &done, downtime] {
        d.down = true;
        asio::error_code ec;
        d.http_acceptor->close(ec);
        d.rtsp_acceptor->close(ec);
        std::vector<std::string> ids;
        for (const auto& [id, s] : d.sessions)
            ids.push_back(id);
        // A rebooting device says no goodbye.
        for (const auto& id : ids)
            d.DestroySession(id, false);
        for (auto& w : d.connections) {
            if (auto c = w.lock())
                c->Close();
        }
        d.connections.clear();
        d.tunnels.clear();
        d.http_auth->ExpireNonces();
        d.rtsp_auth->ExpireNonces();
        d.restart_timer.expires_after(downtime);
        d.restart_timer.async_wait([&d](asio::error_code e) {
            if (!e)
                d.Relisten();
        });
        done.set_value();
    });
    done.get_future().wait();
}

void Simulator::ExpireNonces() {
    impl_->http_auth->ExpireNonces();
    impl_->rtsp_auth->ExpireNonces();
}

void Simulator::SetParam(const std::string& name, const std::string& value) {
    impl_->params.Set(name, value);
}

Counters Simulator::GetCounters() const {
    std::lock_guard lock(impl_->mutex);
    Counters c;
    c.http_requests = impl_->http_counts;
    c.rtsp_requests = impl_->rtsp_counts;
    for (const auto& s : impl_->stream_stats)
        c.streams.push_back(*s);
    c.connections_accepted = impl_->accepted;
    return c;
}

std::vector<std::string> Simulator::HttpRequestLog() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->http_log.begin(), impl_->http_log.end()};
}

size_t Simulator::ActiveSessions() const {
    Impl& d = *impl_;
    if (d.threads.empty())
        return 0;
    std::promise<size_t> count;
    asio::post(d.io, [&d, &count] { count.set_value(d.sessions.size()); });
    return count.get_future().get();
}

}  // namespace camsim
