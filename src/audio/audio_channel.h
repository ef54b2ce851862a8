// The driver-side interfaces of one running audio channel, and the host values it starts with.
#pragma once

#include <cstdint>

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

}  // namespace vornak
