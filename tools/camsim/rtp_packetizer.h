// RTP payload formats the simulated camera sends: H.264 (RFC 6184, packetization mode 1),
// MPEG-4 Visual (RFC 3016) and JPEG (RFC 2435, optionally with the JPEG header carried in an RTP
// header extension). Pure functions over one frame; the stream adds RTP headers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media.h"

namespace camsim {

enum class JpegRtpMode {
    kPlain,       // RFC 2435 only (pictures up to 2040x2040)
    kHeaderExt,   // first packet also carries the JPEG marker segments in a 0xFFD8 extension
    kWholeInExt,  // every byte of the picture travels in 0xFFD8/0xFFFF extensions
};

struct PacketizerOptions {
    size_t max_payload = 1400;         // RTP payload bytes per packet (extension included)
    bool h264_stap_a = false;          // aggregate small NAL units (SPS, PPS, SEI) into STAP-A
    bool mpeg4_config_in_band = true;  // put VOS/VOL before I-VOPs that lack them
    JpegRtpMode jpeg_mode = JpegRtpMode::kPlain;
};

// One RTP payload with the header fields the payload format decides.
struct RtpPayload {
    std::vector<uint8_t> payload;
    bool marker = false;
    bool has_extension = false;
    uint16_t extension_profile = 0;
    std::vector<uint8_t> extension;  // length a multiple of 4
};

std::vector<RtpPayload> PacketizeH264(std::span<const uint8_t> access_unit, const Clip& clip,
                                      const PacketizerOptions& opts);
std::vector<RtpPayload> PacketizeMpeg4(std::span<const uint8_t> frame, const Clip& clip,
                                       const PacketizerOptions& opts);
// Returns no packets (and an error text) for pictures RTP/JPEG cannot carry.
std::vector<RtpPayload> PacketizeJpeg(std::span<const uint8_t> picture,
                                      const PacketizerOptions& opts, std::string* error = nullptr);

// Fragmentation units of one NAL unit, H.264's and H.265's alike: each payload is prefix (the
// FU indicator, or H.265's payload header), a byte with the start and end bits over type, then
// the next slice of body (the unit after its header).
void AppendFragmentUnits(std::vector<RtpPayload>& out, std::span<const uint8_t> prefix,
                         uint8_t type, std::span<const uint8_t> body, size_t max_payload);

struct RtpHeaderFields {
    uint8_t payload_type = 96;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
};

// Appends a complete RTP packet (12-byte header, extension, payload) to out.
void WriteRtpPacket(const RtpPayload& p, const RtpHeaderFields& h, std::vector<uint8_t>& out);

}  // namespace camsim
