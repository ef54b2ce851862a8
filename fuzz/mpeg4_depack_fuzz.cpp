// MPEG-4 Visual: the size reader over a frame, then a whole packet stream.
#include "depack_fuzz_host.h"
#include "parsers/mpeg4_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    vornak::CMP4Parser reader;
    if (const auto picture = reader.ReadSize(input)) {
        if (picture->width == 0 || picture->height == 0 ||
            picture->width > vornak::kMp4MaxDimension ||
            picture->height > vornak::kMp4MaxDimension) {
            std::abort();
        }
    }
    vornak::fuzz::RunStream<vornak::CMpeg4RTPMediaParser>(input);
    return 0;
}
