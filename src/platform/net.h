// Socket settings and name look-ups the driver needs from the OS.
#pragma once

#include <cstdint>
#include <string>

namespace vornak::platform {

// SO_RCVTIMEO or SO_SNDTIMEO in milliseconds; false when the socket refuses it.
[[nodiscard]] bool SetSocketTimeout(int socket, int option, uint32_t ms);

// First IPv4 address of `host` in network order; 0 when it is empty or does not resolve.
// numericOnly accepts dotted addresses only and never asks a name server.
[[nodiscard]] uint32_t ResolveIPv4(const std::string& host, bool numericOnly = false);

}  // namespace vornak::platform
