// What a media parser needs from the channel that owns it, and the codes of the frames it makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/time.h"
#include "driver/driver_api.h"
#include "ipcapture/host_interfaces.h"

namespace vornak {

// Four-character codes, first character in the least significant byte.
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}
inline constexpr uint32_t kFourCCH264 = MakeFourCC('H', '2', '6', '4');
inline constexpr uint32_t kFourCCI264 = MakeFourCC('I', '2', '6', '4');
inline constexpr uint32_t kFourCCH265 = MakeFourCC('H', '2', '6', '5');
inline constexpr uint32_t kFourCCI265 = MakeFourCC('I', '2', '6', '5');
inline constexpr uint32_t kFourCCJpeg = MakeFourCC('J', 'P', 'E', 'G');
inline constexpr uint32_t kFourCCDivx = MakeFourCC('D', 'I', 'V', 'X');
inline constexpr uint32_t kFourCCDivi = MakeFourCC('D', 'I', 'V', 'I');

// Decoder set-up a session description carries; a member the codec does not use stays empty.
struct ParameterSets {
    std::vector<uint8_t> sps{};  // no start code
    std::vector<uint8_t> pps{};
    std::vector<uint8_t> vps{};     // for a codec that has video parameter sets
    std::vector<uint8_t> config{};  // MPEG-4 decoder configuration
    // H.265: how far units may stray from decoding order; not 0 means DONL fields in packets.
    uint32_t maxDonDiff = 0;

    bool operator==(const ParameterSets&) const = default;
};

// What a depacketizer needs from its channel. Implemented by the channels; tests implement it
// to collect frames and to supply their own stream clock.
class IMediaParserClient {
  public:
    virtual ~IMediaParserClient() = default;
    // False when the host did not take the frame.
    virtual bool FrameReady(ipcapture::IVideoFrame* frame) = 0;
    // The size the channel asked the camera for (the depacketizers read the real one).
    virtual Size GetRequestedSize() = 0;
    // Name under which the host allocates the channel's frames.
    virtual std::string GetStreamName() = 0;
    // The stream clock: wall-clock time of the frame with this RTP timestamp.
    virtual void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) = 0;
};

}  // namespace vornak
