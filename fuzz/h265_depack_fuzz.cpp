// RTP H.265 payloads: the payload splitter and the SPS reader alone, then a whole packet stream.
#include "depack_fuzz_host.h"
#include "parsers/h265_parser.h"
#include "parsers/h265_sps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    vornak::H265Payload payload;
    if (vornak::UnpackH265Payload(input, payload) == vornak::H265PayloadError::kNone) {
        for (const auto& nal : payload.nalUnits) {
            if (nal.data() < data || nal.data() + nal.size() > data + size) {
                std::abort();
            }
        }
    }
    for (const auto& result : {vornak::ParseH265Sps(input), vornak::FindH265Sps(input)}) {
        if (result && (result->width == 0 || result->height == 0 || result->width > 65535 ||
                       result->height > 65535)) {
            std::abort();
        }
    }
    // Description parameter sets of camsim's 320x240 clip, so key frames can form.
    static const uint8_t kVps[] = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60,
                                   0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03,
                                   0x00, 0x00, 0x03, 0x00, 0x3C, 0xBA, 0x02, 0x40};
    static const uint8_t kSps[] = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90,
                                   0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0xA0, 0x0A,
                                   0x08, 0x0F, 0x16, 0x5B, 0xA4, 0xA4, 0xC2, 0xF0, 0x16, 0x80,
                                   0x80, 0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0C, 0x84};
    static const uint8_t kPps[] = {0x44, 0x01, 0xC0, 0x73, 0xC1, 0x89};
    vornak::fuzz::RunStream<vornak::CH265RTPMediaParser>(input, kSps, kPps, {}, kVps);
    return 0;
}
