// RTP/JPEG: the payload header reader, the SOF0 walk, then a whole packet stream with
// header extensions.
#include "depack_fuzz_host.h"
#include "parsers/jpeg_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    vornak::JpegPayload header;
    if (vornak::ParseJpegPayload(input, header) == vornak::JpegPayloadError::kNone) {
        if (header.headerLength + header.scan.size() != size) {
            std::abort();
        }
    }
    (void)vornak::FindJpegFrameSize(input);
    vornak::fuzz::RunStream<vornak::CJpegRTPMediaParser>(input);
    return 0;
}
