// Host-side fakes for channel tests: settings objects and a sink that records what it gets.
#pragma once

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "driver/axis_driver.h"
#include "host_objects.h"

namespace vornak::test {

using namespace ipcapture;

class FakeResolution : public IResolution {
  public:
    FakeResolution(uint32_t w, uint32_t h) : w_(w), h_(h) {}
    uint32_t GetWidth() override { return w_; }
    uint32_t GetHeight() override { return h_; }

  private:
    uint32_t w_, h_;
};

class FakeZones : public IPrivacyZoneEnumerator {
  public:
    IPrivacyZone* GetZone(uint32_t index) override {
        return index < zones.size() ? zones[index].get() : nullptr;
    }
    std::vector<std::unique_ptr<IPrivacyZone>> zones;
};

class FakeSettings : public ICaptureSettings, public IVideoFormatSettings, public IRateSettings {
  public:
    FakeSettings(uint32_t format, uint32_t w, uint32_t h, uint32_t rate, uint32_t quality)
        : format_(format), resolution_(w, h), rate_(rate), quality_(quality) {}
    IVideoFormatSettings* GetVideoFormatSettings() override { return this; }
    IRateSettings* GetRateSettings() override { return this; }
    IPrivacyZoneEnumerator* GetPrivacyZones() override { return &zones; }
    IResolution* GetResolution() override { return &resolution_; }
    uint32_t GetVideoFormat() override { return format_; }
    uint32_t GetFrameRate() override { return rate_; }
    uint32_t GetQuality() override { return quality_; }
    uint32_t GetMotionDetection() override { return motion; }

    FakeZones zones;
    uint32_t motion = 0;

  private:
    uint32_t format_;
    FakeResolution resolution_;
    uint32_t rate_, quality_;
};

// Records frames (copies) and signal-lost calls; can be told to refuse or throw.
class RecordingSink : public IFrameSink {
  public:
    struct Frame {
        uint32_t fourcc, width, height, sizeClass;
        std::vector<uint8_t> data;
        SYSTEMTIME time;
        std::string stream;
        TimeValue received;  // wall clock when the sink got it
    };
    bool OnFrame(IVideoFrame* frame) override {
        if (throwOnFrame) {
            throw std::runtime_error("host failure");
        }
        Frame copy{
            frame->GetFourCC(),
            frame->GetWidth(),
            frame->GetHeight(),
            frame->GetResolutionClass(),
            std::vector<uint8_t>(frame->GetBuffer(), frame->GetBuffer() + frame->GetDataSize()),
            {},
            {},
            GetCurrentTime()};
        frame->GetTimestamp(&copy.time);
        if (auto* host = dynamic_cast<quillon::host::HostVideoFrame*>(frame)) {
            copy.stream = host->StreamName();
        }
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(copy));
        return accept;
    }
    void OnSignalLost() override { ++signalLost; }

    std::vector<Frame> Frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    size_t FrameCount() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }

    std::atomic<bool> accept{true};
    std::atomic<bool> throwOnFrame{false};
    std::atomic<int> signalLost{0};

  private:
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

// An opened driver with a recording logger.
struct OpenedDriver {
    explicit OpenedDriver(quillon::host::DeviceSettings settings) : context(std::move(settings)) {
        opened = driver.Open(&logger, &allocator, &context);
    }
    quillon::host::HostLogger logger{false};
    quillon::host::HostFrameAllocator allocator;
    quillon::host::HostDeviceContext context;
    CAxisIPCaptureDriver driver;
    bool opened = false;
};

}  // namespace vornak::test
