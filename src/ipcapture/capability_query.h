// Capability query: the host asks an unconfigured device what it can do. Virtual functions are
// declared in slot order (slot 0 is the destructor).
#pragma once

#include <cstdint>

namespace vornak::ipcapture {

// Kinds of the lists a result object hands out.
enum CapabilityListKind : uint32_t {
    kListResolutionSizes = 0,  // every supported size, "%ux%u"
    kListResolutions = 1,      // the resolutions offered for streams, with a default
    kListNetworkTimeouts = 3,  // network time-out choices, with a default
};

// Item kinds of AddNamedItem.
enum CapabilityItemKind : uint32_t { kItemValue = 0, kItemText = 1 };

// A list of texts the host keeps for the device, with one of them as its default.
class IIPCapabilityList {
  public:
    virtual ~IIPCapabilityList() = default;
    virtual bool Add(const char* text) = 0;         // 1
    virtual bool SetDefault(const char* text) = 0;  // 2
};

// The host's result object for one query. The driver does not own the lists it returns.
class IIPCapabilityResult {
  public:
    virtual ~IIPCapabilityResult() = default;
    virtual bool SetDeviceName(const char* name) = 0;  // 1
    // Connection items (1 address, 2 port, 3 user name, 4 password), which have no name (null),
    // and numbered results under the names the host shows.
    virtual bool SetItem(uint32_t id, const char* name, const char* value) = 0;  // 2
    virtual bool SetFeature(uint32_t feature, uint32_t value) = 0;               // 3
    virtual IIPCapabilityList* GetList(uint32_t kind) = 0;                       // 4
    // A device property under its id and display name; an empty value is sent as "(none)".
    virtual bool AddNamedItem(uint32_t id, const char* name, uint32_t kind,
                              const char* value) = 0;  // 5
};

// The host's notification interface for query outcomes. Calls come on the query thread.
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
    // 1 when the query thread started, else 0. The result object must outlive the query.
    virtual uint32_t StartQuery(const char* address, uint16_t port, const char* user,
                                const char* password, IIPCapabilityResult* result) = 0;  // 1
    virtual void TerminateQuery() = 0;                                                   // 2
};

}  // namespace vornak::ipcapture
