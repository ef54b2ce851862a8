// Splits the byte stream of an interleaved RTSP connection into RTP and RTCP frames:
//
//   +--------+---------+-------------------+---------------------+
//   |  '$'   | channel | length (16, BE)   | length bytes ...    |
//   +--------+---------+-------------------+---------------------+
//
// RTP arrives on channel c, RTCP on c + 1; everything else (answer text, other channels) is
// passed over up to the next '$'. Frames are parsed where they were read: a reader receives
// straight into WriteArea, and only the unfinished tail is ever moved, when room runs short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/page_buffer.h"
#include "rtsp/rtp_packet.h"
#include "rtsp/rtsp_interfaces.h"

namespace vornak {

// '$', the channel and a 16-bit length before each interleaved frame.
inline constexpr size_t kInterleavedHeader = 4;

class CRTSPStreamParser {
  public:
    // `user` is borrowed and outlives the parser.
    CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t channel);
    virtual ~CRTSPStreamParser() = default;

    // Room for the next read, at least kMinRead bytes; Commit tells how much was read into it.
    std::span<uint8_t> WriteArea();
    void Commit(size_t count);
    // Copies the bytes in and parses them, for readers that receive elsewhere.
    void Feed(std::span<const uint8_t> bytes);
    // The bytes not parsed yet: empty, or an unfinished frame from its '$'. A reader that stops
    // hands them on, so that whatever reads the connection next starts at a frame boundary.
    std::span<const uint8_t> Unparsed() const {
        return std::span<const uint8_t>(buffer_.data(), end_).subspan(begin_);
    }

    static constexpr size_t kMinRead = 16 * 1024;

  private:
    void Parse();
    void HandleFrame(uint8_t channel, std::span<const uint8_t> frame);

    IRTSPStreamParserUser* user_;
    uint8_t channel_;
    // Holds one unfinished frame (at most 4 + 65535 bytes) and a read behind it; never grows.
    platform::PageBuffer buffer_;
    size_t begin_ = 0;  // the first byte not yet parsed
    size_t end_ = 0;    // the end of what was read
    // Reused for every frame: Parse sets every field, and building a packet afresh costs about
    // as much as parsing its header.
    CRTPPacket packet_;
};

}  // namespace vornak
