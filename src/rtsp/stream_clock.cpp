#include "rtsp/stream_clock.h"

#include "platform/host_info.h"

namespace vornak {

namespace {
class CSystemStreamClock final : public IStreamClock {
  public:
    TimeValue Now() override { return GetCurrentTime(); }
    uint64_t TickMs() override { return platform::TickMs(); }
};

class CSystemRandomSource final : public IRandomSource {
  public:
    void Fill(void* buffer, size_t size) override { platform::RandomBytes(buffer, size); }
};
}  // namespace

IStreamClock& SystemStreamClock() {
    static CSystemStreamClock clock;
    return clock;
}

IRandomSource& SystemRandomSource() {
    static CSystemRandomSource source;
    return source;
}

}  // namespace vornak
