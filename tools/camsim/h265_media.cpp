#include "h265_media.h"

#include <algorithm>

#include "text_util.h"

namespace camsim {

namespace {

int H265Type(std::span<const uint8_t> nal) {
    return (nal[0] >> 1) & 0x3F;
}

bool IsH265Irap(int type) {
    return type >= 16 && type <= 23;
}

}  // namespace

std::optional<std::string> LoadH265(std::span<const uint8_t> stream, Clip* clip) {
    std::vector<std::span<const uint8_t>> au;
    bool au_has_vcl = false;
    auto flush = [&] {
        if (au.empty())
            return;
        clip->frames.push_back(JoinAccessUnit(
            au, [](std::span<const uint8_t> nal) { return IsH265Irap(H265Type(nal)); }));
        au.clear();
        au_has_vcl = false;
    };
    for (auto nal : SplitAnnexB(stream)) {
        if (nal.size() < 3)
            return "NAL unit shorter than its header";
        const int type = H265Type(nal);
        const bool vcl = type < 32;
        // A picture starts at a parameter set, delimiter or prefix SEI after a VCL unit, or at a
        // slice whose first_slice_segment_in_pic_flag is set.
        const bool opens = vcl ? (nal[2] & 0x80) != 0 : (type >= 32 && type <= 35) || type == 39;
        if (au_has_vcl && opens)
            flush();
        std::vector<uint8_t>* slot = type == 32   ? &clip->vps
                                     : type == 33 ? &clip->sps
                                     : type == 34 ? &clip->pps
                                                  : nullptr;
        if (slot != nullptr && slot->empty())
            slot->assign(nal.begin(), nal.end());
        au.push_back(nal);
        au_has_vcl = au_has_vcl || vcl;
    }
    flush();
    if (clip->vps.empty() || clip->sps.empty() || clip->pps.empty())
        return "no VPS/SPS/PPS";
    if (clip->frames.empty() || !clip->frames.front().key)
        return "clip does not start with an IRAP picture";
    clip->codec = Codec::kH265;
    return std::nullopt;
}

// Aggregation packet (type 48): payload header, then per unit a 16-bit size and the unit.
// Fragmentation unit (type 49): payload header, FU header |S|E|FuType|, then a slice of the unit
// body; the unit's own two header bytes travel in those three.
std::vector<RtpPayload> PacketizeH265(std::span<const uint8_t> access_unit, const Clip& clip,
                                      const PacketizerOptions& opts) {
    std::vector<std::span<const uint8_t>> nals = SplitAnnexB(access_unit);
    bool irap = false, has_vps = false, has_sps = false, has_pps = false;
    for (auto n : nals) {
        const int t = H265Type(n);
        irap = irap || IsH265Irap(t);
        has_vps = has_vps || t == 32;
        has_sps = has_sps || t == 33;
        has_pps = has_pps || t == 34;
    }
    // Receivers find key frames by in-band parameter sets, so every IRAP picture gets them.
    std::vector<std::span<const uint8_t>> units;
    if (irap && !has_vps)
        units.push_back(clip.vps);
    if (irap && !has_sps)
        units.push_back(clip.sps);
    if (irap && !has_pps)
        units.push_back(clip.pps);
    units.insert(units.end(), nals.begin(), nals.end());

    const size_t max = std::max<size_t>(opts.max_payload, 16);
    std::vector<RtpPayload> out;
    for (size_t i = 0; i < units.size();) {
        // Gather as many following units as fit; an aggregation packet needs at least two.
        size_t total = 2, j = i;
        uint8_t lowest_layer = 1, lowest_tid = 7;
        while (j < units.size() && total + 2 + units[j].size() <= max) {
            total += 2 + units[j].size();
            lowest_layer = std::min<uint8_t>(lowest_layer, units[j][0] & 0x01);
            lowest_tid = std::min<uint8_t>(lowest_tid, units[j][1] & 0x07);
            ++j;
        }
        if (j - i >= 2) {
            RtpPayload p;
            p.payload.push_back(static_cast<uint8_t>(48 << 1 | lowest_layer));
            p.payload.push_back(static_cast<uint8_t>((units[i][1] & 0xF8) | lowest_tid));
            for (size_t k = i; k < j; ++k) {
                Put16(p.payload, static_cast<unsigned>(units[k].size()));
                p.payload.insert(p.payload.end(), units[k].begin(), units[k].end());
            }
            out.push_back(std::move(p));
            i = j;
            continue;
        }
        auto nal = units[i];
        if (nal.size() <= max) {
            RtpPayload p;
            p.payload.assign(nal.begin(), nal.end());
            out.push_back(std::move(p));
        } else {
            const uint8_t header[2] = {static_cast<uint8_t>((nal[0] & 0x81) | 49 << 1), nal[1]};
            AppendFragmentUnits(out, header, static_cast<uint8_t>(H265Type(nal)), nal.subspan(2),
                                max);
        }
        ++i;
    }
    if (!out.empty())
        out.back().marker = true;
    return out;
}

std::string H265FormatParameters(const Clip& clip) {
    return "sprop-vps=" + Base64Encode(clip.vps) + "; sprop-sps=" + Base64Encode(clip.sps) +
           "; sprop-pps=" + Base64Encode(clip.pps);
}

}  // namespace camsim
