// Parameter replies and header-like texts from the device.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/field_search.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // First byte: key length; then the key, then the reply.
    const size_t keyLength = data[0] % 32;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string_view key = rest.substr(0, keyLength);
    const std::string_view reply = rest.substr(std::min(keyLength, rest.size()));
    const std::string value = vornak::GetParameterValue(reply, key);
    if (!value.empty() && (value.find_first_of("\r\n") != std::string::npos ||
                           reply.find(value) == std::string_view::npos)) {
        __builtin_trap();
    }
    (void)vornak::GetFieldValue(reply, key, ":", "\r\n");
    (void)vornak::GetFieldValue(reply, key, "=", ",");
    (void)vornak::GetParameterValue(reply, "Brand.ProdFullName");
    return 0;
}
