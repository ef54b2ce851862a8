// One accepted TCP connection: reads HTTP or RTSP requests, writes answers and media in order.
#include "server.h"

namespace camsim {

namespace {

// A camera drops media rather than buffering without bound for a slow client.
constexpr size_t kMaxQueuedMediaBytes = 4 << 20;
constexpr size_t kMaxGather = 64;  // IOV_MAX is 1024

}  // namespace

Connection::Connection(Simulator::Impl& impl, asio::ip::tcp::socket socket, bool rtsp_port)
    : impl_(impl), socket_(std::move(socket)), timer_(impl.io), rtsp_port_(rtsp_port) {
    asio::error_code ec;
    peer_ = socket_.remote_endpoint(ec);
    local_ = socket_.local_endpoint(ec);
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

void Connection::Start() {
    DoRead();
}

void Connection::DoRead() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(read_buf_), [self](asio::error_code ec, size_t n) {
        if (ec) {
            self->Close();
            return;
        }
        self->in_.append(self->read_buf_.data(), n);
        self->OnData();
        if (!self->closed_ && !self->reading_stopped_)
            self->DoRead();
    });
}

void Connection::StopReading() {
    reading_stopped_ = true;
    // No read is pending to hold this connection alive any more: the timer does, until Close.
    timer_.expires_at(std::chrono::steady_clock::time_point::max());
    timer_.async_wait([self = shared_from_this()](asio::error_code) {});
}

void Connection::OnData() {
    auto self = shared_from_this();
    while (!closed_ && !in_.empty()) {
        switch (mode) {
            case Mode::kPaused:
                return;
            case Mode::kStreaming:
            case Mode::kWithheld:
                in_.clear();  // nothing more is read from this client
                return;
            case Mode::kTunnelGet:
                // Clients send nothing more on the GET; ignore whatever arrives.
                in_.clear();
                return;
            case Mode::kTunnelPost: {
                // The POST body is Base64; a client may also start a new POST request on the
                // same connection after the announced body length.
                if (in_.rfind("POST ", 0) == 0) {
                    Request req;
                    auto r = ParseRequest(in_, &req, 16384, 1 << 20, false);
                    if (r.status == ParseStatus::kNeedMore)
                        return;
                    if (r.status == ParseStatus::kBad) {
                        Close();
                        return;
                    }
                    in_.erase(0, r.consumed);
                    if (auto cookie = req.Header("x-sessioncookie"))
                        tunnel_cookie = *cookie;
                    continue;
                }
                std::string text;
                text.swap(in_);
                impl_.FeedTunnelPost(self, text);
                return;
            }
            case Mode::kUpload: {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(in_.size(), upload_left));
                impl_.FeedAudioUpload(std::string_view(in_).substr(0, n));
                in_.erase(0, n);
                upload_left -= n;
                if (upload_left == 0)
                    impl_.FinishAudioUpload(self);
                continue;
            }
            case Mode::kRequests:
                break;
        }
        if (rtsp && !rtsp->tunnelled) {
            // Direct RTSP: requests and client '$' frames share the byte stream.
            std::string bytes;
            bytes.swap(in_);
            impl_.FeedRtsp(rtsp, bytes);
            return;
        }
        // The first request decides whether this connection speaks RTSP or HTTP.
        size_t line_end = in_.find('\n');
        if (line_end == std::string::npos) {
            if (in_.size() > 16384)
                Close();
            return;
        }
        std::string_view first(in_.data(), line_end);
        if (first.find("RTSP/1.0") != std::string_view::npos) {
            if (!rtsp_port_) {
                Close();
                return;
            }
            rtsp = std::make_shared<RtspChannel>();
            rtsp->out = self;
            continue;
        }
        Request req;
        bool is_post = in_.rfind("POST ", 0) == 0;
        bool tunnel_post = false;
        if (is_post) {
            // A tunnel POST is recognised by its content type; its body is never complete.
            Request head;
            auto hr = ParseRequest(in_, &head, 16384, 1 << 20, false);
            if (hr.status == ParseStatus::kComplete) {
                auto ct = head.Header("Content-Type");
                tunnel_post = ct && IEquals(Trim(*ct), "application/x-rtsp-tunnelled");
                // An audio upload's body is the loudspeaker's stream, read as it arrives.
                tunnel_post =
                    tunnel_post || SplitUrl(head.target).path == "/axis-cgi/audio/transmit.cgi";
            }
        }
        auto r = ParseRequest(in_, &req, 16384, 1 << 20, !tunnel_post);
        if (r.status == ParseStatus::kNeedMore)
            return;
        if (r.status == ParseStatus::kBad) {
            Send(
                "HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n"
                "Connection: close\r\n\r\nBad Request\n");
            CloseAfterWrite();
            return;
        }
        in_.erase(0, r.consumed);
        impl_.HandleHttp(self, req);
    }
}

void Connection::Send(std::string data) {
    Queue(std::move(data), {});
}

void Connection::Queue(std::string data, std::function<void()> written) {
    if (send_allowance) {
        data.resize(static_cast<size_t>(std::min<uint64_t>(data.size(), *send_allowance)));
        *send_allowance -= data.size();
    }
    if (closed_ || data.empty())
        return;
    out_bytes_ += data.size();
    out_.push_back({std::move(data), std::move(written)});
    if (!writing_)
        DoWrite();
}

bool Connection::SendMedia(const std::vector<uint8_t>& data, std::function<void()> written) {
    if (closed_)
        return false;
    if (out_bytes_ > kMaxQueuedMediaBytes)
        return false;
    Queue(std::string(data.begin(), data.end()), std::move(written));
    return true;
}

void Connection::DoWrite() {
    if (out_.empty() || closed_) {
        writing_ = false;
        if (close_after_write_ && !closed_)
            Close();
        return;
    }
    writing_ = true;
    // Everything queued goes in one gathered write: a call per packet would cost a system call
    // each and, with the socket's own coalescing, hold small writes back.
    std::vector<asio::const_buffer> buffers;
    const size_t count = std::min(out_.size(), kMaxGather);
    for (size_t i = 0; i < count; ++i)
        buffers.emplace_back(asio::buffer(out_[i].bytes));
    auto self = shared_from_this();
    asio::async_write(socket_, buffers, [self, count](asio::error_code ec, size_t) {
        for (size_t i = 0; i < count; ++i) {
            self->out_bytes_ -= self->out_.front().bytes.size();
            auto written = std::move(self->out_.front().written);
            self->out_.pop_front();
            if (!ec && written)
                written();
        }
        if (ec) {
            self->Close();
            return;
        }
        self->DoWrite();
    });
}

void Connection::CloseAfterWrite() {
    close_after_write_ = true;
    if (!writing_)
        Close();
}

void Connection::Close() {
    if (closed_)
        return;
    closed_ = true;
    asio::error_code ec;
    timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    if (rtsp)
        impl_.ChannelClosed(rtsp);
}

}  // namespace camsim
