#include "host_io.h"

#include <cstdio>

namespace quillon::host {

namespace {
const char* IOStateName(uint32_t state) {
    static const char* kNames[] = {"undetermined", "inactive", "active"};
    return state < 3 ? kNames[state] : "?";
}
}  // namespace

void HostIOSink::OnInputChanged(uint32_t input, uint32_t state) {
    std::lock_guard lock(mutex_);
    if (keep_) {
        changes_.push_back({input, state});
    }
    if (print_) {
        std::printf("input %u %s\n", input, IOStateName(state));
        std::fflush(stdout);
    }
}

void HostIOSink::OnConnectionLost() {
    std::lock_guard lock(mutex_);
    ++lost_;
    if (print_) {
        std::printf("input connection lost\n");
        std::fflush(stdout);
    }
}

std::vector<HostIOSink::Change> HostIOSink::Changes() {
    std::lock_guard lock(mutex_);
    return changes_;
}

size_t HostIOSink::LostCount() {
    std::lock_guard lock(mutex_);
    return lost_;
}

std::optional<std::pair<uint32_t, uint32_t>> ParseOutputSwitch(const std::string& text) {
    unsigned output = 0;
    char state[4] = {};
    int used = 0;
    if (std::sscanf(text.c_str(), "%u=%3[a-z]%n", &output, state, &used) != 2 ||
        static_cast<size_t>(used) != text.size() || text[0] < '0' || text[0] > '9') {
        return std::nullopt;
    }
    const std::string name = state;
    if (name != "on" && name != "off") {
        return std::nullopt;
    }
    return std::make_pair(output, name == "on" ? 2u : 1u);
}

bool HostIO::Start(vornak::ICaptureIOApi* io, bool print, const std::vector<std::string>& switches,
                   std::string& error) {
    std::vector<std::pair<uint32_t, uint32_t>> wanted;
    for (const std::string& text : switches) {
        auto parsed = ParseOutputSwitch(text);
        if (!parsed) {
            error = "--output expects N=on or N=off, got \"" + text + "\"";
            return false;
        }
        wanted.push_back(*parsed);
    }
    if (io == nullptr) {
        error = "the driver offers no digital IO for this device (see --inputs, --outputs)";
        return false;
    }
    sink_ = std::make_unique<HostIOSink>(print, false);
    io_ = io;
    io_->SetCallback(sink_.get());
    io_->StartIO();
    for (const auto& [output, state] : wanted) {
        if (output >= io_->GetOutputCount()) {
            std::fprintf(stderr, "quillon-host: the device has no output %u\n", output);
            continue;
        }
        io_->SetOutput(output, state);
    }
    return true;
}

void HostIO::Stop() {
    if (io_ != nullptr) {
        io_->StopIO();
        io_ = nullptr;
    }
}

}  // namespace quillon::host
