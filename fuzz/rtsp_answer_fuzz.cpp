// RTSP answers: the stream reader that cuts them out of a connection and the parser, for every
// method.
#include <cstdint>
#include <string_view>

#include "rtsp/rtsp_answer_reader.h"
#include "rtsp/rtsp_response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (uint32_t method = vornak::kRtspDescribe; method <= vornak::kRtspPause; ++method) {
        vornak::CRTSPResponseParser parser;
        (void)parser.Parse(method, text);
    }
    vornak::CRTSPAnswerReader reader;
    // The first byte picks a piece size so that split reads are covered too.
    const size_t step = size == 0 ? 1 : data[0] % 64 + 1;
    for (size_t i = 0; i < size; i += step) {
        const size_t n = i + step > size ? size - i : step;
        auto state = reader.Feed({data + i, n});
        while (state == vornak::CRTSPAnswerReader::State::kComplete) {
            vornak::CRTSPResponseParser parser;
            (void)parser.Parse(vornak::kRtspDescribe, reader.TakeAnswer());
            state = reader.Check();
        }
        if (state != vornak::CRTSPAnswerReader::State::kNeedMore) {
            break;
        }
    }
    return 0;
}
