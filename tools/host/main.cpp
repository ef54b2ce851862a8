// quillon-host: a reference host. Loads libquillon.so at run time, hands it a device and shows
// what the driver says and delivers.
#include <CLI/CLI.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
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
    bool query = false;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillon-host: %s\n", message.c_str());
    return 1;
}

// --query: the host side of the capability query.
class QueryList : public IIPCapabilityList {
  public:
    bool Add(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        items.emplace_back(text != nullptr ? text : "");
        return true;
    }
    bool SetDefault(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        defaultValue = text != nullptr ? text : "";
        return true;
    }
    std::vector<std::string> items;
    std::string defaultValue;

  private:
    std::mutex mutex_;
};

class QueryResult : public IIPCapabilityResult {
  public:
    struct Named {
        std::string name;
        std::string value;
    };
    bool SetDeviceName(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        name = text != nullptr ? text : "";
        return true;
    }
    bool SetItem(uint32_t id, const char* value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        items[id] = value != nullptr ? value : "";
        return true;
    }
    bool SetFeature(uint32_t feature, uint32_t value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        features[feature] = value;
        return true;
    }
    IIPCapabilityList* GetList(uint32_t kind) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return &lists[kind];  // std::map keeps element addresses stable
    }
    bool AddNamedItem(uint32_t id, const char* itemName, uint32_t /*kind*/,
                      const char* value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        named[id] = {itemName != nullptr ? itemName : "", value != nullptr ? value : ""};
        return true;
    }

    std::string name;
    std::map<uint32_t, std::string> items;
    std::map<uint32_t, uint32_t> features;
    std::map<uint32_t, QueryList> lists;
    std::map<uint32_t, Named> named;

  private:
    std::mutex mutex_;
};

class QueryNotify : public IIPCapabilityQueryNotify {
  public:
    void OnQueryFinished() override { Finish(true, 0, ""); }
    void OnQueryFailed(uint32_t status, const char* text) override {
        Finish(false, status, text != nullptr ? text : "");
    }
    void OnQueryTerminated() override { std::fprintf(stderr, "quillon-host: query terminated\n"); }

    bool Wait(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return done_; });
    }
    bool success = false;
    uint32_t status = 0;
    std::string text;

  private:
    void Finish(bool ok, uint32_t s, const std::string& t) {
        std::lock_guard<std::mutex> lock(mutex_);
        success = ok;
        status = s;
        text = t;
        done_ = true;
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

const char* StreamItemName(uint32_t id) {
    switch (id) {
        case 120:
            return "Live Stream: Supported Codecs";
        case 121:
            return "Live Stream: Supported Resolutions";
        case 122:
            return "Live Stream: Supported Framerates";
        case 124:
            return "Remote Stream: Supported Codecs";
        case 125:
            return "Remote Stream: Supported Resolutions";
        case 126:
            return "Remote Stream: Supported Framerates";
        case 101:
            return "Audio Input Parameters";
        case 102:
            return "Audio Output Parameters";
        default:
            return nullptr;
    }
}

void PrintQueryResult(const QueryResult& result) {
    std::printf("Device: %s\n", result.name.empty() ? "(no name)" : result.name.c_str());
    std::printf("Properties:\n");
    for (const auto& [id, item] : result.named) {
        std::printf("  %3u  %-36s %s\n", id, item.name.c_str(), item.value.c_str());
    }
    for (const auto& [id, value] : result.items) {
        if (const char* name = StreamItemName(id)) {
            std::printf("  %3u  %-36s %s\n", id, name, value.c_str());
        }
    }
    if (const auto it = result.lists.find(kListResolutions); it != result.lists.end()) {
        std::printf("Resolutions:");
        for (const std::string& size : it->second.items) {
            std::printf(" %s%s", size.c_str(), size == it->second.defaultValue ? " (default)" : "");
        }
        std::printf("\n");
    }
    std::printf("Features:");
    for (const auto& [feature, value] : result.features) {
        std::printf(" %u=%u", feature, value);
    }
    std::printf("\n");
}

// Runs the capability query through the library's flat entry points; with a parameters file
// the device parameters are written there for a later run's --params-file.
int RunQuery(DriverLibrary& library, const Options& options) {
    if (library.initQuery == nullptr || library.startQuery == nullptr ||
        library.terminateQuery == nullptr || library.uninitQuery == nullptr) {
        return Fail("the library has no capability query entry points");
    }
    QueryNotify notify;
    QueryResult result;
    if (library.initQuery(&notify, 0) != 1) {
        return Fail("InitCapabilityQuery failed");
    }
    const DeviceSettings& device = options.device;
    std::printf("Querying %s:%u ...\n", device.address.c_str(), device.port);
    if (library.startQuery(device.address.c_str(), static_cast<uint16_t>(device.port),
                           device.user.c_str(), device.password.c_str(), &result) != 1) {
        library.uninitQuery();
        return Fail("StartCapabilityQuery refused the query");
    }
    if (!notify.Wait(std::chrono::seconds(120))) {
        library.terminateQuery();
        notify.Wait(std::chrono::seconds(30));
    }
    library.uninitQuery();
    if (!notify.success) {
        return Fail("query failed (status " + std::to_string(notify.status) + "): " + notify.text);
    }
    PrintQueryResult(result);
    if (!options.paramsFile.empty()) {
        std::map<uint32_t, std::string> parameters;
        for (const auto& [id, item] : result.named) {
            parameters[id] = item.value;
        }
        for (uint32_t id : {101u, 102u}) {
            if (const auto it = result.items.find(id); it != result.items.end()) {
                parameters[id] = it->second;
            }
        }
        std::string error;
        if (!SaveParametersFile(options.paramsFile, parameters, error)) {
            return Fail(error);
        }
        std::printf("Device parameters written to %s\n", options.paramsFile.c_str());
    }
    return 0;
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
    app.add_flag("--query", options.query,
                 "ask the device what it can do; with --params-file, write its parameters there");
    CLI11_PARSE(app, argc, argv);

    std::string error;
    if (options.query) {
        DriverLibrary queryLibrary;
        if (!queryLibrary.Load(options.library, error)) {
            return Fail(error);
        }
        return RunQuery(queryLibrary, options);
    }
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
