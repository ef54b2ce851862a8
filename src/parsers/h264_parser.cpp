#include "parsers/h264_parser.h"

#include <array>

#include "base/bytes.h"
#include "parsers/h264_sps.h"

namespace vornak {

namespace {

// Access unit delimiter, primary_pic_type 1, so a decoder sees where each frame ends.
constexpr std::array<uint8_t, 5> kFrameTrailer = {0x00, 0x00, 0x01, 0x09, 0x30};

constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSei = 6;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalAud = 9;
constexpr uint8_t kNalStapA = 24;
constexpr uint8_t kNalFuA = 28;

uint8_t NalType(uint8_t header) {
    return header & 0x1F;
}

constexpr const char* kH264ProcessPacket = "vornak::CH264RTPMediaParser::ProcessPacket";

const AnnexBCodec kH264AnnexB{kFourCCH264,        kFourCCI264,
                              kFrameTrailer,      &FindSps,
                              kH264ProcessPacket, "vornak::CH264RTPMediaParser::ProcessFrame"};

}  // namespace

const char* H264PayloadErrorText(H264PayloadError error) {
    switch (error) {
        case H264PayloadError::kNone:
            return "none";
        case H264PayloadError::kEmpty:
            return "empty payload";
        case H264PayloadError::kTooShort:
            return "payload too short";
        case H264PayloadError::kUnsupportedType:
            return "unsupported NAL unit type";
        case H264PayloadError::kStapOverrun:
            return "STAP-A unit size runs past the packet";
        case H264PayloadError::kBadFuHeader:
            return "invalid FU-A header";
    }
    return "unknown";
}

H264PayloadError UnpackH264Payload(std::span<const uint8_t> payload, H264Payload& out) {
    out.nalUnits.clear();
    out.fuStart = out.fuEnd = false;
    out.fuNalHeader = 0;
    out.fuData = {};
    if (payload.empty()) {
        return H264PayloadError::kEmpty;
    }
    const uint8_t type = NalType(payload[0]);
    if (type >= 1 && type <= 23) {
        //  0 1 2 3 4 5 6 7
        // +-+-+-+-+-+-+-+-+
        // |F|NRI|  Type   |  NAL unit header, then the NAL unit payload
        // +-+-+-+-+-+-+-+-+
        if (payload.size() < 2) {
            return H264PayloadError::kTooShort;
        }
        out.kind = H264PacketKind::kSingle;
        out.nalUnits.push_back(payload);
        return H264PayloadError::kNone;
    }
    if (type == kNalStapA) {
        // STAP-A header | NALU 1 size (16) | NALU 1 | NALU 2 size (16) | NALU 2 | ...
        if (payload.size() < 3) {
            return H264PayloadError::kTooShort;
        }
        out.kind = H264PacketKind::kStapA;
        size_t pos = 1;
        while (payload.size() - pos > 1) {
            const size_t size = ReadBe16(&payload[pos]);
            pos += 2;
            if (size == 0) {
                break;
            }
            if (size > payload.size() - pos) {
                out.nalUnits.clear();
                return H264PayloadError::kStapOverrun;
            }
            out.nalUnits.push_back(payload.subspan(pos, size));
            pos += size;
        }
        return H264PayloadError::kNone;
    }
    if (type == kNalFuA) {
        // FU indicator     FU header
        // +-+-+-+-+-+-+-+-+ +-+-+-+-+-+-+-+-+
        // |F|NRI|  Type=28| |S|E|R|  Type   |  then the fragment
        // +-+-+-+-+-+-+-+-+ +-+-+-+-+-+-+-+-+
        if (payload.size() < 2) {
            return H264PayloadError::kTooShort;
        }
        const uint8_t fuHeader = payload[1];
        const uint8_t fragmentType = NalType(fuHeader);
        const bool start = (fuHeader & 0x80) != 0;
        const bool end = (fuHeader & 0x40) != 0;
        // Only NAL unit types can be fragmented. Start and end in one fragment is a whole unit
        // sent the long way; harmless, so it is taken.
        if (fragmentType == 0 || fragmentType > 23) {
            return H264PayloadError::kBadFuHeader;
        }
        out.kind = H264PacketKind::kFuA;
        out.fuStart = start;
        out.fuEnd = end;
        out.fuNalHeader = static_cast<uint8_t>((payload[0] & 0xE0) | fragmentType);
        out.fuData = payload.subspan(2);
        return H264PayloadError::kNone;
    }
    return H264PayloadError::kUnsupportedType;
}

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* owner)
    : CAnnexBRTPMediaParser(owner, kH264AnnexB) {
    payload_.nalUnits.reserve(64);
}

void CH264RTPMediaParser::SetParameterSets(const ParameterSets& sets) {
    if (sets.sps.empty() || sets.pps.empty()) {
        return;
    }
    const std::optional<Size> size = ParseSps(sets.sps);
    if (!size) {
        return;
    }
    width_ = size->width & 0xFFFF;
    height_ = size->height & 0xFFFF;
    sets_.sps = sets.sps;
    sets_.pps = sets.pps;
}

void CH264RTPMediaParser::PrependParameterSets() {
    if (!frameBuffer_.empty() || sets_.sps.empty() || sets_.pps.empty()) {
        return;
    }
    AppendBytes(frameBuffer_, kAnnexBStartCode);
    AppendBytes(frameBuffer_, sets_.sps);
    AppendBytes(frameBuffer_, kAnnexBStartCode);
    AppendBytes(frameBuffer_, sets_.pps);
}

bool CH264RTPMediaParser::AppendNalUnit(std::span<const uint8_t> nal) {
    switch (NalType(nal[0])) {
        case kNalIdr:
            // Only the first slice of a picture gets the parameter sets: a later slice
            // arriving into an empty buffer means the picture's head was lost, and it must
            // not pass for a key frame.
            if (SliceStartsPicture(nal.subspan(1))) {
                PrependParameterSets();
            }
            break;
        case kNalSei:
        case kNalAud:
            return true;
        case kNalSps:
            if (ParseSps(nal)) {
                sets_.sps.assign(nal.begin(), nal.end());
            } else {
                RefusePayload(kH264ProcessPacket, "unreadable in-band SPS");
                return false;
            }
            return true;
        case kNalPps:
            if (nal.size() < 2) {
                RefusePayload(kH264ProcessPacket, "empty in-band PPS");
                return false;
            }
            sets_.pps.assign(nal.begin(), nal.end());
            return true;
        default:
            break;
    }
    AppendBytes(frameBuffer_, kAnnexBStartCode);
    AppendBytes(frameBuffer_, nal);
    return true;
}

bool CH264RTPMediaParser::AppendPayload(const CRTPPacket& packet) {
    const H264PayloadError error = UnpackH264Payload(packet.payload, payload_);
    if (error != H264PayloadError::kNone) {
        RefusePayload(kH264ProcessPacket, H264PayloadErrorText(error));
        return false;
    }
    if (payload_.kind == H264PacketKind::kFuA) {
        const uint8_t type = NalType(payload_.fuNalHeader);
        if (payload_.fuStart && type == kNalIdr && SliceStartsPicture(payload_.fuData)) {
            PrependParameterSets();
        }
        return AppendFragment(payload_.fuStart, payload_.fuEnd, type,
                              std::span<const uint8_t>(&payload_.fuNalHeader, 1), payload_.fuData,
                              true);
    }
    return AppendWholeUnits(payload_.nalUnits);
}

}  // namespace vornak
