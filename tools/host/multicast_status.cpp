#include "multicast_status.h"

#include "base/debug.h"
#include "driver/settings_file.h"

namespace quillon::host {

uint32_t HostStreamingMode() {
    return vornak::ReadStreamingMode(ExecutableFolder());
}

std::string StreamingText(uint32_t mode, const std::vector<LogLine>& lines, uint32_t channel,
                          uint32_t stream) {
    if (mode == vornak::kStreamingUnicast) {
        return "unicast";
    }
    const std::string mark = vornak::Format(
        "Multicast video of channel %u stream %u arrives on group ", channel, stream);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const size_t at = it->text.find(mark);
        if (at != std::string::npos) {
            return "multicast " + it->text.substr(at + mark.size());
        }
    }
    return "multicast";
}

}  // namespace quillon::host
