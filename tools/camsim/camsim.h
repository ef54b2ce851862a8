// camsim: a simulated network camera for tests and benchmarks. It serves the camera's HTTP
// interface (parameters, motion JPEG, RTSP tunnelling) and its RTSP/RTP server on loopback, with
// byte-level control over every answer and fault injection driven by the test.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "auth.h"
#include "param_db.h"
#include "ptz.h"
#include "rtp_packetizer.h"

namespace camsim {

class MotionFeed;

// One video frame whose RTP packets have all been handed to the kernel (over UDP on loopback the
// last one is then in the receiver's socket buffer).
struct FrameSent {
    uint32_t ssrc = 0;
    size_t clip_index = 0;
    std::span<const uint8_t> data;  // the clip's frame, valid while the simulator runs
    std::chrono::steady_clock::time_point at;
};

struct Options {
    // A profile name ("fixed", "ptz-dome", "encoder-4ch", "audio-io") looked up in profile_dir, or
    // a path to a profile file.
    std::string profile = "fixed";
    std::string profile_dir;  // empty: the profiles committed beside the simulator's sources
    std::string media_dir;    // empty: tests/data of the source tree
    std::string bind_address = "127.0.0.1";
    uint16_t http_port = 0;  // 0: any free port
    uint16_t rtsp_port = 0;
    std::vector<User> users{{"root", "pass", AccessLevel::kAdmin}};
    AuthSettings http_auth{};
    AuthSettings rtsp_auth{AuthSchemes::kBoth, false, std::chrono::seconds(0)};
    // RTSP inside the HTTP tunnel asks for its own credentials only when set, or when the
    // parameter Network.RTSP.AuthenticateOverHTTP is yes (the tunnel's HTTP requests are
    // authenticated anyway).
    bool rtsp_auth_over_http = false;
    std::chrono::seconds session_timeout{60};
    std::chrono::milliseconds rtcp_interval{5000};
    bool as_fast_as_possible = false;  // no real-time pacing (benchmarks)
    bool print_requests = false;       // "request GET /path?query" on stdout, each HTTP request
    PacketizerOptions packetizer{};
    // Called on the sending thread after each video frame; benchmarks time receivers from it.
    std::function<void(const FrameSent&)> on_frame_sent;
};

// What to do with matching requests instead of answering normally.
struct Fault {
    // RTSP only, instead of the answer and for as long as the connection lasts: kFlood sends
    // complete interleaved frames on channel 7 every 10 ms; kDripHeader an answer whose
    // "X-Pad:" header never ends, kDripBody one announcing "Content-Length: 1000000", each
    // dripping one byte every 50 ms. kStall answers as usual, but the connection then sends only
    // after_bytes more bytes (the answer, a stream, interleaved media) and stays open, silent.
    // HTTP only: kStopReading withholds the answer and reads nothing more from the connection,
    // which stays open, so a client writing a body (an audio POST) blocks once the buffers fill.
    enum class Kind {
        kStatus,
        kClose,
        kWithhold,
        kDelay,
        kFlood,
        kDripHeader,
        kDripBody,
        kStall,
        kStopReading
    };
    Kind kind = Kind::kStatus;
    int status = 503;                    // kStatus
    std::chrono::milliseconds delay{0};  // kDelay
    uint64_t after_bytes = 0;            // kStall
    int count = -1;                      // requests affected; -1 = until cleared
    // HTTP only: the request's query must contain this text (empty: any query), so one
    // parameter value can be refused while the rest of param.cgi answers normally.
    std::string query_contains;
};

// Packet faults by packet ordinal within one RTP stream (0 = first packet sent).
struct RtpFaultPlan {
    std::set<uint64_t> drop;
    std::set<uint64_t> duplicate;
    std::set<uint64_t> reorder;  // packet n is sent after packet n+1
    // Every Nth packet (0: none), for SetLiveRtpFaults.
    uint32_t drop_every = 0;
    uint32_t duplicate_every = 0;
    uint32_t reorder_every = 0;
};

struct StreamStats {
    std::string session;
    std::string transport;  // "udp", "tcp", "http", "multicast"
    std::string codec;
    uint64_t rtp_packets = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t rtcp_sr = 0;
    uint64_t rtcp_rr_received = 0;
    bool active = false;
    int camera = 0;              // video input, from 1
    std::string query;           // as the client asked for the stream
    int64_t first_frame_ms = 0;  // wall clock (ms since 1970) of the first and last frame sent
    int64_t last_frame_ms = 0;
};

// One POST to transmit.cgi: its content type, announced and received body bytes, and whether
// the camera answered it (it does once the announced length has arrived).
struct AudioUpload {
    std::string content_type;
    uint64_t announced = 0;
    uint64_t received = 0;
    bool answered = false;
};

// The storage card as disks/list.cgi shows it (edge.cpp).
enum class CardState { kOk, kLocked, kReadOnly, kFailed, kAbsent };

// The device clock runs offset ahead of this host's (negative: behind). date.cgi tells the local
// time of a zone that far east of UTC; time.cgi the UTC time, unless the firmware is too old for
// it (time_api). An unreadable clock answers both with nonsense.
struct DeviceClock {
    std::chrono::milliseconds offset{0};
    std::chrono::minutes zone{0};
    bool readable = true;
    bool time_api = true;
};

struct Counters {
    std::map<std::string, uint64_t> http_requests;  // by path (no query)
    std::map<std::string, uint64_t> rtsp_requests;  // by method
    std::vector<StreamStats> streams;               // every stream since start
    uint64_t connections_accepted = 0;
};

class Simulator {
  public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Loads the profile, binds both ports and starts the I/O threads.
    bool Start(std::string* error = nullptr);
    void Stop();

    uint16_t HttpPort() const;
    uint16_t RtspPort() const;
    std::string Realm() const;

    ParamDb& Params();
    PtzHead& Ptz();
    Authenticator& HttpAuth();
    Authenticator& RtspAuth();

    // Faults. Paths are matched without the query; an empty path or method matches all.
    void SetHttpFault(const std::string& path, const Fault& fault);
    void SetRtspFault(const std::string& method, const Fault& fault);
    void ClearFaults();
    void SetRtpFaults(const RtpFaultPlan& plan);  // streams set up afterwards
    // The every-Nth rules of the plan for every packet from now on of every RTP stream over UDP
    // or multicast, those already running too (a lossy network for a while); ClearFaults ends it.
    void SetLiveRtpFaults(const RtpFaultPlan& plan);
    // Sessions stay, RTP stops; the camera's recording on its card goes on.
    void StopMedia(bool stopped);
    void IgnoreKeepAlives(bool ignore);
    void SetSessionTimeout(std::chrono::seconds timeout);
    void CloseAllConnections();
    // A port on the bind address whose connects never complete (the listener's queue is full,
    // so the kernel drops each SYN), for clients that must give up on a connect.
    uint16_t UnansweredPort();
    // Connects of this host that wait on that port (SYN_SENT in /proc/net/tcp).
    size_t UnansweredConnects();
    // Bytes that wait in the HTTP port's connections, unread by camsim or unsent by this host's
    // clients (rx_queue and tx_queue in /proc/net/tcp): what a kStopReading hold piles up.
    uint64_t QueuedHttpBytes();
    // Drops every connection and session and refuses connections for the downtime, as a device
    // that reboots; parameters survive.
    void Restart(std::chrono::milliseconds downtime);
    void ExpireNonces();  // next Digest answer with an old nonce gets stale=TRUE
    void SetParam(const std::string& name, const std::string& value);
    // Another sender on the video group (Network.RTP.R0.VideoAddress and a fixed VideoPort), or
    // with "audio=1" on the audio group, from the camera's address, streaming the media.amp
    // query given; it runs until Stop.
    bool AddMulticastSender(const std::string& query);
    // Digital IO, ports numbered from 1 as in input.cgi and output.cgi. A changed input is sent
    // to every open monitor stream; with SplitIoRecords each monitor part goes out as two TCP
    // segments cut inside its first record ("IO0:" then "/").
    void SetInput(int port, bool active);
    bool OutputActive(int port) const;
    void SplitIoRecords(bool split);
    // What the motion data stream reports (motion.h).
    MotionFeed& Motion();
    void SetCard(CardState state);
    void SetDeviceClock(const DeviceClock& clock);

    Counters GetCounters() const;
    // Targets (path and query, as sent) of the HTTP requests received, oldest first, including
    // those answered by a fault or a challenge; the newest kHttpLogSize are kept.
    std::vector<std::string> HttpRequestLog() const;
    static constexpr size_t kHttpLogSize = 1000;
    size_t ActiveSessions() const;
    std::vector<AudioUpload> AudioUploads() const;
    // The bytes of every upload in arrival order (the first 32 MiB).
    std::string AudioReceived() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace camsim
