#include "audio/audio_format.h"

#include "base/debug.h"

namespace vornak {

uint32_t CodecOfEncoding(std::string_view name) {
    if (name == "g711") {
        return kCodecG711Mu;
    }
    if (name == "g726") {
        return kCodecG726;
    }
    if (name == "aac") {
        return kCodecAac;
    }
    return 0;
}

uint32_t AudioFrameSize(uint32_t codec, uint32_t bitRate) {
    switch (codec) {
        case kCodecG711Mu:
        case kCodecG711A:
            return 2000;
        case kCodecG726:
            switch (bitRate) {
                case 16000:
                    return 500;
                case 24000:
                    return 750;
                case 32000:
                    return 1000;
                case 40000:
                    return 1250;
                default:
                    return 8000;
            }
        case kCodecAac:
            return bitRate / 32 != 0 ? bitRate / 32 : 2048;
        default:
            return 8000;
    }
}

std::string CodecDisplayName(uint32_t codec) {
    switch (codec) {
        case kCodecG726:
            return "G.726";
        case kCodecAac:
            return "AAC";
        case kCodecG711A:
            return "G.711 A-law";
        case kCodecG711Mu:
            return "G.711 Mu-law";
        default:
            return Format("0x%.8X", codec);
    }
}

std::string ContentSubtype(uint32_t codec, uint32_t bitRate) {
    if (codec == kCodecG711Mu || codec == kCodecG711A) {
        return "basic";
    }
    if (codec == kCodecG726 && bitRate > 1000) {
        return Format("G726-%u", bitRate / 1000);
    }
    return {};
}

bool HostOffersCodec(ipcapture::IAudioCodecList* codecs, uint32_t codec, bool mustBeEnabled) {
    if (codecs == nullptr) {
        return true;
    }
    const uint32_t count = codecs->GetCount();
    for (uint32_t i = 0; i < count; ++i) {
        if (codecs->GetCodec(i) == codec && (!mustBeEnabled || codecs->IsEnabled(i))) {
            return true;
        }
    }
    return false;
}

}  // namespace vornak
