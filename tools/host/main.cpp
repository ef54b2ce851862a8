// quillon-host: a reference host. Loads libquillon.so at run time, hands it a device and shows
// what the driver says and delivers.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "host_objects.h"

using namespace quillon::host;

namespace {

struct Options {
    std::string library;
    DeviceSettings device;
    std::vector<std::string> params;
    std::string paramsFile;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillon-host: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    options.library = ExecutableFolder() + "libquillon.so";
    options.device.model = "Demo Camera";

    CLI::App app{"quillon-host: loads the capture driver and runs it against a camera"};
    app.add_option("--library", options.library, "driver library to load")->capture_default_str();
    app.add_option("--address", options.device.address,
                   "device address; \"address|proxy\" goes through an HTTP proxy")
        ->capture_default_str();
    app.add_option("--port", options.device.port, "device HTTP port")->capture_default_str();
    app.add_option("--user", options.device.user, "user name");
    app.add_option("--password", options.device.password, "password");
    app.add_option("--model", options.device.model, "device model name")->capture_default_str();
    app.add_option("--video-inputs", options.device.videoInputs, "number of video inputs")
        ->capture_default_str();
    app.add_option("--inputs", options.device.digitalInputs, "number of digital inputs");
    app.add_option("--outputs", options.device.digitalOutputs, "number of digital outputs");
    app.add_option("--format", options.device.defaultFormat,
                   "default video format: 1 JPEG/HTTP, 2 MPEG-4/RTSP, 3 H.264/RTSP")
        ->capture_default_str();
    app.add_option("--param", options.params, "device parameter ID=text (repeatable)");
    app.add_option("--params-file", options.paramsFile,
                   "device parameters file (ID=text lines, as --query writes)");
    CLI11_PARSE(app, argc, argv);

    std::string error;
    if (!options.paramsFile.empty() &&
        !LoadParametersFile(options.paramsFile, options.device.parameters, error)) {
        return Fail(error);
    }
    for (const std::string& param : options.params) {
        const size_t eq = param.find('=');
        uint32_t id = 0;
        if (eq == std::string::npos || std::sscanf(param.c_str(), "%u", &id) != 1 || id == 0) {
            return Fail("--param expects ID=text, got \"" + param + "\"");
        }
        options.device.parameters[id] = param.substr(eq + 1);
    }

    DriverLibrary library;
    if (!library.Load(options.library, error)) {
        return Fail(error);
    }

    HostLogger logger;
    HostFrameAllocator allocator;
    HostDeviceContext context(options.device);

    IIPCaptureDriverEx5* driver = library.create[0]();
    if (driver == nullptr) {
        return Fail("CreateIPCapture returned no driver");
    }
    if (!driver->Open(&logger, &allocator, &context)) {
        library.destroy[0](driver);
        return Fail("Open failed for device " + options.device.address + ":" +
                    std::to_string(options.device.port));
    }
    std::printf("Driver opened for %s:%u (%s)\n", options.device.address.c_str(),
                options.device.port, options.device.model.c_str());
    driver->Close();
    library.destroy[0](driver);
    std::printf("Driver closed\n");
    return 0;
}
