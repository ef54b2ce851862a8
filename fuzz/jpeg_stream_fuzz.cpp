// The motion-JPEG stream scanner fed camera bytes in pieces whose sizes the input chooses.
#include <cstddef>
#include <cstdint>
#include <span>

#include "parsers/jpeg_stream_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 64;
    std::span<const uint8_t> rest(data + 1, size - 1);
    vornak::JpegStreamScanner scanner;
    size_t total = 0;
    while (!rest.empty()) {
        const size_t n = rest.size() < piece ? rest.size() : piece;
        scanner.Feed(
            rest.first(n),
            [&](std::span<const uint8_t> picture) {
                // A picture always starts and ends with its markers.
                if (picture.size() < 4 || picture[0] != 0xFF || picture[1] != 0xD8 ||
                    picture[picture.size() - 2] != 0xFF || picture.back() != 0xD9) {
                    __builtin_trap();
                }
                total += picture.size();
            },
            [](vornak::JpegStreamScanner::Drop) {});
        rest = rest.subspan(n);
    }
    return total > size + 2 ? 1 : 0;
}
