#include "rtp_packetizer.h"

#include <algorithm>

#include "text_util.h"

namespace camsim {

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                           timestamp                           |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                             SSRC                              |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |   defined by profile (X=1)    |      length in 32-bit words   |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
void WriteRtpPacket(const RtpPayload& p, const RtpHeaderFields& h, std::vector<uint8_t>& out) {
    out.push_back(static_cast<uint8_t>(0x80 | (p.has_extension ? 0x10 : 0)));
    out.push_back(static_cast<uint8_t>((p.marker ? 0x80 : 0) | (h.payload_type & 0x7F)));
    Put16(out, h.sequence);
    Put32(out, h.timestamp);
    Put32(out, h.ssrc);
    if (p.has_extension) {
        Put16(out, p.extension_profile);
        Put16(out, static_cast<unsigned>(p.extension.size() / 4));
        out.insert(out.end(), p.extension.begin(), p.extension.end());
    }
    out.insert(out.end(), p.payload.begin(), p.payload.end());
}

// FU-A (RFC 6184 5.8):
// +---------------+---------------+
// |F|NRI|  Type=28 |S|E|R| Type   |   FU indicator, FU header, then a slice of the NAL body
// +---------------+---------------+
// STAP-A (5.7.1): NAL header type 24, then per unit a 16-bit size and the unit.
std::vector<RtpPayload> PacketizeH264(std::span<const uint8_t> access_unit, const Clip& clip,
                                      const PacketizerOptions& opts) {
    std::vector<std::span<const uint8_t>> nals = SplitAnnexB(access_unit);
    bool has_idr = false, has_sps = false, has_pps = false;
    for (auto n : nals) {
        int t = n[0] & 0x1F;
        has_idr = has_idr || t == 5;
        has_sps = has_sps || t == 7;
        has_pps = has_pps || t == 8;
    }
    // Receivers find key frames by in-band parameter sets, so every IDR gets them.
    std::vector<std::span<const uint8_t>> units;
    if (has_idr && !has_sps && !clip.sps.empty())
        units.push_back(clip.sps);
    if (has_idr && !has_pps && !clip.pps.empty())
        units.push_back(clip.pps);
    units.insert(units.end(), nals.begin(), nals.end());

    const size_t max = std::max<size_t>(opts.max_payload, 16);
    std::vector<RtpPayload> out;
    for (size_t i = 0; i < units.size();) {
        auto nal = units[i];
        if (opts.h264_stap_a && nal.size() + 3 <= max) {
            // Gather as many following units as fit; a STAP-A needs at least two.
            size_t total = 1, j = i;
            uint8_t nri = 0;
            while (j < units.size() && total + 2 + units[j].size() <= max) {
                total += 2 + units[j].size();
                nri = std::max<uint8_t>(nri, units[j][0] & 0x60);
                ++j;
            }
            if (j - i >= 2) {
                RtpPayload p;
                p.payload.push_back(static_cast<uint8_t>(nri | 24));
                for (size_t k = i; k < j; ++k) {
                    Put16(p.payload, static_cast<unsigned>(units[k].size()));
                    p.payload.insert(p.payload.end(), units[k].begin(), units[k].end());
                }
                out.push_back(std::move(p));
                i = j;
                continue;
            }
        }
        if (nal.size() <= max) {
            RtpPayload p;
            p.payload.assign(nal.begin(), nal.end());
            out.push_back(std::move(p));
        } else {
            // The NAL header travels in the FU indicator and header.
            const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
            AppendFragmentUnits(out, {&indicator, 1}, nal[0] & 0x1F, nal.subspan(1), max);
        }
        ++i;
    }
    if (!out.empty())
        out.back().marker = true;
    return out;
}

void AppendFragmentUnits(std::vector<RtpPayload>& out, std::span<const uint8_t> prefix,
                         uint8_t type, std::span<const uint8_t> body, size_t max_payload) {
    const size_t chunk = max_payload - prefix.size() - 1;
    for (size_t pos = 0; pos < body.size();) {
        const size_t n = std::min(chunk, body.size() - pos);
        RtpPayload p;
        p.payload.assign(prefix.begin(), prefix.end());
        uint8_t header = type;
        if (pos == 0)
            header |= 0x80;
        if (pos + n == body.size())
            header |= 0x40;
        p.payload.push_back(header);
        p.payload.insert(p.payload.end(), body.begin() + pos, body.begin() + pos + n);
        out.push_back(std::move(p));
        pos += n;
    }
}

std::vector<RtpPayload> PacketizeMpeg4(std::span<const uint8_t> frame, const Clip& clip,
                                       const PacketizerOptions& opts) {
    std::vector<uint8_t> joined;
    std::span<const uint8_t> data = frame;
    bool starts_with_vop = frame.size() >= 4 && frame[0] == 0 && frame[1] == 0 && frame[2] == 1 &&
                           (frame[3] == 0xB6 || frame[3] == 0xB3);
    bool is_key = false;
    for (size_t i = 0; i + 4 < frame.size(); ++i) {
        if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 && frame[i + 3] == 0xB6) {
            is_key = (frame[i + 4] >> 6) == 0;
            break;
        }
    }
    if (opts.mpeg4_config_in_band && is_key && starts_with_vop && !clip.mpeg4_config.empty()) {
        joined = clip.mpeg4_config;
        joined.insert(joined.end(), frame.begin(), frame.end());
        data = joined;
    }
    const size_t max = std::max<size_t>(opts.max_payload, 16);
    std::vector<RtpPayload> out;
    for (size_t pos = 0; pos < data.size(); pos += max) {
        RtpPayload p;
        size_t n = std::min(max, data.size() - pos);
        p.payload.assign(data.begin() + pos, data.begin() + pos + n);
        out.push_back(std::move(p));
    }
    if (!out.empty())
        out.back().marker = true;
    return out;
}

// RFC 2435 main header (3.1), then the restart marker header (3.1.7) for types 64-127, then in
// the first packet with Q >= 128 the quantisation table header (3.1.8):
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// | Type-specific |              Fragment Offset                  |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |      Type     |       Q       |     Width     |     Height    |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |       Restart Interval        |F|L|       Restart Count       |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |      MBZ      |   Precision   |             Length            |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
std::vector<RtpPayload> PacketizeJpeg(std::span<const uint8_t> picture,
                                      const PacketizerOptions& opts, std::string* error) {
    std::string err;
    auto info = ParseJpeg(picture, &err);
    if (!info) {
        if (error)
            *error = err;
        return {};
    }
    bool whole_in_ext = opts.jpeg_mode == JpegRtpMode::kWholeInExt;
    if (!whole_in_ext &&
        (info->width > 2040 || info->height > 2040 || info->width % 8 || info->height % 8)) {
        if (error)
            *error = "picture size not expressible in RTP/JPEG";
        return {};
    }
    const uint8_t q = 255;  // tables travel in-band with every picture
    auto main_header = [&](std::vector<uint8_t>& v, uint32_t offset) {
        v.push_back(0);
        Put24(v, offset);
        v.push_back(static_cast<uint8_t>(info->type));
        v.push_back(q);
        v.push_back(static_cast<uint8_t>(std::min(info->width, 2040) / 8));
        v.push_back(static_cast<uint8_t>(std::min(info->height, 2040) / 8));
        if (info->type >= 64) {
            // Packets are not cut at restart intervals, so F=L=1 and count 0x3FFF.
            Put16(v, info->restart_interval);
            Put16(v, 0xFFFF);
        }
        if (offset == 0) {
            v.push_back(0);  // MBZ
            v.push_back(0);  // precision: 8-bit tables
            Put16(v, static_cast<unsigned>(info->qtables.size()));
            v.insert(v.end(), info->qtables.begin(), info->qtables.end());
        }
    };
    // JPEG marker segments after SOI up to and including SOS, with 0xFF fill bytes inserted
    // before the SOS marker so that the extension is a whole number of words.
    auto header_extension = [&] {
        std::vector<uint8_t> ext(picture.begin() + 2, picture.begin() + info->headers_end);
        size_t pad = (4 - ext.size() % 4) % 4;
        size_t sos_at = ext.size();
        for (size_t i = 0; i + 1 < ext.size(); ++i) {
            if (ext[i] == 0xFF && ext[i + 1] == 0xDA) {
                sos_at = i;
                break;
            }
        }
        ext.insert(ext.begin() + sos_at, pad, 0xFF);
        return ext;
    };
    const size_t max = std::max<size_t>(opts.max_payload, 256);
    std::vector<RtpPayload> out;

    if (whole_in_ext) {
        RtpPayload first;
        first.has_extension = true;
        first.extension_profile = 0xFFD8;
        first.extension = header_extension();
        main_header(first.payload, 0);
        out.push_back(std::move(first));
        // Entropy data and EOI, zero-padded after EOI to a word boundary.
        std::vector<uint8_t> rest(picture.begin() + info->headers_end, picture.end());
        rest.resize((rest.size() + 3) / 4 * 4, 0);
        size_t ext_chunk = (max - 16) / 4 * 4;
        uint32_t sent = static_cast<uint32_t>(out.front().extension.size());
        for (size_t pos = 0; pos < rest.size(); pos += ext_chunk) {
            size_t n = std::min(ext_chunk, rest.size() - pos);
            RtpPayload p;
            p.has_extension = true;
            p.extension_profile = 0xFFFF;
            p.extension.assign(rest.begin() + pos, rest.begin() + pos + n);
            main_header(p.payload, sent);
            sent += static_cast<uint32_t>(n);
            out.push_back(std::move(p));
        }
        out.back().marker = true;
        return out;
    }

    size_t pos = info->headers_end;
    const size_t end = info->scan_end;
    uint32_t offset = 0;
    while (pos < end || offset == 0) {
        RtpPayload p;
        if (offset == 0 && opts.jpeg_mode == JpegRtpMode::kHeaderExt) {
            p.has_extension = true;
            p.extension_profile = 0xFFD8;
            p.extension = header_extension();
        }
        main_header(p.payload, offset);
        size_t used = p.payload.size() + (p.has_extension ? 4 + p.extension.size() : 0);
        if (used + 1 > max) {
            if (error)
                *error = "payload size too small for the JPEG headers";
            return {};
        }
        size_t n = std::min(max - used, end - pos);
        p.payload.insert(p.payload.end(), picture.begin() + pos, picture.begin() + pos + n);
        pos += n;
        offset += static_cast<uint32_t>(n);
        out.push_back(std::move(p));
        if (n == 0)
            break;
    }
    out.back().marker = true;
    return out;
}

}  // namespace camsim
