// The one object through which the host runs video: per video input, the channels of its
// stream kinds and the motion channel beside them.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "base/sync.h"
#include "channels/camera_channel.h"
#include "ipcapture/driver_interfaces.h"

namespace vornak {

// The driver's own copy of one host privacy zone (position and size in percent).
class CPrivacyZone : public ipcapture::IPrivacyZone {
  public:
    CPrivacyZone(uint32_t id, float x, float y, float width, float height)
        : id_(id), x_(x), y_(y), width_(width), height_(height) {}
    uint32_t GetKind() override { return 1; }
    uint32_t GetIdentifier() override { return id_; }
    uint32_t GetState() override { return 1; }
    float GetX() override { return x_; }
    float GetY() override { return y_; }
    float GetWidth() override { return width_; }
    float GetHeight() override { return height_; }

  private:
    uint32_t id_;
    float x_, y_, width_, height_;
};

class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx2 {
  public:
    // creator is the driver, which owns this object and outlives it.
    CIPVideoCapture(IVideoChannelCreator* creator, uint32_t videoInputs);
    ~CIPVideoCapture() override;

    uint32_t GetChannelCount() override { return static_cast<uint32_t>(table_.size()); }
    bool StartCapture(uint32_t channel, ipcapture::IFrameSink* sink,
                      ipcapture::ICaptureSettings* settings) override;
    bool StopCapture(uint32_t channel) override;
    bool UpdateCapture(uint32_t channel, ipcapture::IResolution* resolution,
                       uint32_t frameRate) override;
    uint32_t Reserved5() override { return 0; }
    bool GetChannelState(uint32_t channel, uint32_t* state, uint32_t* detail, char* text,
                         uint32_t textCapacity) override;
    bool SetOption(const char* name, const void* value, uint32_t type) override;
    bool GetOption(const char* name, void* value, uint32_t type) override;
    bool ResumeCapture(uint32_t channel) override;
    bool PauseCapture(uint32_t channel) override;
    bool StartStream(uint32_t channel, uint32_t stream, ipcapture::IFrameSink* sink,
                     ipcapture::ICaptureSettings* settings) override;
    bool StopStream(uint32_t channel, uint32_t stream) override;

    // The size a stream reports; {0, 0} when it does not run.
    Size GetStreamResolution(uint32_t channel, uint32_t stream);

    // Answers the option table shared with the audio capture object (type 4 names).
    static bool GetCommonOption(const char* name, void* value, uint32_t type);

  private:
    static constexpr size_t kStreamSlots = 4;
    struct Entry {
        // Shared so that a query can call a channel outside the table lock while a stop on
        // another host thread takes it out; the last holder deletes it.
        std::array<std::shared_ptr<ICameraChannel>, kStreamSlots> streams;
        std::unique_ptr<IMotionChannel> motion;
    };

    bool StartChannel(uint32_t channel, uint32_t stream, ipcapture::IFrameSink* sink,
                      ipcapture::ICaptureSettings* settings, bool withZonesAndMotion);
    void RegisterWithEdgeStorage(IEdgeMonitorChannel* channel);
    // Runs fn on stream 0 of the channel, outside the table lock.
    template <typename Fn>
    bool WithStreamZero(uint32_t channel, Fn fn);

    IVideoChannelCreator* creator_;
    CLock tableLock_;
    std::vector<Entry> table_;
    bool edgeStorageEnabled_ = false;
    std::unique_ptr<IEdgeStorageHandler> edgeStorage_;
};

// Reads a capture request from the host's settings object.
VideoCaptureRequest RequestFromSettings(ipcapture::ICaptureSettings* settings, uint32_t stream);
uint32_t FormatFromSettings(ipcapture::ICaptureSettings* settings);

}  // namespace vornak
