#include "driver/driver_api.h"

namespace vornak {

const char* StreamLabel(uint32_t stream) {
    switch (stream) {
        case kStreamRecording:
            return "(Rec)";
        case kStreamLive:
            return "(Live)";
        case kStreamRemote:
            return "(Remote)";
        default:
            return "";
    }
}

std::string StreamName(const std::string& driverName, uint32_t stream) {
    switch (stream) {
        case kStreamRecording:
            return driverName + "::RecStream";
        case kStreamLive:
            return driverName + "::LiveStream";
        case kStreamRemote:
            return driverName + "::RemoteStream";
        default:
            return driverName;
    }
}

uint32_t ResolutionClass(uint32_t width, uint32_t height) {
    if (width < 200) {
        return 1;
    }
    if (width < 400) {
        return 2;
    }
    if (width >= 1024) {
        return 4;
    }
    return width > 2 * height ? 3 : 4;
}

}  // namespace vornak
