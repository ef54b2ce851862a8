#include "rtsp/sdp_parser.h"

#include "rtsp/rtsp_text.h"

namespace vornak {

namespace {
using namespace rtsptext;

enum class MediaKind { kNone, kVideo, kAudio, kMetadata };

struct Section {
    MediaKind kind = MediaKind::kNone;
    MediaDescription media;
};

void Store(const Section& section, SessionDescription& out) {
    MediaDescription* slot = nullptr;
    switch (section.kind) {
        case MediaKind::kVideo:
            slot = &out.video;
            break;
        case MediaKind::kAudio:
            slot = &out.audio;
            break;
        case MediaKind::kMetadata:
            slot = &out.metadata;
            break;
        case MediaKind::kNone:
            return;
    }
    // The first section of a kind that names its control wins.
    if (slot->control.empty()) {
        *slot = section.media;
    }
}

bool StartMedia(std::string_view line, Section& section) {
    section = Section{};
    const std::string_view value = line.substr(2);
    const auto words = Split(value, " \t");
    if (Trim(value).empty() || words.empty()) {
        return false;
    }
    const std::string kind = ToLower(words[0]);
    if (kind == "video") {
        section.kind = MediaKind::kVideo;
    } else if (kind == "audio") {
        section.kind = MediaKind::kAudio;
    } else if (kind == "metadata" || kind == "data" || kind == "application") {
        section.kind = MediaKind::kMetadata;
    }
    if (words.size() >= 3) {
        section.media.port = static_cast<uint16_t>(ParseDecimal(words[1]).value_or(0));
        section.media.transport = std::string(words[2]);
    }
    if (words.size() >= 4) {
        section.media.payloadType = static_cast<uint8_t>(ParseDecimal(words[3]).value_or(0));
    }
    return true;
}

bool ReadConnection(std::string_view line, Section& section) {
    const auto words = Split(line.substr(2), " \t");
    if (words.size() < 3 || !EqualsNoCase(words[0], "IN")) {
        return false;
    }
    if (EqualsNoCase(words[1], "IP4")) {
        const std::string_view address = words[2].substr(0, words[2].find('/'));
        section.media.connectionAddress = std::string(address);
        return !address.empty();
    }
    return EqualsNoCase(words[1], "IP6");
}

// The first of a comma-separated list of base64 units.
std::vector<uint8_t> FirstUnit(std::string_view list) {
    return DecodeBase64(Trim(list.substr(0, list.find(','))));
}

// H.265 names each kind of parameter set on its own; any of them, or the interleaving depth,
// marks the line as H.265's.
bool ReadH265Format(std::string_view line, SessionDescription& out) {
    bool seen = false;
    ParameterSets& sets = out.parameterSets;
    std::vector<uint8_t>* slots[] = {&sets.vps, &sets.sps, &sets.pps};
    const char* names[] = {"sprop-vps", "sprop-sps", "sprop-pps"};
    for (size_t i = 0; i < 3; ++i) {
        if (const auto value = FindParameter(line, names[i], "=", " ;\r\n")) {
            seen = true;
            if (slots[i]->empty()) {
                *slots[i] = FirstUnit(*value);
            }
        }
    }
    if (const auto depth = FindParameter(line, "sprop-max-don-diff", "=", " ;\r\n")) {
        seen = true;
        // Unreadable counts as not 0: the parser must not take DONL fields for unit data.
        sets.maxDonDiff = ParseDecimal(*depth).value_or(1);
    }
    return seen;
}

bool ReadVideoFormat(std::string_view line, SessionDescription& out) {
    if (ReadH265Format(line, out)) {
        return true;
    }
    if (const auto sets = FindParameter(line, "sprop-parameter-sets", "=", " ;\r\n")) {
        const auto parts = Split(*sets, ",");
        if (parts.size() < 2) {
            return false;
        }
        if (!out.parameterSets.sps.empty() || !out.parameterSets.pps.empty()) {
            return true;
        }
        out.parameterSets.sps = DecodeBase64(parts[0]);
        out.parameterSets.pps = DecodeBase64(parts[1]);
        return !out.parameterSets.sps.empty() && !out.parameterSets.pps.empty();
    }
    if (const auto config = FindParameter(line, "config", "=", " ;\r\n")) {
        if (out.parameterSets.config.empty()) {
            out.parameterSets.config = config->find('=') != std::string_view::npos
                                           ? DecodeBase64(*config)
                                           : DecodeHex(*config);
        }
        return !out.parameterSets.config.empty();
    }
    return false;
}

bool ReadLine(std::string_view line, Section& section, SessionDescription& out) {
    const std::string lower = ToLower(line.substr(0, 12));
    const std::string_view head(lower);
    if (head.starts_with("m=")) {
        Store(section, out);
        return StartMedia(line, section);
    }
    if (head.starts_with("a=control")) {
        const size_t at = lower.find("a=control:");
        if (at != 0) {
            return false;
        }
        section.media.control = std::string(Trim(line.substr(10)));
        return !section.media.control.empty();
    }
    if (head.starts_with("a=fmtp")) {
        switch (section.kind) {
            case MediaKind::kVideo:
                return ReadVideoFormat(line, out);
            case MediaKind::kAudio:
            case MediaKind::kMetadata:
                return true;
            case MediaKind::kNone:
                return false;
        }
    }
    if (head.starts_with("c=in")) {
        return ReadConnection(line, section);
    }
    if (head.starts_with("a=rtpmap")) {
        std::string_view value = line.substr(8);
        const size_t colon = value.find(':');
        value = colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
        const auto words = Split(value, " \t");
        if (words.size() < 2) {
            return false;
        }
        section.media.payloadType = static_cast<uint8_t>(ParseDecimal(words[0]).value_or(0));
        section.media.encoding = std::string(words[1]);
        return true;
    }
    if (head.starts_with("a=sendonly")) {
        section.kind = MediaKind::kNone;
    }
    return true;
}
}  // namespace

bool CSDPResponseParser::Parse(std::string_view body, SessionDescription& description) {
    description.Clear();
    if (body.empty()) {
        return false;
    }
    Section section;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t end = body.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = body.size();
        }
        const std::string_view line = body.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty()) {
            continue;
        }
        if (!ReadLine(line, section, description)) {
            return false;
        }
    }
    Store(section, description);
    return true;
}

}  // namespace vornak
