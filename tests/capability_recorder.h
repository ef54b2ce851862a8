// What a capability query hands to the host, recorded, and its outcome waited for. Shared by the
// unit, integration and interop tests of the query.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ipcapture/capability_query.h"

namespace testing_support {

class CapabilityResult : public vornak::ipcapture::IIPCapabilityResult {
  public:
    class List : public vornak::ipcapture::IIPCapabilityList {
      public:
        bool Add(const char* text) override {
            items.emplace_back(text);
            return true;
        }
        bool SetDefault(const char* text) override {
            defaultValue = text;
            return true;
        }
        std::vector<std::string> items;
        std::string defaultValue;
    };
    struct Named {
        std::string name;
        uint32_t kind = 0;
        std::string value;
    };

    bool SetDeviceName(const char* text) override {
        name = text;
        return true;
    }
    bool SetItem(uint32_t id, const char* itemName, const char* value) override {
        items[id] = value;
        if (itemName != nullptr) {
            itemNames[id] = itemName;
        }
        return true;
    }
    bool SetFeature(uint32_t feature, uint32_t value) override {
        features[feature] = value;
        return true;
    }
    vornak::ipcapture::IIPCapabilityList* GetList(uint32_t kind) override { return &lists[kind]; }
    bool AddNamedItem(uint32_t id, const char* itemName, uint32_t kind,
                      const char* value) override {
        named[id] = {itemName, kind, value};
        return true;
    }

    std::string name;
    std::map<uint32_t, std::string> items;
    std::map<uint32_t, std::string> itemNames;  // only the items sent with a name
    std::map<uint32_t, uint32_t> features;
    std::map<uint32_t, List> lists;
    std::map<uint32_t, Named> named;
};

class CapabilityNotify : public vornak::ipcapture::IIPCapabilityQueryNotify {
  public:
    void OnQueryFinished() override { Done(true, 0, ""); }
    void OnQueryFailed(uint32_t s, const char* t) override { Done(false, s, t); }
    void OnQueryTerminated() override { terminated = true; }

    // Waits for the outcome; the limit only keeps a broken build from hanging.
    bool Wait(int seconds) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return done; });
    }
    bool done = false;
    bool success = false;
    uint32_t status = 0;
    std::string text;
    std::atomic<bool> terminated{false};

  private:
    void Done(bool ok, uint32_t s, const std::string& t) {
        std::lock_guard<std::mutex> lock(mutex_);
        success = ok;
        status = s;
        text = t;
        done = true;
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace testing_support
