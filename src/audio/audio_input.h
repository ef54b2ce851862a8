// Audio from the device's audio source to the host: the capture object the host holds and one
// channel per running source, which configures the device, keeps the HTTP audio stream open and
// hands 250 ms frames to the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_channel.h"
#include "audio/audio_format.h"
#include "audio/audio_requests.h"
#include "base/thread.h"
#include "driver/driver_api.h"
#include "ipcapture/driver_interfaces.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

// 4 is the host's own and is only left towards idle.
enum : uint32_t {
    kAudioInIdle = 0,
    kAudioInConnecting = 1,
    kAudioInReceiving = 2,
    kAudioInStopped = 3,
    kAudioInHostState = 4,
    kAudioInFailed = 5,
};
[[nodiscard]] bool AudioInputChangeAllowed(uint32_t from, uint32_t to);
// Moves `state` (guarded by `lock`) to `to` when the change is allowed and tells the host.
void ChangeAudioInputState(std::atomic<uint32_t>& state, CLock& lock,
                           const AudioHostArgs<ipcapture::IAudioInputCallback>& host, uint32_t to,
                           IDebugMessage& log, const char* method);

class CAxisAudioInputChannel : public IAudioInputChannel,
                               private CBaseThread,
                               private CLoggerInstance {
  public:
    CAxisAudioInputChannel(uint32_t source, IDriver* driver, void* host1, void* host2, void* host3,
                           bool duplex);
    ~CAxisAudioInputChannel() override;

    bool StartCapture() override;
    bool StopCapture() override;
    uint32_t GetState() override { return state_.load(); }

  private:
    void ThreadFunction() override;
    bool ConfigureAudioInput();
    bool ConnectToAudioDevice();
    bool ReceiveAudioData();
    void SetState(uint32_t state);

    uint32_t source_;
    IDriver* driver_;
    AudioHostArgs<ipcapture::IAudioInputCallback> host_;
    bool duplex_;
    AudioFormat format_;
    std::vector<std::string> supported_;
    std::unique_ptr<Web::CHttpSender> sender_;
    CAudioRequests requests_;
    std::atomic<uint32_t> state_{kAudioInIdle};
    CLock stateLock_;
    CLock lock_;
};

class CAxisIPAudioCapture : public ipcapture::IIPAudioCapture2 {
  public:
    CAxisIPAudioCapture(IAudioChannelCreator* creator, uint32_t maxChannels, IDriver* driver)
        : creator_(creator), channels_(driver, maxChannels) {}
    ~CAxisIPAudioCapture() override;

    uint32_t GetChannelCount() override { return channels_.Count(); }
    bool StartCapture(uint32_t channel, void* host1, void* host2, void* host3) override;
    bool StopCapture(uint32_t channel) override;
    uint32_t GetState(uint32_t channel) override;
    bool Reserved5(void*, void*, void*) override { return true; }
    bool GetOption(const char* name, void* value, uint32_t size) override;

  private:
    IAudioChannelCreator* creator_;
    TAudioChannels<IAudioInputChannel> channels_;
};

// Encodings of "Supported Audio Formats" that have a codec tag and that the host offers.
std::vector<std::string> SupportedAudioEncodings(IDriver& driver,
                                                 ipcapture::IAudioCodecList* codecs,
                                                 bool mustBeEnabled);

}  // namespace vornak
