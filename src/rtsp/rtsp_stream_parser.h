// Splits the byte stream of an interleaved RTSP connection into RTP and RTCP frames:
//
//   +--------+---------+-------------------+---------------------+
//   |  '$'   | channel | length (16, BE)   | length bytes ...    |
//   +--------+---------+-------------------+---------------------+
//
// RTP arrives on channel c, RTCP on c + 1; everything else (answer text, other channels) is
// passed over up to the next '$'.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rtsp/rtsp_interfaces.h"

namespace vornak {

class CRTSPStreamParser {
  public:
    // `user` is borrowed and outlives the parser.
    CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t channel);
    virtual ~CRTSPStreamParser() = default;

    void Feed(std::span<const uint8_t> bytes);
    size_t Buffered() const { return buffer_.size(); }

  private:
    void HandleFrame(uint8_t channel, std::span<const uint8_t> frame);

    IRTSPStreamParserUser* user_;
    uint8_t channel_;
    std::vector<uint8_t> buffer_;
};

}  // namespace vornak
