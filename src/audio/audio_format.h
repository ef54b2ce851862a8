// Audio codec tags, the frame sizes that hold 250 ms of each codec, and the names the device and
// the log use for them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ipcapture/host_interfaces.h"

namespace vornak {

// Four bytes in memory order: "711M", "711A", "7261", "AAC1".
enum : uint32_t {
    kCodecG711Mu = 0x4D313137,
    kCodecG711A = 0x41313137,
    kCodecG726 = 0x31363237,
    kCodecAac = 0x31434141,
};

inline constexpr uint32_t kAudioSampleRate = 8000;
// Bits per sample 16 in the low byte.
inline constexpr uint16_t kAudioFormatWord = 16;

struct AudioFormat {
    uint32_t codec = 0;
    uint32_t sampleRate = kAudioSampleRate;
    uint32_t bitRate = 0;
    uint16_t formatWord = kAudioFormatWord;
    bool operator==(const AudioFormat&) const = default;
};

// "g711", "g726", "aac" (lower case); 0 for any other name.
uint32_t CodecOfEncoding(std::string_view name);
// Bytes of one host frame.
uint32_t AudioFrameSize(uint32_t codec, uint32_t bitRate);
// "G.726", "AAC", "G.711 A-law", "G.711 Mu-law", or "0x%.8X".
std::string CodecDisplayName(uint32_t codec);
// The audio/ subtype of an upload: "basic", "G726-32"; empty when there is none.
std::string ContentSubtype(uint32_t codec, uint32_t bitRate);

// Whether the host's list offers the codec (and, when asked, enables it); a null list offers all.
bool HostOffersCodec(ipcapture::IAudioCodecList* codecs, uint32_t codec, bool mustBeEnabled);

}  // namespace vornak
