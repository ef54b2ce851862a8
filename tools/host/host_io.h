// The host side of digital IO: a sink that records and/or prints input changes and connection
// losses, and the switching of outputs from "N=on|off" texts.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ipcapture/exports.h"

namespace quillon::host {

using namespace vornak::ipcapture;

class HostIOSink : public IIOEventSink {
  public:
    struct Change {
        uint32_t input;
        uint32_t state;  // 0 undetermined, 1 inactive, 2 active
        bool operator==(const Change&) const = default;
    };

    // keep: whether Changes() lists them; a long-running host only prints them.
    explicit HostIOSink(bool print = false, bool keep = true) : print_(print), keep_(keep) {}
    void OnInputChanged(uint32_t input, uint32_t state) override;
    void OnConnectionLost() override;

    std::vector<Change> Changes();
    size_t LostCount();

  private:
    bool print_;
    bool keep_;
    std::mutex mutex_;
    std::vector<Change> changes_;
    size_t lost_ = 0;
};

// "N=on" / "N=off" → {output N (from 0), state 2 or 1}.
std::optional<std::pair<uint32_t, uint32_t>> ParseOutputSwitch(const std::string& text);

// Runs the driver's IO for the length of a capture: started with a sink, outputs switched.
class HostIO {
  public:
    ~HostIO() { Stop(); }
    // False with a message when the driver has no IO or a switch text is malformed.
    bool Start(vornak::ICaptureIOApi* io, bool print, const std::vector<std::string>& switches,
               std::string& error);
    void Stop();

  private:
    vornak::ICaptureIOApi* io_ = nullptr;
    std::unique_ptr<HostIOSink> sink_ = std::make_unique<HostIOSink>();
};

}  // namespace quillon::host
