#include "parsers/mpeg4_parser.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"

namespace vornak::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct VolFields {
    bool layerIdentifier = false;
    uint32_t aspect = 1;
    bool controlParameters = false;
    bool vbv = false;
    uint32_t shape = 0;
    uint32_t resolution = 25;
    bool fixedRate = false;
    uint32_t width = 352;
    uint32_t height = 288;
    bool widthMarker = true;
};

// Video object layer start code and header up to its size fields.
Bytes MakeVol(const VolFields& f) {
    BitWriter w;
    w.Bits(0, 1).Bits(1, 8);  // random_accessible_vol, simple object type
    w.Bit(f.layerIdentifier ? 1 : 0);
    if (f.layerIdentifier) {
        w.Bits(2, 4).Bits(1, 3);
    }
    w.Bits(f.aspect, 4);
    if (f.aspect == 15) {
        w.Bits(12, 8).Bits(11, 8);
    }
    w.Bit(f.controlParameters ? 1 : 0);
    if (f.controlParameters) {
        w.Bits(1, 2).Bit(1).Bit(f.vbv ? 1 : 0);
        if (f.vbv) {
            w.Bits(0x1234, 15).Bit(1).Bits(0x0567, 15).Bit(1);
            w.Bits(0x0111, 15).Bit(1).Bits(3, 3);
            w.Bits(0x0222, 11).Bit(1).Bits(0x0333, 15).Bit(1);
        }
    }
    w.Bits(f.shape, 2).Bit(1).Bits(f.resolution, 16).Bit(1).Bit(f.fixedRate ? 1 : 0);
    if (f.fixedRate) {
        w.Bits(1, 5);  // 25 needs five bits
    }
    w.Bit(f.widthMarker ? 1 : 0).Bits(f.width, 13).Bit(1).Bits(f.height, 13).Bit(1);
    w.Bit(0).Bit(0);  // interlaced, obmc_disable ... the rest is not read
    return Concat({{0x00, 0x00, 0x01, 0x20}, w.Finish()});
}

// Visual object sequence (profile 0xF5), visual object, video object, then the layer.
Bytes Config(const VolFields& f = {}) {
    return Concat({{0x00, 0x00, 0x01, 0xB0, 0xF5},
                   {0x00, 0x00, 0x01, 0xB5, 0x09},
                   {0x00, 0x00, 0x01, 0x00},
                   MakeVol(f)});
}

Bytes IVop(uint8_t fill = 0x11) {
    return {0x00, 0x00, 0x01, 0xB6, 0x10, fill, fill};
}
Bytes PVop(uint8_t fill = 0x22) {
    return {0x00, 0x00, 0x01, 0xB6, 0x50, fill, fill};
}

class Mpeg4ParserTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& payload, bool marker, uint32_t timestamp = 3000) {
        rig.parser.ProcessPacket(MakePacket(sequence++, timestamp, marker, payload));
    }
    const std::vector<DeliveredFrame>& Frames() { return rig.client.frames; }

    ParserRig<CMpeg4RTPMediaParser> rig;
    uint16_t sequence = 40000;
};

TEST(Mp4Parser, ReadsTheLayerSize) {
    auto layer = [](const VolFields& fields) { return Concat({Config(fields), IVop()}); };
    Bytes truncated = Config();
    truncated.resize(truncated.size() - 4);
    struct Row {
        Bytes frame;
        std::optional<Size> expected;
        const char* reason;
    };
    const Row rows[] = {
        {layer({}), Size{352, 288}, "plain layer"},
        {layer({.layerIdentifier = true, .aspect = 15}), Size{352, 288},
         "identifier and extended PAR"},
        {layer({.controlParameters = true, .vbv = true}), Size{352, 288}, "VBV parameters"},
        {layer({.fixedRate = true}), Size{352, 288}, "fixed VOP rate with its increment"},
        {layer({.width = 1280, .height = 720}), Size{1280, 720}, "HD"},
        {layer({.width = 0, .height = 100}), std::nullopt, "zero width rounds to nothing"},
        {layer({.shape = 1}), std::nullopt, "binary shape"},
        {layer({.widthMarker = false}), std::nullopt, "marker bit missing"},
        {layer({.resolution = 0}), std::nullopt, "no time resolution"},
        {truncated, std::nullopt, "cut inside the size"},
        {IVop(), std::nullopt, "VOP without configuration"},
    };
    CMP4Parser parser;
    for (const Row& row : rows) {
        EXPECT_EQ(parser.ReadSize(row.frame), row.expected) << row.reason;
    }
}

TEST(Mp4Parser, ReadsShortVideoHeader) {
    struct Row {
        uint32_t format;
        std::optional<Size> expected;
    };
    const Row rows[] = {{1, Size{128, 96}},  {2, Size{176, 144}},   {3, Size{352, 288}},
                        {4, Size{704, 576}}, {5, Size{1408, 1152}}, {0, std::nullopt},
                        {6, std::nullopt},   {7, std::nullopt}};
    CMP4Parser parser;
    for (const Row& row : rows) {
        BitWriter w;
        // picture start code, temporal reference, marker, zero bit, three flags, format
        w.Bits(0x20, 22).Bits(7, 8).Bit(1).Bit(0).Bits(0, 3).Bits(row.format, 3);
        EXPECT_EQ(parser.ReadSize(w.Finish()), row.expected) << "source format " << row.format;
    }
    BitWriter bad;
    bad.Bits(0x20, 22).Bits(7, 8).Bit(0).Bit(0).Bits(0, 3).Bits(2, 3);
    EXPECT_FALSE(parser.ReadSize(bad.Finish()).has_value()) << "marker bit missing";
}

// Encoders that open each group of pictures with a group-of-VOP header, with or without the
// configuration in front, still start frames at their VOPs.
TEST(Mpeg4Payload, SplitsConfigurationFromTheVop) {
    const Bytes gov = {0x00, 0x00, 0x01, 0xB3, 0x00, 0x10, 0x07};
    const Bytes vol = {0x00, 0x00, 0x01, 0x20, 0x00, 0x84, 0x5D, 0x4C};
    struct Row {
        const char* why;
        Bytes payload;
        size_t config;  // also where the picture starts
        bool startsVop, intra;
    };
    const Row rows[] = {
        {"configuration, then I-VOP", Concat({Config(), IVop()}), Config().size(), true, true},
        {"P-VOP", PVop(), 0, true, false},
        {"VOP start code without its coding type", {0x00, 0x00, 0x01, 0xB6}, 0, false, false},
        {"no start code", {0x12, 0x34}, 0, false, false},
        {"the group header stays with the picture", Concat({gov, IVop()}), 0, true, true},
        {"a layer header alone is configuration too", Concat({vol, gov, IVop()}), vol.size(), true,
         true},
        {"no VOP after the group header", gov, 0, false, false},
    };
    for (const Row& row : rows) {
        const Mpeg4PayloadInfo info = ClassifyMpeg4Payload(row.payload);
        EXPECT_EQ(info.config.size(), row.config) << row.why;
        EXPECT_EQ(info.startsVop, row.startsVop) << row.why;
        if (row.startsVop) {
            EXPECT_EQ(info.dataOffset, row.config) << row.why;
            EXPECT_EQ(info.intra, row.intra) << row.why;
        }
    }
}

TEST_F(Mpeg4ParserTest, PVopsWaitForTheFirstIVop) {
    Feed(PVop(), true, 1000);
    Feed(PVop(), true, 2000);
    EXPECT_TRUE(Frames().empty());
    Feed(Concat({Config(), IVop()}), true, 3000);
    Feed(PVop(), true, 4000);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[0].fourcc, kFourCCDivx);
    EXPECT_EQ(Frames()[0].data, Concat({Config(), IVop()}));
    EXPECT_EQ(Frames()[0].width, 352u);
    EXPECT_EQ(Frames()[0].height, 288u);
    EXPECT_EQ(Frames()[0].resolutionClass, 2u);
    EXPECT_EQ(Frames()[1].fourcc, kFourCCDivi);
    EXPECT_EQ(Frames()[1].data, PVop());
    EXPECT_EQ(Frames()[1].width, 352u);
    EXPECT_EQ(rig.client.converted, (std::vector<uint32_t>{3000, 4000}));
}

TEST_F(Mpeg4ParserTest, IVopWithoutInBandConfigGetsSdpConfigUntilAReset) {
    const Bytes config = Config({.width = 640, .height = 480});
    rig.parser.SetParameterSets({.config = config});
    Bytes vop = IVop();
    Feed(Bytes(vop.begin(), vop.begin() + 5), false);
    Feed(Bytes(vop.begin() + 5, vop.end()), true);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].data, Concat({config, vop}));
    EXPECT_EQ(Frames()[0].width, 640u);
    // Neither the in-band nor the SDP configuration of the last session survives a new one.
    Feed(Concat({Config(), IVop()}), true, 6000);
    rig.parser.Reset();
    Feed(IVop(), true, 9000);
    EXPECT_EQ(Frames().size(), 2u);
    EXPECT_TRUE(rig.parser.WaitingForIntra());
}

// The channel's stream name is asked once a session: a restarted channel may have another.
TEST_F(Mpeg4ParserTest, StreamNameIsAskedAgainForANewSession) {
    Feed(Concat({Config(), IVop()}), true, 3000);
    rig.client.streamName = "Quillon::RecStream";
    Feed(Concat({Config(), IVop()}), true, 6000);
    rig.parser.Reset();
    Feed(Concat({Config(), IVop()}), true, 9000);
    ASSERT_EQ(Frames().size(), 3u);
    EXPECT_EQ(Frames()[0].stream, "Quillon::LiveStream");
    EXPECT_EQ(Frames()[1].stream, "Quillon::LiveStream");
    EXPECT_EQ(Frames()[2].stream, "Quillon::RecStream");
}

TEST_F(Mpeg4ParserTest, LostPacketInsidePVopWaitsForNextIVop) {
    Feed(Concat({Config(), IVop()}), true, 1000);
    Feed(PVop(), false, 2000);
    ++sequence;
    Feed({0x33, 0x44}, true, 2000);
    Feed(PVop(), true, 3000);
    EXPECT_EQ(Frames().size(), 1u);
    EXPECT_EQ(rig.parser.Stats().gaps, 1u);
    Feed(Concat({Config(), IVop()}), true, 4000);
    EXPECT_EQ(Frames().size(), 2u);
    Feed({0x33, 0x44}, true, 4000);  // would otherwise repeat the last picture with junk
    Feed(PVop(), true, 5000);
    EXPECT_EQ(Frames().size(), 2u);
    EXPECT_EQ(rig.parser.Stats().malformed, 1u) << "data after a finished frame without a VOP";
}

TEST_F(Mpeg4ParserTest, OversizeFrameIsDiscarded) {
    Feed(Concat({Config(), IVop()}), true, 1000);
    Feed(PVop(), false, 2000);
    const Bytes chunk(1 << 20, 0x5A);
    for (int i = 0; i < 11; ++i) {
        Feed(chunk, false, 2000);
    }
    Feed({0x01}, true, 2000);
    EXPECT_EQ(Frames().size(), 1u);
    EXPECT_EQ(rig.driver.Count("Frame buffer overflow detected"), 1u);
}

// A VOP header with its time fields for the resolution of Config() (25: five increment bits).
Bytes TimedVop(uint32_t codingType, uint32_t seconds, uint32_t increment, bool marker = true) {
    BitWriter w;
    w.Bits(codingType, 2);
    for (uint32_t i = 0; i < seconds; ++i) {
        w.Bit(1);
    }
    w.Bit(0).Bit(marker ? 1 : 0).Bits(increment, 5).Bit(1);
    w.Bits(0x2A5, 10);  // the rest of the picture is not read
    return Concat({{0x00, 0x00, 0x01, 0xB6}, w.Finish()});
}

TEST(Mpeg4Pictures, StartsOfPackedPictures) {
    const Bytes config = Config();
    const Bytes i = TimedVop(0, 0, 0);
    const Bytes p = TimedVop(1, 0, 1);
    const Bytes gov = {0x00, 0x00, 0x01, 0xB3, 0x00, 0x10, 0x07};
    struct Row {
        const char* why;
        Bytes frame;
        std::vector<size_t> starts;
    };
    const Row rows[] = {
        {"one picture", Concat({config, i}), {0}},
        {"configuration stays with its picture",
         Concat({config, i, p, p}),
         {0, config.size() + i.size(), config.size() + i.size() + p.size()}},
        {"headers in front of a later VOP go with it", Concat({p, gov, config, i}), {0, p.size()}},
        {"no VOP at all", Concat({config, gov}), {0}},
        {"short video header", {0x00, 0x00, 0x80, 0x02, 0x0A}, {0}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(PictureStarts(row.frame), row.starts) << row.why;
    }
    EXPECT_EQ(CMP4Parser::ReadTimeResolution(Concat({config, i})), 25u);
    EXPECT_FALSE(CMP4Parser::ReadTimeResolution(i)) << "no layer in front of the VOP";
}

TEST(Mpeg4Pictures, ReadsVopTimes) {
    struct Row {
        const char* why;
        Bytes vop;
        std::optional<VopHeader> header;
    };
    const Row rows[] = {
        {"I-VOP", TimedVop(0, 0, 3), VopHeader{0, 0, 3}},
        {"P-VOP two seconds on", TimedVop(1, 2, 24), VopHeader{1, 2, 24}},
        {"marker missing", TimedVop(1, 0, 3, false), std::nullopt},
        {"increment not below the resolution", TimedVop(1, 0, 25), std::nullopt},
        {"cut short", {0x00, 0x00, 0x01, 0xB6, 0x40}, std::nullopt},
        {"seconds without end",
         {0x00, 0x00, 0x01, 0xB6, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         std::nullopt},
        {"not a VOP", {0x00, 0x00, 0x01, 0xB3, 0x00, 0x10}, std::nullopt},
    };
    for (const Row& row : rows) {
        const std::optional<VopHeader> header = ReadVopHeader(row.vop, 25);
        ASSERT_EQ(header.has_value(), row.header.has_value()) << row.why;
        if (header) {
            EXPECT_EQ(header->codingType, row.header->codingType) << row.why;
            EXPECT_EQ(header->seconds, row.header->seconds) << row.why;
            EXPECT_EQ(header->increment, row.header->increment) << row.why;
        }
    }
}

std::vector<uint16_t> Milliseconds(const std::vector<DeliveredFrame>& frames) {
    std::vector<uint16_t> values;
    for (const DeliveredFrame& frame : frames) {
        values.push_back(frame.time.wMilliseconds);
    }
    return values;
}

// Senders may pack several small VOPs into one RTP packet: the host still gets one picture per
// frame, each at the time of its own VOP (1/25 s is 3600 ticks of 90 kHz).
TEST_F(Mpeg4ParserTest, PackedPicturesBecomeOneFrameEach) {
    const Bytes i = TimedVop(0, 0, 23);
    const Bytes p1 = TimedVop(1, 0, 24);
    const Bytes p2 = TimedVop(1, 1, 0);  // into the next second
    Feed(Concat({Config(), i, p1, p2}), true, 9000);
    ASSERT_EQ(Frames().size(), 3u);
    EXPECT_EQ(Frames()[0].fourcc, kFourCCDivx);
    EXPECT_EQ(Frames()[0].data, Concat({Config(), i}));
    EXPECT_EQ(Frames()[1].fourcc, kFourCCDivi);
    EXPECT_EQ(Frames()[1].data, p1);
    EXPECT_EQ(Frames()[2].data, p2);
    EXPECT_EQ(Frames()[2].width, 352u);
    // Only the first goes through the stream clock, whose lead bound would bunch the others.
    EXPECT_EQ(rig.client.converted, (std::vector<uint32_t>{9000}));
    EXPECT_EQ(Milliseconds(Frames()), (std::vector<uint16_t>{100, 140, 180}));

    // A later I-VOP of a packet gets the configuration it lacks.
    Feed(Concat({TimedVop(1, 0, 1), TimedVop(0, 0, 2)}), true, 20000);
    ASSERT_EQ(Frames().size(), 5u);
    EXPECT_EQ(Frames()[4].fourcc, kFourCCDivx);
    EXPECT_EQ(Frames()[4].data, Concat({Config(), TimedVop(0, 0, 2)}));
    EXPECT_EQ(rig.client.converted.back(), 20000u);
    EXPECT_EQ(Frames()[4].time.wMilliseconds, 262u) << "one picture after 222 ms";

    // A whole frame after split pictures never goes before the last of them.
    Feed(TimedVop(1, 0, 3), true, 9000);
    ASSERT_EQ(Frames().size(), 6u);
    EXPECT_EQ(Frames()[5].time.wMilliseconds, 263u);
}

TEST_F(Mpeg4ParserTest, StartsAtAnIVopPackedBehindPVops) {
    rig.parser.SetParameterSets({.config = Config()});
    const Bytes i = TimedVop(0, 0, 3);
    Feed(Concat({TimedVop(1, 0, 1), TimedVop(1, 0, 2), i, TimedVop(1, 0, 4)}), true, 7200);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[0].data, Concat({Config(), i}));
    EXPECT_EQ(Frames()[0].fourcc, kFourCCDivx);
    EXPECT_EQ(Frames()[1].data, TimedVop(1, 0, 4));
    EXPECT_EQ(rig.client.converted, (std::vector<uint32_t>{14400}))
        << "the I-VOP is two pictures after the packet's first";
    EXPECT_EQ(Milliseconds(Frames()), (std::vector<uint16_t>{160, 200}));

    // Continued in a second packet; without readable times nothing is delivered.
    ParserRig<CMpeg4RTPMediaParser> fresh;
    fresh.parser.ProcessPacket(MakePacket(1, 100, false, Concat({TimedVop(1, 0, 1), i})));
    fresh.parser.ProcessPacket(MakePacket(2, 100, true, {0x44, 0x55}));
    EXPECT_TRUE(fresh.client.frames.empty()) << "no layer header gives the time resolution";
    fresh.parser.SetParameterSets({.config = Config()});
    fresh.parser.ProcessPacket(MakePacket(3, 200, false, Concat({TimedVop(1, 0, 1), i})));
    fresh.parser.ProcessPacket(MakePacket(4, 200, true, {0x44, 0x55}));
    ASSERT_EQ(fresh.client.frames.size(), 1u);
    EXPECT_EQ(fresh.client.frames[0].data, Concat({Config(), i, {0x44, 0x55}}));
    EXPECT_EQ(fresh.client.converted, (std::vector<uint32_t>{200 + 7200}));
}

TEST_F(Mpeg4ParserTest, PackedPicturesWithoutUsableTimesStayOneFrame) {
    struct Row {
        const char* why;
        Bytes pictures;
    };
    const Row rows[] = {
        {"B-VOP", Concat({TimedVop(1, 0, 5), TimedVop(2, 0, 4)})},
        {"time going back", Concat({TimedVop(1, 0, 5), TimedVop(1, 0, 5)})},
        {"unreadable header", Concat({TimedVop(1, 0, 5), TimedVop(1, 0, 6, false)})},
    };
    uint32_t timestamp = 0;
    for (const Row& row : rows) {
        Feed(Concat({Config(), TimedVop(0, 0, 0)}), true, timestamp += 3600);
        const size_t before = Frames().size();
        Feed(row.pictures, true, timestamp += 3600);
        ASSERT_EQ(Frames().size(), before + 1) << row.why;
        EXPECT_EQ(Frames().back().data, row.pictures) << row.why;
    }
}

}  // namespace
}  // namespace vornak::test
