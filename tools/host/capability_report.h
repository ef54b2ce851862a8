// The host side of the capability query: records what the driver reports, waits for the
// outcome and prints it. quillon-host --query and the tests of the query share it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ipcapture/capability_query.h"

namespace quillon::host {

using namespace vornak::ipcapture;

class CapabilityList : public IIPCapabilityList {
  public:
    bool Add(const char* text) override;
    bool SetDefault(const char* text) override;

    std::vector<std::string> items;
    std::string defaultValue;
};

// The driver reports from its query thread; the fields are read once the outcome has arrived.
class CapabilityRecorder : public IIPCapabilityResult {
  public:
    struct Named {
        std::string name;
        uint32_t kind = 0;
        std::string value;
    };

    bool SetDeviceName(const char* text) override;
    bool SetItem(uint32_t id, const char* itemName, const char* value) override;
    bool SetFeature(uint32_t feature, uint32_t value) override;
    IIPCapabilityList* GetList(uint32_t kind) override;
    bool AddNamedItem(uint32_t id, const char* itemName, uint32_t kind, const char* value) override;

    // The device parameters a host stores for the driver's open: the named items plus the
    // audio descriptions.
    std::map<uint32_t, std::string> DeviceParameters() const;
    void Print(std::FILE* out) const;

    std::string name;
    std::map<uint32_t, std::string> items;
    std::map<uint32_t, std::string> itemNames;  // only the items sent with a name
    std::map<uint32_t, uint32_t> features;
    std::map<uint32_t, CapabilityList> lists;  // std::map keeps element addresses stable
    std::map<uint32_t, Named> named;

  private:
    std::mutex mutex_;
};

class CapabilityNotify : public IIPCapabilityQueryNotify {
  public:
    void OnQueryFinished() override { Finish(true, 0, ""); }
    void OnQueryFailed(uint32_t status, const char* text) override {
        Finish(false, status, text != nullptr ? text : "");
    }
    void OnQueryTerminated() override { terminated = true; }

    // Waits for the outcome; false when none arrived in time.
    bool Wait(int seconds);

    bool done = false;
    bool success = false;
    uint32_t status = 0;
    std::string text;
    std::atomic<bool> terminated{false};

  private:
    void Finish(bool ok, uint32_t s, const std::string& t);
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace quillon::host
