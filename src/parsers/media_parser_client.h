// What a media parser needs from the channel that owns it: somewhere to hand finished frames,
// the name under which the host allocates them, and the stream clock.
#pragma once

#include <cstdint>
#include <string>

#include "base/time.h"
#include "driver/driver_api.h"
#include "ipcapture/host_interfaces.h"

namespace vornak {

class IMediaParserClient {
  public:
    virtual ~IMediaParserClient() = default;
    // False when the host did not take the frame.
    virtual bool FrameReady(ipcapture::IVideoFrame* frame) = 0;
    // The size the channel asked the camera for.
    virtual Size GetRequestedResolution() = 0;
    virtual std::string GetStreamName() = 0;
    // The wall-clock time of a frame with this RTP timestamp (HTTP parsers ignore it).
    virtual void ConvertTimestamp(uint32_t rtpTimestamp, TimeValue& time) = 0;
};

}  // namespace vornak
