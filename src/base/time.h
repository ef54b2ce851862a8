// Time values: 64-bit counts of 100 ns since 1601-01-01 UTC (0 = no time), calendar records,
// the text forms exchanged with the device, and a lockable "last time something happened".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/sync.h"
#include "ipcapture/host_interfaces.h"
#include "platform/host_info.h"

namespace vornak {

using ipcapture::SYSTEMTIME;
using TimeValue = uint64_t;

inline constexpr TimeValue kTicksPerMs = 10000;
// 100-ns ticks between 1601-01-01 and 1970-01-01.
inline constexpr TimeValue kUnixEpochTicks = 116444736000000000ULL;

TimeValue GetCurrentTime();
// 0 when the fields are not a valid UTC time from 1601 on.
TimeValue SystemTimeToTime(const SYSTEMTIME& fields);
bool TimeToSystemTime(TimeValue value, SYSTEMTIME& fields);
bool TimeToLocalSystemTime(TimeValue value, SYSTEMTIME& fields);
// Milliseconds from value to now; 0 when value is not in the past.
uint64_t GetElapsedMs(TimeValue value);

// "2024-03-05T14:07:09.120Z" (milliseconds optional) or "Mar 5, 2024 14:07:09"; 0 on failure.
[[nodiscard]] TimeValue ParseTime(std::string_view text);
// Form 0 "2024-03-05T14:07:09.120Z", form 1 "20240305T140709.120Z"; empty on failure.
std::string FormatTime(uint32_t form, TimeValue value);
// Local display form "2024/03/05 15:07:09.120" of edge-storage lines.
std::string FormatLocalTime(TimeValue value);

// The calendar time of an event for stamps, and the monotonic time of the same event for
// durations.
class CTime {
  public:
    CTime() : stamp_(GetCurrentTime()), tickMs_(static_cast<int64_t>(platform::TickMs())) {}
    virtual ~CTime() = default;

    void Touch();
    // A calendar time; the elapsed time then counts from the moment it names.
    void Set(TimeValue value);
    TimeValue GetTime();
    // 0 while the moment lies ahead.
    uint64_t GetElapsedMs();

  private:
    CLock lock_;
    TimeValue stamp_;
    int64_t tickMs_;
};

}  // namespace vornak
