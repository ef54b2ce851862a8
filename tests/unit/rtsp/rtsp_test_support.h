// Doubles and builders shared by the RTSP tests: a hand-moved clock, fixed random bytes, a user
// that records what the client reports, and interleaved frames of RTP.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "rtsp/rtsp_answer_reader.h"
#include "rtsp/rtsp_client.h"
#include "rtsp/rtsp_interfaces.h"
#include "rtsp/stream_clock.h"

namespace vornak::test {

class CManualClock : public IStreamClock {
  public:
    TimeValue Now() override { return now; }
    uint64_t TickMs() override { return now / kTicksPerMs; }
    TimeValue now = 133000000000000000ULL;
};

class CFixedRandom : public IRandomSource {
  public:
    void Fill(void* buffer, size_t size) override { std::memset(buffer, 0x5A, size); }
};

class CRecordingUser : public IRTSPClientUserEx {
  public:
    bool OnRtspDescribeProcessed(const SessionDescription&) override { return acceptDescription; }
    void OnRtspPacketReceived(const CRTPPacket& packet) override {
        std::lock_guard lock(mutex_);
        sequences.push_back(packet.sequence);
        changed_.notify_all();
    }
    void OnRtspSessionClosed() override {
        std::lock_guard lock(mutex_);
        closed = true;
        changed_.notify_all();
    }
    void OnRtcpBye() override { ++byes; }
    bool OnRtspSetupProcessed(const char* destination, uint16_t port) override {
        std::lock_guard lock(mutex_);
        setupDestination = destination;
        setupPort = port;
        return true;
    }
    void OnRtspPlayProcessed(uint32_t rtpTime, uint16_t sequence) override {
        std::lock_guard lock(mutex_);
        playRtpTime = rtpTime;
        playSequence = sequence;
        changed_.notify_all();
    }
    bool WaitUntil(const std::function<bool()>& condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), condition);
    }

    bool acceptDescription = true;
    std::vector<uint16_t> sequences;
    bool closed = false;
    std::atomic<int> byes{0};
    std::string setupDestination;
    uint16_t setupPort = 0;
    uint32_t playRtpTime = 0;
    uint16_t playSequence = 0;

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

inline RTSPClientSettings CameraSettings() {
    RTSPClientSettings s;
    s.host = "cam";
    s.path = "/axis-media/media.amp?videocodec=h264";
    s.userName = "root";
    s.password = "pass";
    s.clientRtpPort = 3556;
    s.clientRtcpPort = 3557;
    return s;
}

inline std::string Method(const std::string& request) {
    return request.substr(0, request.find(' '));
}

inline std::string Cseq(const std::string& request) {
    const size_t at = request.find("CSeq: ");
    return request.substr(at + 6, request.find("\r\n", at) - at - 6);
}

// An RTP packet of the given size (header included) whose payload is '$' bytes, which must not
// confuse a reader looking for interleaved frames.
inline std::vector<uint8_t> Rtp(uint16_t sequence, size_t size = 40) {
    std::vector<uint8_t> p(size, '$');
    std::memset(p.data(), 0, std::min<size_t>(size, 12));
    p[0] = 0x80;
    p[1] = 96;
    p[2] = static_cast<uint8_t>(sequence >> 8);
    p[3] = static_cast<uint8_t>(sequence);
    return p;
}

// "$", channel, 16-bit length, body.
inline std::string Frame(uint8_t channel, const std::vector<uint8_t>& body) {
    std::string out = {'$', static_cast<char>(channel), static_cast<char>(body.size() >> 8),
                       static_cast<char>(body.size() & 0xFF)};
    out.append(body.begin(), body.end());
    return out;
}

// The media a camera sends between a client's stop and its answer to TEARDOWN: the rest of the
// frame the stop cut (`cut` from byte 700 on; read from its middle, it is plain junk), then more
// frames than an answer's header block may hold.
struct MediaBeforeTeardown {
    std::string cut;
    std::string more;
};
inline MediaBeforeTeardown MediaAroundAStop(uint8_t channel) {
    std::vector<uint8_t> body = Rtp(2, 1400);
    std::fill(body.begin() + 12, body.end(), 'x');
    MediaBeforeTeardown media{Frame(channel, body), {}};
    for (uint16_t i = 3; media.more.size() <= CRTSPAnswerReader::kMaxHeaderBytes; ++i) {
        media.more += Frame(channel, Rtp(i, 1400));
    }
    return media;
}

inline std::vector<uint8_t> FrameBytes(uint8_t channel, const std::vector<uint8_t>& body) {
    const std::string text = Frame(channel, body);
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace vornak::test
