// RTCP (RFC 3550) as the camera sends it (SR + SDES, BYE at the end) and the little it reads
// from clients (receiver reports as keep-alive).
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace camsim {

struct SenderReport {
    uint32_t ssrc = 0;
    std::chrono::system_clock::time_point wall_clock;
    uint32_t rtp_timestamp = 0;
    uint32_t packet_count = 0;
    uint32_t octet_count = 0;
};

// 64-bit NTP time (seconds since 1900 in the high word, binary fraction in the low word).
uint64_t ToNtp(std::chrono::system_clock::time_point t);

// Compound packet: SR, SDES with CNAME, and BYE when with_bye.
std::vector<uint8_t> BuildSenderReport(const SenderReport& sr, const std::string& cname,
                                       bool with_bye);

struct RtcpInfo {
    bool valid = false;
    unsigned receiver_reports = 0;  // RR packets in the compound
    unsigned sender_reports = 0;
    unsigned byes = 0;
};

// Walks a compound packet checking every length; a malformed one is invalid as a whole.
[[nodiscard]] RtcpInfo ParseRtcpCompound(std::span<const uint8_t> data);

}  // namespace camsim
