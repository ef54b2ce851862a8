#include "parsers/h264_sps.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"

namespace vornak::test {
namespace {

TEST(H264Sps, ReadsDisplaySize) {
    struct Row {
        SpsFields fields;
        Size expected;
        const char* reason;
    };
    const Row rows[] = {
        {{}, {1280, 720}, "baseline, frame coded"},
        {{.widthMbs = 120, .heightMapUnits = 68, .crop = true, .cropBottom = 4},
         {1920, 1080},
         "frame coded 1088 cropped by 4 chroma rows"},
        {{.widthMbs = 40, .heightMapUnits = 17, .frameMbsOnly = false},
         {640, 544},
         "field coding doubles the map units"},
        {{.widthMbs = 45, .heightMapUnits = 36, .crop = true, .cropLeft = 4, .cropRight = 4},
         {704, 576},
         "horizontal crop in chroma columns"},
        {{.profile = 100, .widthMbs = 120, .heightMapUnits = 68, .crop = true, .cropBottom = 4},
         {1920, 1080},
         "high profile, frame coded, cropped"},
        {{.profile = 100, .scalingMatrix = true}, {1280, 720}, "scaling list skipped"},
        {{.profile = 244,
          .chromaFormat = 3,
          .widthMbs = 20,
          .heightMapUnits = 15,
          .crop = true,
          .cropRight = 8},
         {312, 240},
         "4:4:4 crops in luma samples"},
        {{.profile = 100,
          .chromaFormat = 2,
          .widthMbs = 20,
          .heightMapUnits = 15,
          .crop = true,
          .cropBottom = 8},
         {320, 232},
         "4:2:2 crops rows one by one"},
        {{.pocType = 1}, {1280, 720}, "picture order count type 1 with its cycle"},
        {{.pocType = 2}, {1280, 720}, "picture order count type 2"},
        // sps id 63 makes the bytes 00 00 02, which the encoder must break up with 03.
        {{.level = 0, .spsId = 63}, {1280, 720}, "emulation prevention byte inside the SPS"},
    };
    for (const Row& row : rows) {
        const std::optional<Size> size = ParseSps(MakeSps(row.fields));
        ASSERT_TRUE(size.has_value()) << row.reason;
        EXPECT_EQ(*size, row.expected) << row.reason;
    }
    // 1080i as an encoder wrote it: 34 map units of field pairs, cropped by 2 units of 4 rows.
    const std::vector<uint8_t> interlaced = {0x67, 0x4D, 0x40, 0x28, 0xF4, 0x03, 0xC0, 0x22, 0x7E,
                                             0xF0, 0x11, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00,
                                             0x03, 0x00, 0x32, 0x1F, 0x16, 0x2E, 0xA0};
    EXPECT_EQ(ParseSps(interlaced), (Size{1920, 1080}));
    const auto escaped = MakeSps({.level = 0, .spsId = 63});
    EXPECT_EQ(std::vector<uint8_t>(escaped.begin() + 1, escaped.begin() + 5),
              (std::vector<uint8_t>{0x42, 0x00, 0x00, 0x03}))
        << "the emulation prevention row really holds an escape";
}

TEST(H264Sps, RefusesBrokenSets) {
    std::vector<uint8_t> truncated = MakeSps({});
    truncated.resize(6);
    std::vector<uint8_t> notSps = MakeSps({});
    notSps[0] = 0x68;
    struct Row {
        std::vector<uint8_t> nal;
        const char* reason;
    };
    const Row rows[] = {
        {truncated, "truncated before the size"},
        {notSps, "PPS header"},
        {{0x67}, "header only"},
        {MakeSps({.widthMbs = 10, .heightMapUnits = 10, .crop = true, .cropRight = 80}),
         "crop wider than the picture"},
        {MakeSps({.widthMbs = 10, .heightMapUnits = 10, .crop = true, .cropTop = 80}),
         "crop higher than the picture"},
        {MakeSps({.widthMbs = 5000, .heightMapUnits = 10}), "wider than 65535"},
        {MakeSps({.pocType = 3}), "unknown picture order count type"},
        {MakeSps({.profile = 100, .chromaFormat = 4}), "unknown chroma format"},
    };
    for (const Row& row : rows) {
        EXPECT_FALSE(ParseSps(row.nal).has_value()) << row.reason;
    }
}

TEST(H264Sps, FindsSpsOnlyNearTheStartOfTheBuffer) {
    const std::vector<uint8_t> start = {0, 0, 1};
    const auto sps = MakeSps({});
    const std::vector<uint8_t> pps = {0x68, 0xCE, 0x3C, 0x80};
    const auto frame = Concat({start, sps, start, pps});
    EXPECT_EQ(FindSps(frame), (Size{1280, 720}));

    std::vector<uint8_t> late(kSpsSearchWindow, 0xAB);
    EXPECT_FALSE(FindSps(Concat({late, frame})).has_value());
    EXPECT_FALSE(FindSps(Concat({start, pps})).has_value());
}

}  // namespace
}  // namespace vornak::test
