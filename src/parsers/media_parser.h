// Base of the RTP depacketizers: sequence tracking, the frame buffer of one picture, and the
// hand-over of a finished picture to a frame the host allocates.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/debug.h"
#include "base/time.h"
#include "driver/driver_api.h"
#include "ipcapture/host_interfaces.h"
#include "parsers/frame_filler.h"
#include "parsers/media_parser_client.h"
#include "rtsp/rtp_packet.h"

namespace vornak {

// A picture larger than this is taken for a stream fault, not a picture.
inline constexpr size_t kFrameBufferLimit = 10485760;

// Signed distance from one RTP sequence number to another, modulo 2^16: 65535 -> 0 is +1,
// 0 -> 65535 is -1.
[[nodiscard]] constexpr int32_t SequenceDistance(uint16_t from, uint16_t to) {
    return static_cast<int16_t>(static_cast<uint16_t>(to - from));
}

enum class PacketOrder {
    kFirst,      // nothing to compare with yet
    kNext,       // lastSequence + 1
    kDuplicate,  // lastSequence again
    kLate,       // shortly behind lastSequence: its frame has already been given up
    kGap,        // packets are missing, or the sender restarted its numbering
};

// Packets at most this far behind the last one are late arrivals; anything further back is
// taken for a new numbering, so a restarted sender is not ignored for half the number range.
inline constexpr int32_t kLateWindow = 64;

[[nodiscard]] PacketOrder ClassifySequence(bool first, uint16_t last, uint16_t sequence);

// Counters for tests, benchmarks and diagnostics.
struct MediaParserStats {
    uint64_t packets = 0;
    uint64_t gaps = 0;
    uint64_t duplicates = 0;
    uint64_t late = 0;
    uint64_t skipped = 0;    // packets of a picture that lost earlier packets
    uint64_t malformed = 0;  // payloads refused
    uint64_t framesDelivered = 0;
    uint64_t framesDropped = 0;  // pictures given up before reaching the host
};

class CRTPMediaParser {
  public:
    // owner: borrowed; the driver outlives every channel and parser it has made.
    explicit CRTPMediaParser(IDriver* owner);
    virtual ~CRTPMediaParser() = default;
    CRTPMediaParser(const CRTPMediaParser&) = delete;
    CRTPMediaParser& operator=(const CRTPMediaParser&) = delete;

    // Every RTP packet of the stream, in arrival order, on one thread at a time.
    virtual void ProcessPacket(const CRTPPacket& packet) = 0;
    // Forgets the picture in progress and the sequence state (new connection or session).
    virtual void Reset();
    // Parameter data of the session description; the base keeps it as given.
    virtual void SetParameterSets(const ParameterSets& sets);

    // client: borrowed; the channel owns the parser and outlives it.
    void SetClient(IMediaParserClient* client) {
        client_ = client;
        streamName_.clear();
    }
    // The picture size last read from the stream; 0 when unknown.
    Size GetPictureSize() const { return {width_, height_}; }
    const MediaParserStats& Stats() const { return stats_; }

    // True while the frame buffer is within kFrameBufferLimit; logs the overflow otherwise.
    bool CheckBufferSize();

  protected:
    // Sequence step shared by all formats. False when the packet must not be used: a
    // duplicate, a late packet, or a packet of a picture whose earlier packets were lost. A gap
    // calls DropFrame first.
    bool AcceptSequence(const CRTPPacket& packet);

    // Gives up the picture in progress; the next one delivered is a complete key frame.
    virtual void DropFrame() = 0;

    // A payload the format refuses: counted and logged (thinned), the picture dropped.
    void RefusePayload(const char* method, const char* reason);

    // The picture in its current size, copied first, to the client.
    // time, when given, is the frame's time already converted.
    Delivery DeliverFrame(std::span<const uint8_t> data, uint32_t fourcc, uint32_t rtpTimestamp,
                          const char* method, const SYSTEMTIME* time = nullptr);
    // For codecs whose later frames refer to earlier ones: a frame the host did not get makes
    // the parser drop everything up to the next key frame.
    void DeliverOrDropToKeyFrame(uint32_t fourcc, uint32_t rtpTimestamp, const char* method,
                                 const SYSTEMTIME* time = nullptr);

    bool HasHost() const { return client_ != nullptr && owner_->GetFrameAllocator() != nullptr; }

    IDriver* owner_;
    IMediaParserClient* client_ = nullptr;
    std::vector<uint8_t> frameBuffer_;  // one picture; emptied, never shrunk
    ParameterSets sets_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    MediaParserStats stats_;

  private:
    bool firstPacket_ = true;
    uint16_t lastSequence_ = 0;
    uint32_t lastTimestamp_ = 0;
    bool lastMarker_ = true;
    std::string streamName_;  // the client's, asked at the session's first picture
    // After a loss inside a picture, its remaining packets (same timestamp) are skipped.
    bool skipping_ = false;
    uint32_t skipTimestamp_ = 0;
    CLoggerInstance logger_;
};

}  // namespace vornak
