// RTP H.264 payloads: the payload splitter alone, then a whole packet stream.
#include "depack_fuzz_host.h"
#include "parsers/h264_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    vornak::H264Payload payload;
    if (vornak::UnpackH264Payload(input, payload) == vornak::H264PayloadError::kNone) {
        for (const auto& nal : payload.nalUnits) {
            if (nal.data() < data || nal.data() + nal.size() > data + size) {
                std::abort();
            }
        }
    }
    // SDP parameter sets of a 1280x720 stream, so key frames can form.
    static const uint8_t kSps[] = {0x67, 0x42, 0x00, 0x1F, 0xED, 0x00, 0xA0, 0x0B, 0x72};
    static const uint8_t kPps[] = {0x68, 0xCE, 0x3C, 0x80};
    vornak::fuzz::RunStream<vornak::CH264RTPMediaParser>(input, kSps, kPps);
    return 0;
}
