#include <cstdint>
#include <cstdlib>

#include "rtsp/rtcp_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t covered = 0;
    vornak::WalkRtcp({data, size}, [&](uint8_t, std::span<const uint8_t> packet) {
        if (packet.data() != data + covered || packet.size() < 4) {
            std::abort();
        }
        covered += packet.size();
    });
    if (covered > size) {
        std::abort();
    }
    return 0;
}
