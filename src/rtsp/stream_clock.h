// Seams for time and randomness, so that the stream clock, the keep-alive rule, RTCP timing and
// the identifiers drawn at random can be driven exactly by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/time.h"

namespace vornak {

class IStreamClock {
  public:
    virtual ~IStreamClock() = default;
    // System time in 100-ns units since 1601-01-01 UTC.
    virtual TimeValue Now() = 0;
    // Milliseconds of a monotonic clock.
    virtual uint64_t TickMs() = 0;
};

// The real clocks; lives for the whole process.
IStreamClock& SystemStreamClock();

class IRandomSource {
  public:
    virtual ~IRandomSource() = default;
    virtual void Fill(void* buffer, size_t size) = 0;
};

// The system's random source; lives for the whole process.
IRandomSource& SystemRandomSource();

}  // namespace vornak
