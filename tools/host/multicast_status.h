// What the status line says about how a stream travels: unicast, or multicast and its group.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_objects.h"

namespace quillon::host {

// The settings file beside quillon-host, read as the driver reads it.
uint32_t HostStreamingMode();
// "unicast"; "multicast GROUP:PORT" from the driver's latest join line for the stream, or
// "multicast" before it has joined.
std::string StreamingText(uint32_t mode, const std::vector<LogLine>& lines, uint32_t channel,
                          uint32_t stream);

}  // namespace quillon::host
