#include "parsers/jpeg_header.h"

#include "base/bytes.h"

namespace vornak {

namespace {

// Quantization tables of JPEG Annex K (K.1, K.2), in zigzag order, which Q scales.
constexpr std::array<uint8_t, 64> kLumaQuantizer = {
    16, 11, 12,  14,  12,  10, 16, 14,  13,  14,  18,  17,  16, 19,  24,  40,
    26, 24, 22,  22,  24,  49, 35, 37,  29,  40,  58,  51,  61, 60,  57,  51,
    56, 55, 64,  72,  92,  78, 64, 68,  87,  69,  55,  56,  80, 109, 81,  87,
    95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
constexpr std::array<uint8_t, 64> kChromaQuantizer = {
    17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Huffman tables of JPEG Annex K.3: code counts per length 1..16, then the symbols.
constexpr std::array<uint8_t, 16> kLumaDcCounts = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 12> kLumaDcSymbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::array<uint8_t, 16> kChromaDcCounts = {0, 3, 1, 1, 1, 1, 1, 1,
                                                     1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 12> kChromaDcSymbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::array<uint8_t, 16> kLumaAcCounts = {0, 2, 1, 3, 3, 2, 4, 3,
                                                   5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<uint8_t, 162> kLumaAcSymbols = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr std::array<uint8_t, 16> kChromaAcCounts = {0, 2, 1, 2, 4, 4, 3, 4,
                                                     7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::array<uint8_t, 162> kChromaAcSymbols = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr size_t SumCounts(const std::array<uint8_t, 16>& counts) {
    size_t sum = 0;
    for (uint8_t c : counts) {
        sum += c;
    }
    return sum;
}
static_assert(SumCounts(kLumaDcCounts) == kLumaDcSymbols.size());
static_assert(SumCounts(kChromaDcCounts) == kChromaDcSymbols.size());
static_assert(SumCounts(kLumaAcCounts) == kLumaAcSymbols.size());
static_assert(SumCounts(kChromaAcCounts) == kChromaAcSymbols.size());

// Fixed part of the header: SOI+APP0 20, SOF0 19, four DHT 432, SOS 14, two DQT headers 10.
constexpr size_t kFixedHeaderBytes = 495;

constexpr std::array<uint8_t, 20> kSoiApp0 = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A,
                                              0x46, 0x49, 0x46, 0x00, 0x01, 0x01, 0x00,
                                              0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
constexpr std::array<uint8_t, 14> kSos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00,
                                          0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};

void Put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

template <size_t N>
void PutHuffman(std::vector<uint8_t>& out, uint8_t classAndId,
                const std::array<uint8_t, 16>& counts, const std::array<uint8_t, N>& symbols) {
    out.push_back(0xFF);
    out.push_back(0xC4);
    Put16(out, 3 + counts.size() + N);
    out.push_back(classAndId);
    out.insert(out.end(), counts.begin(), counts.end());
    out.insert(out.end(), symbols.begin(), symbols.end());
}

}  // namespace

const char* JpegPayloadErrorText(JpegPayloadError error) {
    switch (error) {
        case JpegPayloadError::kNone:
            return "none";
        case JpegPayloadError::kTooShort:
            return "RTP/JPEG header too short";
        case JpegPayloadError::kUnsupportedType:
            return "unsupported RTP/JPEG type";
        case JpegPayloadError::kRestartOverrun:
            return "restart marker header missing";
        case JpegPayloadError::kTableOverrun:
            return "quantization tables run past the packet";
        case JpegPayloadError::kBadTables:
            return "unusable quantization table header";
    }
    return "unknown";
}

JpegPayloadError ParseJpegPayload(std::span<const uint8_t> payload, JpegPayload& out) {
    out = JpegPayload{};
    //  0                   1                   2                   3
    // | Type-specific |              Fragment Offset                  |
    // |      Type     |       Q       |     Width     |     Height    |
    if (payload.size() < 8) {
        return JpegPayloadError::kTooShort;
    }
    JpegPayload header;
    header.typeSpecific = payload[0];
    header.fragmentOffset = ReadBe24(&payload[1]);
    header.type = payload[4];
    header.q = payload[5];
    header.widthBlocks = payload[6];
    header.heightBlocks = payload[7];
    if (header.type >= 128 || (header.type & 0x3F) > 1) {
        return JpegPayloadError::kUnsupportedType;
    }
    size_t pos = 8;
    if (header.type >= 64) {
        // |       Restart Interval        |F|L|       Restart Count       |
        if (payload.size() - pos < 4) {
            return JpegPayloadError::kRestartOverrun;
        }
        header.restartInterval = ReadBe16(&payload[pos]);
        pos += 4;
    }
    if (header.fragmentOffset == 0 && header.q >= 128) {
        // |      MBZ      |   Precision   |             Length            |
        if (payload.size() - pos < 4) {
            return JpegPayloadError::kTableOverrun;
        }
        const uint8_t mbz = payload[pos];
        const uint8_t precision = payload[pos + 1];
        const size_t length = ReadBe16(&payload[pos + 2]);
        pos += 4;
        if (length > payload.size() - pos) {
            return JpegPayloadError::kTableOverrun;
        }
        // 8-bit tables only: one for luminance, optionally one for chrominance.
        if (mbz != 0 || precision != 0 || (length != 0 && length != 64 && length != 128)) {
            return JpegPayloadError::kBadTables;
        }
        header.hasTableHeader = true;
        header.tables = payload.subspan(pos, length);
        pos += length;
    }
    header.headerLength = pos;
    header.scan = payload.subspan(pos);
    out = header;
    return JpegPayloadError::kNone;
}

std::array<uint8_t, 128> MakeQuantizationTables(uint8_t q) {
    const int clamped = q < 1 ? 1 : (q > 99 ? 99 : q);
    const int factor = clamped < 50 ? 5000 / clamped : 200 - clamped * 2;
    std::array<uint8_t, 128> tables{};
    for (size_t i = 0; i < 64; ++i) {
        const int luma = (kLumaQuantizer[i] * factor + 50) / 100;
        const int chroma = (kChromaQuantizer[i] * factor + 50) / 100;
        tables[i] = static_cast<uint8_t>(luma < 1 ? 1 : (luma > 255 ? 255 : luma));
        tables[64 + i] = static_cast<uint8_t>(chroma < 1 ? 1 : (chroma > 255 ? 255 : chroma));
    }
    return tables;
}

Size JpegHeaderSize(const JpegPayload& header) {
    const uint32_t width = header.widthBlocks == 0 ? 2048u : header.widthBlocks * 8u;
    const uint32_t height = header.heightBlocks == 0 ? 2048u : header.heightBlocks * 8u;
    return {width, height};
}

bool BuildJfifHeader(const JfifParameters& p, std::vector<uint8_t>& out) {
    const size_t tableBytes = p.tables.size();
    if ((p.type & 0x3F) > 1 || p.type >= 128 || (tableBytes != 64 && tableBytes != 128) ||
        p.width == 0 || p.height == 0 || p.width > 0xFFFF || p.height > 0xFFFF) {
        return false;
    }
    const size_t size = kFixedHeaderBytes + tableBytes + (p.restartInterval != 0 ? 6 : 0);
    if (size > kJfifHeaderLimit) {
        return false;
    }
    out.reserve(out.size() + size);
    out.insert(out.end(), kSoiApp0.begin(), kSoiApp0.end());
    if (p.restartInterval != 0) {
        out.insert(out.end(), {0xFF, 0xDD, 0x00, 0x04});
        Put16(out, p.restartInterval);
    }
    const bool twoTables = tableBytes > 64;
    const size_t half = twoTables ? tableBytes / 2 : tableBytes;
    for (uint8_t id = 0; id < (twoTables ? 2 : 1); ++id) {
        out.insert(out.end(), {0xFF, 0xDB});
        Put16(out, half + 3);
        out.push_back(id);
        const auto table = p.tables.subspan(id * half, half);
        out.insert(out.end(), table.begin(), table.end());
    }
    const uint8_t chromaTable = twoTables ? 1 : 0;
    out.insert(out.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08});
    Put16(out, p.height);
    Put16(out, p.width);
    out.push_back(0x03);
    out.insert(out.end(), {0x01, static_cast<uint8_t>((p.type & 0x3F) == 0 ? 0x21 : 0x22), 0x00});
    out.insert(out.end(), {0x02, 0x11, chromaTable});
    out.insert(out.end(), {0x03, 0x11, chromaTable});
    PutHuffman(out, 0x00, kLumaDcCounts, kLumaDcSymbols);
    PutHuffman(out, 0x10, kLumaAcCounts, kLumaAcSymbols);
    PutHuffman(out, 0x01, kChromaDcCounts, kChromaDcSymbols);
    PutHuffman(out, 0x11, kChromaAcCounts, kChromaAcSymbols);
    out.insert(out.end(), kSos.begin(), kSos.end());
    return true;
}

std::optional<Size> FindJpegFrameSize(std::span<const uint8_t> markers) {
    size_t pos = 0;
    while (pos + 1 < markers.size()) {
        if (markers[pos] != 0xFF) {
            return std::nullopt;
        }
        const uint8_t marker = markers[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;  // markers without a length
            continue;
        }
        if (marker == 0xDA || marker == 0xD9 || markers.size() - pos < 4) {
            return std::nullopt;
        }
        const size_t length = ReadBe16(&markers[pos + 2]);
        if (IsJpegFrameHeader(marker)) {
            // FF Cn | length | precision | height | width | ...
            if (length < 7 || markers.size() - pos < 9) {
                return std::nullopt;
            }
            const Size size{ReadBe16(&markers[pos + 7]), ReadBe16(&markers[pos + 5])};
            if (size.width == 0 || size.height == 0) {
                return std::nullopt;
            }
            return size;
        }
        if (length < 2) {
            return std::nullopt;
        }
        pos += 2 + length;
    }
    return std::nullopt;
}

}  // namespace vornak
