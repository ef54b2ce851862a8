// Test doubles around the depacketizers: a driver that records log lines, a client that
// records frames and supplies its own clock, frames that record the order of the calls made on
// them, and builders for RTP packets and bit-level headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/debug.h"
#include "driver/driver_api.h"
#include "host_objects.h"
#include "parsers/media_parser.h"
#include "rtsp/rtp_packet.h"
#include "stub_driver.h"
#include "unit/recording_debug.h"

namespace vornak::test {

class FakeDriver : public RecordingLog<StubDriver> {
  public:
    FakeDriver() {
        info.address = "192.0.2.7";
        info.port = 80;
    }
    std::string GetDeviceName() override { return "192.0.2.7:80"; }
    Size GetStreamResolution(uint32_t, uint32_t) override { return {640, 480}; }
    Size GetChannelResolution(uint32_t) override { return {640, 480}; }
};

struct DeliveredFrame {
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t resolutionClass = 0;
    uint32_t dataSize = 0;
    std::vector<uint8_t> data;
    SYSTEMTIME time{};
    std::string stream;
};

// Collects frames; its clock maps RTP ticks of 90 kHz onto seconds of a fixed day, so frame
// times can be checked exactly.
class RecordingClient : public IMediaParserClient {
  public:
    bool FrameReady(ipcapture::IVideoFrame* frame) override {
        DeliveredFrame copy;
        copy.fourcc = frame->GetFourCC();
        copy.width = frame->GetWidth();
        copy.height = frame->GetHeight();
        copy.resolutionClass = frame->GetResolutionClass();
        copy.dataSize = frame->GetDataSize();
        copy.data.assign(frame->GetBuffer(), frame->GetBuffer() + copy.dataSize);
        frame->GetTimestamp(&copy.time);
        copy.stream = static_cast<quillon::host::HostVideoFrame*>(frame)->StreamName();
        frames.push_back(std::move(copy));
        return accept;
    }
    Size GetRequestedSize() override { return {640, 480}; }
    std::string GetStreamName() override { return streamName; }
    void ConvertTimestamp(uint32_t rtpTimestamp, SYSTEMTIME& time) override {
        converted.push_back(rtpTimestamp);
        time = SYSTEMTIME{2026, 1, 4, 1, 0, 0, 0, 0};
        const uint32_t seconds = rtpTimestamp / 90000;
        time.wHour = static_cast<uint16_t>(seconds / 3600 % 24);
        time.wMinute = static_cast<uint16_t>(seconds / 60 % 60);
        time.wSecond = static_cast<uint16_t>(seconds % 60);
        time.wMilliseconds = static_cast<uint16_t>(rtpTimestamp % 90000 / 90);
    }

    std::vector<DeliveredFrame> frames;
    std::vector<uint32_t> converted;
    bool accept = true;
    std::string streamName = "Quillon::LiveStream";
};

// Parser, host allocator, driver and client wired together.
template <typename Parser>
struct ParserRig {
    ParserRig() : parser(&driver) {
        driver.allocator = &allocator;
        parser.SetClient(&client);
    }
    FakeDriver driver;
    quillon::host::HostFrameAllocator allocator;
    RecordingClient client;
    Parser parser;
};

inline CRTPPacket MakePacket(uint16_t sequence, uint32_t timestamp, bool marker,
                             std::vector<uint8_t> payload) {
    CRTPPacket packet;
    packet.payloadType = 96;
    packet.sequence = sequence;
    packet.timestamp = timestamp;
    packet.marker = marker ? 1 : 0;
    packet.SetPayload(std::move(payload));
    return packet;
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Most-significant-bit-first writer for building headers field by field.
class BitWriter {
  public:
    BitWriter& Bits(uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            Bit((value >> i) & 1u);
        }
        return *this;
    }
    BitWriter& Bit(uint32_t bit) {
        if (used_ == 0) {
            bytes_.push_back(0);
        }
        bytes_.back() |= static_cast<uint8_t>((bit & 1u) << (7 - used_));
        used_ = (used_ + 1) % 8;
        return *this;
    }
    BitWriter& Ue(uint32_t value) {
        const uint64_t code = static_cast<uint64_t>(value) + 1;
        unsigned length = 0;
        while ((code >> length) > 1) {
            ++length;
        }
        Bits(0, length);
        for (unsigned i = length + 1; i-- > 0;) {
            Bit(static_cast<uint32_t>(code >> i) & 1u);
        }
        return *this;
    }
    BitWriter& Se(int32_t value) {
        return Ue(value > 0 ? static_cast<uint32_t>(value) * 2 - 1
                            : static_cast<uint32_t>(-value) * 2);
    }
    // rbsp_trailing_bits
    std::vector<uint8_t> Finish() {
        Bit(1);
        while (used_ != 0) {
            Bit(0);
        }
        return bytes_;
    }

  private:
    std::vector<uint8_t> bytes_;
    unsigned used_ = 0;
};

// Inserts 03 after every 00 00 that precedes a byte of 03 or less.
inline std::vector<uint8_t> AddEmulationPrevention(const std::vector<uint8_t>& rbsp) {
    std::vector<uint8_t> out;
    unsigned zeros = 0;
    for (uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return out;
}

struct SpsFields {
    uint8_t profile = 66;
    uint8_t level = 30;
    uint32_t spsId = 0;
    uint32_t chromaFormat = 1;  // written for profiles of 100 and more
    bool scalingMatrix = false;
    uint32_t pocType = 0;
    uint32_t widthMbs = 80;
    uint32_t heightMapUnits = 45;
    bool frameMbsOnly = true;
    bool crop = false;
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
};

// A complete SPS NAL unit (header 0x67 included) with emulation prevention applied.
inline std::vector<uint8_t> MakeSps(const SpsFields& f) {
    BitWriter w;
    w.Bits(f.profile, 8).Bits(0, 8).Bits(f.level, 8).Ue(f.spsId);
    if (f.profile >= 100) {
        w.Ue(f.chromaFormat);
        if (f.chromaFormat == 3) {
            w.Bit(0);
        }
        w.Ue(0).Ue(0).Bit(0);
        w.Bit(f.scalingMatrix ? 1 : 0);
        if (f.scalingMatrix) {
            // List 0 present with deltas ending early on next == 0; the others absent.
            w.Bit(1).Se(8).Se(-16);
            for (int i = 1; i < 8; ++i) {
                w.Bit(0);
            }
        }
    }
    w.Ue(0).Ue(f.pocType);
    if (f.pocType == 0) {
        w.Ue(2);
    } else if (f.pocType == 1) {
        w.Bit(0).Se(1).Se(-1).Ue(2).Se(3).Se(-3);
    }
    w.Ue(1).Bit(0).Ue(f.widthMbs - 1).Ue(f.heightMapUnits - 1).Bit(f.frameMbsOnly ? 1 : 0);
    if (!f.frameMbsOnly) {
        w.Bit(0);
    }
    w.Bit(1).Bit(f.crop ? 1 : 0);
    if (f.crop) {
        w.Ue(f.cropLeft).Ue(f.cropRight).Ue(f.cropTop).Ue(f.cropBottom);
    }
    w.Bit(0);  // vui_parameters_present_flag
    std::vector<uint8_t> nal = {0x67};
    const std::vector<uint8_t> body = AddEmulationPrevention(w.Finish());
    nal.insert(nal.end(), body.begin(), body.end());
    return nal;
}

}  // namespace vornak::test
