#include "settings_check.h"

#include <arpa/inet.h>

#include "driver/settings_file.h"
#include "platform/host_info.h"
#include "xml/xml_parser.h"

namespace quillon::host {

namespace {

namespace s = vornak::settings;

std::string Interface(uint32_t address) {
    if (address == 0) {
        return "none";
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

const char* const kStreamKinds[] = {"recording", "live", "remote"};

void PrintSection(vornak::CXMLParser& xml, const vornak::DEVICE_INFO& device,
                  const std::vector<uint32_t>& inputs, FILE* out) {
    for (uint32_t input : inputs) {
        for (uint32_t kind = 0; kind < 3; ++kind) {
            const vornak::StreamSettings stream = s::Stream(xml, device, input, kind);
            std::fprintf(out,
                         "  input %u %s: RTPMode %s, RTPPacketSize %u, NetworkInterface %s, "
                         "profile \"%s\"\n",
                         input, kStreamKinds[kind], s::RtpModeName(stream.rtpMode),
                         stream.rtpPacketSize, Interface(stream.networkInterface).c_str(),
                         stream.profileName.c_str());
        }
    }
    std::fprintf(out, "  view areas:");
    const vornak::ViewAreaSettings areas = s::ViewAreas(xml, device);
    for (uint32_t kind = 0; kind < 3; ++kind) {
        const auto area = areas.find(kind);
        std::fprintf(out, " %s \"%s\"", kStreamKinds[kind],
                     area == areas.end() ? "" : area->second.c_str());
    }
    std::fprintf(out, "\n");
    for (uint32_t input : inputs) {
        const vornak::AudioInputSettings audio = s::AudioInput(xml, device, input);
        std::fprintf(out,
                     "  audio input %u: Source \"%s\", Encoding \"%s\", InputGain \"%s\", "
                     "MicrophonePower %s, RTPPacketSize %u, NetworkInterface %s, profile \"%s\"\n",
                     input, audio.source.c_str(), audio.encoding.c_str(), audio.inputGain.c_str(),
                     s::MicrophonePowerName(audio.microphonePower), audio.rtpPacketSize,
                     Interface(audio.networkInterface).c_str(), audio.profileName.c_str());
    }
    const vornak::AudioOutputSettings output = s::AudioOutput(xml, device);
    std::fprintf(out, "  audio output: Encoding \"%s\", OutputGain \"%s\"\n",
                 output.encoding.c_str(), output.outputGain.c_str());
}

}  // namespace

std::string DriverSettingsPath() {
    return vornak::SettingsFilePath(vornak::platform::GetModuleFolder(),
                                    vornak::kSettingsDriverName);
}

int CheckSettingsFile(const std::string& path, FILE* out) {
    vornak::CXMLParser xml;
    const std::vector<std::string> warnings = vornak::SettingsWarnings(path);
    if (!xml.LoadFile(path)) {
        std::fprintf(out, "%s\n",
                     warnings.empty()
                         ? (path + ": no such file: every setting at its default").c_str()
                         : warnings[0].c_str());
        return 1;
    }
    std::fprintf(out, "%s\nStreamingMode %s\n", path.c_str(),
                 s::StreamingModeName(s::StreamingMode(xml)));
    const std::vector<uint32_t> inputs = s::InputsNamed(xml);
    std::fprintf(out, "default (every device without a section of its own):\n");
    PrintSection(xml, s::DefaultSectionDevice(), inputs, out);
    for (const vornak::DEVICE_INFO& device : s::DeviceSections(xml)) {
        std::fprintf(out, "device %s port %u:\n", device.address.c_str(), device.port);
        PrintSection(xml, device, inputs, out);
    }
    for (const std::string& warning : warnings) {
        std::fprintf(out, "%s\n", warning.c_str());
    }
    std::fprintf(out, "%zu finding(s)\n", warnings.size());
    return warnings.empty() ? 0 : 1;
}

}  // namespace quillon::host
