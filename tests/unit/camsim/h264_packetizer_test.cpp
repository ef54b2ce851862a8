// H.264 RTP packetization of the simulator: FU-A boundaries, parameter sets, the RTP header.
#include <gtest/gtest.h>

#include "camsim/rtp_packetizer.h"

namespace camsim {
namespace {

std::vector<uint8_t> Nal(uint8_t header, size_t size) {
    std::vector<uint8_t> n(size);
    n[0] = header;
    for (size_t i = 1; i < size; ++i)
        n[i] = static_cast<uint8_t>(i * 7 + 1);
    return n;
}

std::vector<uint8_t> AnnexB(const std::vector<std::vector<uint8_t>>& nals) {
    std::vector<uint8_t> out;
    for (const auto& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

// Rebuilds the NAL units from single-unit and FU-A payloads (RFC 6184).
std::vector<std::vector<uint8_t>> Depacketize(const std::vector<RtpPayload>& payloads) {
    std::vector<std::vector<uint8_t>> nals;
    std::vector<uint8_t> fu;
    for (const auto& p : payloads) {
        const auto& b = p.payload;
        int type = b[0] & 0x1F;
        if (type == 28) {
            bool start = b[1] & 0x80, end = b[1] & 0x40;
            if (start)
                fu = {static_cast<uint8_t>((b[0] & 0xE0) | (b[1] & 0x1F))};
            fu.insert(fu.end(), b.begin() + 2, b.end());
            if (end)
                nals.push_back(fu);
        } else {
            nals.push_back(b);
        }
    }
    return nals;
}

Clip ClipWithParameterSets() {
    Clip c;
    c.sps = Nal(0x67, 12);
    c.pps = Nal(0x68, 4);
    return c;
}

TEST(H264Packetizer, FuABoundaries) {
    constexpr size_t kMax = 100;
    struct Case {
        size_t nal_size;
        size_t packets;
        const char* reason;
    } cases[] = {
        {kMax, 1, "exactly the payload size still fits a single NAL unit packet"},
        {kMax + 1, 2, "one byte over needs FU-A; the header byte moves into the FU headers"},
        {2 * (kMax - 2) + 1, 2, "two full fragments carry size-1 body bytes"},
        {2 * (kMax - 2) + 2, 3, "one body byte more spills into a third fragment"},
        {5000, 52, "large slice: ceil(4999 / 98) fragments"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto nal = Nal(0x41, c.nal_size);  // non-IDR slice, NRI 2
        PacketizerOptions opts;
        opts.max_payload = kMax;
        auto out = PacketizeH264(AnnexB({nal}), ClipWithParameterSets(), opts);
        ASSERT_EQ(out.size(), c.packets);
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_LE(out[i].payload.size(), kMax);
            EXPECT_EQ(out[i].marker, i + 1 == out.size()) << "marker only on the last packet";
            if (out.size() > 1) {
                EXPECT_EQ(out[i].payload[0], 0x40 | 28) << "FU indicator keeps F and NRI";
                EXPECT_EQ(bool(out[i].payload[1] & 0x80), i == 0) << "S bit";
                EXPECT_EQ(bool(out[i].payload[1] & 0x40), i + 1 == out.size()) << "E bit";
                EXPECT_EQ(out[i].payload[1] & 0x1F, 1) << "original type in the FU header";
            }
        }
        auto back = Depacketize(out);
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0], nal);
    }
}

TEST(H264Packetizer, IdrGetsParameterSetsInBand) {
    Clip clip = ClipWithParameterSets();
    auto idr = Nal(0x65, 300);
    PacketizerOptions opts;
    auto out = PacketizeH264(AnnexB({idr}), clip, opts);
    auto nals = Depacketize(out);
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0], clip.sps);
    EXPECT_EQ(nals[1], clip.pps);
    EXPECT_EQ(nals[2], idr);

    // An access unit that already carries them is left alone.
    auto with_sets = PacketizeH264(AnnexB({clip.sps, clip.pps, idr}), clip, opts);
    EXPECT_EQ(Depacketize(with_sets).size(), 3u);

    // Non-IDR pictures get nothing added.
    auto p = PacketizeH264(AnnexB({Nal(0x41, 50)}), clip, opts);
    EXPECT_EQ(Depacketize(p).size(), 1u);
}

TEST(H264Packetizer, RtpHeaderLayout) {
    RtpPayload p;
    p.payload = {0xAA, 0xBB};
    p.marker = true;
    p.has_extension = true;
    p.extension_profile = 0xFFD8;
    p.extension = {1, 2, 3, 4};
    RtpHeaderFields h;
    h.payload_type = 96;
    h.sequence = 0xFFFF;
    h.timestamp = 0x01020304;
    h.ssrc = 0xDEADBEEF;
    std::vector<uint8_t> out;
    WriteRtpPacket(p, h, out);
    const std::vector<uint8_t> expected = {
        0x90,                    // V=2, no padding, extension, no CSRC
        0xE0,                    // marker + PT 96
        0xFF, 0xFF,              // sequence
        0x01, 0x02, 0x03, 0x04,  // timestamp
        0xDE, 0xAD, 0xBE, 0xEF,  // SSRC
        0xFF, 0xD8, 0x00, 0x01,  // extension profile, length in 32-bit words
        1,    2,    3,    4,    0xAA, 0xBB};
    EXPECT_EQ(out, expected);
    p.has_extension = false;
    out.clear();
    WriteRtpPacket(p, h, out);
    EXPECT_EQ(out[0], 0x80) << "no X bit";
    EXPECT_EQ(out.size(), 12u + 2);
}

TEST(AnnexBSplitter, StartCodesOfThreeAndFourBytes) {
    std::vector<uint8_t> s = {0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x65, 9};
    auto nals = SplitAnnexB(s);
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0].size(), 3u) << "the zero of a 4-byte start code is not part of the unit";
    EXPECT_EQ(nals[1].size(), 2u);
    EXPECT_EQ(nals[2].size(), 2u);
}

}  // namespace
}  // namespace camsim
