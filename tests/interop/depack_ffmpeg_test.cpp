// Elementary streams made by FFmpeg (scripts/make-depack-data.sh) are packetized here the way a
// camera would send them, run through the depacketizers, and the frames they deliver are decoded
// by FFmpeg: it must report no error and produce exactly the pictures of the source, also when
// packets are lost, repeated or reordered (then a subset of them, never a damaged one).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "../unit/parsers/parser_test_support.h"
#include "interop/http_peers.h"
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

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return "cannot start: " + command;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        output.append(buffer, n);
    }
    pclose(pipe);
    return output;
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
    const std::string text = RunCommand("ffmpeg -nostdin -hide_banner -v error -f " + format +
                                        " -i " + path + " -f framemd5 -");
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

// ---- H.264 ----

std::vector<Bytes> SplitAnnexB(const Bytes& stream) {
    std::vector<Bytes> units;
    size_t begin = std::string::npos;
    for (size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            if (begin != std::string::npos) {
                size_t end = i;
                while (end > begin && stream[end - 1] == 0) {
                    --end;
                }
                units.emplace_back(stream.begin() + static_cast<long>(begin),
                                   stream.begin() + static_cast<long>(end));
            }
            begin = i + 3;
            i += 2;
        }
    }
    if (begin != std::string::npos) {
        units.emplace_back(stream.begin() + static_cast<long>(begin), stream.end());
    }
    return units;
}

struct H264Source {
    Payloads packets;
    size_t pictures = 0;
    Bytes sps;
    Bytes pps;
};

// One access unit per delimiter; SPS and PPS go together in a STAP-A, small units alone, large
// ones in FU-A fragments; the marker on the last packet of each access unit.
H264Source PacketizeH264(const Bytes& stream) {
    std::vector<std::vector<Bytes>> units;
    for (Bytes& nal : SplitAnnexB(stream)) {
        if ((nal[0] & 0x1F) == 9 || units.empty()) {
            units.emplace_back();
        }
        units.back().push_back(std::move(nal));
    }
    H264Source source;
    for (size_t au = 0; au < units.size(); ++au) {
        const uint32_t timestamp = static_cast<uint32_t>(au) * 3600;
        Payloads packets;
        const auto& nals = units[au];
        for (size_t i = 0; i < nals.size(); ++i) {
            const Bytes& nal = nals[i];
            const uint8_t type = nal[0] & 0x1F;
            if (type == 7 && i + 1 < nals.size() && (nals[i + 1][0] & 0x1F) == 8) {
                source.sps = nal;
                source.pps = nals[i + 1];
                Bytes stap = {0x78};
                for (const Bytes* unit : {&nal, &nals[i + 1]}) {
                    stap.push_back(static_cast<uint8_t>(unit->size() >> 8));
                    stap.push_back(static_cast<uint8_t>(unit->size()));
                    stap.insert(stap.end(), unit->begin(), unit->end());
                }
                AddPacket(packets, stap, timestamp, false);
                ++i;
            } else if (nal.size() <= kMaxPayload) {
                AddPacket(packets, nal, timestamp, false);
            } else {
                const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
                for (size_t pos = 1; pos < nal.size(); pos += kMaxPayload) {
                    const size_t n = std::min(kMaxPayload, nal.size() - pos);
                    Bytes fu = {indicator,
                                static_cast<uint8_t>(type | (pos == 1 ? 0x80 : 0) |
                                                     (pos + n == nal.size() ? 0x40 : 0))};
                    fu.insert(fu.end(), nal.begin() + static_cast<long>(pos),
                              nal.begin() + static_cast<long>(pos + n));
                    AddPacket(packets, fu, timestamp, false);
                }
            }
        }
        packets.back().marker = 1;
        source.packets.insert(source.packets.end(), packets.begin(), packets.end());
        ++source.pictures;
    }
    return source;
}

template <typename Parser>
std::vector<DeliveredFrame> Depacketize(const Payloads& packets, const Bytes& sps = {},
                                        const Bytes& pps = {}, const Bytes& config = {}) {
    ParserRig<Parser> rig;
    rig.parser.SetParameterSets(sps, pps, config);
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

void CheckH264(const interop::TempDir& dir, const std::string& name, Size size) {
    const Bytes stream = ReadData(name);
    ASSERT_FALSE(stream.empty()) << name;
    const H264Source source = PacketizeH264(stream);
    CheckDamaged<CH264RTPMediaParser>(dir, name, "h264", source.packets, source.pictures, size,
                                      kFourCCH264, true, 5, source.sps, source.pps);
}

TEST_F(DepackInterop, H264TwoSlicesPerPicture) {
    CheckH264(dir, "h264_320x240.h264", {320, 240});
}

TEST_F(DepackInterop, H264Interlaced) {
    CheckH264(dir, "h264_interlaced_320x240.h264", {320, 240});
}

// ---- MPEG-4 ----

// A frame begins at its configuration (visual object sequence) or at its VOP.
Payloads PacketizeMpeg4(const Bytes& stream, size_t& pictures) {
    std::vector<size_t> starts;
    bool configPending = false;
    for (size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] != 0 || stream[i + 1] != 0 || stream[i + 2] != 1) {
            continue;
        }
        if (stream[i + 3] == 0xB0) {
            starts.push_back(i);
            configPending = true;
        } else if (stream[i + 3] == 0xB6) {
            if (!configPending) {
                starts.push_back(i);
            }
            configPending = false;
        }
    }
    starts.push_back(stream.size());
    Payloads packets;
    for (size_t f = 0; f + 1 < starts.size(); ++f) {
        const uint32_t timestamp = static_cast<uint32_t>(f) * 3600;
        for (size_t pos = starts[f]; pos < starts[f + 1]; pos += kMaxPayload) {
            const size_t end = std::min(pos + kMaxPayload, starts[f + 1]);
            AddPacket(packets,
                      Bytes(stream.begin() + static_cast<long>(pos),
                            stream.begin() + static_cast<long>(end)),
                      timestamp, end == starts[f + 1]);
        }
    }
    pictures = starts.size() - 1;
    return packets;
}

TEST_F(DepackInterop, Mpeg4) {
    const std::string name = "mpeg4_352x288.m4v";
    const Bytes stream = ReadData(name);
    ASSERT_FALSE(stream.empty());
    size_t pictures = 0;
    const Payloads packets = PacketizeMpeg4(stream, pictures);
    CheckDamaged<CMpeg4RTPMediaParser>(dir, name, "m4v", packets, pictures, {352, 288},
                                       kFourCCDivx);
}

// ---- JPEG ----

// RFC 2435 packets for one baseline JPEG: in-band tables (Q 255), type from the luma sampling,
// restart header when the picture has a restart interval; the scan without its EOI.
Payloads PacketizeJpeg(std::span<const uint8_t> jpeg, uint32_t timestamp) {
    Bytes tables;
    uint8_t type = 1;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t restart = 0;
    size_t pos = 2;
    size_t scan = 0;
    while (pos + 4 <= jpeg.size()) {
        const uint8_t marker = jpeg[pos + 1];
        const size_t length = static_cast<size_t>(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        const auto body = jpeg.subspan(pos + 4, length - 2);
        if (marker == 0xDB) {
            for (size_t t = 0; t + 65 <= body.size(); t += 65) {
                tables.insert(tables.end(), body.begin() + static_cast<long>(t + 1),
                              body.begin() + static_cast<long>(t + 65));
            }
        } else if (marker == 0xC0) {
            height = static_cast<uint16_t>(body[1] << 8 | body[2]);
            width = static_cast<uint16_t>(body[3] << 8 | body[4]);
            // RTP/JPEG knows two layouts: 2x1 (type 0) and 2x2 (type 1) luma blocks with
            // single-block chroma.
            EXPECT_TRUE(body[7] == 0x21 || body[7] == 0x22) << "luma sampling " << int(body[7]);
            EXPECT_EQ(body[10], 0x11);
            type = body[7] == 0x21 ? 0 : 1;
        } else if (marker == 0xDD) {
            restart = static_cast<uint16_t>(body[0] << 8 | body[1]);
        } else if (marker == 0xDA) {
            scan = pos + 2 + length;
            break;
        }
        pos += 2 + length;
    }
    size_t end = jpeg.size();
    if (end >= 2 && jpeg[end - 2] == 0xFF && jpeg[end - 1] == 0xD9) {
        end -= 2;
    }
    if (restart != 0) {
        type = static_cast<uint8_t>(type + 64);
    }
    Payloads packets;
    for (size_t offset = 0; scan + offset < end; offset += kMaxPayload) {
        const size_t n = std::min(kMaxPayload, end - scan - offset);
        Bytes payload = {0,
                         static_cast<uint8_t>(offset >> 16),
                         static_cast<uint8_t>(offset >> 8),
                         static_cast<uint8_t>(offset),
                         type,
                         255,
                         static_cast<uint8_t>(width / 8),
                         static_cast<uint8_t>(height / 8)};
        if (restart != 0) {
            payload.insert(payload.end(), {static_cast<uint8_t>(restart >> 8),
                                           static_cast<uint8_t>(restart), 0xFF, 0xFF});
        }
        if (offset == 0) {
            payload.insert(payload.end(), {0, 0, static_cast<uint8_t>(tables.size() >> 8),
                                           static_cast<uint8_t>(tables.size())});
            payload.insert(payload.end(), tables.begin(), tables.end());
        }
        payload.insert(payload.end(), jpeg.begin() + static_cast<long>(scan + offset),
                       jpeg.begin() + static_cast<long>(scan + offset + n));
        AddPacket(packets, std::move(payload), timestamp, scan + offset + n == end);
    }
    return packets;
}

TEST_F(DepackInterop, Jpeg420) {
    const std::string name = "jpeg420_320x240.mjpeg";
    const Bytes stream = ReadData(name);
    ASSERT_FALSE(stream.empty()) << name;
    Payloads packets;
    size_t pictures = 0;
    for (size_t begin = 0; begin + 1 < stream.size();) {
        const Bytes eoi = {0xFF, 0xD9};
        auto it = std::search(stream.begin() + static_cast<long>(begin), stream.end(), eoi.begin(),
                              eoi.end());
        const size_t end =
            it == stream.end() ? stream.size() : static_cast<size_t>(it - stream.begin()) + 2;
        const Payloads one = PacketizeJpeg(std::span(stream).subspan(begin, end - begin),
                                           static_cast<uint32_t>(pictures) * 18000);
        packets.insert(packets.end(), one.begin(), one.end());
        ++pictures;
        begin = end;
    }
    CheckDamaged<CJpegRTPMediaParser>(dir, name, "mjpeg", packets, pictures, {320, 240},
                                      kFourCCJpeg);
}
}  // namespace
}  // namespace vornak::test
