// The input monitor stream and the input check reply. The monitor reader must give the same
// records however the stream is cut into reads.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "io/axis_io.h"
#include "io/input_monitor_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // First byte: the size of the reads (1 to 16) for the second pass; then the stream.
    const size_t piece = data[0] % 16 + 1;
    const std::span<const uint8_t> stream(data + 1, size - 1);

    vornak::CInputMonitorParser whole;
    const std::vector<vornak::InputRecord> expected = whole.Feed(stream);
    vornak::CInputMonitorParser pieces;
    std::vector<vornak::InputRecord> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
        for (const auto& record :
             pieces.Feed(stream.subspan(at, std::min(piece, stream.size() - at)))) {
            got.push_back(record);
        }
    }
    if (got != expected) {
        __builtin_trap();
    }
    for (const auto& record : expected) {
        if (record.state > vornak::kIOActive) {
            __builtin_trap();
        }
    }
    const std::string_view text(reinterpret_cast<const char*>(stream.data()), stream.size());
    for (uint32_t index = 0; index < 3; ++index) {
        if (vornak::PolledInputState(text, index) > vornak::kIOActive) {
            __builtin_trap();
        }
    }
    return 0;
}
