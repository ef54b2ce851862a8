// The library's entry points. A host loads the library with dlopen and looks these names up.
#pragma once

#include <cstdint>

#include "capability_query.h"
#include "driver_interfaces.h"

#define QUILLON_EXPORT extern "C" __attribute__((visibility("default")))

QUILLON_EXPORT vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCapture();
QUILLON_EXPORT vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx();
QUILLON_EXPORT vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx3();
QUILLON_EXPORT vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx4();
QUILLON_EXPORT vornak::ipcapture::IIPCaptureDriverEx5* CreateIPCaptureEx5();

// All delete names take any object the library handed out and call its virtual destructor.
QUILLON_EXPORT void DeleteIPCapture(vornak::ipcapture::IIPCaptureDriver* object);
QUILLON_EXPORT void DeleteIPCaptureEx(vornak::ipcapture::IIPCaptureDriver* object);
QUILLON_EXPORT void DeleteIPCaptureEx3(vornak::ipcapture::IIPCaptureDriver* object);
QUILLON_EXPORT void DeleteIPCaptureEx4(vornak::ipcapture::IIPCaptureDriver* object);
QUILLON_EXPORT void DeleteIPCaptureEx5(vornak::ipcapture::IIPCaptureDriver* object);
QUILLON_EXPORT void DeleteCapabilityQueryModule(vornak::ipcapture::IIPCapabilityQuery* object);

QUILLON_EXPORT vornak::ipcapture::IIPCapabilityQuery* CreateCapabilityQueryModule(
    vornak::ipcapture::IIPCapabilityQueryNotify* notify, uint32_t flag);
QUILLON_EXPORT uint32_t InitCapabilityQuery(vornak::ipcapture::IIPCapabilityQueryNotify* notify,
                                            uint32_t flag);
QUILLON_EXPORT uint32_t StartCapabilityQuery(const char* address, uint16_t port, const char* user,
                                             const char* password,
                                             vornak::ipcapture::IIPCapabilityResult* result);
QUILLON_EXPORT uint32_t TerminateCapabilityQuery();
QUILLON_EXPORT uint32_t UninitCapabilityQuery();

// Function types for dlsym.
using CreateIPCaptureFn = vornak::ipcapture::IIPCaptureDriverEx5* (*)();
using DeleteIPCaptureFn = void (*)(vornak::ipcapture::IIPCaptureDriver*);
using DeleteCapabilityQueryModuleFn = void (*)(vornak::ipcapture::IIPCapabilityQuery*);
using CreateCapabilityQueryModuleFn =
    vornak::ipcapture::IIPCapabilityQuery* (*)(vornak::ipcapture::IIPCapabilityQueryNotify*,
                                               uint32_t);
using InitCapabilityQueryFn = uint32_t (*)(vornak::ipcapture::IIPCapabilityQueryNotify*, uint32_t);
using StartCapabilityQueryFn = uint32_t (*)(const char*, uint16_t, const char*, const char*,
                                            vornak::ipcapture::IIPCapabilityResult*);
using TerminateCapabilityQueryFn = uint32_t (*)();
using UninitCapabilityQueryFn = uint32_t (*)();
