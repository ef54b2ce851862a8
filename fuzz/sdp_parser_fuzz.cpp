#include <cstdint>
#include <string_view>

#include "rtsp/sdp_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vornak::SessionDescription description;
    (void)vornak::CSDPResponseParser::Parse(
        std::string_view(reinterpret_cast<const char*>(data), size), description);
    return 0;
}
