// Payload bytes per second through the depacketizers, from RTP packets to a frame handed to a
// host that does nothing with it. The packets are parsed beforehand, so the figures are the
// depacketizer's own; the *WithPacketParse variants add the RTP header parse (and its payload
// copy) to show what reception costs on top.
#include <benchmark/benchmark.h>

#include <random>

#include "parsers/h264_parser.h"
#include "parsers/h265_parser.h"
#include "parsers/jpeg_parser.h"
#include "parsers/mpeg4_parser.h"
#include "stub_driver.h"

namespace vornak {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxPayload = 1400;

// One frame buffer reused for every picture: the host side costs nothing measurable.
class NullFrame : public ipcapture::IVideoFrame {
  public:
    uint32_t GetBufferSize() const override { return static_cast<uint32_t>(buffer.size()); }
    uint8_t* GetBuffer() override { return buffer.data(); }
    uint32_t GetDataSize() const override { return size; }
    void SetDataSize(uint32_t s) override { size = s; }
    void FinishFrame() override {}
    void SetTimestamp(const SYSTEMTIME*) override {}
    void GetTimestamp(SYSTEMTIME*) const override {}
    void SetFourCC(uint32_t) override {}
    uint32_t GetFourCC() const override { return 0; }
    void SetHeight(uint32_t) override {}
    uint32_t GetHeight() const override { return 0; }
    void SetWidth(uint32_t) override {}
    uint32_t GetWidth() const override { return 0; }
    void SetResolutionClass(uint32_t) override {}
    uint32_t GetResolutionClass() const override { return 0; }
    Bytes buffer = Bytes(4 << 20);
    uint32_t size = 0;
};

class NullAllocator : public ipcapture::IFrameAllocator {
  public:
    ipcapture::IVideoFrame* CreateFrame(uint32_t, uint32_t, const char*) override { return &frame; }
    ipcapture::IAudioFrame* CreateAudioFrame(uint32_t, uint32_t, const char*) override {
        return nullptr;
    }
    void ReleaseAudioFrame(ipcapture::IAudioFrame*) override {}
    void ReleaseFrame(ipcapture::IVideoFrame*) override {}
    NullFrame frame;
};

class NullDriver : public test::StubDriver {
  public:
    NullDriver() { StubDriver::allocator = &frames; }
    NullAllocator frames;
};

class NullClient : public IMediaParserClient {
  public:
    bool FrameReady(ipcapture::IVideoFrame*) override {
        ++frames;
        return true;
    }
    Size GetRequestedSize() override { return {}; }
    std::string GetStreamName() override { return "Quillon::LiveStream"; }
    void ConvertTimestamp(uint32_t, SYSTEMTIME& time) override { time = SYSTEMTIME{}; }
    uint64_t frames = 0;
};

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out(size);
    for (auto& byte : out) {
        byte = static_cast<uint8_t>(random() | 0x01);  // never a zero: no start codes inside
    }
    return out;
}

struct Stream {
    std::vector<CRTPPacket> packets;
    std::vector<Bytes> datagrams;  // the same packets on the wire
    uint64_t payloadBytes = 0;
    uint64_t frames = 0;
};

void AddPacket(Stream& stream, Bytes payload, uint32_t timestamp, bool marker) {
    CRTPPacket packet;
    packet.timestamp = timestamp;
    packet.marker = marker ? 1 : 0;
    packet.payloadType = 96;
    stream.payloadBytes += payload.size();
    Bytes datagram = {0x80,
                      static_cast<uint8_t>((marker ? 0x80 : 0) | 96),
                      0,
                      0,
                      static_cast<uint8_t>(timestamp >> 24),
                      static_cast<uint8_t>(timestamp >> 16),
                      static_cast<uint8_t>(timestamp >> 8),
                      static_cast<uint8_t>(timestamp),
                      0x12,
                      0x34,
                      0x56,
                      0x78};
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    stream.datagrams.push_back(std::move(datagram));
    packet.SetPayload(std::move(payload));
    stream.packets.push_back(std::move(packet));
}

// A group of pictures: one key frame (STAP-A with SPS and PPS, IDR slice in FU-A) and P frames,
// all fragmented to kMaxPayload.
Stream MakeH264Stream(size_t keySize, size_t pSize, int pFrames) {
    Stream stream;
    const Bytes sps = {0x67, 0x42, 0x00, 0x1F, 0xED, 0x00, 0xA0, 0x0B, 0x72};
    const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
    Bytes stap = {0x78, 0x00, static_cast<uint8_t>(sps.size())};
    stap.insert(stap.end(), sps.begin(), sps.end());
    stap.insert(stap.end(), {0x00, static_cast<uint8_t>(pps.size())});
    stap.insert(stap.end(), pps.begin(), pps.end());
    uint32_t timestamp = 0;
    for (int f = 0; f <= pFrames; ++f, timestamp += 3600) {
        const bool key = f == 0;
        if (key) {
            AddPacket(stream, stap, timestamp, false);
        }
        Bytes nal = RandomBytes(key ? keySize : pSize, static_cast<uint32_t>(f));
        nal[0] = key ? 0x65 : 0x41;
        nal[1] |= 0x80;  // first_mb_in_slice 0
        const uint8_t indicator = static_cast<uint8_t>((nal[0] & 0xE0) | 28);
        for (size_t pos = 1; pos < nal.size(); pos += kMaxPayload - 2) {
            const size_t n = std::min(kMaxPayload - 2, nal.size() - pos);
            const bool last = pos + n == nal.size();
            Bytes payload = {
                indicator,
                static_cast<uint8_t>((nal[0] & 0x1F) | (pos == 1 ? 0x80 : 0) | (last ? 0x40 : 0))};
            payload.insert(payload.end(), nal.begin() + static_cast<long>(pos),
                           nal.begin() + static_cast<long>(pos + n));
            AddPacket(stream, std::move(payload), timestamp, last);
        }
        ++stream.frames;
    }
    return stream;
}

// The H.264 stream's shape in H.265: an aggregation packet with VPS, SPS and PPS (camsim's
// 320x240 clip), the IRAP slice and the P slices in fragmentation units.
Stream MakeH265Stream(size_t keySize, size_t pSize, int pFrames) {
    Stream stream;
    const Bytes vps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                       0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0xBA, 0x02, 0x40};
    const Bytes sps = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90,
                       0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0xA0, 0x0A,
                       0x08, 0x0F, 0x16, 0x5B, 0xA4, 0xA4, 0xC2, 0xF0, 0x16, 0x80,
                       0x80, 0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0C, 0x84};
    const Bytes pps = {0x44, 0x01, 0xC0, 0x73, 0xC1, 0x89};
    Bytes ap = {0x60, 0x01};
    for (const Bytes* set : {&vps, &sps, &pps}) {
        ap.insert(ap.end(), {0x00, static_cast<uint8_t>(set->size())});
        ap.insert(ap.end(), set->begin(), set->end());
    }
    uint32_t timestamp = 0;
    for (int f = 0; f <= pFrames; ++f, timestamp += 3600) {
        const bool key = f == 0;
        if (key) {
            AddPacket(stream, ap, timestamp, false);
        }
        Bytes nal = RandomBytes(key ? keySize : pSize, static_cast<uint32_t>(f));
        nal[0] = key ? 0x26 : 0x02;  // IDR_W_RADL or TRAIL_R
        nal[1] = 0x01;
        nal[2] |= 0x80;  // first_slice_segment_in_pic_flag
        const uint8_t type = static_cast<uint8_t>(nal[0] >> 1);
        for (size_t pos = 2; pos < nal.size(); pos += kMaxPayload - 3) {
            const size_t n = std::min(kMaxPayload - 3, nal.size() - pos);
            const bool last = pos + n == nal.size();
            Bytes payload = {
                0x62, 0x01, static_cast<uint8_t>(type | (pos == 2 ? 0x80 : 0) | (last ? 0x40 : 0))};
            payload.insert(payload.end(), nal.begin() + static_cast<long>(pos),
                           nal.begin() + static_cast<long>(pos + n));
            AddPacket(stream, std::move(payload), timestamp, last);
        }
        ++stream.frames;
    }
    return stream;
}

Stream MakeJpegStream(size_t scanSize, int frames) {
    Stream stream;
    for (int f = 0; f < frames; ++f) {
        const Bytes scan = RandomBytes(scanSize, static_cast<uint32_t>(f));
        const uint32_t timestamp = static_cast<uint32_t>(f) * 3600;
        for (size_t pos = 0; pos < scan.size(); pos += kMaxPayload - 8) {
            const size_t n = std::min(kMaxPayload - 8, scan.size() - pos);
            // type-specific | offset (24) | type 1 | Q 75 | 1280/8 | 720/8
            Bytes payload = {0,
                             static_cast<uint8_t>(pos >> 16),
                             static_cast<uint8_t>(pos >> 8),
                             static_cast<uint8_t>(pos),
                             1,
                             75,
                             160,
                             90};
            payload.insert(payload.end(), scan.begin() + static_cast<long>(pos),
                           scan.begin() + static_cast<long>(pos + n));
            AddPacket(stream, std::move(payload), timestamp, pos + n == scan.size());
        }
        ++stream.frames;
    }
    return stream;
}

Stream MakeMpeg4Stream(size_t iSize, size_t pSize, int pFrames) {
    Stream stream;
    // Visual object sequence, visual object, video object, and a 1280x720 layer.
    const Bytes config = {0x00, 0x00, 0x01, 0xB0, 0xF5, 0x00, 0x00, 0x01, 0xB5,
                          0x09, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x20,
                          0x00, 0x84, 0x40, 0x06, 0x69, 0x40, 0x22, 0xD0, 0xA0};
    for (int f = 0; f <= pFrames; ++f) {
        const bool intra = f == 0;
        Bytes frame = intra ? config : Bytes{};
        frame.insert(frame.end(),
                     {0x00, 0x00, 0x01, 0xB6, static_cast<uint8_t>(intra ? 0x10 : 0x50)});
        const Bytes body = RandomBytes(intra ? iSize : pSize, static_cast<uint32_t>(f));
        frame.insert(frame.end(), body.begin(), body.end());
        const uint32_t timestamp = static_cast<uint32_t>(f) * 3600;
        for (size_t pos = 0; pos < frame.size(); pos += kMaxPayload) {
            const size_t n = std::min(kMaxPayload, frame.size() - pos);
            AddPacket(stream,
                      Bytes(frame.begin() + static_cast<long>(pos),
                            frame.begin() + static_cast<long>(pos + n)),
                      timestamp, pos + n == frame.size());
        }
        ++stream.frames;
    }
    return stream;
}

template <typename Parser>
void RunDepacketizer(benchmark::State& state, Stream stream, bool parsePackets) {
    NullDriver driver;
    NullClient client;
    Parser parser(&driver);
    parser.SetClient(&client);
    uint16_t sequence = 0;
    CRTPPacket parsed;
    for (auto _ : state) {
        if (parsePackets) {
            for (Bytes& datagram : stream.datagrams) {
                datagram[2] = static_cast<uint8_t>(sequence >> 8);
                datagram[3] = static_cast<uint8_t>(sequence++);
                if (!parsed.Parse(datagram)) {
                    state.SkipWithError("packet parse failed");
                    return;
                }
                parser.ProcessPacket(parsed);
            }
        } else {
            for (CRTPPacket& packet : stream.packets) {
                packet.sequence = sequence++;
                parser.ProcessPacket(packet);
            }
        }
    }
    const uint64_t expected = stream.frames * static_cast<uint64_t>(state.iterations());
    if (client.frames != expected) {
        state.SkipWithError("frames lost in the benchmark stream");
    }
    state.SetBytesProcessed(static_cast<int64_t>(stream.payloadBytes) *
                            static_cast<int64_t>(state.iterations()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(client.frames), benchmark::Counter::kIsRate);
}

void BM_H264Depacketizer(benchmark::State& state) {
    RunDepacketizer<CH264RTPMediaParser>(state, MakeH264Stream(120000, 30000, 24), false);
}
void BM_H264DepacketizerWithPacketParse(benchmark::State& state) {
    RunDepacketizer<CH264RTPMediaParser>(state, MakeH264Stream(120000, 30000, 24), true);
}
void BM_H265Depacketizer(benchmark::State& state) {
    RunDepacketizer<CH265RTPMediaParser>(state, MakeH265Stream(120000, 30000, 24), false);
}
void BM_H265DepacketizerWithPacketParse(benchmark::State& state) {
    RunDepacketizer<CH265RTPMediaParser>(state, MakeH265Stream(120000, 30000, 24), true);
}
void BM_JpegDepacketizer(benchmark::State& state) {
    RunDepacketizer<CJpegRTPMediaParser>(state, MakeJpegStream(80000, 25), false);
}
void BM_JpegDepacketizerWithPacketParse(benchmark::State& state) {
    RunDepacketizer<CJpegRTPMediaParser>(state, MakeJpegStream(80000, 25), true);
}
void BM_Mpeg4Depacketizer(benchmark::State& state) {
    RunDepacketizer<CMpeg4RTPMediaParser>(state, MakeMpeg4Stream(60000, 15000, 24), false);
}
void BM_Mpeg4DepacketizerWithPacketParse(benchmark::State& state) {
    RunDepacketizer<CMpeg4RTPMediaParser>(state, MakeMpeg4Stream(60000, 15000, 24), true);
}

BENCHMARK(BM_H264Depacketizer);
BENCHMARK(BM_H264DepacketizerWithPacketParse);
BENCHMARK(BM_H265Depacketizer);
BENCHMARK(BM_H265DepacketizerWithPacketParse);
BENCHMARK(BM_JpegDepacketizer);
BENCHMARK(BM_JpegDepacketizerWithPacketParse);
BENCHMARK(BM_Mpeg4Depacketizer);
BENCHMARK(BM_Mpeg4DepacketizerWithPacketParse);

}  // namespace
}  // namespace vornak
