#include "rtsp/rtp_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace vornak {
namespace {

// V=2, no padding, no extension, CC=0; M=1 PT=96; seq 0x1234; ts 0x01020304; SSRC B0BA7855.
std::vector<uint8_t> Header(uint8_t first = 0x80) {
    return {first, 0xE0, 0x12, 0x34, 0x01, 0x02, 0x03, 0x04, 0xB0, 0xBA, 0x78, 0x55};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A parsed packet refers to the datagram's bytes: compare them by value.
std::vector<uint8_t> CopyOf(std::span<const uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(RTPPacketTest, FixedHeaderFields) {
    CRTPPacket packet;
    const auto data = Header() + std::vector<uint8_t>{0xAA};
    ASSERT_TRUE(packet.Parse(data));
    EXPECT_EQ(packet.marker, 1);
    EXPECT_EQ(packet.payloadType, 96);
    EXPECT_EQ(packet.sequence, 0x1234);
    EXPECT_EQ(packet.timestamp, 0x01020304u);
    const uint8_t ssrc[4] = {0xB0, 0xBA, 0x78, 0x55};
    EXPECT_EQ(std::memcmp(&packet.ssrc, ssrc, 4), 0) << "SSRC stays in network order";
    EXPECT_EQ(CopyOf(packet.payload), std::vector<uint8_t>{0xAA});
    EXPECT_EQ(packet.payloadLength, 1u);
}

TEST(RTPPacketTest, CsrcAndExtension) {
    // CC=1, X set: one CSRC, then profile 0xBEDE with one word of data.
    const auto data = Header(0x91) + std::vector<uint8_t>{1, 2, 3, 4} +
                      std::vector<uint8_t>{0xBE, 0xDE, 0x00, 0x01, 9, 8, 7, 6} +
                      std::vector<uint8_t>{0x55, 0x66};
    CRTPPacket packet;
    ASSERT_TRUE(packet.Parse(data));
    EXPECT_EQ(packet.csrcCount, 1);
    EXPECT_EQ(CopyOf(packet.csrcList), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(packet.extensionProfile, 0xBEDE);
    EXPECT_EQ(packet.extensionLength, 1);
    EXPECT_EQ(CopyOf(packet.extensionData), (std::vector<uint8_t>{9, 8, 7, 6}));
    EXPECT_EQ(CopyOf(packet.payload), (std::vector<uint8_t>{0x55, 0x66}));
    // An extension without data still takes its four header bytes.
    const auto empty = Header(0x90) + std::vector<uint8_t>{0xBE, 0xDE, 0x00, 0x00, 0x77};
    ASSERT_TRUE(packet.Parse(empty));
    EXPECT_EQ(packet.extensionLength, 0);
    EXPECT_EQ(CopyOf(packet.payload), std::vector<uint8_t>{0x77});
}

TEST(RTPPacketTest, Padding) {
    CRTPPacket packet;
    // P set, two payload bytes then two padding bytes (count 2).
    const auto padded = Header(0xA0) + std::vector<uint8_t>{0x11, 0x22, 0x00, 0x02};
    ASSERT_TRUE(packet.Parse(padded));
    EXPECT_EQ(packet.padding, 1);
    EXPECT_EQ(CopyOf(packet.payload), (std::vector<uint8_t>{0x11, 0x22}));
    // Padding exactly as long as everything after the header: empty payload.
    ASSERT_TRUE(packet.Parse(Header(0xA0) + std::vector<uint8_t>{0x00, 0x00, 0x03}));
    EXPECT_TRUE(packet.payload.empty());
    EXPECT_EQ(packet.payloadLength, 0u);
}

TEST(RTPPacketTest, Rejections) {
    struct Row {
        std::vector<uint8_t> data;
        const char* reason;
    };
    const Row rows[] = {
        {Header(), "header only, 12 bytes"},
        {{0x80, 0x60}, "shorter than a header"},
        {Header(0x40) + std::vector<uint8_t>{1}, "version 1"},
        {Header(0xC0) + std::vector<uint8_t>{1}, "version 3"},
        {Header(0xA0) + std::vector<uint8_t>{0x11, 0x05}, "padding count beyond the payload"},
        {Header(0x81) + std::vector<uint8_t>{1, 2, 3, 4}, "CSRC list filling all that is left"},
        {Header(0x8F) + std::vector<uint8_t>{1, 2, 3}, "CSRC count beyond the datagram"},
        {Header(0x90) + std::vector<uint8_t>{0xBE, 0xDE, 0x00}, "cut extension header"},
        {Header(0x90) + std::vector<uint8_t>{0xBE, 0xDE, 0x00, 0x02, 1, 2, 3, 4},
         "extension longer than the datagram"},
    };
    for (const Row& row : rows) {
        CRTPPacket packet;
        packet.SetPayload({1});
        EXPECT_FALSE(packet.Parse(row.data)) << row.reason;
        EXPECT_TRUE(packet.payload.empty()) << row.reason << ": a rejected packet is left empty";
    }
}

}  // namespace
}  // namespace vornak
