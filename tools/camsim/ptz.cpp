#include "ptz.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "param_db.h"

namespace camsim {

namespace {

// Signed numbers as the driver sends them: "+500", "-50", " 3" (a '+' may have become a blank).
double Number(std::string_view text) {
    const std::string s(Trim(text));
    return std::strtod(s.c_str(), nullptr);
}

std::vector<double> Numbers(std::string_view text) {
    std::vector<double> out;
    for (std::string_view part : Split(text, ','))
        out.push_back(Number(part));
    return out;
}

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.4f", value);
    return text;
}

PtzHead::Answer Error(const std::string& text, const std::string& line_end) {
    return {200, "Error: " + text + line_end};
}

}  // namespace

PtzHead::Answer PtzHead::Handle(const std::string& method, const std::string& target,
                                const std::string& path, const QueryArgs& args,
                                const std::string& body, const ParamDb& params) {
    std::lock_guard lock(mutex_);
    requests_.push_back({method, target, body, std::chrono::steady_clock::now()});
    AdvanceLocked();
    const std::string& le = params.LineEnd();
    const auto camera = ParseUint(FindArg(args, "camera").value_or("1"));
    const auto cameras = ParseUint(params.Get("PTZ.NbrOfCameras").value_or("0"));
    if (!camera || !cameras || *camera < 1 || *camera > *cameras)
        return Error("PTZ is not enabled for this camera", le);
    if (path.ends_with("ptzconfig.cgi")) {
        Answer answer = Configure(args);
        if (answer.status == 200)
            answer.body += le;
        return answer;
    }
    if (auto what = FindArg(args, "query"))
        return Query(*what, le);
    if (FindArg(args, "whoami")) {
        std::string name = ToLower(params.Get("Brand.ProdShortName").value_or("generic"));
        std::replace(name.begin(), name.end(), ' ', '_');
        return {200, name + le};
    }
    return Command(args, le);
}

void PtzHead::AdvanceLocked() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - moved_).count();
    moved_ = now;
    // Full speed (100) turns 90 degrees a second and zooms through the range in 10 s.
    state_.pan = std::clamp(state_.pan + state_.pan_speed * 0.9 * seconds, -180.0, 180.0);
    state_.tilt = std::clamp(state_.tilt + state_.tilt_speed * 0.9 * seconds, -90.0, 0.0);
    state_.zoom = std::clamp(state_.zoom + state_.zoom_speed * 10.0 * seconds, 1.0, 9999.0);
}

PtzHead::Answer PtzHead::Query(const std::string& what, const std::string& le) {
    std::string body;
    if (what == "position") {
        body = "pan=" + Fixed(state_.pan) + le + "tilt=" + Fixed(state_.tilt) + le +
               "zoom=" + std::to_string(static_cast<int>(state_.zoom)) + le +
               "iris=" + std::to_string(state_.iris) + le +
               "focus=" + std::to_string(state_.focus) + le +
               "autofocus=" + (state_.autofocus ? "on" : "off") + le +
               "autoiris=" + (state_.autoiris ? "on" : "off") + le;
    } else if (what == "presetposcam") {
        for (const auto& [number, preset] : state_.presets)
            body += "presetposno" + std::to_string(number) + "=" + preset.name + le;
    } else {
        return Error("query: unknown value '" + what + "'", le);
    }
    return {200, body};
}

PtzHead::Answer PtzHead::Configure(const QueryArgs& args) {
    auto& presets = state_.presets;
    const auto named = [&](const std::string& name) {
        return std::find_if(presets.begin(), presets.end(),
                            [&](const auto& p) { return p.second.name == name; });
    };
    if (auto name = FindArg(args, "setserverpresetname")) {
        if (name->empty())
            return {200, "Error: setserverpresetname: empty name"};
        if (name->size() > max_name_length_)
            return {200, "Error: setserverpresetname: exceeded max length"};
        auto it = named(*name);
        if (it == presets.end()) {
            if (presets.size() >= max_presets_)
                return {200, "Error: setserverpresetname: too many preset positions"};
            int number = 1;
            while (presets.count(number))
                ++number;
            it = presets.emplace(number, PtzPreset{*name}).first;
        }
        it->second.pan = state_.pan;
        it->second.tilt = state_.tilt;
        it->second.zoom = state_.zoom;
        return {204, {}};
    }
    if (auto name = FindArg(args, "removeserverpresetname")) {
        auto it = named(*name);
        if (it == presets.end())
            return {200, "Error: removeserverpresetname: no preset named '" + *name + "'"};
        presets.erase(it);
        return {204, {}};
    }
    return {200, "Error: ptzconfig.cgi: nothing to do"};
}

PtzHead::Answer PtzHead::Command(const QueryArgs& args, const std::string& le) {
    if (auto name = FindArg(args, "gotoserverpresetname")) {
        for (const auto& [number, preset] : state_.presets) {
            if (preset.name == *name) {
                state_.pan = preset.pan;
                state_.tilt = preset.tilt;
                state_.zoom = preset.zoom;
                state_.pan_speed = state_.tilt_speed = state_.zoom_speed = 0;
                return {204, {}};
            }
        }
        return Error("gotoserverpresetname: no preset named '" + *name + "'", le);
    }
    for (const auto& [key, value] : args) {
        const std::vector<double> n = Numbers(value);
        if (key == "continuouspantiltmove" && n.size() == 2) {
            state_.pan_speed = static_cast<int>(n[0]);
            state_.tilt_speed = static_cast<int>(n[1]);
        } else if (key == "continuouszoommove" && n.size() == 1) {
            state_.zoom_speed = static_cast<int>(n[0]);
        } else if (key == "continuousfocusmove" && n.size() == 1) {
            state_.focus_speed = static_cast<int>(n[0]);
        } else if (key == "rfocus" && n.size() == 1) {
            state_.focus = std::clamp(state_.focus + static_cast<int>(n[0]), 1, 9999);
        } else if (key == "riris" && n.size() == 1) {
            state_.iris = std::clamp(state_.iris + static_cast<int>(n[0]), 1, 9999);
        } else if (key == "autofocus" || key == "autoiris") {
            (key == "autofocus" ? state_.autofocus : state_.autoiris) = value == "on";
        } else if (key == "zoom" && n.size() == 1) {
            state_.zoom = std::clamp(n[0], 1.0, 9999.0);
        } else if ((key == "center" && n.size() == 2) || (key == "areazoom" && n.size() == 3)) {
            // Moves by the offset from the picture's middle, a degree per 10 pixels.
            const double width = Number(FindArg(args, "imagewidth").value_or("640"));
            const double height = Number(FindArg(args, "imageheight").value_or("480"));
            state_.pan = std::clamp(state_.pan + (n[0] - width / 2) / 10, -180.0, 180.0);
            state_.tilt = std::clamp(state_.tilt - (n[1] - height / 2) / 10, -90.0, 0.0);
            if (n.size() == 3)
                state_.zoom = std::clamp(state_.zoom * n[2] / 100, 1.0, 9999.0);
        }
    }
    return {204, {}};
}

std::vector<PtzRequest> PtzHead::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void PtzHead::ClearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

PtzState PtzHead::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void PtzHead::SetPresetLimits(size_t max_presets, size_t max_name_length) {
    std::lock_guard lock(mutex_);
    max_presets_ = max_presets;
    max_name_length_ = max_name_length;
}

}  // namespace camsim
