// The motion data stream parser fed camera bytes whole and in pieces whose size the input
// chooses: the verdicts must not depend on where the stream is cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "motion/motion_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 64;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const std::vector<uint32_t> windows = {0, 1, 3};
    vornak::CAxisMDParser whole(windows);
    const std::vector<vornak::MotionResult> expected = whole.Parse(stream);
    vornak::CAxisMDParser cut(windows);
    std::vector<vornak::MotionResult> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
        const auto results = cut.Parse(stream.subspan(at, std::min(piece, stream.size() - at)));
        got.insert(got.end(), results.begin(), results.end());
    }
    if (got != expected || cut.GetSkippedRecords() != whole.GetSkippedRecords()) {
        __builtin_trap();
    }
    return 0;
}
