#include "multicast_status.h"

#include <cstdio>

#include "base/debug.h"
#include "driver/settings_file.h"

namespace quillon::host {

uint32_t HostStreamingMode() {
    return vornak::ReadStreamingMode(ExecutableFolder());
}

void MulticastGroups::Note(const std::string& line) {
    static constexpr char kMark[] = "Multicast video of channel ";
    const size_t at = line.find(kMark);
    if (at == std::string::npos) {
        return;
    }
    unsigned channel = 0;
    unsigned stream = 0;
    char group[64] = {};
    if (std::sscanf(line.c_str() + at + sizeof(kMark) - 1, "%u stream %u arrives on group %63s",
                    &channel, &stream, group) == 3) {
        std::lock_guard lock(mutex_);
        groups_[{channel, stream}] = group;
    }
}

std::string MulticastGroups::Text(uint32_t mode, uint32_t channel, uint32_t stream) const {
    if (mode == vornak::kStreamingUnicast) {
        return "unicast";
    }
    std::lock_guard lock(mutex_);
    const auto it = groups_.find({channel, stream});
    return it == groups_.end() ? "multicast" : "multicast " + it->second;
}

}  // namespace quillon::host
