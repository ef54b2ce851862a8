// RTP/JPEG (RFC 2435) of the simulator: restart markers, and the JPEG header in an RTP extension.
// The plain form is decoded by FFmpeg in the depacketizer interop test.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "camsim/rtp_packetizer.h"

namespace camsim {
namespace {

Clip LoadClip(const char* name) {
    std::ifstream in(std::string(CAMSIM_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    Clip clip;
    EXPECT_EQ(LoadMjpeg(bytes, &clip), std::nullopt) << name;
    return clip;
}

TEST(JpegPacketizer, RestartMarkerHeader) {
    Clip clip = LoadClip("mjpeg_320x240_restart.mjpeg");
    ASSERT_FALSE(clip.frames.empty());
    auto info = ParseJpeg(clip.frames[0].data);
    ASSERT_TRUE(info);
    ASSERT_GT(info->restart_interval, 0);
    auto out = PacketizeJpeg(clip.frames[0].data, PacketizerOptions{});
    ASSERT_FALSE(out.empty());
    for (const auto& p : out) {
        EXPECT_EQ(p.payload[4], 65) << "type 1 + 64 announces restart markers";
        EXPECT_EQ((p.payload[8] << 8) | p.payload[9], info->restart_interval);
        // Packets are not cut at interval boundaries: F=1, L=1, count 0x3FFF.
        EXPECT_EQ((p.payload[10] << 8) | p.payload[11], 0xFFFF);
    }
    EXPECT_EQ((out[0].payload[14] << 8) | out[0].payload[15], 128)
        << "table header follows the restart header in the first packet";
}

TEST(JpegPacketizer, HeaderExtensionFirstPacketOnly) {
    Clip clip = LoadClip("mjpeg_320x240_q12.mjpeg");
    const auto& pic = clip.frames[0].data;
    PacketizerOptions opts;
    opts.jpeg_mode = JpegRtpMode::kHeaderExt;
    auto out = PacketizeJpeg(pic, opts);
    ASSERT_GT(out.size(), 1u);
    ASSERT_TRUE(out[0].has_extension);
    EXPECT_EQ(out[0].extension_profile, 0xFFD8);
    EXPECT_EQ(out[0].extension.size() % 4, 0u);
    const auto& ext = out[0].extension;
    EXPECT_EQ(ext[0], 0xFF) << "starts with a marker, SOI left out";
    bool has_sof = false;
    for (size_t i = 0; i + 1 < ext.size(); ++i)
        has_sof = has_sof || (ext[i] == 0xFF && ext[i + 1] == 0xC0);
    EXPECT_TRUE(has_sof);
    for (size_t i = 1; i < out.size(); ++i)
        EXPECT_FALSE(out[i].has_extension);
    uint64_t total = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        size_t overhead = 8 + (i == 0 ? 4 + 128 : 0) + (out[i].has_extension ? 4 + ext.size() : 0);
        EXPECT_LE(out[i].payload.size() + (out[i].has_extension ? 4 + ext.size() : 0),
                  opts.max_payload);
        total += out[i].payload.size() + (out[i].has_extension ? 4 + ext.size() : 0) - overhead;
    }
    auto info = ParseJpeg(pic);
    EXPECT_EQ(total, info->scan_end - info->headers_end);
}

TEST(JpegPacketizer, WholePictureInExtensions) {
    Clip clip = LoadClip("mjpeg_320x240_q12.mjpeg");
    const auto& pic = clip.frames[0].data;
    PacketizerOptions opts;
    opts.jpeg_mode = JpegRtpMode::kWholeInExt;
    auto out = PacketizeJpeg(pic, opts);
    ASSERT_GT(out.size(), 2u);
    std::vector<uint8_t> rebuilt = {0xFF, 0xD8};
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_TRUE(out[i].has_extension);
        EXPECT_EQ(out[i].extension_profile, i == 0 ? 0xFFD8 : 0xFFFF);
        EXPECT_EQ(out[i].extension.size() % 4, 0u);
        const auto& p = out[i].payload;
        if (i > 0) {
            EXPECT_NE((p[1] << 16) | (p[2] << 8) | p[3], 0) << "only the first has offset 0";
        }
        size_t header_len = i == 0 ? 8 + 4 + 128 : 8;
        EXPECT_EQ(out[i].payload.size(), header_len) << "no scan data in RTP payloads";
        rebuilt.insert(rebuilt.end(), out[i].extension.begin(), out[i].extension.end());
    }
    // Fill bytes before SOS and zero padding after EOI aside, the picture is intact.
    std::vector<uint8_t> trimmed;
    for (size_t i = 0; i < rebuilt.size(); ++i) {
        bool fill = rebuilt[i] == 0xFF && i + 1 < rebuilt.size() && rebuilt[i + 1] == 0xFF &&
                    trimmed.size() < 700;
        if (!fill)
            trimmed.push_back(rebuilt[i]);
    }
    while (!trimmed.empty() && trimmed.back() == 0)
        trimmed.pop_back();
    EXPECT_EQ(trimmed, pic);
}

// Builds a JPEG head with the given SOF marker and luma sampling, plus an SOS.
std::vector<uint8_t> HandMadeJpeg(uint8_t sof, uint8_t luma_hv, uint8_t precision_tq) {
    std::vector<uint8_t> j = {0xFF, 0xD8};
    j.insert(j.end(), {0xFF, 0xDB, 0x00, 0x43, precision_tq});  // DQT, one table
    for (int i = 0; i < 64; ++i)
        j.push_back(static_cast<uint8_t>(i + 1));
    j.insert(j.end(), {0xFF, sof, 0x00, 0x11, 0x08, 0x00, 0xF0, 0x01, 0x40, 0x03,  // 320x240
                       0x01, luma_hv, 0x00, 0x02, 0x11, 0x00, 0x03, 0x11, 0x00});
    j.insert(j.end(),
             {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
    j.insert(j.end(), {0x12, 0x34, 0xFF, 0x00, 0x56, 0xFF, 0xD9});
    return j;
}

TEST(JpegParse, RejectsWhatRtpJpegCannotCarry) {
    struct Case {
        std::vector<uint8_t> jpeg;
        bool ok;
        const char* reason;
    } cases[] = {
        {HandMadeJpeg(0xC0, 0x22, 0x00), true, "baseline 4:2:0 with one shared table"},
        {HandMadeJpeg(0xC0, 0x21, 0x00), true, "baseline 4:2:2"},
        {HandMadeJpeg(0xC2, 0x22, 0x00), false, "progressive"},
        {HandMadeJpeg(0xC0, 0x11, 0x00), false, "4:4:4 sampling has no RTP/JPEG type"},
        {HandMadeJpeg(0xC0, 0x22, 0x10), false, "16-bit quantisation table"},
        {{0xFF, 0xD8, 0xFF, 0xDB, 0x10, 0x00}, false, "segment longer than the picture"},
        {{0x00, 0x01}, false, "no SOI"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto info = ParseJpeg(c.jpeg);
        EXPECT_EQ(info.has_value(), c.ok);
        if (info) {
            EXPECT_EQ(info->width, 320);
            EXPECT_EQ(info->height, 240);
            EXPECT_EQ(info->qtables.size(), 128u) << "the shared table serves luma and chroma";
            EXPECT_EQ(c.jpeg[info->scan_end], 0xFF);
            EXPECT_EQ(c.jpeg[info->scan_end + 1], 0xD9);
        }
    }
    EXPECT_TRUE(PacketizeJpeg(HandMadeJpeg(0xC2, 0x22, 0), PacketizerOptions{}).empty());
}

}  // namespace
}  // namespace camsim
