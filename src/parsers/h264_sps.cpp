#include "parsers/h264_sps.h"

#include "parsers/bit_reader.h"

namespace vornak {

namespace {

constexpr uint32_t kMaxDimension = 65535;

void SkipScalingList(CBitReader& reader, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size && next != 0; ++j) {
        const int32_t delta = reader.ReadSe();
        next = static_cast<int>((last + static_cast<int64_t>(delta) + 256) % 256);
        if (next != 0) {
            last = next;
        }
        if (reader.Overrun()) {
            return;
        }
    }
}

}  // namespace

std::optional<Size> ParseSps(std::span<const uint8_t> nal) {
    if (nal.size() < 2 || (nal[0] & 0x1F) != 7) {
        return std::nullopt;
    }
    CBitReader reader(nal.subspan(1), true);
    const uint32_t profile = reader.ReadBits(8);
    reader.SkipBits(8);  // constraint flags, reserved bits
    reader.SkipBits(8);  // level_idc
    reader.ReadUe();     // seq_parameter_set_id
    uint32_t chromaFormat = 1;
    bool separateColourPlanes = false;
    if (profile >= 100) {
        chromaFormat = reader.ReadUe();
        if (chromaFormat > 3) {
            return std::nullopt;
        }
        if (chromaFormat == 3) {
            separateColourPlanes = reader.ReadFlag();
        }
        reader.ReadUe();          // bit_depth_luma_minus8
        reader.ReadUe();          // bit_depth_chroma_minus8
        reader.ReadFlag();        // qpprime_y_zero_transform_bypass_flag
        if (reader.ReadFlag()) {  // seq_scaling_matrix_present_flag
            const int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && !reader.Overrun(); ++i) {
                if (reader.ReadFlag()) {
                    SkipScalingList(reader, i < 6 ? 16 : 64);
                }
            }
        }
    }
    reader.ReadUe();  // log2_max_frame_num_minus4
    const uint32_t pocType = reader.ReadUe();
    if (pocType == 0) {
        reader.ReadUe();  // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        reader.ReadFlag();  // delta_pic_order_always_zero_flag
        reader.ReadSe();    // offset_for_non_ref_pic
        reader.ReadSe();    // offset_for_top_to_bottom_field
        const uint32_t cycle = reader.ReadUe();
        if (cycle > 255) {
            return std::nullopt;
        }
        for (uint32_t i = 0; i < cycle && !reader.Overrun(); ++i) {
            reader.ReadSe();
        }
    } else if (pocType != 2) {
        return std::nullopt;
    }
    reader.ReadUe();    // max_num_ref_frames
    reader.ReadFlag();  // gaps_in_frame_num_value_allowed_flag
    const uint64_t widthMbs = reader.ReadUe() + 1ull;
    const uint64_t heightMapUnits = reader.ReadUe() + 1ull;
    const bool frameMbsOnly = reader.ReadFlag();
    if (!frameMbsOnly) {
        reader.ReadFlag();  // mb_adaptive_frame_field_flag
    }
    reader.ReadFlag();  // direct_8x8_inference_flag
    const uint64_t width = widthMbs * 16;
    const uint64_t height = (frameMbsOnly ? 1u : 2u) * heightMapUnits * 16;
    uint64_t cropX = 0;
    uint64_t cropY = 0;
    if (reader.ReadFlag()) {  // frame_cropping_flag
        const uint64_t left = reader.ReadUe();
        const uint64_t right = reader.ReadUe();
        const uint64_t top = reader.ReadUe();
        const uint64_t bottom = reader.ReadUe();
        // Crop offsets count chroma samples, and rows of both fields when fields are coded.
        uint64_t unitX = 1;
        uint64_t unitY = frameMbsOnly ? 1 : 2;
        if (chromaFormat != 0 && !separateColourPlanes) {
            unitX = chromaFormat == 3 ? 1 : 2;
            unitY *= chromaFormat == 1 ? 2 : 1;
        }
        cropX = (left + right) * unitX;
        cropY = (top + bottom) * unitY;
    }
    return SizeAfterCrop(reader.Overrun(), width, height, cropX, cropY);
}

std::optional<Size> SizeAfterCrop(bool overrun, uint64_t width, uint64_t height, uint64_t cropX,
                                  uint64_t cropY) {
    if (overrun || cropX >= width || cropY >= height || width - cropX > kMaxDimension ||
        height - cropY > kMaxDimension) {
        return std::nullopt;
    }
    return Size{static_cast<uint32_t>(width - cropX), static_cast<uint32_t>(height - cropY)};
}

std::optional<Size> FindSps(std::span<const uint8_t> annexB) {
    const size_t window = annexB.size() < kSpsSearchWindow ? annexB.size() : kSpsSearchWindow;
    for (size_t i = 0; i + 3 < window; ++i) {
        if (annexB[i] != 0 || annexB[i + 1] != 0 || annexB[i + 2] != 1 ||
            (annexB[i + 3] & 0x1F) != 7) {
            continue;
        }
        const size_t begin = i + 3;
        size_t end = begin + 1;
        while (end + 2 < annexB.size() &&
               !(annexB[end] == 0 && annexB[end + 1] == 0 && annexB[end + 2] <= 1)) {
            ++end;
        }
        if (end + 2 >= annexB.size()) {
            end = annexB.size();
        }
        return ParseSps(annexB.subspan(begin, end - begin));
    }
    return std::nullopt;
}

}  // namespace vornak
