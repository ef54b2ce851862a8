// H.264 sequence parameter sets, alone and as found at the start of a frame.
#include <cstdlib>
#include <span>

#include "parsers/h264_sps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    for (const auto& result : {vornak::ParseSps(input), vornak::FindSps(input)}) {
        if (result && (result->width == 0 || result->height == 0 || result->width > 65535 ||
                       result->height > 65535)) {
            std::abort();
        }
    }
    return 0;
}
