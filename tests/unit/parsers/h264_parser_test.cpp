#include "parsers/h264_parser.h"

#include <gtest/gtest.h>

#include "parser_test_support.h"
#include "parsers/h264_sps.h"

namespace vornak::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kStart = {0x00, 0x00, 0x01};
const Bytes kTrailer = {0x00, 0x00, 0x01, 0x09, 0x30};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};

// 1280x720: 80 macroblocks across, 45 down, frame coded.
Bytes Sps720() {
    return MakeSps({});
}

// IDR slice with first_mb_in_slice 0 (ue "1": top bit set).
Bytes IdrSlice(uint8_t fill = 0xAA) {
    return {0x65, 0x88, 0x84, fill, fill};
}
// IDR slice that starts later in the picture (first_mb_in_slice 1: ue "010").
Bytes IdrLaterSlice() {
    return {0x65, 0x40, 0x84, 0x21};
}
Bytes PSlice(uint8_t fill = 0x55) {
    return {0x41, 0x9A, 0x02, fill};
}

Bytes StapA(std::initializer_list<Bytes> units) {
    Bytes out = {0x78};  // F=0, NRI=3, type 24
    for (const Bytes& unit : units) {
        out.push_back(static_cast<uint8_t>(unit.size() >> 8));
        out.push_back(static_cast<uint8_t>(unit.size()));
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

// Splits one NAL unit into FU-A packets carrying at most chunk bytes each.
std::vector<Bytes> FuA(const Bytes& nal, size_t chunk) {
    std::vector<Bytes> out;
    const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
    for (size_t pos = 1; pos < nal.size(); pos += chunk) {
        const size_t n = std::min(chunk, nal.size() - pos);
        uint8_t header = nal[0] & 0x1F;
        header |= pos == 1 ? 0x80 : 0;
        header |= pos + n == nal.size() ? 0x40 : 0;
        Bytes packet = {indicator, header};
        packet.insert(packet.end(), nal.begin() + static_cast<long>(pos),
                      nal.begin() + static_cast<long>(pos + n));
        out.push_back(packet);
    }
    return out;
}

class H264ParserTest : public ::testing::Test {
  protected:
    void Feed(const Bytes& payload, bool marker, uint32_t timestamp = 9000) {
        rig.parser.ProcessPacket(MakePacket(sequence++, timestamp, marker, payload));
    }
    // A key frame as a camera sends it: STAP-A with SPS and PPS, then the IDR slice.
    void KeyFrame(uint32_t timestamp) {
        Feed(StapA({Sps720(), kPps}), false, timestamp);
        Feed(IdrSlice(), true, timestamp);
    }
    const std::vector<DeliveredFrame>& Frames() { return rig.client.frames; }

    ParserRig<CH264RTPMediaParser> rig;
    uint16_t sequence = 100;
};

TEST(SequenceOrder, ClassifiesByWrappingDistance) {
    struct Row {
        bool first;
        uint16_t last;
        uint16_t next;
        PacketOrder expected;
        const char* reason;
    };
    const Row rows[] = {
        {true, 0, 777, PacketOrder::kFirst, "nothing to compare with"},
        {false, 10, 11, PacketOrder::kNext, "plain successor"},
        {false, 65535, 0, PacketOrder::kNext, "wraps to zero"},
        {false, 10, 12, PacketOrder::kGap, "one packet lost"},
        {false, 10, 10, PacketOrder::kDuplicate, "same number again"},
        {false, 0, 65535, PacketOrder::kLate, "one behind across the wrap"},
        {false, 100, 100 - kLateWindow, PacketOrder::kLate, "at the edge of the late window"},
        {false, 100, 100 - kLateWindow - 1, PacketOrder::kGap, "far behind: sender restarted"},
        {false, 0, 32768, PacketOrder::kGap, "half the range ahead"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ClassifySequence(row.first, row.last, row.next), row.expected) << row.reason;
    }
    EXPECT_EQ(SequenceDistance(65535, 0), 1);
    EXPECT_EQ(SequenceDistance(0, 65535), -1);
    EXPECT_EQ(SequenceDistance(0, 32767), 32767);
    EXPECT_EQ(SequenceDistance(0, 32768), -32768);
}

TEST(H264Payload, RefusesMalformedPayloads) {
    struct Row {
        Bytes payload;
        H264PayloadError expected;
        const char* reason;
    };
    const Row rows[] = {
        {{}, H264PayloadError::kEmpty, "empty payload"},
        {{0x41}, H264PayloadError::kTooShort, "single NAL unit of only a header"},
        {{0x78, 0x00}, H264PayloadError::kTooShort, "STAP-A without a unit"},
        {{0x78, 0x00, 0x05, 0x67, 0x42}, H264PayloadError::kStapOverrun, "unit size past the end"},
        {{0x78, 0x00, 0x02, 0x09, 0x10, 0xFF, 0xFF, 0x65},
         H264PayloadError::kStapOverrun,
         "second unit size past the end"},
        {{0x7C}, H264PayloadError::kTooShort, "FU-A without its header"},
        {{0x7C, 0x80, 0x88}, H264PayloadError::kBadFuHeader, "fragmented type 0"},
        {{0x7C, 0x98, 0x88}, H264PayloadError::kBadFuHeader, "fragmented STAP-A"},
        {{0x79, 0x00, 0x00}, H264PayloadError::kUnsupportedType, "STAP-B"},
        {{0x7D, 0x85, 0x00}, H264PayloadError::kUnsupportedType, "FU-B"},
        {{0x60, 0x00}, H264PayloadError::kUnsupportedType, "type 0"},
        {{0x7E, 0x00}, H264PayloadError::kUnsupportedType, "type 30"},
    };
    H264Payload out;
    for (const Row& row : rows) {
        EXPECT_EQ(UnpackH264Payload(row.payload, out), row.expected) << row.reason;
        EXPECT_TRUE(out.nalUnits.empty()) << row.reason;
    }
}

TEST(H264Payload, SplitsStapAAndStopsAtSizeZero) {
    // STAP-A header | size 2 | AUD | size 3 | P slice head | size 0 | ignored
    const Bytes payload = {0x78, 0x00, 0x02, 0x09, 0x10, 0x00, 0x03,
                           0x41, 0x9A, 0x02, 0x00, 0x00, 0xEE, 0xEE};
    H264Payload out;
    ASSERT_EQ(UnpackH264Payload(payload, out), H264PayloadError::kNone);
    ASSERT_EQ(out.nalUnits.size(), 2u);
    EXPECT_EQ(Bytes(out.nalUnits[0].begin(), out.nalUnits[0].end()), (Bytes{0x09, 0x10}));
    EXPECT_EQ(Bytes(out.nalUnits[1].begin(), out.nalUnits[1].end()), (Bytes{0x41, 0x9A, 0x02}));
}

TEST_F(H264ParserTest, FuAKeyFrameGetsSdpParameterSetsAndTrailer) {
    const Bytes sps = Sps720();
    rig.parser.SetParameterSets({.sps = sps, .pps = kPps});
    Bytes idr = IdrSlice();
    idr.resize(3000, 0x3C);
    const auto fragments = FuA(idr, 1000);
    ASSERT_EQ(fragments.size(), 3u);
    for (size_t i = 0; i < fragments.size(); ++i) {
        Feed(fragments[i], i + 1 == fragments.size(), 180000);
    }
    ASSERT_EQ(Frames().size(), 1u);
    const DeliveredFrame& frame = Frames()[0];
    EXPECT_EQ(frame.data, Concat({kStart, sps, kStart, kPps, kStart, idr, kTrailer}));
    EXPECT_EQ(frame.fourcc, kFourCCH264);
    EXPECT_EQ(frame.width, 1280u);
    EXPECT_EQ(frame.height, 720u);
    EXPECT_EQ(frame.resolutionClass, 4u);
    EXPECT_EQ(frame.dataSize, frame.data.size());
    // The frame time is what the channel's clock said for this RTP timestamp.
    EXPECT_EQ(rig.client.converted, std::vector<uint32_t>{180000});
    EXPECT_EQ(frame.time.wSecond, 2);
    EXPECT_EQ(rig.allocator.Outstanding(), 0);
}

TEST_F(H264ParserTest, PFramesWaitForTheFirstKeyFrame) {
    rig.parser.SetParameterSets({.sps = Sps720(), .pps = kPps});
    Feed(PSlice(), true, 1000);
    ++sequence;  // the first IDR slice (with the start of the picture) is lost
    Feed(IdrLaterSlice(), true, 1500);
    EXPECT_TRUE(Frames().empty()) << "a later slice is not passed off as a key frame";
    KeyFrame(2000);
    Feed(PSlice(), true, 3000);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[0].fourcc, kFourCCH264);
    EXPECT_EQ(Frames()[1].fourcc, kFourCCI264);
    EXPECT_EQ(Frames()[1].data, Concat({kStart, PSlice(), kTrailer}));
    // The size read from the key frame stays with the frames that follow it.
    EXPECT_EQ(Frames()[1].width, 1280u);
}

TEST_F(H264ParserTest, StapAWithParameterSetsReplacesStoredSets) {
    rig.parser.SetParameterSets(
        {.sps = MakeSps({.widthMbs = 20, .heightMapUnits = 15}), .pps = kPps});
    const Bytes newPps = {0x68, 0xEB, 0xE3, 0xCB};
    Feed(StapA({Sps720(), newPps, IdrSlice()}), true);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].data,
              Concat({kStart, Sps720(), kStart, newPps, kStart, IdrSlice(), kTrailer}));
    EXPECT_EQ(Frames()[0].width, 1280u);
}

TEST_F(H264ParserTest, SeiAndDelimitersNeverReachTheFrame) {
    KeyFrame(1000);
    const Bytes sei = {0x06, 0x05, 0x01, 0xAB, 0x80};
    const Bytes aud = {0x09, 0x30};
    Feed(aud, false, 2000);
    Feed(StapA({sei, aud}), false, 2000);
    Feed(sei, false, 2000);
    Feed(PSlice(), true, 2000);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[1].data, Concat({kStart, PSlice(), kTrailer}));
}

TEST_F(H264ParserTest, LostPacketDeliversNothingUntilNextKeyFrame) {
    KeyFrame(1000);
    // Key frame of two slices; the second slice's packet never arrives.
    Feed(StapA({Sps720(), kPps}), false, 2000);
    Feed(IdrSlice(), false, 2000);
    ++sequence;
    Feed(PSlice(), true, 3000);
    Feed(PSlice(), true, 4000);
    EXPECT_EQ(Frames().size(), 1u);
    EXPECT_TRUE(rig.parser.WaitingForKeyFrame());
    KeyFrame(5000);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[1].fourcc, kFourCCH264);
    EXPECT_EQ(rig.parser.Stats().gaps, 1u);
    // The middle slice of a P picture is lost: the rest of the picture is skipped.
    const uint64_t skipped = rig.parser.Stats().skipped;
    Feed(PSlice(1), false, 6000);
    ++sequence;
    Feed(PSlice(3), false, 6000);
    Feed(PSlice(4), true, 6000);
    KeyFrame(7000);
    ASSERT_EQ(Frames().size(), 3u);
    EXPECT_EQ(Frames()[2].fourcc, kFourCCH264);
    EXPECT_EQ(rig.parser.Stats().skipped - skipped, 2u);
}

TEST_F(H264ParserTest, DuplicateIsDroppedWithoutLosingTheFrameLatePacketDropsIt) {
    KeyFrame(1000);
    Feed(PSlice(1), false, 2000);
    --sequence;
    Feed(PSlice(1), false, 2000);  // the same packet again
    Feed(PSlice(2), true, 2000);
    ASSERT_EQ(Frames().size(), 2u);
    EXPECT_EQ(Frames()[1].data, Concat({kStart, PSlice(1), kStart, PSlice(2), kTrailer}));
    EXPECT_EQ(rig.parser.Stats().duplicates, 1u);
    // A late packet drops the picture; delivery resumes at the next key frame.
    const uint16_t base = sequence;
    rig.parser.ProcessPacket(MakePacket(base, 3000, false, PSlice(1)));
    rig.parser.ProcessPacket(MakePacket(base + 2, 3000, true, PSlice(3)));
    rig.parser.ProcessPacket(MakePacket(base + 1, 3000, false, PSlice(2)));  // late
    sequence = static_cast<uint16_t>(base + 3);
    Feed(PSlice(), true, 4000);
    EXPECT_EQ(Frames().size(), 2u);
    EXPECT_EQ(rig.parser.Stats().late, 1u);
    KeyFrame(5000);
    EXPECT_EQ(Frames().size(), 3u);
}

TEST_F(H264ParserTest, FuAUnitWithoutEndBitEndsAtNextUnitOrMarker) {
    KeyFrame(1000);
    Feed({0x5C, 0x81, 0x9A, 0x01}, false, 2000);  // start, never an end bit
    Feed({0x5C, 0x01, 0x02}, false, 2000);
    Feed({0x5C, 0xC1, 0x9A, 0x03}, false, 2000);  // start and end: a whole unit
    Feed({0x5C, 0x81, 0x9A, 0x04}, false, 2000);  // ended by the single unit after it
    Feed(PSlice(5), false, 2000);
    Feed({0x5C, 0x81, 0x9A, 0x06}, true, 2000);  // ended by the marker
    ASSERT_EQ(Frames().size(), 2u);
    auto unit = [](uint8_t n) { return Concat({kStart, {0x41, 0x9A, n}}); };
    EXPECT_EQ(Frames()[1].data,
              Concat({unit(1), {0x02}, unit(3), unit(4), kStart, PSlice(5), unit(6), kTrailer}));
    EXPECT_EQ(rig.parser.Stats().malformed, 0u);
}

// A broken unit inside a P picture drops the whole picture and waits for the next key frame.
TEST(H264ParserBrokenUnits, DropThePictureUntilTheNextKeyFrame) {
    Bytes overrun = StapA({PSlice(2)});
    overrun[2] = 0x40;  // size says 64, four bytes follow
    struct Row {
        std::vector<Bytes> packets;  // after a P slice; the last has the marker
        uint64_t malformed;
        const char* logged;
        const char* reason;
    };
    const Row rows[] = {
        {{{0x7C, 0x01, 0xDE, 0xAD}, {0x7C, 0x41, 0xBE, 0xEF}},
         2,
         nullptr,
         "FU-A continuation of a unit that never started: neither fragment has a start"},
        {{overrun}, 1, "STAP-A unit size runs past the packet", "STAP-A overrun appends nothing"},
        {{{0x7D, 0x81, 0x00, 0x01, 0x9A}}, 1, nullptr, "FU-B resets the parser"},
    };
    for (const Row& row : rows) {
        ParserRig<CH264RTPMediaParser> rig;
        uint16_t sequence = 1;
        auto feed = [&](const Bytes& payload, bool marker, uint32_t timestamp) {
            rig.parser.ProcessPacket(MakePacket(sequence++, timestamp, marker, payload));
        };
        feed(StapA({Sps720(), kPps}), false, 1000);
        feed(IdrSlice(), true, 1000);
        feed(PSlice(), false, 2000);
        for (const Bytes& payload : row.packets) {
            feed(payload, &payload == &row.packets.back(), 2000);
        }
        feed(PSlice(), true, 3000);
        EXPECT_EQ(rig.client.frames.size(), 1u) << row.reason;
        EXPECT_EQ(rig.parser.Stats().malformed, row.malformed) << row.reason;
        EXPECT_TRUE(rig.parser.WaitingForKeyFrame()) << row.reason;
        if (row.logged != nullptr) {
            EXPECT_EQ(rig.driver.Count(row.logged), 1u) << row.reason;
        }
    }
}

TEST_F(H264ParserTest, OversizeFrameIsLoggedAndDiscarded) {
    KeyFrame(1000);
    Bytes slice = PSlice();
    slice.resize(60000, 0x11);
    const size_t packets = kFrameBufferLimit / slice.size() + 1;
    for (size_t i = 0; i < packets; ++i) {
        Feed(slice, false, 2000);
    }
    Feed(PSlice(), true, 2000);
    EXPECT_EQ(Frames().size(), 1u);
    EXPECT_EQ(rig.driver.Count("vornak::CRTPMediaParser::CheckBufferSize: Frame buffer overflow "
                               "detected, device 192.0.2.7:80"),
              1u);
    EXPECT_EQ(rig.driver.Lines()[0].level, kLogError);
}

TEST_F(H264ParserTest, RefusedOrUnallocatedFrameWaitsForNextKeyFrame) {
    rig.client.accept = false;
    KeyFrame(1000);
    rig.client.accept = true;
    Feed(PSlice(), true, 2000);
    EXPECT_EQ(Frames().size(), 1u);  // only the refused key frame was offered
    KeyFrame(3000);
    EXPECT_EQ(Frames().size(), 2u);
    // A frame the host cannot allocate is logged and the parser waits for the next key frame too.
    rig.allocator.SetMaxFrameSize(10);
    KeyFrame(4000);
    rig.allocator.SetMaxFrameSize(1u << 20);
    Feed(PSlice(), true, 5000);
    EXPECT_EQ(Frames().size(), 2u);
    EXPECT_EQ(rig.driver.Count("vornak::CH264RTPMediaParser::ProcessFrame: Frame allocation "
                               "error, device 192.0.2.7:80"),
              1u);
    KeyFrame(6000);
    EXPECT_EQ(Frames().size(), 3u);
}

// A new session starts from its own description: the last one's sets may be of another size,
// and sets that cannot be read are not kept.
TEST_F(H264ParserTest, ResetForgetsSizeAndParameterSets) {
    rig.parser.SetParameterSets({.sps = Sps720(), .pps = kPps});
    EXPECT_EQ(rig.parser.GetPictureSize(), (Size{1280, 720}));
    rig.parser.Reset();
    rig.parser.SetParameterSets({.sps = {0x67, 0x42}, .pps = kPps});
    EXPECT_EQ(rig.parser.GetPictureSize(), (Size{0, 0}));
    sequence = 5;  // a new session starts anywhere
    Feed(IdrSlice(), true);
    EXPECT_TRUE(Frames().empty());
    KeyFrame(2000);
    ASSERT_EQ(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].fourcc, kFourCCH264);
}

}  // namespace
}  // namespace vornak::test
