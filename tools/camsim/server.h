// Internals of the simulator: connections, RTSP sessions and RTP streams on one io_context.
// Everything below runs on the I/O thread(s) under Impl::mutex unless it says otherwise.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "media.h"
#include "message.h"
#include "motion.h"

namespace camsim {

class Connection;
class Stream;
struct Session;
struct IoPorts;
struct EdgeState;

// Where RTSP replies and interleaved media of one control channel go: the RTSP connection itself,
// or the GET side of an HTTP tunnel.
struct RtspChannel {
    std::weak_ptr<Connection> out;
    std::string pending;  // request bytes not yet parsed
    bool tunnelled = false;
    std::string cookie;
    std::vector<std::string> sessions;  // ids created through this channel
};

// Parameters of one video stream resolved from the URL and stream profile.
struct StreamRequest {
    Codec codec = Codec::kH264;
    int camera = 1;
    int width = 0, height = 0;
    int fps = 0;  // 0 = clip rate
    int compression = 30;
    uint64_t duration_s = 0;
    uint64_t max_frames = 0;
    std::string query;      // the query as the client sent it, for control URLs
    std::string recording;  // a playback of this recording id (edge.h)
    int speed = 1;          // frames go out this many times faster than real time
    bool audio = false;     // "audio=1": the description offers an audio track (multicast only)
};

struct Transport {
    enum class Kind { kUdp, kTcp, kMulticast } kind = Kind::kUdp;
    uint16_t client_rtp = 0, client_rtcp = 0;
    uint8_t channel_rtp = 0, channel_rtcp = 1;
};

struct Track {
    int number = 1;
    std::string control_url;
    Transport transport;
    std::shared_ptr<Stream> stream;
};

struct Session {
    std::string id;
    std::chrono::steady_clock::time_point last_activity;
    std::chrono::steady_clock::time_point created;
    std::weak_ptr<RtspChannel> channel;
    std::vector<Track> tracks;
    bool playing = false;
};

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // kPaused keeps further requests buffered while a delayed answer is pending.
    // kUpload takes a transmit.cgi body until upload_left bytes have arrived.
    enum class Mode { kRequests, kPaused, kStreaming, kTunnelGet, kTunnelPost, kWithheld, kUpload };

    Connection(Simulator::Impl& impl, asio::ip::tcp::socket socket, bool rtsp_port);
    void Start();
    void ProcessBuffered() { OnData(); }
    // Reads nothing more; the connection stays open until closed from this side.
    void StopReading();
    void Send(std::string data);
    // Media: dropped whole when the client cannot keep up, as a camera does. `written` runs once
    // the bytes are handed to the kernel.
    bool SendMedia(const std::vector<uint8_t>& data, std::function<void()> written = {});
    void CloseAfterWrite();
    void Close();
    bool Closed() const { return closed_; }
    asio::ip::address PeerAddress() const { return peer_.address(); }
    asio::ip::address LocalAddress() const { return local_.address(); }
    uint16_t LocalPort() const { return local_.port(); }
    bool OnRtspPort() const { return rtsp_port_; }
    asio::steady_timer& Timer() { return timer_; }
    Mode mode = Mode::kRequests;
    std::shared_ptr<RtspChannel> rtsp;  // direct RTSP connections and tunnel GETs
    Base64Stream tunnel_decoder;
    std::string tunnel_cookie;
    uint64_t upload_left = 0;
    Request upload_request;
    std::optional<uint64_t> send_allowance;  // bytes still sent; then silence (Fault::kStall)

  private:
    void DoRead();
    void OnData();
    void DoWrite();
    void Queue(std::string data, std::function<void()> written);

    Simulator::Impl& impl_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    asio::ip::tcp::endpoint peer_, local_;
    bool rtsp_port_;
    std::array<char, 16384> read_buf_{};
    std::string in_;
    struct Pending {
        std::string bytes;
        std::function<void()> written;
    };
    std::deque<Pending> out_;
    size_t out_bytes_ = 0;
    bool writing_ = false;
    bool close_after_write_ = false;
    bool closed_ = false;
    bool reading_stopped_ = false;
};

// Sends one RTP stream (and its RTCP) for a track: pacing, packetizing, faults, counters.
class Stream : public std::enable_shared_from_this<Stream> {
  public:
    Stream(Simulator::Impl& impl, std::shared_ptr<const Clip> clip, const StreamRequest& req,
           const PacketizerOptions& opts, std::shared_ptr<StreamStats> stats);
    ~Stream();

    // Sinks; call one before Play.
    bool OpenUdp(const asio::ip::address& client, uint16_t client_rtp, uint16_t client_rtcp,
                 const asio::ip::address& local);
    void UseInterleaved(std::weak_ptr<Connection> conn, uint8_t rtp_channel, uint8_t rtcp_channel);
    bool OpenMulticast(const asio::ip::address& group, uint16_t port);
    // Audio instead of the clip's video: these G.711 mu-law bytes in a loop, 20 ms a packet on
    // an 8000 Hz clock (multicast.cpp). Call before Play.
    void UseAudio(std::vector<uint8_t> samples);

    uint16_t ServerRtpPort() const { return server_rtp_port_; }
    uint32_t Ssrc() const { return ssrc_; }
    uint8_t PayloadType() const;
    const Clip& GetClip() const { return *clip_; }
    const StreamRequest& Request() const { return req_; }
    // A playback: the next frame is this one of the clip, and the stream ends after frames.
    void Seek(size_t clip_pos, uint64_t frames) {
        clip_pos_ = clip_pos;
        req_.max_frames = frames;
    }

    // Starts (or resumes) sending; returns the sequence number and timestamp of the next packet.
    std::pair<uint16_t, uint32_t> Play();
    void Pause();
    void Stop(bool send_bye);  // ends the stream for good
    void ForceKeyFrame() { clip_pos_ = 0; }
    void SetFaults(const RtpFaultPlan& plan) { faults_ = plan; }
    void OnClientRtcp(std::span<const uint8_t> data);
    std::function<void()> on_rtcp_received;  // keep-alive hook
    int sharers = 0;                         // sessions using a multicast stream

  private:
    void ScheduleNext();
    void SendFrame();
    void SendRtcp(bool bye);
    void Emit(const std::vector<uint8_t>& packet, bool rtcp);
    void SendRtpPacket(std::vector<uint8_t> packet);
    void ReceiveRtcp();
    uint32_t TimestampAt(std::chrono::steady_clock::time_point t) const;

    Simulator::Impl& impl_;
    std::shared_ptr<const Clip> clip_;
    StreamRequest req_;
    PacketizerOptions opts_;
    std::shared_ptr<StreamStats> stats_;
    RtpFaultPlan faults_;

    enum class Sink { kNone, kUdp, kTcp, kMulticast } sink_ = Sink::kNone;
    std::unique_ptr<asio::ip::udp::socket> rtp_socket_, rtcp_socket_;
    asio::ip::udp::endpoint rtp_dest_, rtcp_dest_;
    asio::ip::udp::endpoint rtcp_from_;
    std::array<uint8_t, 2048> rtcp_buf_{};
    std::weak_ptr<Connection> conn_;
    uint8_t rtp_channel_ = 0, rtcp_channel_ = 1;
    uint16_t server_rtp_port_ = 0;

    asio::steady_timer frame_timer_;
    asio::steady_timer rtcp_timer_;
    uint32_t ssrc_;
    uint16_t seq_;
    uint32_t ts_base_;
    std::chrono::steady_clock::time_point origin_;
    bool started_ = false, playing_ = false, stopped_ = false;
    uint64_t slot_ = 0;    // frame slot on the stream clock (origin + slot / fps)
    size_t clip_pos_ = 0;  // next frame of the clip
    uint64_t frames_sent_ = 0;
    uint64_t packet_ordinal_ = 0;
    std::vector<uint8_t> held_;  // packet held back for a reorder fault
    // Over TCP a picture's packets are written together, as one send (empty when not sending).
    std::vector<uint8_t> picture_;
    uint32_t live_drop_ = 0, live_duplicate_ = 0, live_reorder_ = 0;  // Impl::live_rtp_faults
    uint32_t packets_total_ = 0, octets_total_ = 0;
    bool first_sr_sent_ = false;
    int fps_;
    uint64_t clock_rate_ = 90000;
    std::vector<uint8_t> audio_;
    size_t audio_pos_ = 0;
    RtpPayload AudioPayload();
};

struct FaultEntry {
    std::string key;
    Fault fault;
};

struct Simulator::Impl {
    explicit Impl(Options o);

    Options options;
    asio::io_context io;
    std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::thread> threads;
    std::unique_ptr<asio::ip::tcp::acceptor> http_acceptor, rtsp_acceptor;
    // UnansweredPort: a listener never accepted from, and the connection that fills its queue.
    std::unique_ptr<asio::ip::tcp::acceptor> unanswered;
    std::unique_ptr<asio::ip::tcp::socket> unanswered_filler;
    uint16_t http_port = 0, rtsp_port = 0;
    asio::steady_timer housekeeping{io};
    asio::steady_timer restart_timer{io};

    ParamDb params;
    PtzHead ptz;
    std::unique_ptr<Authenticator> http_auth, rtsp_auth;
    std::unique_ptr<MediaLibrary> media;
    std::string realm;
    MotionFeed motion;  // guards itself

    // I/O-thread state.
    std::vector<std::weak_ptr<Connection>> connections;
    std::map<std::string, std::shared_ptr<Session>> sessions;
    std::map<std::string, std::weak_ptr<RtspChannel>> tunnels;  // by x-sessioncookie
    std::map<std::string, std::weak_ptr<Stream>> multicast_streams;
    std::vector<std::shared_ptr<Stream>> extra_senders;  // multicast.cpp
    bool down = false;                                   // restarting
    bool stopping = false;  // no handler may schedule new work once set

    // Shared with API callers.
    mutable std::mutex mutex;
    std::vector<FaultEntry> http_faults, rtsp_faults;
    RtpFaultPlan rtp_faults;
    RtpFaultPlan live_rtp_faults;  // only its every-Nth rules count
    bool media_stopped = false;
    bool ignore_keepalives = false;
    std::chrono::seconds session_timeout{60};
    std::map<std::string, uint64_t> http_counts, rtsp_counts;
    std::deque<std::string> http_log;
    std::vector<std::shared_ptr<StreamStats>> stream_stats;
    uint64_t accepted = 0;
    std::shared_ptr<IoPorts> io_ports;  // made at first use (io_ports.cpp)
    std::shared_ptr<EdgeState> edge;    // made at first use (edge.cpp)
    std::chrono::system_clock::time_point started_at = std::chrono::system_clock::now();
    std::vector<AudioUpload> audio_uploads;
    std::string audio_received;

    bool MediaStopped() {
        std::lock_guard lock(mutex);
        return media_stopped;
    }

    bool Listen(std::string* error);
    void Accept(asio::ip::tcp::acceptor& acceptor, bool rtsp_port);
    void Housekeeping();
    void Relisten();
    std::optional<Fault> TakeFault(std::vector<FaultEntry>& list, const std::string& key,
                                   const std::string& query = {});

    // HTTP side (http_handlers.cpp).
    void HandleHttp(const std::shared_ptr<Connection>& conn, const Request& req,
                    bool after_delay = false);
    std::string HttpResponse(const Request& req, int status, const std::string& content_type,
                             const std::string& body, const std::string& extra_headers,
                             bool* keep_alive);
    void StartTunnelGet(const std::shared_ptr<Connection>& conn, const Request& req);
    void FeedTunnelPost(const std::shared_ptr<Connection>& conn, std::string_view text);

    // Audio (audio.cpp).
    void FeedAudioUpload(std::string_view bytes);
    void FinishAudioUpload(const std::shared_ptr<Connection>& conn);

    // RTSP side (rtsp_handlers.cpp).
    void FeedRtsp(const std::shared_ptr<RtspChannel>& channel, std::string_view bytes);
    // Answers one request through the method table (rtsp_handlers.cpp).
    std::string HandleRtsp(const std::shared_ptr<RtspChannel>& channel, const Request& req);
    // The hostile answers of Fault::kFlood, kDripHeader and kDripBody.
    void Trickle(std::weak_ptr<Connection> out, Fault::Kind kind, const std::string& cseq);
    void DestroySession(const std::string& id, bool send_bye);
    void ChannelClosed(const std::shared_ptr<RtspChannel>& channel);
    std::optional<StreamRequest> ResolveStream(const std::string& query, const std::string& path,
                                               int* status);
};

const char* ReasonPhrase(int status);
// What multicast audio streams (multicast.cpp).
std::vector<uint8_t> MulticastAudioSamples();
void AudioReceive(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn,
                  const Request& req);
void AudioTransmit(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn,
                   const Request& req);

}  // namespace camsim
