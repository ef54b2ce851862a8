// What the status line says about how a stream travels: unicast, or multicast and its group.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host_objects.h"

namespace quillon::host {

// The settings file beside quillon-host, read as the driver reads it.
uint32_t HostStreamingMode();
// The group each stream joined last, noted from the driver's join lines as they are logged.
class MulticastGroups {
  public:
    void Note(const std::string& line);
    // "unicast"; "multicast GROUP:PORT" for a stream that joined; "multicast" before that.
    std::string Text(uint32_t mode, uint32_t channel, uint32_t stream) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::pair<uint32_t, uint32_t>, std::string> groups_;
};

}  // namespace quillon::host
