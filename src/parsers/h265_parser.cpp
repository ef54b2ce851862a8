#include "parsers/h265_parser.h"

#include <array>

#include "base/bytes.h"
#include "parsers/h265_sps.h"

namespace vornak {

namespace {

// Access unit delimiter (pic_type 2: any slice type), so a decoder sees where each frame ends.
constexpr std::array<uint8_t, 6> kH265FrameTrailer = {0x00, 0x00, 0x01, 0x46, 0x01, 0x50};

constexpr uint8_t kH265NalAud = 35;
constexpr uint8_t kH265NalFiller = 38;
constexpr uint8_t kH265NalSeiPrefix = 39;
constexpr uint8_t kH265NalSeiSuffix = 40;
constexpr uint8_t kH265NalAggregation = 48;
constexpr uint8_t kH265NalFragment = 49;
constexpr uint8_t kH265NalPaci = 50;

bool IsIrap(uint8_t type) {
    return type >= kH265NalIrapFirst && type <= kH265NalIrapLast;
}

// Units a recorder does not need; left out as the H.264 path leaves out its SEI and delimiters.
// Encoders write long SEI messages (their settings as text) that arrive fragmented.
bool IsLeftOut(uint8_t type) {
    return type == kH265NalAud || type == kH265NalFiller || type == kH265NalSeiPrefix ||
           type == kH265NalSeiSuffix;
}

constexpr const char* kH265ProcessPacket = "vornak::CH265RTPMediaParser::ProcessPacket";

const AnnexBCodec kH265AnnexB{kFourCCH265,        kFourCCI265,
                              kH265FrameTrailer,  &FindH265Sps,
                              kH265ProcessPacket, "vornak::CH265RTPMediaParser::ProcessFrame"};

}  // namespace

const char* H265PayloadErrorText(H265PayloadError error) {
    switch (error) {
        case H265PayloadError::kNone:
            return "none";
        case H265PayloadError::kEmpty:
            return "empty payload";
        case H265PayloadError::kTooShort:
            return "payload too short";
        case H265PayloadError::kPaci:
            return "PACI packets are not supported";
        case H265PayloadError::kUnsupportedType:
            return "unsupported NAL unit type";
        case H265PayloadError::kAggregationOverrun:
            return "aggregation unit size runs past the packet";
        case H265PayloadError::kBadFuHeader:
            return "invalid fragmentation unit header";
    }
    return "unknown";
}

H265PayloadError UnpackH265Payload(std::span<const uint8_t> payload, H265Payload& out) {
    out.nalUnits.clear();
    out.fuStart = out.fuEnd = false;
    out.fuNalHeader[0] = out.fuNalHeader[1] = 0;
    out.fuData = {};
    if (payload.empty()) {
        return H265PayloadError::kEmpty;
    }
    //  0                   1
    //  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5
    // +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
    // |F|   Type    |  LayerId  | TID |  payload header, shaped as a NAL unit header
    // +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
    if (payload.size() < 3) {
        return H265PayloadError::kTooShort;
    }
    const uint8_t type = H265NalType(payload[0]);
    if (type < kH265NalAggregation) {
        out.kind = H265PacketKind::kSingle;
        out.nalUnits.push_back(payload);
        return H265PayloadError::kNone;
    }
    if (type == kH265NalAggregation) {
        // payload header | unit 1 size (16) | unit 1 | unit 2 size (16) | unit 2 | ...
        out.kind = H265PacketKind::kAggregation;
        size_t pos = 2;
        while (payload.size() - pos > 1) {
            const size_t size = ReadBe16(&payload[pos]);
            pos += 2;
            if (size < 2 || size > payload.size() - pos) {
                out.nalUnits.clear();
                return H265PayloadError::kAggregationOverrun;
            }
            out.nalUnits.push_back(payload.subspan(pos, size));
            pos += size;
        }
        return out.nalUnits.empty() ? H265PayloadError::kTooShort : H265PayloadError::kNone;
    }
    if (type == kH265NalFragment) {
        // payload header (type 49) | S E FuType(6) | fragment
        const uint8_t fuHeader = payload[2];
        const uint8_t fragmentType = fuHeader & 0x3F;
        // Aggregation, fragmentation and PACI units cannot be fragments themselves.
        if (fragmentType >= kH265NalAggregation) {
            return H265PayloadError::kBadFuHeader;
        }
        out.kind = H265PacketKind::kFragment;
        out.fuStart = (fuHeader & 0x80) != 0;
        out.fuEnd = (fuHeader & 0x40) != 0;
        out.fuNalHeader[0] = static_cast<uint8_t>((payload[0] & 0x81) | fragmentType << 1);
        out.fuNalHeader[1] = payload[1];
        out.fuData = payload.subspan(3);
        return H265PayloadError::kNone;
    }
    return type == kH265NalPaci ? H265PayloadError::kPaci : H265PayloadError::kUnsupportedType;
}

CH265RTPMediaParser::CH265RTPMediaParser(IDriver* owner)
    : CAnnexBRTPMediaParser(owner, kH265AnnexB) {
    payload_.nalUnits.reserve(64);
}

void CH265RTPMediaParser::Reset() {
    CAnnexBRTPMediaParser::Reset();
    decodingOrderStream_ = false;
}

void CH265RTPMediaParser::SetParameterSets(const ParameterSets& sets) {
    decodingOrderStream_ = sets.maxDonDiff != 0;
    if (decodingOrderStream_) {
        owner_->DebugMessage(kLogError,
                             "%s: Stream of device %s sends units out of decoding order "
                             "(sprop-max-don-diff=%u), which is not supported",
                             "vornak::CH265RTPMediaParser::SetParameterSets",
                             owner_->GetDeviceName().c_str(), sets.maxDonDiff);
    }
    if (sets.sps.empty() || sets.pps.empty() || sets.vps.empty()) {
        return;
    }
    const std::optional<Size> size = ParseH265Sps(sets.sps);
    if (!size) {
        return;
    }
    width_ = size->width;
    height_ = size->height;
    sets_.vps = sets.vps;
    sets_.sps = sets.sps;
    sets_.pps = sets.pps;
}

void CH265RTPMediaParser::PrependParameterSets() {
    if (!frameBuffer_.empty() || sets_.vps.empty() || sets_.sps.empty() || sets_.pps.empty()) {
        return;
    }
    for (const std::vector<uint8_t>* set : {&sets_.vps, &sets_.sps, &sets_.pps}) {
        AppendBytes(frameBuffer_, kAnnexBStartCode);
        AppendBytes(frameBuffer_, *set);
    }
}

bool CH265RTPMediaParser::AppendNalUnit(std::span<const uint8_t> nal) {
    if (nal.size() < 3) {
        RefusePayload(kH265ProcessPacket, "NAL unit without a body");
        return false;
    }
    const uint8_t type = H265NalType(nal[0]);
    switch (type) {
        case kH265NalVps:
            sets_.vps.assign(nal.begin(), nal.end());
            return true;
        case kH265NalSps:
            if (!ParseH265Sps(nal)) {
                RefusePayload(kH265ProcessPacket, "unreadable in-band SPS");
                return false;
            }
            sets_.sps.assign(nal.begin(), nal.end());
            return true;
        case kH265NalPps:
            sets_.pps.assign(nal.begin(), nal.end());
            return true;
        default:
            if (IsLeftOut(type)) {
                return true;
            }
            break;
    }
    // Only the first slice of a picture gets the parameter sets: a later slice arriving into an
    // empty buffer means the picture's head was lost, and it must not pass for a key frame.
    if (IsIrap(type) && SliceStartsPicture(nal.subspan(2))) {
        PrependParameterSets();
    }
    AppendBytes(frameBuffer_, kAnnexBStartCode);
    AppendBytes(frameBuffer_, nal);
    return true;
}

bool CH265RTPMediaParser::AppendPayload(const CRTPPacket& packet) {
    if (decodingOrderStream_) {
        RefusePayload(kH265ProcessPacket, "decoding order numbers are not supported");
        return false;
    }
    const H265PayloadError error = UnpackH265Payload(packet.payload, payload_);
    if (error != H265PayloadError::kNone) {
        RefusePayload(kH265ProcessPacket, H265PayloadErrorText(error));
        return false;
    }
    if (payload_.kind == H265PacketKind::kFragment) {
        const uint8_t type = H265NalType(payload_.fuNalHeader[0]);
        if (payload_.fuStart && IsIrap(type) && SliceStartsPicture(payload_.fuData)) {
            PrependParameterSets();
        }
        return AppendFragment(payload_.fuStart, payload_.fuEnd, type, payload_.fuNalHeader,
                              payload_.fuData, !IsLeftOut(type));
    }
    return AppendWholeUnits(payload_.nalUnits);
}

}  // namespace vornak
