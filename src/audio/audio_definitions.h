// What the device permits for one audio source (from its parameter definitions), how the
// administrator's settings are matched against that, and the parameter updates that bring the
// device in line before audio flows.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_format.h"
#include "driver/settings_file.h"

namespace vornak {

class CAxisAudioDefinitions {
  public:
    // The listdefinitions reply for the source prefix ("AudioSource.A0"), with or without the
    // schema's default namespace. False when the reply is not an XML document.
    bool Load(std::string_view xml, const std::string& prefix);
    // Nothing permitted was found: the device described no audio parameters.
    bool IsEmpty() const;

    // Lower-cased set entries; empty when the setting is empty or not permitted.
    std::string MatchInputType(const std::string& setting) const;
    // The part before the first "-" of the setting.
    std::string MatchEncoding(const std::string& setting) const;
    std::string MatchInputGain(const std::string& setting) const {
        return MatchGain(inputGains_, setting);
    }
    std::string MatchOutputGain(const std::string& setting) const {
        return MatchGain(outputGains_, setting);
    }
    // The settings file's on/off value; empty for "not set" or when the device names no texts.
    std::string MatchMicrophonePower(uint32_t setting) const;

    // The smallest permitted gain not below the setting, else the largest; empty when the
    // setting is not a number or nothing is permitted.
    static std::string MatchGain(const std::map<int32_t, std::string>& gains,
                                 const std::string& setting);

    std::set<std::string> encodings;
    std::set<std::string> inputTypes;
    std::string microphoneTrue;
    std::string microphoneFalse;

  private:
    std::map<int32_t, std::string> inputGains_;
    std::map<int32_t, std::string> outputGains_;
};

// Everything that decides the input update besides the device's answers.
struct AudioInputPlanRequest {
    uint32_t source = 0;
    bool duplex = false;  // the driver also sends audio to this device
    AudioInputSettings settings;
    std::vector<std::string> supported;  // encodings the driver and the host can carry
};

struct AudioInputPlan {
    std::string update;  // "&Name=value..." or empty
    AudioFormat format;
};

// The list reply holds "Audio.DuplexMode", "Audio.A<n>.Enabled", the source group and, when the
// device names them, "Properties.Audio.DuplexMode" (the modes it offers).
AudioInputPlan BuildAudioUpdate(const AudioInputPlanRequest& request, std::string_view listReply,
                                const CAxisAudioDefinitions& definitions);

// The output side: full duplex (where offered), the channel enabled, the output gain.
std::string BuildAudioOutputUpdate(uint32_t source, const std::string& outputGain,
                                   std::string_view listReply,
                                   const CAxisAudioDefinitions* definitions);

// "Audio.DuplexMode,Audio.A<n>.Enabled,AudioSource.A<n>,Properties.Audio.DuplexMode"
std::string AudioListGroups(uint32_t source);
// Followed by AudioListGroups, and by AudioSourcePrefix for the definitions.
inline constexpr const char* kAudioListPath = "/axis-cgi/admin/param.cgi?action=list&group=";
inline constexpr const char* kAudioDefinitionsPath =
    "/axis-cgi/admin/param.cgi?action=listdefinitions&listformat=xmlschema&group=";
// "AudioSource.A<n>"
std::string AudioSourcePrefix(uint32_t source);

}  // namespace vornak
