// Reader of the device's input monitor stream: records "IO<n>:<c>" between multipart headers.
// The stream arrives in reads of any size, so a record cut by a read boundary is kept until the
// rest arrives; feeding the bytes whole, in pieces or one by one gives the same records.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vornak {

// IO state values, used for inputs and outputs alike.
enum IOState : uint32_t { kIOUndetermined = 0, kIOInactive = 1, kIOActive = 2 };

struct InputRecord {
    uint32_t index = 0;  // 0-based, as the stream numbers its ports
    uint32_t state = kIOUndetermined;
    bool operator==(const InputRecord&) const = default;
};

// "/", "H", "h" give active; "\", "L", "l" inactive; anything else undetermined.
[[nodiscard]] uint32_t InputStateFromChar(char c);

class CInputMonitorParser {
  public:
    // Records completed by these bytes, in stream order.
    [[nodiscard]] std::vector<InputRecord> Feed(std::span<const uint8_t> bytes);
    void Reset() { pending_.clear(); }

  private:
    std::string pending_;  // the start of a record the last read cut off
};

}  // namespace vornak
