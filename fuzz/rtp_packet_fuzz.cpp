#include <cstdint>
#include <cstdlib>

#include "rtsp/rtp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vornak::CRTPPacket packet;
    if (packet.Parse({data, size})) {
        // What was kept must fit in what came.
        const size_t kept = 12 + packet.csrcList.size() + packet.extensionData.size() +
                            (packet.extensionProfile != 0 || packet.extensionLength != 0 ? 4 : 0) +
                            packet.payload.size();
        if (kept > size || packet.payload.size() != packet.payloadLength) {
            std::abort();
        }
    }
    return 0;
}
