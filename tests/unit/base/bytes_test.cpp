#include "base/bytes.h"

#include <gtest/gtest.h>

namespace vornak {
namespace {

TEST(BytesTest, BigEndianReadsAndWritesRoundTrip) {
    // High bits set in every byte: a sign-extending read would spill into the upper bytes.
    uint8_t b[4] = {};
    WriteBe32(b, 0xF1E2D3C4u);
    EXPECT_EQ(b[0], 0xF1);
    EXPECT_EQ(b[3], 0xC4);
    EXPECT_EQ(ReadBe32(b), 0xF1E2D3C4u);
    EXPECT_EQ(ReadBe24(b + 1), 0xE2D3C4u);
    EXPECT_EQ(ReadBe16(b + 2), 0xD3C4u);
}

}  // namespace
}  // namespace vornak
