#include "platform/net.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace vornak::platform {

bool SetSocketTimeout(int socket, int option, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return setsockopt(socket, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

uint32_t ResolveIPv4(const std::string& host, bool numericOnly) {
    if (host.empty()) {
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* answers = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &answers) != 0 || answers == nullptr) {
        return 0;
    }
    uint32_t address = 0;
    for (const addrinfo* a = answers; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(answers);
    return address;
}

}  // namespace vornak::platform
