// Cuts audio bytes into host frames: G.711 and G.726 into frames of exactly the codec's frame
// size, AAC (RTP access units behind their AU headers) one access unit per frame.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "audio/audio_format.h"
#include "driver/driver_api.h"

namespace vornak {

class CAxisAudioParser {
  public:
    CAxisAudioParser(IDriver* driver, ipcapture::IAudioInputCallback* callback, bool live);

    // Sets the codec, rate and frame size and forgets any partial frame.
    void LoadFormat(const AudioFormat& format);
    const AudioFormat& GetFormat() const { return format_; }
    uint32_t GetFrameSize() const { return frameSize_; }

    // False for empty input, an unknown codec or malformed AAC; the bytes are then dropped.
    bool Parse(std::span<const uint8_t> bytes);

    // ISO/IEC 14496-3 AudioSpecificConfig for AAC LC, one channel, at the sample rate.
    static std::vector<uint8_t> AacConfig(uint32_t sampleRate);

  private:
    bool ParseAac(std::span<const uint8_t> bytes);
    void ProcessAudioFrame(std::span<const uint8_t> bytes);

    IDriver* driver_;
    ipcapture::IAudioInputCallback* callback_;
    bool live_;
    std::string frameName_;
    AudioFormat format_;
    uint32_t frameSize_ = 0;
    std::vector<uint8_t> frame_;
};

}  // namespace vornak
