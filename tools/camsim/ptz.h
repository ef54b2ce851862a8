// The camera's pan-tilt-zoom head behind ptz.cgi and ptzconfig.cgi: position, continuous moves,
// focus and iris with their automatic modes, and server presets stored under the names as they
// arrived. Tests read every request it got and its state.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "text_util.h"

namespace camsim {

class ParamDb;

struct PtzRequest {
    std::string method;
    std::string target;  // path and query as sent
    std::string body;    // the POST body as sent
    std::chrono::steady_clock::time_point at;
};

struct PtzPreset {
    std::string name;  // as sent, after form decoding ("%uXXXX" stays literal)
    double pan = 0, tilt = 0, zoom = 1;
};

struct PtzState {
    double pan = 0, tilt = 0, zoom = 1;  // degrees, degrees, 1..9999
    int pan_speed = 0, tilt_speed = 0, zoom_speed = 0, focus_speed = 0;
    int focus = 5000, iris = 5000;
    bool autofocus = true, autoiris = true;
    std::map<int, PtzPreset> presets;  // by preset number, from 1
};

class PtzHead {
  public:
    struct Answer {
        int status = 204;
        std::string body;
    };

    // One request to either script; the camera number must be one that PTZ.NbrOfCameras covers.
    Answer Handle(const std::string& method, const std::string& target, const std::string& path,
                  const QueryArgs& args, const std::string& body, const ParamDb& params);

    std::vector<PtzRequest> Requests() const;
    void ClearRequests();
    PtzState State() const;
    // A full table or a long name gets the camera's error texts.
    void SetPresetLimits(size_t max_presets, size_t max_name_length);

  private:
    void AdvanceLocked();
    Answer Query(const std::string& what, const std::string& line_end);
    Answer Configure(const QueryArgs& args);
    Answer Command(const QueryArgs& args, const std::string& line_end);

    mutable std::mutex mutex_;
    std::vector<PtzRequest> requests_;
    PtzState state_;
    std::chrono::steady_clock::time_point moved_ = std::chrono::steady_clock::now();
    size_t max_presets_ = 20;
    size_t max_name_length_ = 64;
};

}  // namespace camsim
