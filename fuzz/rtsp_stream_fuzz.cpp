// The '$' interleaved stream reader, fed in pieces whose size the input chooses.
#include <cstdint>

#include "rtsp/rtsp_stream_parser.h"

namespace {
class CSink : public vornak::IRTSPStreamParserUser {
  public:
    void OnStreamPacket(const vornak::CRTPPacket& packet) override {
        bytes += packet.payloadLength;
    }
    void OnStreamBye() override { ++byes; }
    size_t bytes = 0;
    size_t byes = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    CSink sink;
    vornak::CRTSPStreamParser parser(&sink, data[0]);
    const size_t step = data[1] % 32 + 1;
    for (size_t i = 2; i < size; i += step) {
        parser.Feed({data + i, i + step > size ? size - i : step});
    }
    return 0;
}
