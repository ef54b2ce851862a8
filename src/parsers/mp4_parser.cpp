#include "parsers/mp4_parser.h"

#include "parsers/bit_reader.h"

namespace vornak {

namespace {

// Exact size when known, else the size rounded up to whole macroblocks; both checked.
std::optional<Size> CheckedSize(uint32_t width, uint32_t height) {
    const uint32_t roundedWidth = (width + 15) / 16 * 16;
    const uint32_t roundedHeight = (height + 15) / 16 * 16;
    if (roundedWidth == 0 || roundedHeight == 0 || roundedWidth > kMp4MaxDimension ||
        roundedHeight > kMp4MaxDimension) {
        return std::nullopt;
    }
    if (width >= 1 && height >= 1) {
        return Size{width, height};
    }
    return Size{roundedWidth, roundedHeight};
}

bool IsStartCode(std::span<const uint8_t> data, size_t pos) {
    return data.size() - pos >= 4 && data[pos] == 0 && data[pos + 1] == 0 && data[pos + 2] == 1;
}

}  // namespace

std::optional<Size> CMP4Parser::ReadSize(std::span<const uint8_t> frame) const {
    // Short video header: 22-bit picture start code 0000 0000 0000 0000 1000 00.
    if (frame.size() >= 3 && frame[0] == 0 && frame[1] == 0 && (frame[2] & 0xFC) == 0x80) {
        return ReadShortHeader(frame);
    }
    for (size_t pos = 0; pos + 3 < frame.size(); ++pos) {
        if (!IsStartCode(frame, pos)) {
            continue;
        }
        const uint8_t code = frame[pos + 3];
        if (code >= 0x20 && code <= 0x2F) {
            return ReadVideoObjectLayer(frame.subspan(pos + 4));
        }
        // Visual object sequence (B0), user data (B2), visual object (B5), video object
        // (00-1F), group of VOPs (B3) precede the layer; a VOP (B6) without one means the
        // configuration is missing.
        if (code == 0xB6) {
            return std::nullopt;
        }
        pos += 3;
    }
    return std::nullopt;
}

namespace {

// Reads a video object layer header up to vop_time_increment_resolution; nothing when the
// layer is not rectangular or a marker is missing.
std::optional<uint32_t> ReadUpToTimeResolution(CBitReader& reader) {
    reader.ReadFlag();        // random_accessible_vol
    reader.ReadBits(8);       // video_object_type_indication
    if (reader.ReadFlag()) {  // is_object_layer_identifier
        reader.ReadBits(4);   // video_object_layer_verid
        reader.ReadBits(3);   // video_object_layer_priority
    }
    if (reader.ReadBits(4) == 15) {  // aspect_ratio_info: extended PAR
        reader.ReadBits(8);          // par_width
        reader.ReadBits(8);          // par_height
    }
    if (reader.ReadFlag()) {                   // vol_control_parameters
        reader.ReadBits(2);                    // chroma_format
        reader.ReadFlag();                     // low_delay
        if (reader.ReadFlag()) {               // vbv_parameters
            reader.SkipBits(15 + 1 + 15 + 1);  // bit rate halves, markers
            reader.SkipBits(15 + 1 + 3);       // vbv buffer size halves, marker
            reader.SkipBits(11 + 1 + 15 + 1);  // vbv occupancy halves, markers
        }
    }
    const uint32_t shape = reader.ReadBits(2);
    if (shape != 0) {
        return std::nullopt;  // only rectangular pictures have a plain size
    }
    if (!reader.ReadFlag()) {  // marker
        return std::nullopt;
    }
    const uint32_t resolution = reader.ReadBits(16);  // vop_time_increment_resolution
    if (!reader.ReadFlag() || resolution == 0 || reader.Overrun()) {  // marker
        return std::nullopt;
    }
    return resolution;
}

}  // namespace

unsigned VopTimeIncrementBits(uint32_t resolution) {
    unsigned bits = 1;
    while (bits < 32 && (1u << bits) < resolution) {
        ++bits;
    }
    return bits;
}

std::optional<uint32_t> CMP4Parser::ReadTimeResolution(std::span<const uint8_t> frame) {
    for (size_t pos = 0; pos + 3 < frame.size(); ++pos) {
        if (!IsStartCode(frame, pos)) {
            continue;
        }
        const uint8_t code = frame[pos + 3];
        if (code >= 0x20 && code <= 0x2F) {
            CBitReader reader(frame.subspan(pos + 4));
            return ReadUpToTimeResolution(reader);
        }
        if (code == 0xB6) {
            return std::nullopt;
        }
        pos += 3;
    }
    return std::nullopt;
}

std::optional<Size> CMP4Parser::ReadVideoObjectLayer(std::span<const uint8_t> vol) {
    CBitReader reader(vol);
    const std::optional<uint32_t> resolution = ReadUpToTimeResolution(reader);
    if (!resolution) {
        return std::nullopt;
    }
    if (reader.ReadFlag()) {                                 // fixed_vop_rate
        reader.ReadBits(VopTimeIncrementBits(*resolution));  // fixed_vop_time_increment
    }
    if (!reader.ReadFlag()) {
        return std::nullopt;
    }
    const uint32_t width = reader.ReadBits(13);
    if (!reader.ReadFlag()) {
        return std::nullopt;
    }
    const uint32_t height = reader.ReadBits(13);
    if (reader.Overrun()) {
        return std::nullopt;
    }
    return CheckedSize(width, height);
}

std::optional<Size> CMP4Parser::ReadShortHeader(std::span<const uint8_t> picture) {
    CBitReader reader(picture);
    if (reader.ReadBits(22) != 0x20) {
        return std::nullopt;
    }
    reader.ReadBits(8);        // temporal_reference
    if (!reader.ReadFlag()) {  // marker
        return std::nullopt;
    }
    if (reader.ReadFlag()) {  // zero_bit
        return std::nullopt;
    }
    reader.ReadBits(3);  // split_screen, document_camera, full_picture_freeze_release
    const uint32_t format = reader.ReadBits(3);
    if (reader.Overrun()) {
        return std::nullopt;
    }
    switch (format) {
        case 1:
            return CheckedSize(128, 96);
        case 2:
            return CheckedSize(176, 144);
        case 3:
            return CheckedSize(352, 288);
        case 4:
            return CheckedSize(704, 576);
        case 5:
            return CheckedSize(1408, 1152);
        default:
            return std::nullopt;
    }
}

}  // namespace vornak
