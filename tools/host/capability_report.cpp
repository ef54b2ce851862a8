#include "capability_report.h"

#include <chrono>

namespace quillon::host {

namespace {

std::string Text(const char* text) {
    return text != nullptr ? text : "";
}

}  // namespace

bool CapabilityList::Add(const char* text) {
    items.push_back(Text(text));
    return true;
}

bool CapabilityList::SetDefault(const char* text) {
    defaultValue = Text(text);
    return true;
}

bool CapabilityRecorder::SetDeviceName(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    name = Text(text);
    return true;
}

bool CapabilityRecorder::SetItem(uint32_t id, const char* itemName, const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    items[id] = Text(value);
    if (itemName != nullptr) {
        itemNames[id] = itemName;
    }
    return true;
}

bool CapabilityRecorder::SetFeature(uint32_t feature, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    features[feature] = value;
    return true;
}

IIPCapabilityList* CapabilityRecorder::GetList(uint32_t kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    return &lists[kind];
}

bool CapabilityRecorder::AddNamedItem(uint32_t id, const char* itemName, uint32_t kind,
                                      const char* value) {
    std::lock_guard<std::mutex> lock(mutex_);
    named[id] = {Text(itemName), kind, Text(value)};
    return true;
}

std::map<uint32_t, std::string> CapabilityRecorder::DeviceParameters() const {
    std::map<uint32_t, std::string> parameters;
    for (const auto& [id, item] : named) {
        parameters[id] = item.value;
    }
    for (uint32_t id : {101u, 102u}) {
        if (const auto it = items.find(id); it != items.end()) {
            parameters[id] = it->second;
        }
    }
    return parameters;
}

void CapabilityRecorder::Print(std::FILE* out) const {
    std::fprintf(out, "Device: %s\n", name.empty() ? "(no name)" : name.c_str());
    std::fprintf(out, "Properties:\n");
    for (const auto& [id, item] : named) {
        std::fprintf(out, "  %3u  %-36s %s\n", id, item.name.c_str(), item.value.c_str());
    }
    for (const auto& [id, itemName] : itemNames) {
        std::fprintf(out, "  %3u  %-36s %s\n", id, itemName.c_str(), items.at(id).c_str());
    }
    if (const auto it = lists.find(kListResolutions); it != lists.end()) {
        std::fprintf(out, "Resolutions:");
        for (const std::string& size : it->second.items) {
            std::fprintf(out, " %s%s", size.c_str(),
                         size == it->second.defaultValue ? " (default)" : "");
        }
        std::fprintf(out, "\n");
    }
    std::fprintf(out, "Features:");
    for (const auto& [feature, value] : features) {
        std::fprintf(out, " %u=%u", feature, value);
    }
    std::fprintf(out, "\n");
}

bool CapabilityNotify::Wait(int seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; });
}

void CapabilityNotify::Finish(bool ok, uint32_t s, const std::string& t) {
    std::lock_guard<std::mutex> lock(mutex_);
    success = ok;
    status = s;
    text = t;
    done = true;
    cv_.notify_all();
}

}  // namespace quillon::host
