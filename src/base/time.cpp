#include "base/time.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/debug.h"
#include "base/text.h"

namespace vornak {

namespace {

constexpr TimeValue kTicksPerSecond = 10000000;
constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m) {
    static constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30,
                                                       31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

constexpr int64_t kEpochDays1601 = DaysFromCivil(1601, 1, 1);

}  // namespace

TimeValue GetCurrentTime() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return kUnixEpochTicks + static_cast<TimeValue>(ticks);
}

TimeValue SystemTimeToTime(const SYSTEMTIME& f) {
    if (f.wYear < 1601 || f.wYear > 30827 || f.wMonth < 1 || f.wMonth > 12 || f.wDay < 1 ||
        f.wDay > DaysInMonth(f.wYear, f.wMonth) || f.wHour > 23 || f.wMinute > 59 ||
        f.wSecond > 59 || f.wMilliseconds > 999) {
        return 0;
    }
    const int64_t days = DaysFromCivil(f.wYear, f.wMonth, f.wDay) - kEpochDays1601;
    const int64_t seconds = days * kSecondsPerDay + f.wHour * 3600 + f.wMinute * 60 + f.wSecond;
    return static_cast<TimeValue>(seconds) * kTicksPerSecond +
           static_cast<TimeValue>(f.wMilliseconds) * kTicksPerMs;
}

bool TimeToSystemTime(TimeValue value, SYSTEMTIME& f) {
    const TimeValue totalSeconds = value / kTicksPerSecond;
    const int64_t days = static_cast<int64_t>(totalSeconds / kSecondsPerDay);
    const int64_t secondsOfDay = static_cast<int64_t>(totalSeconds % kSecondsPerDay);
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    CivilFromDays(days + kEpochDays1601, y, m, d);
    if (y > 30827) {
        return false;
    }
    f.wYear = static_cast<uint16_t>(y);
    f.wMonth = static_cast<uint16_t>(m);
    f.wDay = static_cast<uint16_t>(d);
    // 1601-01-01 was a Monday.
    f.wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);
    f.wHour = static_cast<uint16_t>(secondsOfDay / 3600);
    f.wMinute = static_cast<uint16_t>(secondsOfDay / 60 % 60);
    f.wSecond = static_cast<uint16_t>(secondsOfDay % 60);
    f.wMilliseconds = static_cast<uint16_t>(value % kTicksPerSecond / kTicksPerMs);
    return true;
}

bool TimeToLocalSystemTime(TimeValue value, SYSTEMTIME& f) {
    if (value < kUnixEpochTicks) {
        return TimeToSystemTime(value, f);
    }
    const time_t unixSeconds = static_cast<time_t>((value - kUnixEpochTicks) / kTicksPerSecond);
    struct tm local {};
    if (localtime_r(&unixSeconds, &local) == nullptr) {
        return false;
    }
    const int64_t offset = local.tm_gmtoff;
    const int64_t shifted =
        static_cast<int64_t>(value) + offset * static_cast<int64_t>(kTicksPerSecond);
    if (shifted < 0) {
        return false;
    }
    return TimeToSystemTime(static_cast<TimeValue>(shifted), f);
}

uint64_t GetElapsedMs(TimeValue value) {
    const TimeValue now = GetCurrentTime();
    return value < now ? (now - value) / kTicksPerMs : 0;
}

TimeValue ParseTime(std::string_view view) {
    if (view.empty()) {
        return 0;
    }
    // sscanf needs a terminated text; the forms are short.
    const std::string text(view.substr(0, 256));
    SYSTEMTIME f{};
    const int iso =
        std::sscanf(text.c_str(), "%4hu-%2hu-%2huT%2hu:%2hu:%2hu.%3huZ", &f.wYear, &f.wMonth,
                    &f.wDay, &f.wHour, &f.wMinute, &f.wSecond, &f.wMilliseconds);
    if (iso == 6 || iso == 7) {
        if (iso == 6) {
            f.wMilliseconds = 0;
        }
        return SystemTimeToTime(f);
    }
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    f = SYSTEMTIME{};
    char month[4] = {};
    if (std::sscanf(text.c_str(), "%3s %2hu, %4hu %2hu:%2hu:%2hu", month, &f.wDay, &f.wYear,
                    &f.wHour, &f.wMinute, &f.wSecond) != 6) {
        return 0;
    }
    for (size_t i = 0; i < kMonths.size(); ++i) {
        if (EqualsNoCase(month, kMonths[i])) {
            f.wMonth = static_cast<uint16_t>(i + 1);
            return SystemTimeToTime(f);
        }
    }
    return 0;
}

std::string FormatTime(uint32_t form, TimeValue value) {
    SYSTEMTIME f{};
    if (value == 0 || form > 1 || !TimeToSystemTime(value, f)) {
        return {};
    }
    const char* pattern = form == 0 ? "%.4hu-%.2hu-%.2huT%.2hu:%.2hu:%.2hu.%.3huZ"
                                    : "%.4hu%.2hu%.2huT%.2hu%.2hu%.2hu.%.3huZ";
    return Format(pattern, f.wYear, f.wMonth, f.wDay, f.wHour, f.wMinute, f.wSecond,
                  f.wMilliseconds);
}

std::string FormatLocalTime(TimeValue value) {
    SYSTEMTIME f{};
    if (value == 0 || !TimeToLocalSystemTime(value, f)) {
        return {};
    }
    return Format("%.4hu/%.2hu/%.2hu %.2hu:%.2hu:%.2hu.%.3hu", f.wYear, f.wMonth, f.wDay, f.wHour,
                  f.wMinute, f.wSecond, f.wMilliseconds);
}

void CTime::Touch() {
    const TimeValue now = GetCurrentTime();
    const int64_t tick = static_cast<int64_t>(platform::TickMs());
    CLockGuard guard(lock_);
    stamp_ = now;
    tickMs_ = tick;
}

void CTime::Set(TimeValue value) {
    const auto offsetMs = static_cast<int64_t>(value / kTicksPerMs) -
                          static_cast<int64_t>(GetCurrentTime() / kTicksPerMs);
    const int64_t tick = static_cast<int64_t>(platform::TickMs()) + offsetMs;
    CLockGuard guard(lock_);
    stamp_ = value;
    tickMs_ = tick;
}

TimeValue CTime::GetTime() {
    CLockGuard guard(lock_);
    return stamp_;
}

uint64_t CTime::GetElapsedMs() {
    int64_t tick = 0;
    {
        CLockGuard guard(lock_);
        tick = tickMs_;
    }
    const int64_t elapsed = static_cast<int64_t>(platform::TickMs()) - tick;
    return elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0;
}

}  // namespace vornak
