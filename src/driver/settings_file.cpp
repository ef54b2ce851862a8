#include "driver/settings_file.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>

#include "base/debug.h"
#include "base/text.h"
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

// The texts a key knows, as the administrator writes them; compared trimmed, in any case.
struct NamedValue {
    std::string_view name;
    uint32_t value;
};
constexpr NamedValue kStreamingModes[] = {{"Unicast", kStreamingUnicast},
                                          {"Multicast", kStreamingMulticast},
                                          {"Multicast Primary", kStreamingMulticastPrimary}};
constexpr NamedValue kRtpModes[] = {{"RTPoverUDP", kRtpOverUdp},
                                    {"RTPoverTCP", kRtpOverTcp},
                                    {"RTPoverRTSP", kRtpOverRtsp},
                                    {"RTPoverHTTP", kRtpOverHttp}};
constexpr NamedValue kMicrophonePowers[] = {
    {"yes", kMicrophonePowerOn}, {"true", kMicrophonePowerOn},   {"on", kMicrophonePowerOn},
    {"no", kMicrophonePowerOff}, {"false", kMicrophonePowerOff}, {"off", kMicrophonePowerOff}};

template <size_t N>
const NamedValue* Find(const NamedValue (&values)[N], std::string_view text) {
    text = Trim(text);
    for (const NamedValue& value : values) {
        if (EqualsNoCase(text, value.name)) {
            return &value;
        }
    }
    return nullptr;
}

template <size_t N>
const char* NameOf(const NamedValue (&values)[N], uint32_t value) {
    for (const NamedValue& named : values) {
        if (named.value == value) {
            return named.name.data();
        }
    }
    return "?";
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
    const NamedValue* mode = Find(kRtpModes, text);
    return mode != nullptr ? mode->value : kRtpOverUdp;
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
    const NamedValue* power = Find(kMicrophonePowers, text);
    return power != nullptr ? power->value : kMicrophonePowerUnset;
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

namespace {
// One rule for a value: whether the readers take the text as written, and what they do take.
struct ValueRule {
    bool (*known)(const std::string& text);
    std::string expected;
};

template <size_t N>
std::string Names(const NamedValue (&values)[N]) {
    std::string names;
    for (const NamedValue& value : values) {
        names += names.empty() ? "" : ", ";
        names += value.name;
    }
    return names;
}

bool KnownStreamingMode(const std::string& text) {
    // Blanks between the words are the administrator's; "multicast primray" is not.
    auto squeeze = [](std::string_view in) {
        std::string out;
        for (char c : ToLower(in)) {
            if (c != ' ' && c != '\t' && c != '_' && c != '-') {
                out.push_back(c);
            }
        }
        return out;
    };
    for (const NamedValue& mode : kStreamingModes) {
        if (squeeze(text) == squeeze(mode.name)) {
            return StreamingModeOf(text) == mode.value;
        }
    }
    return false;
}

constexpr std::string_view kAudioEncodings[] = {"g711", "g726", "aac"};

bool KnownEncoding(const std::string& text) {
    const std::string encoding = EncodingOf(text);
    const std::string_view name = std::string_view(encoding).substr(0, encoding.find('-'));
    for (std::string_view known : kAudioEncodings) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

// Selected by string comparison, so only the form the readers print can ever match.
bool KnownNumber(const std::string& text, uint32_t low, uint32_t high) {
    const auto number = ParseDecimal(text);
    return number && *number >= low && *number <= high && Format("%u", *number) == text;
}

const ValueRule kStreamingModeRule{&KnownStreamingMode, Names(kStreamingModes)};
const ValueRule kRtpModeRule{[](const std::string& t) { return Find(kRtpModes, t) != nullptr; },
                             Names(kRtpModes)};
const ValueRule kPacketSizeRule{[](const std::string& t) { return PacketSizeOf(t) != 0; },
                                "a decimal number above 100"};
const ValueRule kInterfaceRule{[](const std::string& t) { return NetworkInterfaceOf(t) != 0; },
                               "a local IPv4 address or a name that resolves to one"};
const ValueRule kProfileRule{[](const std::string& t) { return ProfileNameOf(t) == t; },
                             "up to 64 of a-z A-Z 0-9 - _"};
const ValueRule kAnyText{[](const std::string&) { return true; }, ""};
const ValueRule kSourceRule{[](const std::string& t) { return !AudioSourceOf(t).empty(); },
                            "mic, line"};
const ValueRule kEncodingRule{&KnownEncoding, "g711, g726, g726-BITRATE, aac"};
const ValueRule kGainRule{[](const std::string& t) { return GainOf(t) == t; },
                          "a number of digits, '-' and '.' (no '+', no unit)"};
const ValueRule kMicrophonePowerRule{
    [](const std::string& t) { return Find(kMicrophonePowers, t) != nullptr; },
    Names(kMicrophonePowers)};
const ValueRule kAddressRule{
    [](const std::string& t) { return !t.empty() && t.find_first_of("\"'") == std::string::npos; },
    "the device address as the host gives it, without quotes"};
const ValueRule kPortRule{[](const std::string& t) { return KnownNumber(t, 0, 0xFFFF); },
                          "a port number without leading zeros"};
const ValueRule kChannelRule{[](const std::string& t) { return KnownNumber(t, 1, 0xFFFFFFFF); },
                             "an input number from 1, without leading zeros"};
const ValueRule kStreamTypeRule{
    [](const std::string& t) { return t == "recording" || t == "live" || t == "remote"; },
    "recording, live, remote"};
const ValueRule kRecordingOnlyRule{[](const std::string& t) { return t == "recording"; },
                                   "recording"};

struct AttributeRule {
    const char* name;
    const ValueRule* value;
};

struct ElementRule {
    const char* name;
    const ValueRule* value;  // null for a section of further elements
    std::vector<ElementRule> children;
    std::vector<AttributeRule> attributes;  // all of them needed to select the element
    const char* readOnlyWithout = nullptr;  // a sibling that takes precedence when present
};

const ElementRule& Schema() {
    static const ElementRule schema = [] {
        auto profiles = [](const ValueRule* streamType) {
            return ElementRule{"MulticastProfiles",
                               nullptr,
                               {{"Profile",
                                 &kProfileRule,
                                 {},
                                 {{"channel", &kChannelRule}, {"streamType", streamType}}}},
                               {}};
        };
        auto views = [](const char* name, const char* first) {
            return ElementRule{name,
                               nullptr,
                               {{"Stream", &kAnyText, {}, {{"type", &kStreamTypeRule}}}},
                               {},
                               first};
        };
        std::vector<ElementRule> section = {
            {"RTPMode", &kRtpModeRule, {}, {}},
            {"RTPPacketSize", &kPacketSizeRule, {}, {}},
            {"NetworkInterface", &kInterfaceRule, {}, {}},
            profiles(&kStreamTypeRule),
            views("ViewAreaConfiguration", nullptr),
            views("AreaViewConfiguration", "ViewAreaConfiguration"),
        };
        ElementRule input{"Input",
                          nullptr,
                          {{"RTPPacketSize", &kPacketSizeRule, {}, {}},
                           {"NetworkInterface", &kInterfaceRule, {}, {}},
                           profiles(&kRecordingOnlyRule),
                           {"Source", &kSourceRule, {}, {}},
                           {"Encoding", &kEncodingRule, {}, {}},
                           {"InputGain", &kGainRule, {}, {}},
                           {"MicrophonePower", &kMicrophonePowerRule, {}, {}}},
                          {}};
        ElementRule output{
            "Output",
            nullptr,
            {{"Encoding", &kEncodingRule, {}, {}}, {"OutputGain", &kGainRule, {}, {}}},
            {}};
        section.push_back({"Audio", nullptr, {input, output}, {}});
        ElementRule root{
            "Configuration",
            nullptr,
            {{"StreamingMode", &kStreamingModeRule, {}, {}},
             {"Default", nullptr, section, {}},
             {"Device", nullptr, section, {{"address", &kAddressRule}, {"port", &kPortRule}}}},
            {}};
        return ElementRule{"", nullptr, {root}, {}};
    }();
    return schema;
}

// A value as it reads in one line of a report: control characters written as escapes.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += Format("\\x%02X", c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

class Checker {
  public:
    explicit Checker(CXMLParser& xml) : xml_(xml) {}

    // Checks the children of the element at `xpath` (positional, so that every element is
    // reached) against `rule`; `shown` is the same element as the readers select it.
    void Walk(const ElementRule& rule, const std::string& xpath, const std::string& shown) {
        const std::vector<CXMLParser::NodeName> children = xml_.GetNodeNames(xpath + "/*");
        std::set<std::string> present;
        for (const auto& child : children) {
            present.insert(child.name);
        }
        for (size_t i = 0; i < children.size(); ++i) {
            const auto& [name, line] = children[i];
            const std::string childPath = xpath + Format("/*[%zu]", i + 1);
            std::string selected = shown.empty() ? name : shown + "/" + name;
            // Each element costs a few path searches over its siblings; a real file has a few
            // dozen, and the driver checks at open.
            if (++elements_ > kMaxElements) {
                if (elements_ == kMaxElements + 1) {
                    Add(line, selected,
                        Format("not checked from here on: over %zu elements", kMaxElements));
                }
                return;
            }
            const ElementRule* known = nullptr;
            for (const ElementRule& candidate : rule.children) {
                known = candidate.name == name ? &candidate : known;
            }
            if (known == nullptr) {
                Add(line, selected, "unknown element" + Known(rule, name));
                continue;
            }
            if (!Select(*known, childPath, line, selected)) {
                continue;  // nothing inside can ever be read
            }
            if (known->readOnlyWithout != nullptr && present.count(known->readOnlyWithout) != 0) {
                Add(line, selected,
                    Format("read only when %s names no stream", known->readOnlyWithout));
            }
            if (known->value == nullptr) {
                Walk(*known, childPath, selected);
            } else {
                CheckValue(*known, childPath, line, selected);
            }
        }
    }

    std::vector<SettingsFinding> findings;

  private:
    void Add(long line, const std::string& where, const std::string& what) {
        findings.push_back({line, where, what});
    }

    static std::string Known(const ElementRule& rule, const std::string& name) {
        std::string names;
        for (const ElementRule& child : rule.children) {
            if (EqualsNoCase(child.name, name)) {
                return Format(" (did you mean %s?)", child.name);
            }
            names += Format("%s%s", names.empty() ? "" : ", ", child.name);
        }
        return " (known here: " + names + ")";
    }

    // The element's attributes as the readers select it by; false when they never can.
    bool Select(const ElementRule& rule, const std::string& path, long line,
                std::string& selected) {
        for (const auto& attribute : xml_.GetNodeNames(path + "/@*")) {
            bool known = false;
            for (const AttributeRule& candidate : rule.attributes) {
                known = known || attribute.name == candidate.name;
            }
            if (!known) {
                Add(line, selected, Format("unknown attribute %s", attribute.name.c_str()));
            }
        }
        bool selectable = true;
        for (const AttributeRule& attribute : rule.attributes) {
            if (!xml_.NodeExists(path + "/@" + attribute.name)) {
                Add(line, selected, Format("no %s attribute: never read", attribute.name));
                selectable = false;
                continue;
            }
            const std::string value = xml_.GetAttribute(path, attribute.name);
            if (!attribute.value->known(value)) {
                Add(line, selected,
                    Format("%s=%s is not known (expected: %s): never read", attribute.name,
                           Quoted(value).c_str(), attribute.value->expected.c_str()));
                selectable = false;
            }
            selected += Format("[@%s=\"%s\"]", attribute.name, value.c_str());
        }
        return selectable;
    }

    void CheckValue(const ElementRule& rule, const std::string& path, long line,
                    const std::string& selected) {
        const auto [first, isFirst] = keys_.emplace(selected, line);
        if (!isFirst) {
            Add(line, selected, Format("repeated: only the one on line %ld counts", first->second));
            return;
        }
        if (!xml_.GetNodeNames(path + "/*").empty()) {
            Add(line, selected, "holds elements: only a text value counts");
        }
        const std::string text = xml_.GetNodeText(path);
        if (!text.empty() && !rule.value->known(text)) {
            Add(line, selected,
                Format("value %s is not known (expected: %s)", Quoted(text).c_str(),
                       rule.value->expected.c_str()));
        }
    }

    static constexpr size_t kMaxElements = 2000;
    CXMLParser& xml_;
    size_t elements_ = 0;
    std::map<std::string, long> keys_;  // each key as the readers select it, to its first line
};
}  // namespace

std::vector<SettingsFinding> Check(CXMLParser& xml) {
    Checker checker(xml);
    checker.Walk(Schema(), "", "");
    return std::move(checker.findings);
}

std::vector<DEVICE_INFO> DeviceSections(CXMLParser& xml) {
    std::vector<DEVICE_INFO> devices;
    const size_t count = xml.GetNodeNames("Configuration/Device").size();
    for (size_t i = 1; i <= count; ++i) {
        const std::string path = Format("Configuration/Device[%zu]", i);
        DEVICE_INFO device;
        device.address = xml.GetAttribute(path, "address");
        const std::string port = xml.GetAttribute(path, "port");
        if (!kAddressRule.known(device.address) || !kPortRule.known(port)) {
            continue;
        }
        device.port = *ParseDecimal(port);
        const bool repeated = std::any_of(devices.begin(), devices.end(), [&](const auto& seen) {
            return seen.address == device.address && seen.port == device.port;
        });
        if (!repeated) {
            devices.push_back(device);
        }
    }
    return devices;
}

std::vector<uint32_t> InputsNamed(CXMLParser& xml) {
    std::set<uint32_t> inputs{1};
    for (const std::string& channel : xml.GetNodeTexts("Configuration//Profile/@channel")) {
        if (kChannelRule.known(channel)) {
            inputs.insert(*ParseDecimal(channel));
        }
    }
    return {inputs.begin(), inputs.end()};
}

DEVICE_INFO DefaultSectionDevice() {
    DEVICE_INFO device;
    device.address = "\"";  // never quoted into a section path
    return device;
}

const char* StreamingModeName(uint32_t mode) {
    return NameOf(kStreamingModes, mode);
}

const char* RtpModeName(uint32_t mode) {
    return NameOf(kRtpModes, mode);
}

const char* MicrophonePowerName(uint32_t power) {
    return power == kMicrophonePowerUnset ? "unset" : NameOf(kMicrophonePowers, power);
}

}  // namespace settings

std::vector<std::string> SettingsWarnings(const std::string& path) {
    CXMLParser xml;
    if (!FileExists(path)) {
        return {};
    }
    if (!xml.LoadFile(path)) {
        return {path + ": unreadable or not well-formed XML: every setting at its default"};
    }
    std::vector<std::string> warnings;
    for (const settings::SettingsFinding& finding : settings::Check(xml)) {
        warnings.push_back(Format("%s:%ld: %s: %s", path.c_str(), finding.line,
                                  finding.where.c_str(), finding.what.c_str()));
    }
    return warnings;
}

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
