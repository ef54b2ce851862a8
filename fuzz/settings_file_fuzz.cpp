// The settings file as an administrator (or anyone who can write beside the host) may write it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/settings_file.h"
#include "xml/xml_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Names in the input must never reach a name server.
    vornak::settings::SetNameResolver(&vornak::settings::ResolveNumericOnly);
    vornak::CXMLParser xml;
    if (!xml.LoadXml(std::string_view(reinterpret_cast<const char*>(data), size))) {
        return 0;
    }
    vornak::DEVICE_INFO device;
    device.address = "10.1.1.1";
    device.port = 80;
    (void)vornak::settings::StreamingMode(xml);
    for (uint32_t kind = 0; kind < 3; ++kind) {
        const auto stream = vornak::settings::Stream(xml, device, 1, kind);
        if (stream.profileName.size() > 64 ||
            (stream.rtpPacketSize != 0 && stream.rtpPacketSize <= 100)) {
            __builtin_trap();
        }
    }
    (void)vornak::settings::ViewAreas(xml, device);
    (void)vornak::settings::AudioInput(xml, device, 1);
    (void)vornak::settings::AudioOutput(xml, device);
    // The driver runs the check at open over whatever the file holds.
    (void)vornak::settings::Check(xml);
    return 0;
}
