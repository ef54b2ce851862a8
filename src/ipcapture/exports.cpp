#include "ipcapture/exports.h"

#include <new>

#include "driver/axis_driver.h"

namespace {

vornak::ipcapture::IIPCaptureDriverEx5* CreateDriver() {
    try {
        return new (std::nothrow) vornak::CAxisIPCaptureDriver();
    } catch (...) {
        return nullptr;
    }
}

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
    vornak::ipcapture::IIPCapabilityQueryNotify* /*notify*/, uint32_t /*flag*/) {
    return nullptr;
}
uint32_t InitCapabilityQuery(vornak::ipcapture::IIPCapabilityQueryNotify* /*notify*/,
                             uint32_t /*flag*/) {
    return 0;
}
uint32_t StartCapabilityQuery(const char* /*address*/, uint16_t /*port*/, const char* /*user*/,
                              const char* /*password*/,
                              vornak::ipcapture::IIPCapabilityResult* /*result*/) {
    return 0;
}
uint32_t TerminateCapabilityQuery() {
    return 1;
}
uint32_t UninitCapabilityQuery() {
    return 1;
}
