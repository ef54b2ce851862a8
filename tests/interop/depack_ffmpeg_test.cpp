// Elementary streams made by FFmpeg (scripts/make-depack-data.sh) are packetized the way a camera
// would send them (by the simulator's packetizers), run through the
// depacketizers, and the frames they deliver are decoded by FFmpeg: it must report no error and
// produce exactly the pictures of the source, also when packets are lost, repeated or reordered
// (then a subset of them, never a damaged one).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "../unit/parsers/parser_test_support.h"
#include "camsim/media.h"
#include "camsim/rtp_packetizer.h"
#include "interop/peers.h"
#include "parsers/h264_parser.h"
#include "parsers/jpeg_parser.h"
#include "parsers/mpeg4_parser.h"

namespace vornak::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Payloads = std::vector<CRTPPacket>;

constexpr size_t kMaxPayload = 1200;

Bytes ReadData(const std::string& name) {
    std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/tests/data/depack/" + name,
                     std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// trimLast: bytes left off the end of the file. Each H.264 frame ends with an access unit
// delimiter that opens the next access unit; at the end of a file that unit never comes.
void WriteFile(const std::string& path, const std::vector<DeliveredFrame>& frames,
               size_t trimLast = 0) {
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < frames.size(); ++i) {
        const DeliveredFrame& frame = frames[i];
        const size_t size =
            i + 1 == frames.size() ? frame.data.size() - trimLast : frame.data.size();
        out.write(reinterpret_cast<const char*>(frame.data.data()),
                  static_cast<std::streamsize>(size));
    }
}

// Picture checksums FFmpeg computes while decoding; errors end up in the same text.
struct Decoded {
    std::string errors;
    std::vector<std::string> md5;
};

Decoded Decode(const std::string& path, const std::string& format) {
    const std::string text = interop::RunTool({"ffmpeg", "-nostdin", "-hide_banner", "-v", "error",
                                               "-f", format, "-i", path, "-f", "framemd5", "-"},
                                              60)
                                 .output;
    Decoded decoded;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t comma = line.rfind(',');
        if (comma == std::string::npos || std::count(line.begin(), line.end(), ',') != 5) {
            decoded.errors += line + "\n";
            continue;
        }
        decoded.md5.push_back(line.substr(comma + 2));
    }
    return decoded;
}

void AddPacket(Payloads& packets, Bytes payload, uint32_t timestamp, bool marker) {
    packets.push_back(MakePacket(0, timestamp, marker, std::move(payload)));
}

// Numbers the packets in order, then damages the stream: drop every dropEvery-th packet (0:
// none), repeat every repeatEvery-th, swap neighbours every swapEvery-th.
Payloads Transmit(Payloads packets, size_t dropEvery, size_t repeatEvery, size_t swapEvery) {
    uint16_t sequence = 65000;  // wraps inside every stream
    for (CRTPPacket& packet : packets) {
        packet.sequence = sequence++;
    }
    Payloads sent;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (dropEvery != 0 && i % dropEvery == dropEvery - 1) {
            continue;
        }
        sent.push_back(packets[i]);
        if (repeatEvery != 0 && i % repeatEvery == repeatEvery - 1) {
            sent.push_back(packets[i]);
        }
    }
    for (size_t i = 1; swapEvery != 0 && i < sent.size(); ++i) {
        if (i % swapEvery == 0) {
            std::swap(sent[i - 1], sent[i]);
        }
    }
    return sent;
}

template <typename Parser>
std::vector<DeliveredFrame> Depacketize(const Payloads& packets, const Bytes& sps = {},
                                        const Bytes& pps = {}, const Bytes& config = {}) {
    ParserRig<Parser> rig;
    rig.parser.SetParameterSets({.sps = sps, .pps = pps, .config = config});
    for (const CRTPPacket& packet : packets) {
        rig.parser.ProcessPacket(packet);
    }
    EXPECT_EQ(rig.allocator.Outstanding(), 0);
    return rig.client.frames;
}

// Every decoded picture is one of the source's, in the source's order.
void ExpectOrderedSubset(const std::vector<std::string>& part,
                         const std::vector<std::string>& whole) {
    size_t at = 0;
    for (const std::string& md5 : part) {
        while (at < whole.size() && whole[at] != md5) {
            ++at;
        }
        ASSERT_LT(at, whole.size()) << "picture " << md5 << " is not one of the source's";
        ++at;
    }
}

struct Damage {
    size_t drop, repeat, swap;
    const char* reason;
};
const Damage kDamage[] = {
    {0, 0, 0, "clean"},
    {23, 0, 0, "lost packets"},
    {0, 7, 0, "repeated packets"},
    {0, 0, 17, "reordered packets"},
    {11, 5, 13, "all at once"},
};

class DepackInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (interop::FindProgram("ffmpeg").empty()) {
            GTEST_SKIP() << "ffmpeg is not installed";
        }
    }
    interop::TempDir dir;
};

// Runs the packets through the parser under every kind of damage and has FFmpeg decode what came
// out. trimLast: see WriteFile. lossy: every damage costs pictures (H.264 drops a reordered one).
template <typename Parser>
void CheckDamaged(const interop::TempDir& dir, const std::string& name, const std::string& format,
                  const Payloads& packets, size_t pictures, Size size, uint32_t fourcc,
                  bool lossy = false, size_t trimLast = 0, const Bytes& sps = {},
                  const Bytes& pps = {}) {
    const Decoded reference =
        Decode(std::string(QUILLON_SOURCE_DIR) + "/tests/data/depack/" + name, format);
    ASSERT_EQ(reference.errors, "");
    ASSERT_EQ(reference.md5.size(), pictures);
    for (const Damage& damage : kDamage) {
        SCOPED_TRACE(damage.reason);
        const auto frames = Depacketize<Parser>(
            Transmit(packets, damage.drop, damage.repeat, damage.swap), sps, pps);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0].fourcc, fourcc) << "delivery starts at a key frame";
        for (const DeliveredFrame& frame : frames) {
            EXPECT_EQ((Size{frame.width, frame.height}), size);
            if (fourcc == kFourCCJpeg) {
                EXPECT_EQ(frame.fourcc, fourcc) << "every JPEG picture stands alone";
            }
        }
        const std::string out = dir.path() + "/out." + format;
        WriteFile(out, frames, trimLast);
        const Decoded decoded = Decode(out, format);
        EXPECT_EQ(decoded.errors, "");
        EXPECT_EQ(decoded.md5.size(), frames.size());
        if (damage.drop == 0 && damage.swap == 0) {
            EXPECT_EQ(decoded.md5, reference.md5);
        } else {
            if (lossy) {
                EXPECT_LT(decoded.md5.size(), reference.md5.size());
            }
            ExpectOrderedSubset(decoded.md5, reference.md5);
        }
    }
}

// Every picture of the clip a timestamp step apart. H.264 parameter sets and other small units
// share STAP-A packets, large ones go in FU-A fragments.
Payloads PacketizeClip(const camsim::Clip& clip, uint32_t step) {
    camsim::PacketizerOptions options;
    options.max_payload = kMaxPayload;
    options.mpeg4_config_in_band = false;  // the configuration only where the stream has it
    options.h264_stap_a = true;
    Payloads packets;
    for (size_t f = 0; f < clip.frames.size(); ++f) {
        const auto& data = clip.frames[f].data;
        auto out = clip.codec == camsim::Codec::kJpeg ? camsim::PacketizeJpeg(data, options)
                   : clip.codec == camsim::Codec::kH264
                       ? camsim::PacketizeH264(data, clip, options)
                       : camsim::PacketizeMpeg4(data, clip, options);
        EXPECT_FALSE(out.empty()) << "picture " << f;
        for (camsim::RtpPayload& p : out) {
            AddPacket(packets, std::move(p.payload), static_cast<uint32_t>(f) * step, p.marker);
        }
    }
    return packets;
}

void CheckH264(const interop::TempDir& dir, const std::string& name) {
    camsim::Clip clip;
    ASSERT_EQ(camsim::LoadH264(ReadData(name), &clip), std::nullopt);
    CheckDamaged<CH264RTPMediaParser>(dir, name, "h264", PacketizeClip(clip, 3600),
                                      clip.frames.size(), {320, 240}, kFourCCH264, true, 5,
                                      clip.sps, clip.pps);
}

TEST_F(DepackInterop, H264TwoSlicesPerPicture) {
    CheckH264(dir, "h264_320x240.h264");
}

TEST_F(DepackInterop, H264Interlaced) {
    CheckH264(dir, "h264_interlaced_320x240.h264");
}

TEST_F(DepackInterop, Mpeg4) {
    const std::string name = "mpeg4_352x288.m4v";
    camsim::Clip clip;
    ASSERT_EQ(camsim::LoadMpeg4(ReadData(name), &clip), std::nullopt);
    CheckDamaged<CMpeg4RTPMediaParser>(dir, name, "m4v", PacketizeClip(clip, 3600),
                                       clip.frames.size(), {352, 288}, kFourCCDivx);
}

TEST_F(DepackInterop, Jpeg420) {
    const std::string name = "jpeg420_320x240.mjpeg";
    camsim::Clip clip;
    ASSERT_EQ(camsim::LoadMjpeg(ReadData(name), &clip), std::nullopt);
    CheckDamaged<CJpegRTPMediaParser>(dir, name, "mjpeg", PacketizeClip(clip, 18000),
                                      clip.frames.size(), {320, 240}, kFourCCJpeg);
}

}  // namespace
}  // namespace vornak::test
