#include "driver/device_info.h"

#include <algorithm>

namespace vornak {

void SplitAddressAndProxy(const std::string& text, std::string& address, std::string& proxy) {
    const auto bars = std::count(text.begin(), text.end(), '|');
    if (bars == 1) {
        const size_t bar = text.find('|');
        address = text.substr(0, bar);
        proxy = text.substr(bar + 1);
        return;
    }
    address = text;
    proxy.clear();
}

}  // namespace vornak
