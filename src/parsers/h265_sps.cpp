#include "parsers/h265_sps.h"

#include "parsers/bit_reader.h"
#include "parsers/h264_sps.h"

namespace vornak {

namespace {

constexpr uint32_t kH265MaxSubLayers = 7;

void SkipProfileTierLevel(CBitReader& reader, uint32_t maxSubLayersMinus1) {
    // general profile space, tier, profile, 32 compatibility flags, 48 constraint bits, level.
    reader.SkipBits(2 + 1 + 5 + 32 + 48 + 8);
    bool profilePresent[kH265MaxSubLayers] = {};
    bool levelPresent[kH265MaxSubLayers] = {};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = reader.ReadFlag();
        levelPresent[i] = reader.ReadFlag();
    }
    if (maxSubLayersMinus1 > 0) {
        reader.SkipBits(2 * (8 - maxSubLayersMinus1));  // reserved_zero_2bits
    }
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        reader.SkipBits((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
    }
}

}  // namespace

std::optional<Size> ParseH265Sps(std::span<const uint8_t> nal) {
    if (nal.size() < 3 || H265NalType(nal[0]) != kH265NalSps) {
        return std::nullopt;
    }
    CBitReader reader(nal.subspan(2), true);
    reader.SkipBits(4);  // sps_video_parameter_set_id
    const uint32_t maxSubLayersMinus1 = reader.ReadBits(3);
    if (maxSubLayersMinus1 >= kH265MaxSubLayers) {
        return std::nullopt;
    }
    reader.SkipBits(1);  // sps_temporal_id_nesting_flag
    SkipProfileTierLevel(reader, maxSubLayersMinus1);
    reader.ReadUe();  // sps_seq_parameter_set_id
    const uint32_t chromaFormat = reader.ReadUe();
    if (chromaFormat > 3) {
        return std::nullopt;
    }
    const bool separateColourPlanes = chromaFormat == 3 && reader.ReadFlag();
    const uint64_t width = reader.ReadUe();
    const uint64_t height = reader.ReadUe();
    uint64_t cropX = 0;
    uint64_t cropY = 0;
    if (reader.ReadFlag()) {  // conformance_window_flag
        const uint64_t left = reader.ReadUe();
        const uint64_t right = reader.ReadUe();
        const uint64_t top = reader.ReadUe();
        const uint64_t bottom = reader.ReadUe();
        // Offsets count chroma samples; monochrome and separately coded planes count luma ones.
        const bool subsampled = chromaFormat != 0 && !separateColourPlanes;
        const uint64_t unitX = subsampled && chromaFormat != 3 ? 2 : 1;
        const uint64_t unitY = subsampled && chromaFormat == 1 ? 2 : 1;
        cropX = (left + right) * unitX;
        cropY = (top + bottom) * unitY;
    }
    return SizeAfterCrop(reader.Overrun(), width, height, cropX, cropY);
}

std::optional<Size> FindH265Sps(std::span<const uint8_t> annexB) {
    // Offsets of the NAL units that follow "00 00 01"; the first non-parameter-set unit ends the
    // search.
    size_t begin = 0;
    bool inUnit = false;
    for (size_t i = 0; i + 3 <= annexB.size(); ++i) {
        if (annexB[i] != 0 || annexB[i + 1] != 0 || annexB[i + 2] != 1) {
            continue;
        }
        if (inUnit && H265NalType(annexB[begin]) == kH265NalSps) {
            return ParseH265Sps(annexB.subspan(begin, i - begin));
        }
        begin = i + 3;
        if (begin >= annexB.size()) {
            return std::nullopt;
        }
        const uint8_t type = H265NalType(annexB[begin]);
        if (type < kH265NalVps || type > kH265NalPps) {
            return std::nullopt;
        }
        inUnit = true;
        i = begin;
    }
    if (inUnit && H265NalType(annexB[begin]) == kH265NalSps) {
        return ParseH265Sps(annexB.subspan(begin));
    }
    return std::nullopt;
}

}  // namespace vornak
