#include "parsers/codec_table.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"
#include "parsers/h264_parser.h"
#include "parsers/h265_parser.h"
#include "parsers/jpeg_parser.h"
#include "parsers/mpeg4_parser.h"

namespace vornak::test {
namespace {

TEST(CodecTable, PicksTheDepacketizerByEncodingName) {
    FakeDriver driver;
    EXPECT_NE(dynamic_cast<CH264RTPMediaParser*>(CreateMediaParser("H264", &driver).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<CH264RTPMediaParser*>(CreateMediaParser("h264", &driver).get()), nullptr)
        << "encoding names ignore letter case";
    EXPECT_NE(dynamic_cast<CJpegRTPMediaParser*>(CreateMediaParser("JPEG", &driver).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<CMpeg4RTPMediaParser*>(CreateMediaParser("MP4V-ES", &driver).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<CH264RTPMediaParser*>(CreateMediaParser("H264/90000", &driver).get()),
              nullptr)
        << "the rtpmap form carries the clock rate";
    EXPECT_NE(dynamic_cast<CH265RTPMediaParser*>(CreateMediaParser("H265/90000", &driver).get()),
              nullptr);
    EXPECT_EQ(CreateMediaParser("H266", &driver), nullptr);
    EXPECT_EQ(CreateMediaParser("", &driver), nullptr);
}

TEST(CodecTable, FormatCodesChooseTheTransport) {
    ASSERT_NE(FindCodec(kCodecJpeg), nullptr);
    EXPECT_FALSE(FindCodec(kCodecJpeg)->overRtsp) << "JPEG pictures come over HTTP";
    EXPECT_EQ(FindCodec(kCodecMpeg4)->keyFourCC, kFourCCDivx);
    EXPECT_EQ(FindCodec(kCodecH264)->otherFourCC, kFourCCI264);
    EXPECT_STREQ(FindCodec(kCodecH265)->name, "h265");
    EXPECT_TRUE(FindCodec(kCodecH265)->mustBeListed) << "older firmware does not know it";
    EXPECT_FALSE(FindCodec(kCodecH264)->mustBeListed);
    EXPECT_EQ(FindCodec(0), nullptr);
    EXPECT_EQ(FindCodec(16), nullptr) << "the driver maps 16 to its default before the lookup";
}

TEST(FourCC, FirstCharacterInTheLowByte) {
    EXPECT_EQ(kFourCCH264, 0x34363248u);
    EXPECT_EQ(kFourCCI264, 0x34363249u);
    EXPECT_EQ(kFourCCJpeg, 0x4745504Au);
    EXPECT_EQ(kFourCCDivx, 0x58564944u);
    EXPECT_EQ(kFourCCDivi, 0x49564944u);
    EXPECT_EQ(kFourCCH265, 0x35363248u);
    EXPECT_EQ(kFourCCI265, 0x35363249u);
}

}  // namespace
}  // namespace vornak::test
