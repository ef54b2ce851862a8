#include "parsers/jpeg_parser.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"

namespace vornak::test {
namespace {

using Bytes = std::vector<uint8_t>;

// RTP/JPEG main header: type-specific 0 | fragment offset (24) | type | Q | width/8 | height/8
Bytes MainHeader(uint32_t offset, uint8_t type, uint8_t q, uint8_t width8, uint8_t height8) {
    return {0x00,
            static_cast<uint8_t>(offset >> 16),
            static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset),
            type,
            q,
            width8,
            height8};
}

// Restart marker header: interval (16) | F=1 L=1 count=0x3FFF
Bytes RestartHeader(uint16_t interval) {
    return {static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval), 0xFF, 0xFF};
}

// Quantization table header: MBZ | precision | length (16), then the tables
Bytes TableHeader(const Bytes& tables) {
    Bytes out = {0x00, 0x00, static_cast<uint8_t>(tables.size() >> 8),
                 static_cast<uint8_t>(tables.size())};
    out.insert(out.end(), tables.begin(), tables.end());
    return out;
}

// Finds a marker segment in a built header; returns its bytes after the length.
Bytes Segment(const Bytes& jpeg, uint8_t marker, size_t nth = 0) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        const size_t length = static_cast<size_t>(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (jpeg[pos + 1] == marker && nth-- == 0) {
            return Bytes(jpeg.begin() + static_cast<long>(pos + 4),
                         jpeg.begin() + static_cast<long>(pos + 2 + length));
        }
        if (jpeg[pos + 1] == 0xDA) {
            break;
        }
        pos += 2 + length;
    }
    return {};
}

// Bytes that follow SOS: the scan as delivered.
Bytes ScanOf(const Bytes& jpeg) {
    const Bytes sos = {0xFF, 0xDA, 0x00, 0x0C};
    const auto it = std::search(jpeg.begin(), jpeg.end(), sos.begin(), sos.end());
    if (it == jpeg.end()) {
        return {};
    }
    return Bytes(it + 14, jpeg.end());
}

class JpegParserTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& payload, bool marker, uint32_t timestamp = 3000) {
        rig.parser.ProcessPacket(MakePacket(sequence++, timestamp, marker, payload));
    }
    void FeedExtension(uint16_t profile, const Bytes& extension, const Bytes& payload, bool marker,
                       uint32_t timestamp = 3000) {
        CRTPPacket packet = MakePacket(sequence++, timestamp, marker, payload);
        packet.extensionProfile = profile;
        packet.extensionLength = static_cast<uint16_t>(extension.size() / 4);
        packet.extensionData = extension;
        rig.parser.ProcessPacket(packet);
    }
    const std::vector<DeliveredFrame>& Frames() { return rig.client.frames; }

    ParserRig<CJpegRTPMediaParser> rig;
    uint16_t sequence = 7;
};

TEST(JpegTables, QualityScalesTheBaseTables) {
    const auto q50 = MakeQuantizationTables(50);
    EXPECT_EQ(q50[0], 16);  // luminance DC, factor 100
    EXPECT_EQ(q50[63], 99);
    EXPECT_EQ(q50[64], 17);  // chrominance DC
    EXPECT_EQ(q50[127], 99);
    const auto q99 = MakeQuantizationTables(99);
    EXPECT_EQ(q99[0], 1);   // (16 * 2 + 50) / 100
    EXPECT_EQ(q99[63], 2);  // (99 * 2 + 50) / 100
    const auto q1 = MakeQuantizationTables(1);
    EXPECT_EQ(q1[0], 255);  // 16 * 5000 clamped
    EXPECT_EQ(q1[127], 255);
    const auto q0 = MakeQuantizationTables(0);
    EXPECT_EQ(q0, q1);  // Q below 1 counts as 1
}

TEST(JpegPayload, RefusesMalformedHeaders) {
    struct Row {
        Bytes payload;
        JpegPayloadError expected;
        const char* reason;
    };
    const Row rows[] = {
        {{0, 0, 0, 0, 1, 50, 80}, JpegPayloadError::kTooShort, "seven header bytes"},
        {MainHeader(0, 2, 50, 80, 60), JpegPayloadError::kUnsupportedType, "type 2"},
        {MainHeader(0, 128, 50, 80, 60), JpegPayloadError::kUnsupportedType, "dynamic type"},
        {Concat({MainHeader(0, 65, 50, 80, 60), {0x00, 0x04}}), JpegPayloadError::kRestartOverrun,
         "restart header cut short"},
        {Concat({MainHeader(0, 1, 255, 80, 60), {0x00, 0x00}}), JpegPayloadError::kTableOverrun,
         "table header cut short"},
        {Concat({MainHeader(0, 1, 255, 80, 60), {0x00, 0x00, 0x00, 0x80}, Bytes(100, 1)}),
         JpegPayloadError::kTableOverrun, "tables run past the packet"},
        {Concat({MainHeader(0, 1, 255, 80, 60), TableHeader(Bytes(100, 1))}),
         JpegPayloadError::kBadTables, "table length of no table count"},
        {Concat({MainHeader(0, 1, 255, 80, 60), {0x00, 0x01, 0x00, 0x80}, Bytes(128, 1)}),
         JpegPayloadError::kBadTables, "16-bit tables"},
    };
    JpegPayload out;
    for (const Row& row : rows) {
        EXPECT_EQ(ParseJpegPayload(row.payload, out), row.expected) << row.reason;
    }
}

TEST(JpegPayload, TableHeaderOnlyInFirstFragment) {
    // Continuation fragments with Q >= 128 carry no table header.
    const Bytes payload = Concat({MainHeader(1000, 1, 255, 80, 60), {0xAB, 0xCD}});
    JpegPayload out;
    ASSERT_EQ(ParseJpegPayload(payload, out), JpegPayloadError::kNone);
    EXPECT_EQ(out.fragmentOffset, 1000u);
    EXPECT_FALSE(out.hasTableHeader);
    EXPECT_EQ(out.scan.size(), 2u);
}

TEST_F(JpegParserTest, RebuildsJfifHeaderFromQ50) {
    const Bytes scan1 = {0x12, 0x34, 0x56};
    const Bytes scan2 = {0x78, 0x9A};
    Feed(Concat({MainHeader(0, 1, 50, 80, 60), scan1}), false);
    Feed(Concat({MainHeader(3, 1, 50, 80, 60), scan2}), true);
    ASSERT_EQ(Frames().size(), 1u);
    const Bytes& jpeg = Frames()[0].data;
    EXPECT_EQ(Bytes(jpeg.begin(), jpeg.begin() + 20),
              (Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46,
                     0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}));
    const Bytes luma = Segment(jpeg, 0xDB, 0);
    const Bytes chroma = Segment(jpeg, 0xDB, 1);
    ASSERT_EQ(luma.size(), 65u);
    ASSERT_EQ(chroma.size(), 65u);
    EXPECT_EQ(luma[0], 0);  // table 0
    EXPECT_EQ(luma[1], 16);
    EXPECT_EQ(chroma[0], 1);
    EXPECT_EQ(chroma[1], 17);
    // SOF0: precision 8, height 480, width 640, 3 components; 4:2:0 luma sampling 0x22
    EXPECT_EQ(Segment(jpeg, 0xC0), (Bytes{0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x01, 0x22, 0x00,
                                          0x02, 0x11, 0x01, 0x03, 0x11, 0x01}));
    EXPECT_TRUE(Segment(jpeg, 0xDD).empty());  // no restart interval
    EXPECT_EQ(ScanOf(jpeg), Concat({scan1, scan2}));
    EXPECT_EQ(Frames()[0].fourcc, kFourCCJpeg);
    EXPECT_EQ(Frames()[0].width, 640u);
    EXPECT_EQ(Frames()[0].height, 480u);
    EXPECT_EQ(Frames()[0].resolutionClass, 4u);
    EXPECT_EQ(rig.allocator.Outstanding(), 0);
}

// Types 64 and up carry a restart interval; types 0 and 64 sample luma 2:1, types 1 and 65 2:2.
TEST_F(JpegParserTest, RestartTypeGivesDriAndSampling) {
    Feed(Concat({MainHeader(0, 65, 50, 40, 30), RestartHeader(4), {0x01, 0x02}}), false);
    Feed(Concat({MainHeader(2, 65, 50, 40, 30), RestartHeader(4), {0x03}}), true);
    ASSERT_EQ(Frames().size(), 1u);
    const Bytes& jpeg = Frames()[0].data;
    EXPECT_EQ(Segment(jpeg, 0xDD), (Bytes{0x00, 0x04}));
    EXPECT_EQ(Segment(jpeg, 0xC0)[7], 0x22);
    EXPECT_EQ(ScanOf(jpeg), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(Frames()[0].resolutionClass, 2u);  // 320 wide
    Feed(Concat({MainHeader(0, 0, 50, 40, 30), {0x01}}), true);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Segment(Frames()[1].data, 0xC0)[7], 0x21);
}

TEST_F(JpegParserTest, InBandTablesAreUsedAndRemembered) {
    Bytes tables(128);
    for (size_t i = 0; i < tables.size(); ++i) {
        tables[i] = static_cast<uint8_t>(i + 1);
    }
    Feed(Concat({MainHeader(0, 1, 200, 80, 60), TableHeader(tables), {0xEE}}), true, 1000);
    // The next picture refers to the same tables by Q alone.
    Feed(Concat({MainHeader(0, 1, 200, 80, 60), TableHeader({}), {0xDD}}), true, 2000);
    ASSERT_EQ(Frames().size(), 2u);
    for (const DeliveredFrame& frame : Frames()) {
        EXPECT_EQ(Segment(frame.data, 0xDB, 0),
                  Concat({{0x00}, Bytes(tables.begin(), tables.begin() + 64)}));
        EXPECT_EQ(Segment(frame.data, 0xDB, 1),
                  Concat({{0x01}, Bytes(tables.begin() + 64, tables.end())}));
    }
    EXPECT_EQ(ScanOf(Frames()[1].data), Bytes{0xDD});
}

TEST_F(JpegParserTest, TablesNeverReceivedAreScaledFromQClampedTo99) {
    Feed(Concat({MainHeader(0, 1, 255, 80, 60), TableHeader({}), {0xDD}}), true);
    ASSERT_EQ(Frames().size(), 1u);
    const auto q99 = MakeQuantizationTables(99);
    EXPECT_EQ(Segment(Frames()[0].data, 0xDB, 1),
              Concat({{0x01}, Bytes(q99.begin() + 64, q99.end())}));
}

// A continuation before any first fragment, and an offset that lies, deliver nothing.
TEST_F(JpegParserTest, FragmentsOutOfPlaceAreRefused) {
    Feed(Concat({MainHeader(100, 1, 50, 80, 60), {0x01}}), true);
    EXPECT_TRUE(Frames().empty());
    EXPECT_EQ(rig.parser.Stats().malformed, 1u);
    Feed(Concat({MainHeader(0, 1, 50, 80, 60), {0x01, 0x02}}), false);
    Feed(Concat({MainHeader(5, 1, 50, 80, 60), {0x03}}), true);  // two bytes came, not five
    EXPECT_TRUE(Frames().empty());
    Feed(Concat({MainHeader(0, 1, 50, 80, 60), {0x01}}), true);
    EXPECT_EQ(Frames().size(), 1u);
}

// JPEG marker segments as a camera puts them in the 0xFFD8 extension: DQT, SOF0 1920x1080, SOS.
Bytes ExtensionHeader() {
    Bytes dqt = {0xFF, 0xDB, 0x00, 0x43, 0x00};
    dqt.resize(dqt.size() + 64, 0xFF);  // table bytes that look like markers
    dqt[10] = 0xC0;
    const Bytes sof = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x04, 0x38, 0x07, 0x80, 0x03,
                       0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    const Bytes sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00};
    Bytes header = Concat({dqt, sof, sos});
    while (header.size() % 4 != 0) {
        header.insert(header.begin(), 0xFF);  // fill before the first marker
    }
    return header;
}

TEST_F(JpegParserTest, HeaderInExtensionIsDeliveredAsReceived) {
    const Bytes header = ExtensionHeader();
    const Bytes scan = {0x11, 0x22, 0x33, 0x44, 0xFF, 0xD9, 0xFF, 0xFF};
    // First packet: 0xFFD8 extension with the header, payload only the main header.
    FeedExtension(kJpegExtensionFirst, header, MainHeader(0, 1, 255, 0, 0), false);
    // Then the scan in a 0xFFFF extension; its payload (header only) is not used.
    FeedExtension(kJpegExtensionNext, scan, MainHeader(1, 1, 255, 0, 0), true);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].data, Concat({{0xFF, 0xD8}, header, scan}));
    EXPECT_EQ(Frames()[0].width, 1920u);
    EXPECT_EQ(Frames()[0].height, 1080u);
}

TEST_F(JpegParserTest, ExtensionSizeReplacesMainHeaderSize) {
    // Header in the extension, scan data in the payload: the header is rebuilt with the size
    // the extension gives, beyond what the main header can say.
    FeedExtension(kJpegExtensionFirst, ExtensionHeader(),
                  Concat({MainHeader(0, 1, 50, 0, 0), {0x01, 0x02}}), false);
    Feed(Concat({MainHeader(2, 1, 50, 0, 0), {0x03}}), true);
    ASSERT_EQ(Frames().size(), 1u);
    const Bytes sof = Segment(Frames()[0].data, 0xC0);
    EXPECT_EQ(Bytes(sof.begin() + 1, sof.begin() + 5), (Bytes{0x04, 0x38, 0x07, 0x80}));
    EXPECT_EQ(ScanOf(Frames()[0].data), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(Frames()[0].width, 1920u);
}

// A header extension without SOF0, a continuation without its first packet and an unknown
// profile deliver nothing.
TEST_F(JpegParserTest, UnusableExtensionsAreNotDelivered) {
    const Bytes sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00};
    FeedExtension(kJpegExtensionFirst, sos, MainHeader(0, 1, 255, 0, 0), false);
    FeedExtension(kJpegExtensionNext, {0x11, 0x22, 0xFF, 0xD9}, MainHeader(1, 1, 255, 0, 0), true);
    EXPECT_TRUE(Frames().empty());
    const uint64_t skipped = rig.parser.Stats().skipped;
    FeedExtension(kJpegExtensionNext, {0x11, 0x22, 0xFF, 0xD9}, MainHeader(1, 1, 255, 0, 0), true);
    FeedExtension(0xABAC, {0, 0, 0, 0}, Concat({MainHeader(0, 1, 50, 80, 60), {0x01}}), true);
    EXPECT_TRUE(Frames().empty());
    EXPECT_EQ(rig.parser.Stats().skipped - skipped, 2u);
}

TEST(JpegHeader, FrameHeaderWalkSkipsSegmentsAndStopsAtScan) {
    const Bytes sof = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x10, 0x00, 0x20};
    EXPECT_EQ(FindJpegFrameSize(Concat({{0xFF, 0xD8}, sof})), (Size{32, 16}));
    Bytes progressive = sof;
    progressive[1] = 0xC2;
    EXPECT_EQ(FindJpegFrameSize(progressive), (Size{32, 16})) << "progressive";
    EXPECT_EQ(FindJpegFrameSize(Concat({{0xFF, 0xFE, 0x00, 0x04, 0xFF, 0xC0}, sof})),
              (Size{32, 16}))
        << "FF C0 inside a comment is not an SOF0";
    EXPECT_FALSE(FindJpegFrameSize(Concat({{0xFF, 0xDA, 0x00, 0x02}, sof})).has_value())
        << "nothing after SOS is a header";
    EXPECT_FALSE(FindJpegFrameSize(Bytes{0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00}).has_value())
        << "cut short";
    EXPECT_FALSE(FindJpegFrameSize(Bytes{0xFF, 0xE0, 0x00, 0x00}).has_value()) << "length below 2";
}

TEST(JpegHeader, BuiltHeaderFitsItsBound) {
    const auto tables = MakeQuantizationTables(50);
    JfifParameters parameters{
        .type = 65, .width = 64, .height = 48, .restartInterval = 9, .tables = tables};
    Bytes out;
    ASSERT_TRUE(BuildJfifHeader(parameters, out));
    EXPECT_LE(out.size(), 495u + 128 + 6);
    EXPECT_EQ(FindJpegFrameSize(out), (Size{64, 48}));
    parameters.width = 0;
    Bytes none;
    EXPECT_FALSE(BuildJfifHeader(parameters, none));
    EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace vornak::test
