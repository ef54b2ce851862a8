// Capability query: the host asks an unconfigured device what it can do. Virtual functions are
// declared in slot order (slot 0 is the destructor).
#pragma once

#include <cstdint>

namespace vornak::ipcapture {

// A list the host provides for resolution texts ("%ux%u").
class IIPCapabilityList {
  public:
    virtual ~IIPCapabilityList() = default;
    virtual bool Add(const char* text) = 0;  // 1
};

// The host's result object for one query.
class IIPCapabilityResult {
  public:
    virtual ~IIPCapabilityResult() = default;
    virtual bool SetDeviceName(const char* name) = 0;                 // 1
    virtual bool SetItem(uint32_t id, const char* value) = 0;         // 2
    virtual bool SetFeature(uint32_t feature, uint32_t value) = 0;    // 3
    virtual IIPCapabilityList* GetResolutionList(uint32_t kind) = 0;  // 4
};

// The host's notification interface for query outcomes.
class IIPCapabilityQueryNotify {
  public:
    virtual ~IIPCapabilityQueryNotify() = default;
    virtual void Reserved1() {}                                         // 1
    virtual void OnQueryFinished() = 0;                                 // 2
    virtual void OnQueryFailed(uint32_t status, const char* text) = 0;  // 3
    virtual void OnQueryTerminated() = 0;                               // 4
};

class IIPCapabilityQuery {
  public:
    virtual ~IIPCapabilityQuery() = default;
    virtual uint32_t StartQuery(const char* address, uint16_t port, const char* user,
                                const char* password, IIPCapabilityResult* result) = 0;  // 1
    virtual void TerminateQuery() = 0;                                                   // 2
};

}  // namespace vornak::ipcapture
