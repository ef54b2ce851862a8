#include "ipcapture/exports.h"

#include <mutex>
#include <new>

#include "driver/axis_driver.h"
#include "properties/capability_query_module.h"

namespace {

vornak::ipcapture::IIPCaptureDriverEx5* CreateDriver() {
    try {
        return new (std::nothrow) vornak::CAxisIPCaptureDriver();
    } catch (...) {
        return nullptr;
    }
}

// The one module of the flat query functions.
std::mutex g_queryMutex;
vornak::CAxisCapabilityQueryModule* g_query = nullptr;

template <typename T>
void DeleteObject(T* object) {
    if (object != nullptr) {
        try {
            delete object;
        } catch (...) {
        }
    }
}

}  // namespace

vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCapture() {
    return CreateDriver();
}
vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx() {
    return CreateDriver();
}
vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx3() {
    return CreateDriver();
}
vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx4() {
    return CreateDriver();
}
vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx5() {
    return CreateDriver();
}

void DeleteIPCapture(vornak::ipcapture::IIPCaptureDriver* object) {
    DeleteObject(object);
}
void DeleteIPCaptureEx(vornak::ipcapture::IIPCaptureDriver* object) {
    DeleteObject(object);
}
void DeleteIPCaptureEx3(vornak::ipcapture::IIPCaptureDriver* object) {
    DeleteObject(object);
}
void DeleteIPCaptureEx4(vornak::ipcapture::IIPCaptureDriver* object) {
    DeleteObject(object);
}
void DeleteIPCaptureEx5(vornak::ipcapture::IIPCaptureDriver* object) {
    DeleteObject(object);
}
void DeleteCapabilityQueryModule(vornak::ipcapture::IIPCapabilityQuery* object) {
    DeleteObject(object);
}

vornak::ipcapture::IIPCapabilityQuery* CreateCapabilityQueryModule(
    vornak::ipcapture::IIPCapabilityQueryNotify* notify, uint32_t flag) {
    try {
        return new (std::nothrow) vornak::CAxisCapabilityQueryModule(notify, flag);
    } catch (...) {
        return nullptr;
    }
}

uint32_t InitCapabilityQuery(vornak::ipcapture::IIPCapabilityQueryNotify* notify, uint32_t flag) {
    std::lock_guard<std::mutex> lock(g_queryMutex);
    if (g_query != nullptr) {
        return 0;
    }
    try {
        g_query = new (std::nothrow) vornak::CAxisCapabilityQueryModule(notify, flag);
    } catch (...) {
        g_query = nullptr;
    }
    return g_query != nullptr ? 1 : 0;
}

uint32_t StartCapabilityQuery(const char* address, uint16_t port, const char* user,
                              const char* password,
                              vornak::ipcapture::IIPCapabilityResult* result) {
    std::lock_guard<std::mutex> lock(g_queryMutex);
    if (address == nullptr || user == nullptr || password == nullptr || g_query == nullptr) {
        return 0;
    }
    try {
        return g_query->StartQuery(address, port, user, password, result);
    } catch (...) {
        return 0;
    }
}

uint32_t TerminateCapabilityQuery() {
    std::lock_guard<std::mutex> lock(g_queryMutex);
    if (g_query != nullptr) {
        g_query->TerminateQuery();
    }
    return 1;
}

uint32_t UninitCapabilityQuery() {
    vornak::CAxisCapabilityQueryModule* query = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_queryMutex);
        std::swap(query, g_query);
    }
    // Outside the lock: the destructor waits for the query thread, which may be inside a host
    // notification that calls TerminateCapabilityQuery.
    DeleteObject(query);
    return 1;
}
