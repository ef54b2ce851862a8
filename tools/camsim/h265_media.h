// H.265 for the simulated camera: clips from Annex B files, and their RTP payloads (RFC 7798,
// no decoding order numbers): single NAL unit packets, aggregation packets for runs of small
// units such as the parameter sets, fragmentation units for units larger than a packet.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media.h"
#include "rtp_packetizer.h"

namespace camsim {

// Groups Annex B NAL units into access units; returns an error text or nullopt.
[[nodiscard]] std::optional<std::string> LoadH265(std::span<const uint8_t> stream, Clip* clip);

std::vector<RtpPayload> PacketizeH265(std::span<const uint8_t> access_unit, const Clip& clip,
                                      const PacketizerOptions& opts);

// The fmtp line's parameters: sprop-vps, sprop-sps and sprop-pps of the clip.
std::string H265FormatParameters(const Clip& clip);

}  // namespace camsim
