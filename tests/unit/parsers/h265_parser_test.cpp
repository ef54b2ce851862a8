#include "parsers/h265_parser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>

#include "camsim/h265_media.h"
#include "parser_test_support.h"
#include "parsers/h265_sps.h"

namespace vornak::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kH265Trailer = {0x00, 0x00, 0x01, 0x46, 0x01, 0x50};

// x265's SPS of a 426x238 picture: coded as 432x240, the conformance window takes 6 columns
// and 2 rows off.
const Bytes kSps426x238 = {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9E, 0x08, 0x00,
                           0x00, 0x03, 0x00, 0x00, 0x3C, 0x90, 0x01, 0xB1, 0x01, 0xE3, 0x9E, 0xF2,
                           0xCA, 0xCA, 0x94, 0x98, 0x5E, 0x02, 0xDC, 0x08, 0x08, 0x00, 0x10, 0x00,
                           0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x01, 0x90, 0x80};

const camsim::Clip& Clip(const std::string& name) {
    static std::map<std::string, camsim::Clip> clips;
    auto [it, added] = clips.try_emplace(name);
    if (added) {
        std::ifstream in(std::string(CAMSIM_TEST_DATA_DIR) + "/" + name, std::ios::binary);
        const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(camsim::LoadH265(bytes, &it->second), std::nullopt) << name;
    }
    return it->second;
}

// What the host must get for a clip frame: its units with three-byte start codes, the
// parameter sets in front of a key frame, no SEI, and the delimiter that ends the frame.
Bytes ExpectedFrame(const camsim::Clip& clip, size_t index) {
    Bytes out;
    auto add = [&](std::span<const uint8_t> nal) {
        out.insert(out.end(), {0x00, 0x00, 0x01});
        out.insert(out.end(), nal.begin(), nal.end());
    };
    if (clip.frames[index].key) {
        add(clip.vps);
        add(clip.sps);
        add(clip.pps);
    }
    for (auto nal : camsim::SplitAnnexB(clip.frames[index].data)) {
        const uint8_t type = H265NalType(nal[0]);
        if (type < kH265NalVps) {
            add(nal);
        }
    }
    out.insert(out.end(), kH265Trailer.begin(), kH265Trailer.end());
    return out;
}

// A unit of the given type whose body starts a picture, or continues one.
Bytes Unit(uint8_t type, bool firstSlice = true) {
    return {static_cast<uint8_t>(type << 1), 0x01, static_cast<uint8_t>(firstSlice ? 0xA0 : 0x20),
            0x55, 0x66};
}

class H265ParserTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& payload, bool marker, uint32_t timestamp = 9000) {
        rig.parser.ProcessPacket(MakePacket(sequence++, timestamp, marker, payload));
    }
    // The clip's frames as camsim packetizes them; the last packet of each frame in lose (the
    // one with the marker) is lost on the way.
    void FeedClip(const camsim::Clip& clip, size_t maxPayload, const std::set<size_t>& lose = {}) {
        camsim::PacketizerOptions options;
        options.max_payload = maxPayload;
        for (size_t i = 0; i < clip.frames.size(); ++i) {
            const auto payloads = camsim::PacketizeH265(clip.frames[i].data, clip, options);
            for (size_t k = 0; k < payloads.size(); ++k) {
                if (k + 1 == payloads.size() && lose.count(i) != 0) {
                    ++sequence;
                    continue;
                }
                Feed(payloads[k].payload, payloads[k].marker, static_cast<uint32_t>(i * 3600));
            }
        }
    }
    const std::vector<DeliveredFrame>& Frames() { return rig.client.frames; }

    ParserRig<CH265RTPMediaParser> rig;
    uint16_t sequence = 100;
};

TEST(H265Payload, RefusesMalformedPayloads) {
    struct Row {
        Bytes payload;
        H265PayloadError error;
        const char* reason;
    };
    const Row rows[] = {
        {{}, H265PayloadError::kEmpty, "nothing"},
        {{0x02, 0x01}, H265PayloadError::kTooShort, "a header without a body"},
        {{0x64, 0x01, 0x00, 0x00}, H265PayloadError::kPaci, "PACI (type 50)"},
        {{0x7E, 0x01, 0x00}, H265PayloadError::kUnsupportedType, "type 63"},
        {{0x60, 0x01, 0x00, 0x09, 0x02, 0x01, 0xAA},
         H265PayloadError::kAggregationOverrun,
         "an aggregated unit runs past the packet"},
        {{0x60, 0x01, 0x00, 0x01, 0x02},
         H265PayloadError::kAggregationOverrun,
         "an aggregated unit shorter than its header"},
        {{0x62, 0x01, 0xB0, 0xAA}, H265PayloadError::kBadFuHeader, "a fragmented AP"},
    };
    for (const Row& row : rows) {
        H265Payload out;
        out.nalUnits.push_back(row.payload);
        EXPECT_EQ(UnpackH265Payload(row.payload, out), row.error) << row.reason;
        EXPECT_TRUE(out.nalUnits.empty()) << row.reason;
    }
}

// Whole clips through camsim's packetizer: with FUs and APs, with many small FUs, and with
// every unit whole.
TEST_F(H265ParserTest, ClipsArriveWholeWithSetsBeforeKeyFrames) {
    struct Row {
        const char* clip;
        size_t maxPayload;
        uint32_t width, height;
    };
    for (const Row& row :
         {Row{"h265_640x480.265", 1400, 640, 480}, Row{"h265_320x240.265", 200, 320, 240},
          Row{"h265_320x240.265", 60000, 320, 240}}) {
        SCOPED_TRACE(std::string(row.clip) + " in payloads of " + std::to_string(row.maxPayload));
        rig.client.frames.clear();
        rig.parser.Reset();
        const camsim::Clip& clip = Clip(row.clip);
        FeedClip(clip, row.maxPayload);
        ASSERT_EQ(Frames().size(), clip.frames.size());
        for (size_t i = 0; i < clip.frames.size(); ++i) {
            EXPECT_EQ(Frames()[i].fourcc, clip.frames[i].key ? kFourCCH265 : kFourCCI265) << i;
            EXPECT_EQ(Frames()[i].width, row.width) << i;
            EXPECT_EQ(Frames()[i].height, row.height) << i;
            EXPECT_EQ(Frames()[i].data, ExpectedFrame(clip, i)) << i;
        }
        EXPECT_EQ(rig.parser.Stats().malformed, 0u);
    }
}

TEST_F(H265ParserTest, LossDropsToTheNextKeyFrame) {
    const camsim::Clip& clip = Clip("h265_640x480.265");
    ASSERT_TRUE(clip.frames[25].key);
    // The first key frame and a predicted frame lose a packet; the frames up to the next key
    // frame refer to the damaged one and are held back.
    FeedClip(clip, 1400, {0, 30});
    std::vector<size_t> expected;
    for (size_t i = 25; i < 30; ++i) {
        expected.push_back(i);
    }
    ASSERT_EQ(Frames().size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(Frames()[k].data, ExpectedFrame(clip, expected[k])) << k;
    }
    EXPECT_EQ(Frames()[0].fourcc, kFourCCH265);
    EXPECT_EQ(rig.parser.Stats().gaps, 2u);
}

TEST_F(H265ParserTest, DescriptionSetsGoBeforeAKeyFrameThatLacksThem) {
    const camsim::Clip& clip = Clip("h265_320x240.265");
    rig.parser.SetParameterSets({.sps = clip.sps, .pps = clip.pps, .vps = clip.vps});
    EXPECT_EQ(rig.parser.GetPictureSize().width, 320u) << "the size is known before a frame";
    Feed(Unit(kH265NalIrapFirst + 3, false), true, 1);  // a later slice: the picture's head is lost
    Feed(Unit(1), true, 2);
    EXPECT_TRUE(Frames().empty());
    Feed(Unit(kH265NalIrapFirst + 3), true, 3);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].fourcc, kFourCCH265);
    const Bytes& data = Frames()[0].data;
    ASSERT_GT(data.size(), 4 + clip.vps.size());
    EXPECT_TRUE(std::equal(clip.vps.begin(), clip.vps.end(), data.begin() + 3));
}

TEST_F(H265ParserTest, PaciAndDecodingOrderStreamsAreRefusedWithALogLine) {
    const camsim::Clip& clip = Clip("h265_320x240.265");
    Feed({0x64, 0x01, 0x00, 0x00, 0xAA}, true, 1);
    EXPECT_EQ(rig.driver.Count("PACI packets are not supported"), 1u);
    rig.parser.Reset();
    rig.parser.SetParameterSets(
        {.sps = clip.sps, .pps = clip.pps, .vps = clip.vps, .maxDonDiff = 2});
    EXPECT_EQ(rig.driver.Count("(sprop-max-don-diff=2), which is not supported"), 1u);
    // With DONL fields the bytes after each header are numbers, not unit data.
    FeedClip(clip, 1400);
    EXPECT_TRUE(Frames().empty());
    EXPECT_GT(rig.driver.Count("decoding order numbers are not supported"), 0u);
}

TEST(H265Sps, SizeWithConformanceWindow) {
    struct Row {
        Bytes nal;
        std::optional<Size> size;
        const char* reason;
    };
    const Bytes sps640 = Clip("h265_640x480.265").sps;
    const Row rows[] = {
        {sps640, Size{640, 480}, "no window"},
        {kSps426x238, Size{426, 238}, "window offsets count chroma samples"},
        {Bytes(sps640.begin(), sps640.begin() + 16), std::nullopt, "truncated"},
        {Clip("h265_640x480.265").pps, std::nullopt, "not an SPS"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseH265Sps(row.nal), row.size) << row.reason;
    }
    Bytes annexB = {0x00, 0x00, 0x01};
    annexB.insert(annexB.end(), kSps426x238.begin(), kSps426x238.end());
    const Bytes slice = Unit(1);
    EXPECT_EQ(FindH265Sps(annexB), (Size{426, 238})) << "an SPS at the end of the buffer";
    annexB.insert(annexB.begin(), slice.begin(), slice.end());
    annexB.insert(annexB.begin(), {0x00, 0x00, 0x01});
    EXPECT_EQ(FindH265Sps(annexB), std::nullopt) << "an SPS after picture data is not looked at";
}

}  // namespace
}  // namespace vornak::test
