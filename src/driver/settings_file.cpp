#include "driver/settings_file.h"

#include <atomic>

#include "base/debug.h"
#include "platform/net.h"
#include "web/field_search.h"
#include "xml/xml_parser.h"

namespace vornak {

namespace {
constexpr const char* kDefaultSection = "Configuration/Default";
constexpr size_t kMaxProfileName = 64;
constexpr std::string_view kProfileCharacters =
    "abcdefghijklmnopqrstuvwxyz-ABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789";

const char* StreamTypeSuffix(uint32_t kind) {
    switch (kind) {
        case 0:
            return "[@streamType=\"recording\"]";
        case 1:
            return "[@streamType=\"live\"]";
        case 2:
            return "[@streamType=\"remote\"]";
        default:
            return nullptr;
    }
}

// The device's own section; empty when the address cannot be written into a path safely.
std::string DeviceSection(const DEVICE_INFO& device, const char* below = "") {
    if (device.address.find_first_of("\"'") != std::string::npos || device.port > 0xFFFF) {
        return {};
    }
    return Format("Configuration/Device[@address=\"%s\"][@port=\"%hu\"]%s", device.address.c_str(),
                  static_cast<unsigned short>(device.port), below);
}

// A key comes from the device's section whenever that section exists, even without the key.
std::string ReadKey(CXMLParser& xml, const std::string& deviceSection,
                    const std::string& defaultSection, const std::string& key) {
    if (key.empty()) {
        return {};
    }
    if (!deviceSection.empty() && xml.NodeExists(deviceSection)) {
        return xml.GetNodeText(deviceSection + "/" + key);
    }
    if (!defaultSection.empty()) {
        return xml.GetNodeText(defaultSection + "/" + key);
    }
    return {};
}

bool OnlyGainCharacters(const std::string& text) {
    return text.find_first_not_of("0123456789-.") == std::string::npos;
}

template <typename Read>
auto WithFile(const std::string& hostFolder, const std::string& driverName, Read read) {
    CXMLParser xml;
    const std::string path = SettingsFilePath(hostFolder, driverName);
    if (!path.empty()) {
        (void)xml.LoadFile(path);  // an unloaded parser reads every key as empty
    }
    return read(xml);
}
}  // namespace

std::string SettingsFilePath(const std::string& hostFolder, const std::string& driverName) {
    if (driverName.empty()) {
        return {};
    }
    std::string path = hostFolder;
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    return path + driverName + ".xml";
}

namespace settings {

uint32_t StreamingModeOf(const std::string& text) {
    const std::string lower = ToLower(text);
    const size_t multicast = lower.find("multicast");
    if (multicast == std::string::npos) {
        return kStreamingUnicast;
    }
    return lower.find("primary", multicast) != std::string::npos ? kStreamingMulticastPrimary
                                                                 : kStreamingMulticast;
}

uint32_t PacketSizeOf(const std::string& text) {
    const uint32_t size = ParseDecimal(Trim(text)).value_or(0);
    return size <= 100 ? 0 : size;
}

std::string ProfileNameOf(const std::string& text) {
    std::string name;
    for (char c : text) {
        if (kProfileCharacters.find(c) != std::string_view::npos) {
            name.push_back(c);
        }
    }
    if (name.size() > kMaxProfileName) {
        name.resize(kMaxProfileName);
    }
    return name;
}

uint32_t RtpModeOf(const std::string& text) {
    const std::string mode = ToLower(Trim(text));
    if (mode == "rtpovertcp") {
        return kRtpOverTcp;
    }
    if (mode == "rtpoverrtsp") {
        return kRtpOverRtsp;
    }
    if (mode == "rtpoverhttp") {
        return kRtpOverHttp;
    }
    return kRtpOverUdp;
}

std::string AudioSourceOf(const std::string& text) {
    const std::string lower = ToLower(text);
    if (lower.find("mic") != std::string::npos) {
        return "mic";
    }
    if (lower.find("line") != std::string::npos) {
        return "line";
    }
    return {};
}

std::string EncodingOf(const std::string& text) {
    return ToLower(Trim(text, " .,"));
}

std::string GainOf(const std::string& text) {
    return OnlyGainCharacters(text) ? text : std::string();
}

uint32_t MicrophonePowerOf(const std::string& text) {
    const std::string value = ToLower(Trim(text));
    if (value == "yes" || value == "true" || value == "on") {
        return kMicrophonePowerOn;
    }
    if (value == "no" || value == "false" || value == "off") {
        return kMicrophonePowerOff;
    }
    return kMicrophonePowerUnset;
}

namespace {
uint32_t ResolveSystem(const std::string& host) {
    return platform::ResolveIPv4(host);
}

std::atomic<NameResolver> g_resolver{&ResolveSystem};
}  // namespace

uint32_t ResolveNumericOnly(const std::string& host) {
    return platform::ResolveIPv4(host, true);
}

void SetNameResolver(NameResolver resolver) {
    g_resolver.store(resolver != nullptr ? resolver : &ResolveSystem);
}

uint32_t NetworkInterfaceOf(const std::string& text) {
    const std::string host(Trim(text));
    if (host.empty()) {
        return 0;
    }
    return g_resolver.load()(host);
}

uint32_t StreamingMode(CXMLParser& xml) {
    return StreamingModeOf(xml.GetNodeText("Configuration/StreamingMode"));
}

StreamSettings Stream(CXMLParser& xml, const DEVICE_INFO& device, uint32_t input,
                      uint32_t streamKind) {
    StreamSettings out;
    const std::string section = DeviceSection(device);
    auto read = [&](const std::string& key) { return ReadKey(xml, section, kDefaultSection, key); };
    out.streamingMode = StreamingMode(xml);
    out.rtpPacketSize = PacketSizeOf(read("RTPPacketSize"));
    if (const char* suffix = StreamTypeSuffix(streamKind)) {
        out.profileName = ProfileNameOf(
            read(Format("MulticastProfiles/Profile[@channel=\"%u\"]", input) + suffix));
    }
    out.networkInterface = NetworkInterfaceOf(read("NetworkInterface"));
    out.rtpMode = RtpModeOf(read("RTPMode"));
    return out;
}

ViewAreaSettings ViewAreas(CXMLParser& xml, const DEVICE_INFO& device) {
    static constexpr const char* kTypes[] = {"recording", "live", "remote"};
    const std::string section = DeviceSection(device);
    ViewAreaSettings out;
    for (const char* element : {"ViewAreaConfiguration", "AreaViewConfiguration"}) {
        for (uint32_t kind = 0; kind < 3; ++kind) {
            const std::string value =
                ReadKey(xml, section, kDefaultSection,
                        Format("%s/Stream[@type=\"%s\"]", element, kTypes[kind]));
            if (!value.empty()) {
                out[kind] = ToLower(value);
            }
        }
        if (!out.empty()) {
            break;  // the second element name only counts when the first gave nothing
        }
    }
    return out;
}

AudioInputSettings AudioInput(CXMLParser& xml, const DEVICE_INFO& device, uint32_t input) {
    AudioInputSettings out;
    const std::string section = DeviceSection(device, "/Audio/Input");
    const std::string fallback = std::string(kDefaultSection) + "/Audio/Input";
    auto read = [&](const std::string& key) { return ReadKey(xml, section, fallback, key); };
    out.streamingMode = StreamingMode(xml);
    out.rtpPacketSize = PacketSizeOf(read("RTPPacketSize"));
    out.profileName = ProfileNameOf(read(
        Format("MulticastProfiles/Profile[@channel=\"%u\"][@streamType=\"recording\"]", input)));
    out.networkInterface = NetworkInterfaceOf(read("NetworkInterface"));
    out.source = AudioSourceOf(read("Source"));
    out.encoding = EncodingOf(read("Encoding"));
    out.inputGain = GainOf(read("InputGain"));
    out.microphonePower = MicrophonePowerOf(read("MicrophonePower"));
    return out;
}

AudioOutputSettings AudioOutput(CXMLParser& xml, const DEVICE_INFO& device) {
    AudioOutputSettings out;
    const std::string section = DeviceSection(device, "/Audio/Output");
    const std::string fallback = std::string(kDefaultSection) + "/Audio/Output";
    out.encoding = EncodingOf(ReadKey(xml, section, fallback, "Encoding"));
    out.outputGain = GainOf(ReadKey(xml, section, fallback, "OutputGain"));
    return out;
}

}  // namespace settings

uint32_t ReadStreamingMode(const std::string& hostFolder, const std::string& driverName) {
    return WithFile(hostFolder, driverName,
                    [](CXMLParser& xml) { return settings::StreamingMode(xml); });
}

StreamSettings ReadStreamSettings(const std::string& hostFolder, const DEVICE_INFO& device,
                                  uint32_t input, uint32_t streamKind,
                                  const std::string& driverName) {
    return WithFile(hostFolder, driverName, [&](CXMLParser& xml) {
        return settings::Stream(xml, device, input, streamKind);
    });
}

ViewAreaSettings ReadViewAreaSettings(const std::string& hostFolder, const DEVICE_INFO& device,
                                      const std::string& driverName) {
    return WithFile(hostFolder, driverName,
                    [&](CXMLParser& xml) { return settings::ViewAreas(xml, device); });
}

AudioInputSettings ReadAudioInputSettings(const std::string& hostFolder, const DEVICE_INFO& device,
                                          uint32_t input, const std::string& driverName) {
    return WithFile(hostFolder, driverName,
                    [&](CXMLParser& xml) { return settings::AudioInput(xml, device, input); });
}

AudioOutputSettings ReadAudioOutputSettings(const std::string& hostFolder,
                                            const DEVICE_INFO& device,
                                            const std::string& driverName) {
    return WithFile(hostFolder, driverName,
                    [&](CXMLParser& xml) { return settings::AudioOutput(xml, device); });
}

}  // namespace vornak
