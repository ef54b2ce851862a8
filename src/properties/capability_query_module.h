// The capability query: reads a device's properties on a thread of its own, before the device
// is configured, and writes them into the host's result object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/sync.h"
#include "driver/device_info.h"
#include "ipcapture/capability_query.h"
#include "properties/camera_properties.h"

namespace vornak {

class CCapabilityQueryModule : public ipcapture::IIPCapabilityQuery {
  public:
    static constexpr uint32_t kFirstLimitMs = 7000;
    static constexpr uint32_t kSecondLimitMs = 21000;
    static constexpr uint32_t kProxyFirstLimitMs = 15000;
    static constexpr uint32_t kProxySecondLimitMs = 45000;

    // notify is borrowed and must outlive the module.
    CCapabilityQueryModule(ipcapture::IIPCapabilityQueryNotify* notify, uint32_t flag);
    ~CCapabilityQueryModule() override;  // 0
    uint32_t StartQuery(const char* address, uint16_t port, const char* user, const char* password,
                        ipcapture::IIPCapabilityResult* result) override;  // 1
    void TerminateQuery() override;                                        // 2
    virtual TSmartPtr<CBaseCameraProperties> CreateProperties() = 0;       // 3
    virtual void RunQuery();                                               // 4

    // The message of a failed query for a status and the reader's error text.
    static std::string FailureMessage(uint32_t status, const std::string& errorText);
    // True when an address holds a character no device address may hold.
    static bool IsForbiddenAddress(const std::string& address);
    // Writes every result of a loaded reader into the host's result object.
    static bool SaveResults(CAxisCameraProperties& reader, const DEVICE_INFO& device,
                            ipcapture::IIPCapabilityResult* result);

    const DEVICE_INFO& GetDevice() const { return device_; }

  protected:
    uint32_t flag_;
    DEVICE_INFO device_;
    ipcapture::IIPCapabilityQueryNotify* notify_;       // borrowed
    ipcapture::IIPCapabilityResult* result_ = nullptr;  // borrowed for one query
    TSmartPtr<CBaseCameraProperties> reader_;
    CLock lock_;
    std::thread thread_;
    // Set by the query thread as its last act; shared so that the thread never touches the
    // module after its notification (the host may delete the module from inside it).
    std::shared_ptr<CManualEvent> finished_;
};

class CAxisCapabilityQueryModule : public CCapabilityQueryModule {
  public:
    using CCapabilityQueryModule::CCapabilityQueryModule;
    ~CAxisCapabilityQueryModule() override;
    TSmartPtr<CBaseCameraProperties> CreateProperties() override;
};

}  // namespace vornak
