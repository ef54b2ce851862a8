#include "parsers/parser_factory.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"
#include "parsers/h264_parser.h"
#include "parsers/jpeg_parser.h"
#include "parsers/mpeg4_parser.h"

namespace vornak::test {
namespace {

TEST(ParserFactory, PicksTheDepacketizerByEncodingName) {
    FakeDriver driver;
    EXPECT_NE(dynamic_cast<CH264RTPMediaParser*>(CreateMediaParser("H264", &driver).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<CH264RTPMediaParser*>(CreateMediaParser("h264", &driver).get()), nullptr)
        << "encoding names ignore letter case";
    EXPECT_NE(dynamic_cast<CJpegRTPMediaParser*>(CreateMediaParser("JPEG", &driver).get()),
              nullptr);
    EXPECT_NE(dynamic_cast<CMpeg4RTPMediaParser*>(CreateMediaParser("MP4V-ES", &driver).get()),
              nullptr);
    EXPECT_EQ(CreateMediaParser("H265", &driver), nullptr);
    EXPECT_EQ(CreateMediaParser("", &driver), nullptr);
}

TEST(FourCC, FirstCharacterInTheLowByte) {
    EXPECT_EQ(kFourCCH264, 0x34363248u);
    EXPECT_EQ(kFourCCI264, 0x34363249u);
    EXPECT_EQ(kFourCCJpeg, 0x4745504Au);
    EXPECT_EQ(kFourCCDivx, 0x58564944u);
    EXPECT_EQ(kFourCCDivi, 0x49564944u);
}

}  // namespace
}  // namespace vornak::test
