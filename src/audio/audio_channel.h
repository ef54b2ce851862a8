// The driver-side interfaces of one running audio channel, and the host values it starts with.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "base/sync.h"
#include "driver/driver_api.h"
#include "ipcapture/host_interfaces.h"

namespace vornak {

class IAudioInputChannel {
  public:
    virtual ~IAudioInputChannel() = default;
    virtual bool StartCapture() = 0;  // 1
    virtual bool StopCapture() = 0;   // 2
    virtual uint32_t GetState() = 0;  // 3
};

class IAudioOutputChannel {
  public:
    virtual ~IAudioOutputChannel() = default;
    virtual bool StartOutput() = 0;                               // 1
    virtual bool StopOutput() = 0;                                // 2
    virtual bool SendFrame(ipcapture::IAudioFrame* frame) = 0;    // 3
    virtual uint32_t GetState() = 0;                              // 4
    virtual bool GetFormat(ipcapture::IAudioFormat* format) = 0;  // 5
};

// The three host values of a channel start, read as host_interfaces.h describes them.
template <typename Callback>
struct AudioHostArgs {
    AudioHostArgs(void* host1, void* host2, void* host3)
        : cookie(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(host1))),
          callback(static_cast<Callback*>(host2)),
          codecs(static_cast<ipcapture::IAudioCodecList*>(host3)) {}
    uint32_t cookie;
    Callback* callback;
    ipcapture::IAudioCodecList* codecs;
};

// The running channels of a capture or sender object by index (at most max), under one lock;
// channels start and stop outside it.
template <typename Channel>
class TAudioChannels {
  public:
    TAudioChannels(IDriver* driver, uint32_t max) : driver_(driver), max_(max) {}

    uint32_t Count() {
        CLockGuard guard(lock_);
        return static_cast<uint32_t>(channels_.size());
    }

    // make() gives a new channel or null; start(channel) says whether it runs. A channel that
    // does not start is deleted.
    template <typename MakeFn, typename StartFn>
    bool Start(uint32_t index, const char* method, MakeFn make, StartFn start) {
        Channel* started = nullptr;
        {
            CLockGuard guard(lock_);
            if (channels_.count(index) != 0) {
                return true;
            }
            // The device has channels 0 to max-1; another index could only fail there.
            if (channels_.size() >= max_ || index >= max_) {
                driver_->DebugMessage(kLogWarning,
                                      "%s: Audio channel %u is not available on %s (%u channels)",
                                      method, index, driver_->GetDeviceName().c_str(), max_);
                return false;
            }
            std::unique_ptr<Channel> made(make());
            if (!made) {
                return false;
            }
            started = made.get();
            channels_[index] = std::move(made);
        }
        if (start(*started)) {
            return true;
        }
        Take(index, started);
        return false;
    }

    template <typename StopFn>
    bool Stop(uint32_t index, StopFn stop) {
        std::unique_ptr<Channel> channel = Take(index, nullptr);
        return channel && stop(*channel);
    }

    template <typename StopFn>
    void StopAll(StopFn stop) {
        std::map<uint32_t, std::unique_ptr<Channel>> channels;
        {
            CLockGuard guard(lock_);
            channels.swap(channels_);
        }
        for (auto& [index, channel] : channels) {
            stop(*channel);
        }
    }

    // fn(channel) under the lock; the fallback when the index does not run.
    template <typename R, typename Fn>
    R With(uint32_t index, R fallback, Fn fn) {
        CLockGuard guard(lock_);
        const auto it = channels_.find(index);
        return it == channels_.end() ? fallback : fn(*it->second);
    }

  private:
    // Out of the map (only when it is that channel, if one is named).
    std::unique_ptr<Channel> Take(uint32_t index, const Channel* only) {
        CLockGuard guard(lock_);
        const auto it = channels_.find(index);
        if (it == channels_.end() || (only != nullptr && it->second.get() != only)) {
            return nullptr;
        }
        std::unique_ptr<Channel> channel = std::move(it->second);
        channels_.erase(it);
        return channel;
    }

    IDriver* driver_;
    uint32_t max_;
    CLock lock_;
    std::map<uint32_t, std::unique_ptr<Channel>> channels_;
};

}  // namespace vornak
