// MPEG-4 Visual: the size, time-resolution and VOP-header readers and the picture splitter over
// a frame, then a whole packet stream.
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
    const std::vector<size_t> starts = vornak::PictureStarts(input);
    for (size_t i = 0; i < starts.size(); ++i) {
        if ((i == 0 && starts[i] != 0) || (i > 0 && starts[i] <= starts[i - 1]) ||
            (i > 0 && starts[i] >= size)) {
            std::abort();
        }
    }
    const uint32_t resolution = vornak::CMP4Parser::ReadTimeResolution(input).value_or(
        size > 1 ? static_cast<uint32_t>(data[0] << 8 | data[1]) : 1);
    for (size_t start : starts) {
        const auto header = vornak::ReadVopHeader(input.subspan(start), resolution);
        if (header && (header->increment >= resolution || header->codingType > 3)) {
            std::abort();
        }
    }
    vornak::fuzz::RunStream<vornak::CMpeg4RTPMediaParser>(input);
    return 0;
}
