#include "audio/audio_definitions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>

#include "base/debug.h"
#include "base/text.h"
#include "properties/capabilities.h"
#include "web/field_search.h"
#include "xml/xml_parser.h"

namespace vornak {

namespace {

constexpr const char* kNamespace = "xmlns:p='http://www.axis.com/ParameterDefinitionsSchema'";

// A decimal number, possibly with a fraction ("-4.5"); nullopt for anything else.
std::optional<double> ParseNumber(std::string_view text) {
    text = Trim(text);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

void ReadGains(CXMLParser& xml, const std::string& path, std::map<int32_t, std::string>& gains) {
    for (const std::string& entry : xml.GetAttributes(path, "value")) {
        if (EqualsNoCase(entry, "mute")) {
            continue;
        }
        if (const auto value = ParseSignedDecimal(entry)) {
            gains[*value] = entry;
        }
    }
}

bool Listed(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The mode to ask for: none while the current one is acceptable, else the first preference the
// device offers (an unknown offer counts as offering every mode).
std::string DuplexChange(std::string_view listReply, std::initializer_list<std::string_view> keep,
                         std::initializer_list<std::string_view> preferences) {
    const std::string current = ToLower(GetParameterValue(listReply, "Audio.DuplexMode"));
    if (std::find(keep.begin(), keep.end(), current) != keep.end()) {
        return {};
    }
    const std::vector<std::string> offered =
        SplitList(ToLower(GetParameterValue(listReply, "Properties.Audio.DuplexMode")), ',');
    for (const std::string_view mode : preferences) {
        if (offered.empty() || Listed(offered, mode)) {
            return mode == current ? std::string() : "&Audio.DuplexMode=" + std::string(mode);
        }
    }
    return {};
}

std::string EnableChange(std::string_view listReply, uint32_t source) {
    const std::string name = Format("Audio.A%u.Enabled", source);
    const std::string value = GetParameterValue(listReply, name);
    return !value.empty() && !EqualsNoCase(value, "yes") ? "&" + name + "=yes" : std::string();
}

}  // namespace

std::string AudioSourcePrefix(uint32_t source) {
    return Format("AudioSource.A%u", source);
}

std::string AudioListGroups(uint32_t source) {
    return Format("Audio.DuplexMode,Audio.A%u.Enabled,AudioSource.A%u,Properties.Audio.DuplexMode",
                  source, source);
}

bool CAxisAudioDefinitions::Load(std::string_view text, const std::string& prefix) {
    CXMLParser xml;
    if (!xml.LoadXml(text, kNamespace)) {
        return false;
    }
    // A document in the schema's namespace is read through the prefix, one without it plainly.
    const std::string p = xml.NodeExists("/p:parameterDefinitions") ? "p:" : "";
    std::string group = "/" + p + "parameterDefinitions/" + p + "group[@name=\"root\"]";
    for (const std::string& part : SplitList(prefix, '.')) {
        group += "/" + p + "group[@name=\"" + part + "\"]";
    }
    auto parameter = [&](const char* name, const char* tail) {
        return group + "/" + p + "parameter[@name=\"" + name + "\"]/" + p + "type/" + p + tail;
    };
    const std::string enumEntry = std::string("enum/") + p + "entry";
    encodings.clear();
    for (const std::string& value :
         xml.GetAttributes(parameter("AudioEncoding", enumEntry.c_str()), "value")) {
        if (!EqualsNoCase(value, "aac")) {
            encodings.insert(ToLower(value));
        }
    }
    inputTypes.clear();
    for (const std::string& value :
         xml.GetAttributes(parameter("InputType", enumEntry.c_str()), "value")) {
        inputTypes.insert(ToLower(value));
    }
    inputGains_.clear();
    outputGains_.clear();
    ReadGains(xml, parameter("InputGain", enumEntry.c_str()), inputGains_);
    ReadGains(xml, parameter("OutputGain", enumEntry.c_str()), outputGains_);
    microphoneTrue = xml.GetAttribute(parameter("MicrophonePower", "bool"), "true");
    microphoneFalse = xml.GetAttribute(parameter("MicrophonePower", "bool"), "false");
    return true;
}

bool CAxisAudioDefinitions::IsEmpty() const {
    return encodings.empty() && inputTypes.empty() && inputGains_.empty() && outputGains_.empty() &&
           microphoneTrue.empty() && microphoneFalse.empty();
}

std::string CAxisAudioDefinitions::MatchInputType(const std::string& setting) const {
    const std::string wanted = ToLower(setting);
    return inputTypes.count(wanted) != 0 ? wanted : std::string();
}

std::string CAxisAudioDefinitions::MatchEncoding(const std::string& setting) const {
    const std::string wanted = ToLower(setting.substr(0, setting.find('-')));
    return encodings.count(wanted) != 0 ? wanted : std::string();
}

std::string CAxisAudioDefinitions::MatchMicrophonePower(uint32_t setting) const {
    if (setting == kMicrophonePowerOn) {
        return microphoneTrue;
    }
    if (setting == kMicrophonePowerOff) {
        return microphoneFalse;
    }
    return {};
}

std::string CAxisAudioDefinitions::MatchGain(const std::map<int32_t, std::string>& gains,
                                             const std::string& setting) {
    const auto wanted = ParseNumber(setting);
    if (!wanted || gains.empty()) {
        return {};
    }
    for (const auto& [value, text] : gains) {
        if (value >= *wanted) {
            return text;
        }
    }
    return gains.rbegin()->second;
}

AudioInputPlan BuildAudioUpdate(const AudioInputPlanRequest& request, std::string_view listReply,
                                const CAxisAudioDefinitions& definitions) {
    AudioInputPlan plan;
    std::string& update = plan.update;
    const std::string prefix = AudioSourcePrefix(request.source);
    auto current = [&](const char* name) { return GetParameterValue(listReply, prefix + name); };
    auto change = [&](const char* name, const std::string& wanted) {
        if (!wanted.empty() && wanted != current(name)) {
            update += "&" + prefix + name + "=" + wanted;
        }
    };

    update += request.duplex
                  ? DuplexChange(listReply, {}, {"full", "half"})
                  : DuplexChange(listReply, {"full", "half", "get"}, {"get", "half", "full"});
    update += EnableChange(listReply, request.source);

    if (!current(".InputType").empty()) {
        const std::string type = definitions.MatchInputType(request.settings.source);
        change(".InputType", type);
        if (type == "mic" && !current(".MicrophonePower").empty()) {
            change(".MicrophonePower",
                   definitions.MatchMicrophonePower(request.settings.microphonePower));
        }
    }
    if (!current(".InputGain").empty()) {
        change(".InputGain", definitions.MatchInputGain(request.settings.inputGain));
    }

    uint32_t wantedBitRate = 0;
    const std::string deviceEncoding = ToLower(current(".AudioEncoding"));
    if (!deviceEncoding.empty()) {
        const std::vector<std::string> parts = SplitList(request.settings.encoding, '-');
        std::string encoding = definitions.MatchEncoding(request.settings.encoding);
        // The host must take what the device sends; a setting it cannot carry counts as none.
        if (!Listed(request.supported, encoding)) {
            encoding.clear();
        }
        if (encoding == "g726" && parts.size() > 1) {
            const uint32_t kbits = ParseDecimal(parts[1]).value_or(0);
            if (kbits == 16 || kbits == 24 || kbits == 32 || kbits == 40) {
                wantedBitRate = kbits * 1000;
            }
        }
        if (encoding.empty() && Listed(request.supported, deviceEncoding)) {
            encoding = deviceEncoding;
        }
        plan.format.codec = CodecOfEncoding(encoding);
        if (encoding != deviceEncoding) {
            change(".AudioEncoding", encoding);
        }
    }
    // Without an encoding to stream nothing else is worth changing.
    const bool streamable = deviceEncoding.empty() || plan.format.codec != 0;
    if (const std::string rate = current(".SampleRate");
        streamable && !rate.empty() && rate != "8000") {
        update += "&" + prefix + ".SampleRate=8000";
    }
    plan.format.sampleRate = kAudioSampleRate;

    const std::string bitRateText = current(".BitRate");
    if (!bitRateText.empty()) {
        const uint32_t deviceBitRate = ParseDecimal(bitRateText).value_or(0);
        if (wantedBitRate != 0) {
            update += Format("&%s.BitRate=%u", prefix.c_str(), wantedBitRate);
            plan.format.bitRate = wantedBitRate;
        } else if (deviceBitRate != 0 && plan.format.codec == kCodecG726) {
            plan.format.bitRate = deviceBitRate;
            if (deviceBitRate != 24000 && deviceBitRate != 32000 && deviceBitRate != 40000) {
                update += "&" + prefix + ".BitRate=32000";
                plan.format.bitRate = 32000;
            }
        } else if (deviceBitRate != 0 && plan.format.codec == kCodecG711Mu) {
            if (deviceBitRate != 64000) {
                update += "&" + prefix + ".BitRate=64000";
            }
            plan.format.bitRate = 64000;
        }
    }
    return plan;
}

std::string BuildAudioOutputUpdate(uint32_t source, const std::string& outputGain,
                                   std::string_view listReply,
                                   const CAxisAudioDefinitions* definitions) {
    std::string update = DuplexChange(listReply, {}, {"full", "half", "post"});
    update += EnableChange(listReply, source);
    const std::string name = AudioSourcePrefix(source) + ".OutputGain";
    const std::string currentGain = GetParameterValue(listReply, name);
    if (!currentGain.empty() && definitions != nullptr) {
        const std::string gain = definitions->MatchOutputGain(outputGain);
        if (!gain.empty() && gain != currentGain) {
            update += "&" + name + "=" + gain;
        }
    }
    return update;
}

}  // namespace vornak
