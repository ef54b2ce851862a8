// An IDriver with fixed answers (one video input, H.264 by default, no device parameters, newest
// HTTP API) for the harnesses around the depacketizers: unit tests, fuzz targets, benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "driver/driver_api.h"

namespace vornak::test {

class StubDriver : public IDriver {
  public:
    std::string GetDeviceName() override { return "stub:0"; }
    void DebugMessage(uint32_t, const char*, ...) override {}
    std::string GetDriverName() override { return "Quillon"; }
    std::string GetHostFolder() override { return "./"; }
    DEVICE_INFO* GetDeviceInfo() override { return &info; }
    std::pair<uint32_t, uint32_t> GetIOCount() override { return {0, 0}; }
    ipcapture::IFrameAllocator* GetFrameAllocator() override { return allocator; }
    void* GetReserved() override { return nullptr; }
    uint32_t GetDefaultVideoFormat() override { return 3; }
    uint32_t GetVideoChannelCount() override { return 1; }
    std::string GetParameter(uint32_t) override { return {}; }
    int32_t GetParameterInt(uint32_t) override { return kParameterAbsent; }
    Size GetStreamResolution(uint32_t, uint32_t) override { return {}; }
    Size GetChannelResolution(uint32_t) override { return {}; }
    uint32_t GetStreamCamera(uint32_t) override { return 0; }
    uint16_t GetApiVersion() override { return 3; }

    DEVICE_INFO info;
    ipcapture::IFrameAllocator* allocator = nullptr;
};

}  // namespace vornak::test
