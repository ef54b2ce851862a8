#include "media.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "h265_media.h"

namespace camsim {

const char* CodecName(Codec c) {
    switch (c) {
        case Codec::kH264:
            return "h264";
        case Codec::kMpeg4:
            return "mpeg4";
        case Codec::kJpeg:
            return "jpeg";
        case Codec::kH265:
            return "h265";
    }
    return "?";
}

std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> s) {
    std::vector<std::span<const uint8_t>> nals;
    size_t i = 0, start = std::string::npos;
    auto close_nal = [&](size_t end) {
        if (start == std::string::npos)
            return;
        // Trailing zero bytes belong to the next start code (00 00 00 01).
        while (end > start && s[end - 1] == 0)
            --end;
        if (end > start)
            nals.push_back(s.subspan(start, end - start));
    };
    while (i + 3 <= s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            close_nal(i);
            start = i + 3;
            i += 3;
            continue;
        }
        ++i;
    }
    if (start != std::string::npos)
        close_nal(s.size());
    return nals;
}

Frame JoinAccessUnit(const std::vector<std::span<const uint8_t>>& units,
                     bool (*is_key)(std::span<const uint8_t> nal)) {
    Frame f;
    for (auto nal : units) {
        static constexpr uint8_t kStart[] = {0, 0, 0, 1};
        f.data.insert(f.data.end(), kStart, kStart + 4);
        f.data.insert(f.data.end(), nal.begin(), nal.end());
        f.key = f.key || is_key(nal);
    }
    return f;
}

std::optional<std::string> LoadH264(std::span<const uint8_t> stream, Clip* clip) {
    auto nals = SplitAnnexB(stream);
    if (nals.empty())
        return "no NAL units";
    std::vector<std::span<const uint8_t>> au;
    bool au_has_vcl = false;
    auto flush = [&] {
        if (au.empty())
            return;
        clip->frames.push_back(
            JoinAccessUnit(au, [](std::span<const uint8_t> nal) { return (nal[0] & 0x1F) == 5; }));
        au.clear();
        au_has_vcl = false;
    };
    for (auto nal : nals) {
        int type = nal[0] & 0x1F;
        bool vcl = type >= 1 && type <= 5;
        // A new picture starts at a non-VCL unit after a VCL one, or at a slice whose
        // first_mb_in_slice is 0 (its first Exp-Golomb bit is 1).
        bool first_slice = vcl && nal.size() > 1 && (nal[1] & 0x80);
        if (au_has_vcl && (!vcl || first_slice))
            flush();
        if (type == 7 && clip->sps.empty())
            clip->sps.assign(nal.begin(), nal.end());
        if (type == 8 && clip->pps.empty())
            clip->pps.assign(nal.begin(), nal.end());
        au.push_back(nal);
        au_has_vcl = au_has_vcl || vcl;
    }
    flush();
    if (clip->sps.empty() || clip->pps.empty())
        return "no SPS/PPS";
    if (clip->frames.empty() || !clip->frames.front().key)
        return "clip does not start with IDR";
    clip->codec = Codec::kH264;
    return std::nullopt;
}

std::optional<std::string> LoadMpeg4(std::span<const uint8_t> s, Clip* clip) {
    // Start codes: 00 00 01 xx. VOP = B6; everything before a VOP (VOS B0, VO 00-1F, VOL 20-2F,
    // GOV B3, user data B2) travels with it.
    size_t frame_start = 0;
    bool first = true;
    for (size_t i = 0; i + 4 <= s.size(); ++i) {
        if (!(s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1))
            continue;
        uint8_t code = s[i + 3];
        if (code == 0xB0 && i + 4 < s.size())
            clip->mpeg4_profile_level = s[i + 4];
        if (code != 0xB6)
            continue;
        if (first) {
            clip->mpeg4_config.assign(s.begin(), s.begin() + i);
            // The config ends before any GOV header.
            for (size_t k = 0; k + 4 <= clip->mpeg4_config.size(); ++k) {
                if (clip->mpeg4_config[k] == 0 && clip->mpeg4_config[k + 1] == 0 &&
                    clip->mpeg4_config[k + 2] == 1 && clip->mpeg4_config[k + 3] == 0xB3) {
                    clip->mpeg4_config.resize(k);
                    break;
                }
            }
            first = false;
        }
        // Find the end of this VOP: the next start code that is not inside it.
        size_t j = i + 4;
        while (j + 3 <= s.size() && !(s[j] == 0 && s[j + 1] == 0 && s[j + 2] == 1))
            ++j;
        if (j + 3 > s.size())
            j = s.size();
        Frame f;
        f.data.assign(s.begin() + frame_start, s.begin() + j);
        // vop_coding_type: top two bits after the start code, 0 = I.
        f.key = i + 4 < s.size() && (s[i + 4] >> 6) == 0;
        clip->frames.push_back(std::move(f));
        frame_start = j;
        i = j - 1;
    }
    if (clip->frames.empty() || clip->mpeg4_config.empty())
        return "no VOPs or no VOL";
    if (!clip->frames.front().key)
        return "clip does not start with an I-VOP";
    clip->codec = Codec::kMpeg4;
    return std::nullopt;
}

std::optional<JpegInfo> ParseJpeg(std::span<const uint8_t> j, std::string* error) {
    auto fail = [&](const char* why) -> std::optional<JpegInfo> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8)
        return fail("no SOI");
    JpegInfo info;
    std::vector<uint8_t> tables[4];
    int table_of_component[3] = {-1, -1, -1};
    bool have_sof = false;
    size_t i = 2;
    while (true) {
        if (i + 4 > j.size())
            return fail("truncated header");
        if (j[i] != 0xFF)
            return fail("marker expected");
        uint8_t marker = j[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        size_t len = (j[i + 2] << 8) | j[i + 3];
        if (len < 2 || i + 2 + len > j.size())
            return fail("segment overruns picture");
        std::span<const uint8_t> seg = j.subspan(i + 4, len - 2);
        if (marker == 0xDB) {
            size_t k = 0;
            while (k < seg.size()) {
                int pq = seg[k] >> 4, tq = seg[k] & 15;
                if (pq != 0)
                    return fail("16-bit quantisation tables are not supported");
                if (tq > 3 || k + 65 > seg.size())
                    return fail("bad DQT");
                tables[tq].assign(seg.begin() + k + 1, seg.begin() + k + 65);
                k += 65;
            }
        } else if (marker == 0xC0) {
            if (seg.size() < 6 + 9 || seg[0] != 8 || seg[5] != 3) {
                return fail("only 8-bit three-component baseline pictures");
            }
            info.height = (seg[1] << 8) | seg[2];
            info.width = (seg[3] << 8) | seg[4];
            int hv0 = seg[7];
            if (seg[10] != 0x11 || seg[13] != 0x11)
                return fail("chroma must be 1x1 sampled");
            if (hv0 == 0x21) {
                info.type = 0;
            } else if (hv0 == 0x22) {
                info.type = 1;
            } else {
                return fail("luma sampling must be 2x1 or 2x2");
            }
            for (int c = 0; c < 3; ++c)
                table_of_component[c] = seg[8 + 3 * c];
            have_sof = true;
        } else if (marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                   marker != 0xCC) {
            return fail("not a baseline picture");
        } else if (marker == 0xDD) {
            if (seg.size() < 2)
                return fail("bad DRI");
            info.restart_interval = static_cast<uint16_t>((seg[0] << 8) | seg[1]);
        } else if (marker == 0xDA) {
            info.headers_end = i + 2 + len;
            break;
        }
        i += 2 + len;
    }
    if (!have_sof)
        return fail("no SOF0");
    if (table_of_component[1] != table_of_component[2] || table_of_component[0] > 3 ||
        table_of_component[1] > 3 || tables[table_of_component[0]].empty() ||
        tables[table_of_component[1]].empty()) {
        return fail("quantisation tables missing");
    }
    info.qtables = tables[table_of_component[0]];
    info.qtables.insert(info.qtables.end(), tables[table_of_component[1]].begin(),
                        tables[table_of_component[1]].end());
    if (info.restart_interval)
        info.type += 64;
    // Scan data ends at EOI; restart markers (FF D0..D7) and stuffed FF 00 are part of it.
    info.scan_end = j.size();
    for (size_t k = info.headers_end; k + 1 < j.size(); ++k) {
        if (j[k] == 0xFF && j[k + 1] == 0xD9) {
            info.scan_end = k;
            break;
        }
    }
    return info;
}

std::optional<std::string> LoadMjpeg(std::span<const uint8_t> s, Clip* clip) {
    size_t i = 0;
    while (i + 2 <= s.size()) {
        if (!(s[i] == 0xFF && s[i + 1] == 0xD8))
            return "picture does not start with SOI";
        std::string err;
        auto info = ParseJpeg(s.subspan(i), &err);
        if (!info)
            return err;
        size_t end = i + info->scan_end + 2;
        if (end > s.size())
            return "picture without EOI";
        Frame f;
        f.data.assign(s.begin() + i, s.begin() + end);
        f.key = true;
        clip->frames.push_back(std::move(f));
        clip->width = info->width;
        clip->height = info->height;
        i = end;
    }
    if (clip->frames.empty())
        return "no pictures";
    clip->codec = Codec::kJpeg;
    return std::nullopt;
}

MediaLibrary::MediaLibrary(std::string folder) : folder_(std::move(folder)) {}

std::shared_ptr<const Clip> MediaLibrary::Load(const std::string& file, Codec codec) {
    auto it = cache_.find(file);
    if (it != cache_.end())
        return it->second;
    std::ifstream in(std::filesystem::path(folder_) / file, std::ios::binary);
    if (!in)
        return nullptr;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    auto clip = std::make_shared<Clip>();
    clip->source = file;
    std::optional<std::string> err;
    switch (codec) {
        case Codec::kH264:
            err = LoadH264(bytes, clip.get());
            break;
        case Codec::kMpeg4:
            err = LoadMpeg4(bytes, clip.get());
            break;
        case Codec::kJpeg:
            err = LoadMjpeg(bytes, clip.get());
            break;
        case Codec::kH265:
            err = LoadH265(bytes, clip.get());
            break;
    }
    if (err) {
        fprintf(stderr, "camsim: cannot use %s: %s\n", file.c_str(), err->c_str());
        return nullptr;
    }
    clip->fps = codec == Codec::kJpeg ? 10 : 25;  // as made by make-test-media.sh
    cache_[file] = clip;
    return clip;
}

std::shared_ptr<const Clip> MediaLibrary::Find(Codec codec, int width, int height, int compression,
                                               bool restart) {
    std::lock_guard lock(mutex_);
    // Candidate files are named <codec>_<W>x<H>[_<variant>].<ext>.
    struct Cand {
        std::string file;
        int w, h;
    };
    std::vector<Cand> cands;
    const char* prefix = codec == Codec::kH264    ? "h264_"
                         : codec == Codec::kH265  ? "h265_"
                         : codec == Codec::kMpeg4 ? "mpeg4_"
                                                  : "mjpeg_";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        int w = 0, h = 0;
        if (sscanf(name.c_str() + strlen(prefix), "%dx%d", &w, &h) != 2)
            continue;
        if (codec == Codec::kJpeg) {
            bool is_restart = name.find("_restart") != std::string::npos;
            if (is_restart != restart)
                continue;
            if (!restart) {
                // compression 0..100, higher = smaller: q12 above 40, q3 below.
                const char* want = compression > 40 ? "_q12" : "_q3";
                if (name.find(want) == std::string::npos)
                    continue;
            }
        }
        cands.push_back({name, w, h});
    }
    if (cands.empty())
        return nullptr;
    std::sort(cands.begin(), cands.end(),
              [](const Cand& a, const Cand& b) { return a.w * a.h < b.w * b.h; });
    const Cand* pick = &cands.front();
    for (const auto& c : cands) {
        if (c.w == width && c.h == height) {
            pick = &c;
            break;
        }
        if (c.w * c.h <= width * height)
            pick = &c;
    }
    auto clip = Load(pick->file, codec);
    if (clip && codec != Codec::kJpeg) {
        auto copy = std::make_shared<Clip>(*clip);
        copy->width = pick->w;
        copy->height = pick->h;
        cache_[pick->file] = copy;
        return copy;
    }
    return clip;
}

}  // namespace camsim
