#include "rtcp.h"

#include "text_util.h"

namespace camsim {

uint64_t ToNtp(std::chrono::system_clock::time_point t) {
    constexpr uint64_t kUnixToNtp = 2208988800ULL;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    uint64_t secs = static_cast<uint64_t>(ns / 1000000000) + kUnixToNtp;
    uint64_t frac = (static_cast<uint64_t>(ns % 1000000000) << 32) / 1000000000ULL;
    return (secs << 32) | frac;
}

// SR (PT 200):
// |V=2|P|  RC=0   |   PT=200      |             length            |
// |                         SSRC of sender                        |
// |              NTP timestamp, most significant word             |
// |             NTP timestamp, least significant word             |
// |                         RTP timestamp                         |
// |                     sender's packet count                     |
// |                      sender's octet count                     |
// SDES (PT 202): one chunk, SSRC, CNAME item (type 1, length, text), END, padded to a word.
// BYE (PT 203): SC=1, the SSRC.
std::vector<uint8_t> BuildSenderReport(const SenderReport& sr, const std::string& cname,
                                       bool with_bye) {
    std::vector<uint8_t> v;
    v.push_back(0x80);
    v.push_back(200);
    Put16(v, 6);
    Put32(v, sr.ssrc);
    uint64_t ntp = ToNtp(sr.wall_clock);
    Put32(v, static_cast<uint32_t>(ntp >> 32));
    Put32(v, static_cast<uint32_t>(ntp));
    Put32(v, sr.rtp_timestamp);
    Put32(v, sr.packet_count);
    Put32(v, sr.octet_count);

    size_t name_len = std::min<size_t>(cname.size(), 255);
    size_t chunk = 4 + 2 + name_len + 1;  // SSRC, type+len, text, END
    size_t padded = (chunk + 3) / 4 * 4;
    v.push_back(0x81);
    v.push_back(202);
    Put16(v, static_cast<unsigned>(padded / 4));
    Put32(v, sr.ssrc);
    v.push_back(1);
    v.push_back(static_cast<uint8_t>(name_len));
    v.insert(v.end(), cname.begin(), cname.begin() + static_cast<long>(name_len));
    for (size_t i = chunk - 1; i < padded; ++i)
        v.push_back(0);

    if (with_bye) {
        v.push_back(0x81);
        v.push_back(203);
        Put16(v, 1);
        Put32(v, sr.ssrc);
    }
    return v;
}

RtcpInfo ParseRtcpCompound(std::span<const uint8_t> data) {
    RtcpInfo info;
    size_t pos = 0;
    if (data.size() < 4)
        return info;
    while (pos < data.size()) {
        if (data.size() - pos < 4)
            return RtcpInfo{};
        if ((data[pos] >> 6) != 2)
            return RtcpInfo{};
        size_t len = (static_cast<size_t>((data[pos + 2] << 8) | data[pos + 3]) + 1) * 4;
        if (len > data.size() - pos)
            return RtcpInfo{};
        uint8_t pt = data[pos + 1];
        if (pt == 201)
            info.receiver_reports++;
        if (pt == 200)
            info.sender_reports++;
        if (pt == 203)
            info.byes++;
        pos += len;
    }
    info.valid = true;
    return info;
}

}  // namespace camsim
