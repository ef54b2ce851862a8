// Audio from the host to the device's loudspeaker: the sender object the host holds and one
// channel per output, whose queue thread streams the host's frames as the body of long HTTP
// POSTs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "audio/audio_channel.h"
#include "audio/audio_definitions.h"
#include "audio/audio_requests.h"
#include "base/thread.h"
#include "base/time.h"
#include "driver/driver_api.h"
#include "ipcapture/driver_interfaces.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

enum : uint32_t {
    kAudioOutIdle = 0,
    kAudioOutConnecting = 1,
    kAudioOutStreaming = 2,
    kAudioOutStopping = 3,
    kAudioOutFailed = 5,
};

// The announced body of one POST never exceeds this.
inline constexpr uint32_t kMaxAudioPostLength = 9999999;

class CAudioItem {
  public:
    static constexpr const char* kQueueTypeName = "class vornak::CAudioItem";
    enum Kind : uint32_t { kConnect = 0, kData = 1, kRefresh = 2 };
    explicit CAudioItem(uint32_t kind) : kind_(kind) {}
    virtual ~CAudioItem() = default;
    uint32_t GetKind() const { return kind_; }

  private:
    uint32_t kind_;
};

// Holds the host's frame until the item is deleted, then gives it back to the host's factory.
class CAudioDataItem : public CAudioItem {
  public:
    CAudioDataItem(ipcapture::IAudioFrame* frame, ipcapture::IFrameAllocator* factory)
        : CAudioItem(kData), frame_(frame), factory_(factory) {}
    ~CAudioDataItem() override { factory_->ReleaseAudioFrame(frame_); }
    CAudioDataItem(const CAudioDataItem&) = delete;
    CAudioDataItem& operator=(const CAudioDataItem&) = delete;
    ipcapture::IAudioFrame* GetFrame() const { return frame_; }

  private:
    ipcapture::IAudioFrame* frame_;
    ipcapture::IFrameAllocator* factory_;
};

class CAudioRefreshItem : public CAudioItem {
  public:
    CAudioRefreshItem() : CAudioItem(kRefresh) {}
};

class CBaseAudioOutputChannel : public IAudioOutputChannel, public CQueueThread<CAudioItem> {
  public:
    CBaseAudioOutputChannel(IDriver* driver, void* host1, void* host2, void* host3);

    bool StartOutput() override;
    bool StopOutput() override;
    // True: the driver owns the frame and releases it. False: the frame stays the host's.
    bool SendFrame(ipcapture::IAudioFrame* frame) override;
    uint32_t GetState() override { return state_.load(); }

  protected:
    void ProcessWorkItem(CAudioItem* item) override;
    void SetState(uint32_t state);

    virtual bool Connect() = 0;
    virtual bool SendAudio(ipcapture::IAudioFrame* frame) = 0;
    virtual bool VerifyFrameOptions(ipcapture::IAudioFrame* frame) = 0;
    virtual void AbortRequests() = 0;

    IDriver* driver_;
    AudioHostArgs<ipcapture::IAudioOutputCallback> host_;

  private:
    void Reconnect();

    std::atomic<uint32_t> state_{kAudioOutIdle};
    CLock lock_;
};

class CAxisAudioOutputChannel : public CBaseAudioOutputChannel, private CLoggerInstance {
  public:
    CAxisAudioOutputChannel(uint32_t source, IDriver* driver, void* host1, void* host2,
                            void* host3);
    ~CAxisAudioOutputChannel() override;

    bool GetFormat(ipcapture::IAudioFormat* format) override;
    uint32_t GetCodec() const { return codec_; }
    uint32_t GetBitRate() const { return bitRate_; }

  protected:
    bool Connect() override;
    bool SendAudio(ipcapture::IAudioFrame* frame) override;
    bool VerifyFrameOptions(ipcapture::IAudioFrame* frame) override;
    void AbortRequests() override;

  private:
    void FinishPost();
    bool OpenPost(std::span<const uint8_t> first, uint32_t frameSize);

    uint32_t source_;
    std::unique_ptr<Web::CHttpSender> sender_;
    CAudioRequests requests_;
    uint32_t codec_ = 0;
    uint32_t bitRate_ = 0;
    bool postOpen_ = false;
    uint32_t remaining_ = 0;  // body bytes the open POST still expects
    bool connectionHeld_ = false;
    std::optional<CAxisAudioDefinitions> definitions_;
    CTime checkTimer_;
    CTime postTimer_;  // since the open POST was opened
};

// The encoding an output channel negotiates: codec tag and bit rate.
struct AudioOutputEncoding {
    uint32_t codec = 0;
    uint32_t bitRate = 0;
    bool operator==(const AudioOutputEncoding&) const = default;
};
AudioOutputEncoding ChooseOutputEncoding(IDriver& driver, ipcapture::IAudioCodecList* codecs,
                                         const std::string& setting);

class CAxisIPAudioSender : public ipcapture::IIPAudioSender {
  public:
    CAxisIPAudioSender(IAudioChannelCreator* creator, uint32_t maxChannels, IDriver* driver)
        : creator_(creator), channels_(driver, maxChannels) {}
    ~CAxisIPAudioSender() override;

    uint32_t GetChannelCount() override { return channels_.Count(); }
    bool StartOutput(uint32_t channel, void* host1, void* host2, void* host3) override;
    bool StopOutput(uint32_t channel) override;
    bool SendFrame(ipcapture::IAudioFrame* frame) override;
    bool GetFormat(uint32_t channel, ipcapture::IAudioFormat* format) override;
    uint32_t GetState(uint32_t channel) override;
    bool Reserved7() override { return false; }
    bool Reserved8() override { return false; }

  private:
    IAudioChannelCreator* creator_;
    TAudioChannels<IAudioOutputChannel> channels_;
};

}  // namespace vornak
