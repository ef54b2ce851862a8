// Each installed header on its own, then the driver through its exported entry points.
#include <quillon/capability_query.h>
#include <quillon/driver_interfaces.h>
#include <quillon/exports.h>
#include <quillon/host_interfaces.h>

#include <cstdio>

int main() {
    vornak::ipcapture::IIPCaptureDriverEx5* driver = CreateIPCaptureEx5();
    if (driver == nullptr) {
        return 1;
    }
    DeleteIPCaptureEx5(driver);
    std::puts("driver created and deleted");
    return 0;
}
