#include "parsers/jpeg_stream_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_test_support.h"

namespace vornak {
namespace {

using Bytes = std::vector<uint8_t>;

// A picture as a camera sends it: start marker, a short APP0, an optional APP1, a frame header
// of the given kind with the size, a scan header, entropy-coded bytes (with a stuffed FF 00 and
// a restart marker), the end marker.
Bytes Picture(uint16_t width, uint16_t height, size_t body, uint8_t fill, uint8_t sof = 0xC0,
              const Bytes& app1 = {}) {
    Bytes p = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x4A, 0x46};
    if (!app1.empty()) {
        const size_t length = app1.size() + 2;
        p.insert(p.end(),
                 {0xFF, 0xE1, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
        p.insert(p.end(), app1.begin(), app1.end());
    }
    p.insert(p.end(), {0xFF, sof, 0x00, 0x11, 0x08, static_cast<uint8_t>(height >> 8),
                       static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
                       static_cast<uint8_t>(width), 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03,
                       0x11, 0x01});
    p.insert(p.end(),
             {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
    p.insert(p.end(), body, fill);
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
    int malformed = 0;
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
            [&](JpegStreamScanner::Drop why) {
                ++(why == JpegStreamScanner::Drop::kOverflow ? seen.overflows : seen.malformed);
            });
    }
    return seen;
}

TEST(JpegStreamScannerTest, SameFramesWholeInPiecesAndByteByByte) {
    const Bytes exif = test::Concat({{'E', 'x', 'i', 'f', 0, 0}, Picture(160, 120, 30, 0x55)});
    Bytes lying = Picture(320, 240, 60, 0x66);
    lying[30] = 0x40;  // the scan header's length runs into the coded data
    const struct {
        Bytes picture;
        bool withLength;
        std::pair<uint32_t, uint32_t> size;
        const char* reason;
    } parts[] = {
        {Picture(640, 480, 3000, 0x11), true, {640, 480}, "baseline"},
        {Picture(176, 144, 10, 0x22), false, {176, 144}, "no Content-Length"},
        {Picture(1920, 1080, 20000, 0x33), true, {1920, 1080}, "large"},
        {Picture(800, 600, 50, 0x44, 0xC2, exif),
         false,
         {800, 600},
         "progressive, a whole JPEG as its Exif thumbnail"},
        {Picture(1024, 768, 50, 0x44, 0xC1, exif), true, {1024, 768}, "extended sequential"},
        {lying, true, {320, 240}, "broken segment, ended by its Content-Length"},
    };
    Bytes stream;
    for (const auto& part : parts) {
        const Bytes bytes = Part(part.picture, part.withLength);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    for (const size_t piece : {stream.size(), size_t{8192}, size_t{7}, size_t{2}, size_t{1}}) {
        const Seen seen = Scan(stream, piece);
        ASSERT_EQ(seen.pictures.size(), std::size(parts)) << "piece " << piece;
        for (size_t i = 0; i < std::size(parts); ++i) {
            EXPECT_EQ(seen.pictures[i], parts[i].picture) << parts[i].reason << ", piece " << piece;
            EXPECT_EQ(seen.sizes[i], parts[i].size) << parts[i].reason << ", piece " << piece;
        }
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
    Bytes stream(a.begin(), a.begin() + 60);  // cut off in its coded data, the camera started over
    stream.insert(stream.end(), a.begin(), a.end());
    const Seen seen = Scan(stream, 3);
    ASSERT_EQ(seen.pictures.size(), 1u);
    EXPECT_EQ(seen.pictures[0], a);
    EXPECT_EQ(seen.malformed, 1);
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

}  // namespace
}  // namespace vornak
