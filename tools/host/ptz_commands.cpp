#include "ptz_commands.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <thread>

namespace quillon::host {

namespace {

const char* ResultText(int32_t result) {
    switch (result) {
        case 1:
            return "ok";
        case 0:
            return "none";
        case -1:
            return "no command channel";
        case -3:
            return "invalid argument";
        case -4:
            return "device communication failure";
        case -18:
            return "nothing queued or sent";
        case -19:
            return "capability missing";
        case -23:
            return "the device answered with an error";
        case -26:
            return "no free preset slot";
        case -28:
            return "name too long";
        default:
            return "?";
    }
}

// "a:b:c" into at most `parts` fields; the last one keeps any further ':' (preset names).
std::vector<std::string> Fields(const std::string& text, size_t parts) {
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < parts) {
        const size_t colon = text.find(':', start);
        if (colon == std::string::npos) {
            break;
        }
        out.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    out.push_back(text.substr(start));
    return out;
}

std::optional<int32_t> Number(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0') {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

std::optional<uint32_t> Direction(const std::string& text) {
    static const std::map<std::string, uint32_t> kNames = {
        {"left", 0},    {"right", 1},    {"up", 2},        {"down", 3}, {"upleft", 4},
        {"upright", 5}, {"downleft", 6}, {"downright", 7}, {"in", 8},   {"out", 9}};
    if (const auto it = kNames.find(text); it != kNames.end()) {
        return it->second;
    }
    const auto n = Number(text);
    return n && *n >= 0 ? std::optional<uint32_t>(static_cast<uint32_t>(*n)) : std::nullopt;
}

void PrintPresets(vornak::IIPPTZApiEx* ptz) {
    const int32_t count = ptz->LoadPresets();
    std::printf("ptz presets -> %d%s\n", count, count < 0 ? " (failed)" : "");
    char name[256];
    for (int32_t i = 0; i < count; ++i) {
        if (ptz->GetPresetName(static_cast<uint32_t>(i), name, sizeof(name)) == 1) {
            std::printf("  %d: %s\n", i, name);
        }
    }
}

void PrintCapabilities(vornak::IIPPTZApiEx* ptz) {
    uint32_t record[14] = {};
    const int32_t result = ptz->GetCapabilities(record);
    std::printf(
        "ptz caps -> %s: pan %u tilt %u zoom %u focus %u iris %u areazoom %u center %u "
        "unzoom %u presets %u of %u\n",
        ResultText(result), record[1], record[2], record[3], record[4], record[5], record[11],
        record[12], record[13], record[8], record[7]);
}

// One command; false when it is not understood.
bool Run(vornak::IIPPTZApiEx* ptz, const std::string& command) {
    const size_t parts = command.starts_with("preset-goto:") ? 3
                         : command.starts_with("preset-")    ? 2
                                                             : 5;
    const std::vector<std::string> f = Fields(command, parts);
    const std::string& verb = f[0];
    std::vector<int32_t> n;
    for (size_t i = 1; i < f.size(); ++i) {
        n.push_back(Number(f[i]).value_or(-1));
    }
    const auto arg = [&](size_t i) { return static_cast<uint32_t>(n[i]); };
    std::optional<int32_t> result;
    if (verb == "move" && f.size() == 3 && Direction(f[1])) {
        result = ptz->Move(*Direction(f[1]), arg(1));
    } else if (verb == "stop" && f.size() == 1) {
        result = ptz->StopAll();
    } else if (verb == "zoom" && f.size() == 3 && (f[1] == "in" || f[1] == "out")) {
        result = f[1] == "in" ? ptz->ZoomIn(arg(1)) : ptz->ZoomOut(arg(1));
    } else if (verb == "focus" && f.size() == 3 && (f[1] == "near" || f[1] == "far")) {
        result = f[1] == "near" ? ptz->FocusNear(arg(1)) : ptz->FocusFar(arg(1));
    } else if (verb == "iris" && f.size() == 3 && (f[1] == "open" || f[1] == "close")) {
        result = f[1] == "open" ? ptz->IrisOpen(arg(1)) : ptz->IrisClose(arg(1));
    } else if (verb == "areazoom" && f.size() == 5) {
        result = ptz->AreaZoom(n[0], n[1], n[2], arg(3));
    } else if (verb == "center" && f.size() == 4) {
        result = ptz->Center(n[0], n[1], arg(2));
    } else if (verb == "unzoom" && f.size() == 2) {
        result = ptz->Unzoom(arg(0));
    } else if (verb == "preset-set" && f.size() == 2) {
        result = ptz->SetPreset(f[1].c_str());
    } else if (verb == "preset-goto" && f.size() == 3) {
        result = ptz->GotoPreset(arg(0), f[2].c_str());
    } else if (verb == "preset-remove" && f.size() == 2) {
        result = ptz->RemovePreset(f[1].c_str());
    } else if (verb == "preset-current" && f.size() == 1) {
        char name[256];
        result = ptz->GetCurrentPreset(name, sizeof(name));
        std::printf("ptz %s -> %s%s\n", command.c_str(), ResultText(*result),
                    *result == 1 ? (std::string(": ") + name).c_str() : "");
        return true;
    } else if (verb == "presets" && f.size() == 1) {
        PrintPresets(ptz);
        return true;
    } else if (verb == "caps" && f.size() == 1) {
        PrintCapabilities(ptz);
        return true;
    } else if (verb == "dome" && f.size() == 1) {
        std::printf("ptz dome -> %s\n", ptz->IsDome() ? "yes" : "no");
        return true;
    } else if (verb == "wait" && f.size() == 2 && n[0] >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(n[0]));
        return true;
    }
    if (!result) {
        return false;
    }
    std::printf("ptz %s -> %d (%s)\n", command.c_str(), *result, ResultText(*result));
    return true;
}

}  // namespace

void AddPtzOptions(CLI::App& app, PtzOptions& options) {
    app.add_option("--ptz", options.commands,
                   "PTZ command, run in order before any stream (repeatable): move:DIR:SPEED "
                   "(DIR 0-9 or left/right/up/down/upleft/upright/downleft/downright/in/out), "
                   "stop, zoom:in|out:SPEED, focus:near|far:SPEED, iris:open|close:SPEED (speed "
                   "1-16; 0 stops), areazoom:X:Y:ZOOM:SPEED, center:X:Y:SPEED, unzoom:SPEED, "
                   "presets, preset-set:NAME, preset-goto:SPEED:NAME, preset-remove:NAME, "
                   "preset-current, caps, dome, wait:MS. Needs --param 4=<PTZ capabilities>");
    app.add_option("--ptz-channel", options.channel, "video input the PTZ commands steer")
        ->capture_default_str();
    app.add_flag("--ptz-unicode", options.unicode, "preset names are UTF-8 (else Latin-1)");
}

int RunPtzCommands(IIPCaptureDriverEx5* driver, const PtzOptions& options) {
    vornak::IIPPTZDriverEx* handler = driver->GetPTZDriverEx();
    vornak::IIPPTZApiEx* ptz = handler != nullptr ? handler->GetPTZApi(options.channel) : nullptr;
    if (ptz == nullptr) {
        std::fprintf(stderr, "quillon-host: no PTZ control for video input %u\n", options.channel);
        return 1;
    }
    ptz->SetUnicodeNames(options.unicode);
    for (const std::string& command : options.commands) {
        if (!Run(ptz, command)) {
            std::fprintf(stderr, "quillon-host: PTZ command \"%s\" not understood\n",
                         command.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace quillon::host
