// The device connection record, copied by value into every object that talks to the device.
#pragma once

#include <cstdint>
#include <string>

namespace vornak {

struct DEVICE_INFO {
    virtual ~DEVICE_INFO() = default;

    uint32_t networkTimeout = 5000;      // ms: each HTTP request, each RTSP answer
    uint32_t connectionTimeout = 15000;  // ms: a channel without frames this long is offline
    std::string address;                 // host name or IP address
    uint32_t port = 80;                  // HTTP port; 443 starts with HTTPS
    std::string userName;
    std::string password;
    std::string model;
    std::string proxy;  // the part of the host's address text after "|"
};

// Splits the host's address text: exactly one "|" separates address and proxy; any other
// count of "|" leaves the text whole as the address.
void SplitAddressAndProxy(const std::string& text, std::string& address, std::string& proxy);

}  // namespace vornak
