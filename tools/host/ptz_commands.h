// quillon-host's --ptz commands: steer the device's PTZ head through the driver's PTZ control
// object and print what each call returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_objects.h"

namespace CLI {
class App;
}

namespace quillon::host {

struct PtzOptions {
    std::vector<std::string> commands;
    uint32_t channel = 0;
    bool unicode = false;
};

void AddPtzOptions(CLI::App& app, PtzOptions& options);
// Runs the commands in order; 1 when one of them is malformed or there is no PTZ control.
int RunPtzCommands(IIPCaptureDriverEx5* driver, const PtzOptions& options);

}  // namespace quillon::host
