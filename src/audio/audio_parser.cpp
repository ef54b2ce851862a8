#include "audio/audio_parser.h"

#include <algorithm>
#include <array>

#include "base/bytes.h"
#include "parsers/frame_filler.h"

namespace vornak {

CAxisAudioParser::CAxisAudioParser(IDriver* driver, ipcapture::IAudioInputCallback* callback,
                                   bool live)
    : driver_(driver),
      callback_(callback),
      live_(live),
      frameName_(driver->GetDriverName() + "::AudioStream") {}

void CAxisAudioParser::LoadFormat(const AudioFormat& format) {
    format_ = format;
    frameSize_ = AudioFrameSize(format.codec, format.bitRate);
    frame_.clear();
    frame_.reserve(frameSize_);
}

bool CAxisAudioParser::Parse(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return false;
    }
    switch (format_.codec) {
        case kCodecG711Mu:
        case kCodecG711A:
        case kCodecG726:
            break;
        case kCodecAac:
            return ParseAac(bytes);
        default:
            return false;
    }
    // Reads need not divide the frame size: fill to the boundary, send, keep the rest.
    while (!bytes.empty()) {
        const size_t take = std::min<size_t>(bytes.size(), frameSize_ - frame_.size());
        frame_.insert(frame_.end(), bytes.begin(), bytes.begin() + take);
        bytes = bytes.subspan(take);
        if (frame_.size() == frameSize_) {
            ProcessAudioFrame(frame_);
            frame_.clear();
        }
    }
    return true;
}

// Each unit: 16-bit AU-headers length in bits (16: one header), a header whose upper 13 bits
// are the unit's size, then the unit.
bool CAxisAudioParser::ParseAac(std::span<const uint8_t> bytes) {
    std::vector<std::span<const uint8_t>> units;
    while (!bytes.empty()) {
        if (bytes.size() < 4 || ReadBe16(bytes.data()) != 16) {
            return false;
        }
        const size_t size = ReadBe16(bytes.data() + 2) >> 3;
        if (size == 0 || size > bytes.size() - 4) {
            return false;
        }
        units.push_back(bytes.subspan(4, size));
        bytes = bytes.subspan(4 + size);
    }
    // Nothing goes out of a packet that is bad anywhere.
    for (const auto& unit : units) {
        ProcessAudioFrame(unit);
    }
    return true;
}

std::vector<uint8_t> CAxisAudioParser::AacConfig(uint32_t sampleRate) {
    static constexpr std::array<uint32_t, 13> kRates = {
        96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    const auto it = std::find(kRates.begin(), kRates.end(), sampleRate);
    // 15 says "rate given explicitly", which two bytes cannot hold; 8000 is the rate used here.
    const auto index = static_cast<uint32_t>(it == kRates.end() ? 11 : it - kRates.begin());
    constexpr uint32_t kObjectTypeLc = 2;
    constexpr uint32_t kOneChannel = 1;
    const uint32_t bits = kObjectTypeLc << 11 | index << 7 | kOneChannel << 3;
    return {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
}

void CAxisAudioParser::ProcessAudioFrame(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> config;
    if (format_.codec == kCodecAac) {
        config = AacConfig(format_.sampleRate);
    }
    (void)DeliverAudio(*driver_, callback_,
                       {.prefix = config,
                        .data = bytes,
                        .codec = format_.codec,
                        .sampleRate = format_.sampleRate,
                        .formatWord = format_.formatWord,
                        .bitRate = format_.bitRate,
                        .live = live_,
                        .stream = frameName_},
                       "vornak::CAxisAudioParser::ProcessAudioFrame");
}

}  // namespace vornak
