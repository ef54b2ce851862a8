// PTZ replies from the device: the preset list, the first line of an answer, preset error
// texts, and camera preset names decoded for the host.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ptz/preset_names.h"
#include "ptz/ptz_comm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto presets = vornak::ParsePresetList(body);
    for (const auto& [number, name] : presets) {
        // Every value is a non-empty piece of the body that no line end splits.
        if (number >= presets.size() || name.empty() ||
            name.find_first_of("\r\n") != std::string::npos ||
            body.find(name) == std::string_view::npos) {
            __builtin_trap();
        }
        char buffer[16];
        for (const bool unicode : {true, false}) {
            if (vornak::CopyNameToHost(name, unicode, buffer, sizeof(buffer)) != 1 ||
                buffer[sizeof(buffer) - 1] != '\0') {
                __builtin_trap();
            }
        }
    }
    const std::string_view line = vornak::FirstLine(body);
    if (line.size() > body.size() || line.find_first_of("\r\n") != std::string_view::npos) {
        __builtin_trap();
    }
    (void)vornak::PresetReplyResult(body);
    if (const auto units = vornak::HostNameToUnits(body, true)) {
        // A host name survives the camera's spelling and back.
        if (vornak::DecodeCameraName(vornak::EscapeUnits(*units)) != *units &&
            vornak::EscapeUnits(*units).find("%u") == std::string::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
