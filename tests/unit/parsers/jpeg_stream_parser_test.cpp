#include "parsers/jpeg_stream_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vornak {
namespace {

using Bytes = std::vector<uint8_t>;

// A picture the scanner accepts: start marker, a baseline frame header with the size,
// some entropy-coded bytes (with a stuffed FF 00 and a restart marker), the end marker.
Bytes Picture(uint16_t width, uint16_t height, size_t body, uint8_t fill) {
    Bytes p = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46};  // SOI, a short APP0
    const Bytes sof = {0xFF,
                       0xC0,
                       0x00,
                       0x11,
                       0x08,
                       static_cast<uint8_t>(height >> 8),
                       static_cast<uint8_t>(height),
                       static_cast<uint8_t>(width >> 8),
                       static_cast<uint8_t>(width),
                       0x03};
    p.insert(p.end(), sof.begin(), sof.end());
    for (size_t i = 0; i < body; ++i) {
        p.push_back(fill);
    }
    p.insert(p.end(), {0xFF, 0x00, 0xFF, 0xD0, 0x12, 0xFF, 0xD9});
    return p;
}

Bytes Part(const Bytes& picture, bool withLength) {
    std::string head = "--myboundary\r\nContent-Type: image/jpeg\r\n";
    if (withLength) {
        head += "Content-Length: " + std::to_string(picture.size()) + "\r\n";
    }
    head += "\r\n";
    Bytes part(head.begin(), head.end());
    part.insert(part.end(), picture.begin(), picture.end());
    part.insert(part.end(), {'\r', '\n'});
    return part;
}

struct Seen {
    std::vector<Bytes> pictures;
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    int overflows = 0;
};

Seen Scan(const Bytes& stream, size_t piece) {
    JpegStreamScanner scanner;
    Seen seen;
    for (size_t offset = 0; offset < stream.size(); offset += piece) {
        const size_t n = std::min(piece, stream.size() - offset);
        scanner.Feed(
            std::span<const uint8_t>(stream.data() + offset, n),
            [&](std::span<const uint8_t> p) {
                seen.pictures.emplace_back(p.begin(), p.end());
                seen.sizes.emplace_back(scanner.Width(), scanner.Height());
            },
            [&] { ++seen.overflows; });
    }
    return seen;
}

TEST(JpegStreamScannerTest, SameFramesWholeInPiecesAndByteByByte) {
    const Bytes a = Picture(640, 480, 3000, 0x11);
    const Bytes b = Picture(176, 144, 10, 0x22);
    const Bytes c = Picture(1920, 1080, 20000, 0x33);
    Bytes stream;
    for (const Bytes* p : {&a, &b, &c}) {
        const Bytes part = Part(*p, p != &b);
        stream.insert(stream.end(), part.begin(), part.end());
    }
    for (const size_t piece : {stream.size(), size_t{8192}, size_t{7}, size_t{2}, size_t{1}}) {
        const Seen seen = Scan(stream, piece);
        ASSERT_EQ(seen.pictures.size(), 3u) << "piece " << piece;
        EXPECT_EQ(seen.pictures[0], a) << "piece " << piece;
        EXPECT_EQ(seen.pictures[1], b) << "piece " << piece;
        EXPECT_EQ(seen.pictures[2], c) << "piece " << piece;
        EXPECT_EQ(seen.sizes[0], std::make_pair(640u, 480u));
        EXPECT_EQ(seen.sizes[1], std::make_pair(176u, 144u));
        EXPECT_EQ(seen.sizes[2], std::make_pair(1920u, 1080u));
    }
}

TEST(JpegStreamScannerTest, GarbageBetweenPartsIsIgnored) {
    const Bytes a = Picture(320, 240, 100, 0x44);
    Bytes stream = {'j', 'u', 'n', 'k', 0xFF, 0x12, 0xFF, 0xD9, 0x00};  // stray end marker
    const Bytes part = Part(a, false);
    stream.insert(stream.end(), part.begin(), part.end());
    stream.insert(stream.end(), {0xFF, 0xFF, 'x', 'y'});
    stream.insert(stream.end(), part.begin(), part.end());
    const Seen seen = Scan(stream, 5);
    ASSERT_EQ(seen.pictures.size(), 2u);
    EXPECT_EQ(seen.pictures[0], a);
    EXPECT_EQ(seen.pictures[1], a);
}

TEST(JpegStreamScannerTest, RestartedPictureDropsTheUnfinishedOne) {
    const Bytes a = Picture(320, 240, 100, 0x44);
    Bytes stream(a.begin(), a.begin() + 40);  // cut off, the camera started over
    stream.insert(stream.end(), a.begin(), a.end());
    const Seen seen = Scan(stream, 3);
    ASSERT_EQ(seen.pictures.size(), 1u);
    EXPECT_EQ(seen.pictures[0], a);
}

TEST(JpegStreamScannerTest, OversizedPictureIsDroppedAndTheStreamContinues) {
    const Bytes huge = Picture(1920, 1080, kMaxPictureBytes + 10, 0x55);
    const Bytes small = Picture(320, 240, 100, 0x66);
    Bytes stream = Part(huge, true);
    const Bytes part = Part(small, true);
    stream.insert(stream.end(), part.begin(), part.end());
    const Seen seen = Scan(stream, 8192);
    EXPECT_EQ(seen.overflows, 1);
    ASSERT_EQ(seen.pictures.size(), 1u);
    EXPECT_EQ(seen.pictures[0], small);
}

TEST(JpegStreamScannerTest, TruncatedFrameHeaderGivesNoSize) {
    const Bytes stream = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0xFF, 0xD9};
    const Seen seen = Scan(stream, 1);
    ASSERT_EQ(seen.pictures.size(), 1u);
    EXPECT_EQ(seen.sizes[0], std::make_pair(0u, 0u));
}

}  // namespace
}  // namespace vornak
