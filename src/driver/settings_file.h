// The administrator's settings file beside the host program ("Quillon.xml"): streaming mode,
// RTP transport, multicast profiles, view areas and audio settings per device. Read afresh on
// every call; a missing or broken file leaves every value at its default.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/device_info.h"

namespace vornak {

class CXMLParser;

inline constexpr const char* kSettingsDriverName = "Quillon";

enum : uint32_t { kStreamingUnicast = 0, kStreamingMulticastPrimary = 1, kStreamingMulticast = 2 };
enum : uint32_t { kRtpOverUdp = 0, kRtpOverTcp = 1, kRtpOverRtsp = 2, kRtpOverHttp = 3 };
enum : uint32_t { kMicrophonePowerOn = 0, kMicrophonePowerOff = 1, kMicrophonePowerUnset = 2 };

struct StreamSettings {
    uint32_t streamingMode = kStreamingUnicast;
    uint32_t rtpPacketSize = 0;
    std::string profileName;
    uint32_t networkInterface = 0;  // IPv4 address in network byte order; 0 none
    uint32_t rtpMode = kRtpOverUdp;
};

// Stream kind (0 recording, 1 live, 2 remote) to the lower-cased view area name.
using ViewAreaSettings = std::map<uint32_t, std::string>;

struct AudioInputSettings {
    uint32_t streamingMode = kStreamingUnicast;
    uint32_t rtpPacketSize = 0;
    std::string profileName;
    uint32_t networkInterface = 0;
    std::string source;  // "mic", "line" or empty
    std::string encoding;
    std::string inputGain;
    uint32_t microphonePower = kMicrophonePowerUnset;
};

struct AudioOutputSettings {
    std::string encoding;
    std::string outputGain;
};

// Host folder + driver name + ".xml"; empty without a driver name.
std::string SettingsFilePath(const std::string& hostFolder, const std::string& driverName);

uint32_t ReadStreamingMode(const std::string& hostFolder,
                           const std::string& driverName = kSettingsDriverName);
StreamSettings ReadStreamSettings(const std::string& hostFolder, const DEVICE_INFO& device,
                                  uint32_t input, uint32_t streamKind,
                                  const std::string& driverName = kSettingsDriverName);
ViewAreaSettings ReadViewAreaSettings(const std::string& hostFolder, const DEVICE_INFO& device,
                                      const std::string& driverName = kSettingsDriverName);
AudioInputSettings ReadAudioInputSettings(const std::string& hostFolder, const DEVICE_INFO& device,
                                          uint32_t input,
                                          const std::string& driverName = kSettingsDriverName);
AudioOutputSettings ReadAudioOutputSettings(const std::string& hostFolder,
                                            const DEVICE_INFO& device,
                                            const std::string& driverName = kSettingsDriverName);

// What the readers would ignore in the file at `path`, one line each ("FILE:LINE: where: what"),
// or that the file is not well-formed XML; nothing when there is no file, which is a valid
// choice. The driver logs these at open, since each falls back to a default without a word.
std::vector<std::string> SettingsWarnings(const std::string& path);

// The same readers over a loaded document (tests and fuzzing).
namespace settings {
uint32_t StreamingMode(CXMLParser& xml);
StreamSettings Stream(CXMLParser& xml, const DEVICE_INFO& device, uint32_t input,
                      uint32_t streamKind);
ViewAreaSettings ViewAreas(CXMLParser& xml, const DEVICE_INFO& device);
AudioInputSettings AudioInput(CXMLParser& xml, const DEVICE_INFO& device, uint32_t input);
AudioOutputSettings AudioOutput(CXMLParser& xml, const DEVICE_INFO& device);

// Value cleaning rules, each a pure function of the text.
uint32_t StreamingModeOf(const std::string& text);
uint32_t PacketSizeOf(const std::string& text);
std::string ProfileNameOf(const std::string& text);
uint32_t RtpModeOf(const std::string& text);
std::string AudioSourceOf(const std::string& text);
std::string EncodingOf(const std::string& text);
std::string GainOf(const std::string& text);
uint32_t MicrophonePowerOf(const std::string& text);
uint32_t NetworkInterfaceOf(const std::string& text);

// Resolves a host name to its first IPv4 address (network byte order), 0 when none. Fuzzers
// and tests replace it so that no name ever reaches a name server; null restores the system's.
using NameResolver = uint32_t (*)(const std::string& host);
void SetNameResolver(NameResolver resolver);
// Literal IPv4 addresses only; never asks a name server.
uint32_t ResolveNumericOnly(const std::string& host);

// What the readers above would ignore or reduce to a default: an element or attribute they never
// look at, a value they do not know, a section they can never select, a repeated key.
struct SettingsFinding {
    long line = 0;
    std::string where;  // element path, attributes written as the readers select them
    std::string what;
};

// Walks the whole document against the keys the readers know; kept beside them so that the two
// change together. Values are judged by the same cleaning rules the readers apply.
std::vector<SettingsFinding> Check(CXMLParser& xml);
// The device sections as device records the readers select them by, in document order.
std::vector<DEVICE_INFO> DeviceSections(CXMLParser& xml);
// Input numbers the profile elements name, sorted, always with input 1.
std::vector<uint32_t> InputsNamed(CXMLParser& xml);
// A device record no device section can match: the readers then read the default section.
DEVICE_INFO DefaultSectionDevice();

const char* StreamingModeName(uint32_t mode);
const char* RtpModeName(uint32_t mode);
const char* MicrophonePowerName(uint32_t power);
}  // namespace settings

}  // namespace vornak
