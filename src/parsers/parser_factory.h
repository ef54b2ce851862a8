// The one place that maps an RTP encoding name to its depacketizer.
#pragma once

#include <string_view>

#include "base/sync.h"
#include "parsers/media_parser.h"

namespace vornak {

// "H264", "JPEG" or "MP4V-ES" (letter case ignored), as the session description names the
// encoding; null for any other.
[[nodiscard]] TSmartPtr<CRTPMediaParser> CreateMediaParser(std::string_view encodingName,
                                                           IDriver* owner);

}  // namespace vornak
