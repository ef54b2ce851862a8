// RTP/RTCP sending for one track: real-time pacing on the stream clock, faults and counters.
#include <cmath>

#include "h265_media.h"
#include "rtcp.h"
#include "server.h"

namespace camsim {

Stream::Stream(Simulator::Impl& impl, std::shared_ptr<const Clip> clip, const StreamRequest& req,
               const PacketizerOptions& opts, std::shared_ptr<StreamStats> stats)
    : impl_(impl),
      clip_(std::move(clip)),
      req_(req),
      opts_(opts),
      stats_(std::move(stats)),
      frame_timer_(impl.io),
      rtcp_timer_(impl.io),
      ssrc_(RandomU32()),
      seq_(static_cast<uint16_t>(RandomU32())),
      ts_base_(RandomU32()) {
    fps_ = req.fps > 0 ? std::min(req.fps, 60) : clip_->fps;
}

Stream::~Stream() {
    asio::error_code ec;
    if (rtp_socket_)
        rtp_socket_->close(ec);
    if (rtcp_socket_)
        rtcp_socket_->close(ec);
}

uint8_t Stream::PayloadType() const {
    if (!audio_.empty())
        return 0;  // G.711 mu-law
    return clip_->codec == Codec::kJpeg ? 26 : 96;
}

bool Stream::OpenUdp(const asio::ip::address& client, uint16_t client_rtp, uint16_t client_rtcp,
                     const asio::ip::address& local) {
    // An even RTP port with RTCP on the next one, from the ephemeral range.
    for (int attempt = 0; attempt < 64; ++attempt) {
        auto rtp = std::make_unique<asio::ip::udp::socket>(impl_.io);
        asio::error_code ec;
        rtp->open(local.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4(), ec);
        if (ec)
            return false;
        rtp->bind({local, 0}, ec);
        if (ec)
            return false;
        uint16_t port = rtp->local_endpoint().port();
        if (port % 2 != 0 || port == 65535)
            continue;
        auto rtcp = std::make_unique<asio::ip::udp::socket>(impl_.io);
        rtcp->open(local.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4(), ec);
        rtcp->bind({local, static_cast<uint16_t>(port + 1)}, ec);
        if (ec)
            continue;
        rtp_socket_ = std::move(rtp);
        rtcp_socket_ = std::move(rtcp);
        server_rtp_port_ = port;
        rtp_dest_ = {client, client_rtp};
        rtcp_dest_ = {client, client_rtcp};
        sink_ = Sink::kUdp;
        ReceiveRtcp();
        return true;
    }
    return false;
}

void Stream::UseInterleaved(std::weak_ptr<Connection> conn, uint8_t rtp_channel,
                            uint8_t rtcp_channel) {
    conn_ = std::move(conn);
    rtp_channel_ = rtp_channel;
    rtcp_channel_ = rtcp_channel;
    sink_ = Sink::kTcp;
}

bool Stream::OpenMulticast(const asio::ip::address& group, uint16_t port) {
    asio::error_code ec;
    rtp_socket_ = std::make_unique<asio::ip::udp::socket>(impl_.io);
    rtcp_socket_ = std::make_unique<asio::ip::udp::socket>(impl_.io);
    for (auto* s : {rtp_socket_.get(), rtcp_socket_.get()}) {
        s->open(asio::ip::udp::v4(), ec);
        if (ec)
            return false;
        // Multicast never leaves this host: loopback interface and TTL 0, whatever the
        // parameters say.
        s->set_option(
            asio::ip::multicast::outbound_interface(asio::ip::make_address_v4("127.0.0.1")), ec);
        s->set_option(asio::ip::multicast::hops(0), ec);
        s->set_option(asio::ip::multicast::enable_loopback(true), ec);
        s->bind({asio::ip::make_address_v4("127.0.0.1"), 0}, ec);
        if (ec)
            return false;
    }
    rtp_dest_ = {group, port};
    rtcp_dest_ = {group, static_cast<uint16_t>(port + 1)};
    server_rtp_port_ = port;
    sink_ = Sink::kMulticast;
    ReceiveRtcp();
    return true;
}

void Stream::ReceiveRtcp() {
    if (!rtcp_socket_)
        return;
    auto self = shared_from_this();
    rtcp_socket_->async_receive_from(
        asio::buffer(rtcp_buf_), rtcp_from_, [self](asio::error_code ec, size_t n) {
            if (ec || self->stopped_)
                return;
            self->OnClientRtcp(std::span<const uint8_t>(self->rtcp_buf_.data(), n));
            self->ReceiveRtcp();
        });
}

void Stream::OnClientRtcp(std::span<const uint8_t> data) {
    auto info = ParseRtcpCompound(data);
    if (!info.valid)
        return;
    {
        std::lock_guard lock(impl_.mutex);
        stats_->rtcp_rr_received += info.receiver_reports;
    }
    if (on_rtcp_received)
        on_rtcp_received();
}

uint32_t Stream::TimestampAt(std::chrono::steady_clock::time_point t) const {
    double secs = std::chrono::duration<double>(t - origin_).count();
    return ts_base_ + static_cast<uint32_t>(static_cast<int64_t>(std::floor(secs * clock_rate_)));
}

std::pair<uint16_t, uint32_t> Stream::Play() {
    auto now = std::chrono::steady_clock::now();
    if (!started_) {
        origin_ = now;
        slot_ = 0;
        started_ = true;
    } else if (!playing_ && !impl_.options.as_fast_as_possible) {
        // A live stream resumes at the present moment: the stream clock kept running.
        double secs = std::chrono::duration<double>(now - origin_).count();
        slot_ = std::max<uint64_t>(slot_, static_cast<uint64_t>(std::ceil(secs * fps_)));
    }
    uint32_t ts = ts_base_ + static_cast<uint32_t>(slot_ * clock_rate_ / fps_);
    if (!playing_ && !stopped_) {
        playing_ = true;
        {
            std::lock_guard lock(impl_.mutex);
            stats_->active = true;
        }
        // A shared (multicast) stream that already runs keeps its schedule.
        ScheduleNext();
    }
    return {seq_, ts};
}

void Stream::Pause() {
    playing_ = false;
    frame_timer_.cancel();
}

void Stream::Stop(bool send_bye) {
    if (stopped_)
        return;
    if (send_bye && started_)
        SendRtcp(true);
    stopped_ = true;
    playing_ = false;
    frame_timer_.cancel();
    rtcp_timer_.cancel();
    asio::error_code ec;
    if (rtp_socket_)
        rtp_socket_->close(ec);
    if (rtcp_socket_)
        rtcp_socket_->close(ec);
    std::lock_guard lock(impl_.mutex);
    stats_->active = false;
}

void Stream::ScheduleNext() {
    if (!playing_ || stopped_)
        return;
    auto self = shared_from_this();
    if (impl_.options.as_fast_as_possible) {
        asio::post(impl_.io, [self] { self->SendFrame(); });
        return;
    }
    auto due = origin_ +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(static_cast<double>(slot_) / (fps_ * req_.speed)));
    frame_timer_.expires_at(due);
    frame_timer_.async_wait([self](asio::error_code ec) {
        if (!ec)
            self->SendFrame();
    });
}

void Stream::SendFrame() {
    if (!playing_ || stopped_)
        return;
    bool media_stopped;
    {
        std::lock_guard lock(impl_.mutex);
        // Playback comes from the card, which StopMedia leaves alone.
        media_stopped = impl_.media_stopped && req_.recording.empty();
        live_drop_ = impl_.live_rtp_faults.drop_every;
        live_duplicate_ = impl_.live_rtp_faults.duplicate_every;
        live_reorder_ = impl_.live_rtp_faults.reorder_every;
    }
    if (!media_stopped && !clip_->frames.empty()) {
        const Frame& frame = clip_->frames[clip_pos_];
        std::vector<RtpPayload> payloads;
        switch (clip_->codec) {
            case Codec::kH264:
                payloads = PacketizeH264(frame.data, *clip_, opts_);
                break;
            case Codec::kMpeg4:
                payloads = PacketizeMpeg4(frame.data, *clip_, opts_);
                break;
            case Codec::kJpeg:
                payloads = PacketizeJpeg(frame.data, opts_);
                break;
            case Codec::kH265:
                payloads = PacketizeH265(frame.data, *clip_, opts_);
                break;
        }
        if (!audio_.empty())
            payloads = {AudioPayload()};
        RtpHeaderFields h;
        h.payload_type = PayloadType();
        h.ssrc = ssrc_;
        h.timestamp = ts_base_ + static_cast<uint32_t>(slot_ * clock_rate_ / fps_);
        uint64_t bytes = 0;
        for (const auto& p : payloads) {
            std::vector<uint8_t> packet;
            packet.reserve(12 + p.payload.size() + p.extension.size() + 4);
            h.sequence = seq_++;
            WriteRtpPacket(p, h, packet);
            bytes += packet.size();
            packets_total_++;
            octets_total_ += static_cast<uint32_t>(packet.size() - 12);
            SendRtpPacket(std::move(packet));
        }
        std::function<void()> stamp;
        if (impl_.options.on_frame_sent) {
            stamp = [on_sent = impl_.options.on_frame_sent,
                     sent = camsim::FrameSent{ssrc_, clip_pos_, frame.data, {}}] {
                auto at = sent;
                at.at = std::chrono::steady_clock::now();
                on_sent(at);
            };
        }
        if (!picture_.empty()) {
            // Stamped once the last byte is with the kernel, like a datagram's send.
            if (auto conn = conn_.lock(); conn && !conn->Closed())
                conn->SendMedia(picture_, std::move(stamp));
            picture_.clear();
        } else if (stamp) {
            stamp();
        }
        {
            const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
            std::lock_guard lock(impl_.mutex);
            stats_->first_frame_ms = stats_->first_frame_ms ? stats_->first_frame_ms : now_ms;
            stats_->last_frame_ms = now_ms;
            stats_->frames++;
            stats_->rtp_packets += payloads.size();
            stats_->bytes += bytes;
        }
        clip_pos_ = (clip_pos_ + 1) % clip_->frames.size();
        frames_sent_++;
        if (!first_sr_sent_) {
            first_sr_sent_ = true;
            SendRtcp(false);  // also arms the periodic reports
        }
    }
    slot_++;
    bool done = (req_.max_frames && frames_sent_ >= req_.max_frames) ||
                (req_.duration_s && slot_ >= req_.duration_s * static_cast<uint64_t>(fps_));
    if (done) {
        // The requested length is over: say goodbye, the session itself stays until TEARDOWN.
        Stop(true);
        return;
    }
    ScheduleNext();
}

void Stream::SendRtpPacket(std::vector<uint8_t> packet) {
    uint64_t n = packet_ordinal_++;
    // The live rules stand for a lossy network, which TCP would hide.
    const bool lossy = sink_ == Sink::kUdp || sink_ == Sink::kMulticast;
    auto every = [n, lossy](uint32_t k) { return lossy && k != 0 && n % k == k - 1; };
    if (faults_.drop.count(n) || every(live_drop_))
        return;
    if ((faults_.reorder.count(n) || every(live_reorder_)) && held_.empty()) {
        held_ = std::move(packet);
        return;
    }
    Emit(packet, false);
    if (faults_.duplicate.count(n) || every(live_duplicate_))
        Emit(packet, false);
    if (!held_.empty()) {
        Emit(held_, false);
        held_.clear();
    }
}

void Stream::Emit(const std::vector<uint8_t>& packet, bool rtcp) {
    asio::error_code ec;
    switch (sink_) {
        case Sink::kUdp:
        case Sink::kMulticast:
            if (rtcp) {
                rtcp_socket_->send_to(asio::buffer(packet), rtcp_dest_, 0, ec);
            } else {
                rtp_socket_->send_to(asio::buffer(packet), rtp_dest_, 0, ec);
            }
            break;
        case Sink::kTcp: {
            // $ | channel | 16-bit length | packet   (RFC 2326 10.12). RTP packets come only from
            // SendFrame, which sends the picture's packets together; RTCP goes out at once.
            std::vector<uint8_t> single;
            std::vector<uint8_t>& framed = rtcp ? single : picture_;
            framed.push_back('$');
            framed.push_back(rtcp ? rtcp_channel_ : rtp_channel_);
            framed.push_back(static_cast<uint8_t>(packet.size() >> 8));
            framed.push_back(static_cast<uint8_t>(packet.size()));
            framed.insert(framed.end(), packet.begin(), packet.end());
            if (rtcp) {
                if (auto conn = conn_.lock(); conn && !conn->Closed())
                    conn->SendMedia(framed);
            }
            break;
        }
        case Sink::kNone:
            break;
    }
}

void Stream::SendRtcp(bool bye) {
    if (stopped_)
        return;
    auto steady_now = std::chrono::steady_clock::now();
    auto wall_now = std::chrono::system_clock::now();
    SenderReport sr;
    sr.ssrc = ssrc_;
    sr.wall_clock = wall_now;
    // With pacing the stream clock is the real clock; without, the last frame's time stands.
    sr.rtp_timestamp = impl_.options.as_fast_as_possible
                           ? ts_base_ + static_cast<uint32_t>(slot_ * clock_rate_ / fps_)
                           : TimestampAt(steady_now);
    sr.packet_count = packets_total_;
    sr.octet_count = octets_total_;
    std::vector<uint8_t> packet = BuildSenderReport(sr, "camsim@localhost", bye);
    Emit(packet, true);
    {
        std::lock_guard lock(impl_.mutex);
        stats_->rtcp_sr++;
    }
    if (bye)
        return;
    auto self = shared_from_this();
    rtcp_timer_.expires_after(impl_.options.rtcp_interval);
    rtcp_timer_.async_wait([self](asio::error_code ec) {
        if (!ec)
            self->SendRtcp(false);
    });
}

}  // namespace camsim
