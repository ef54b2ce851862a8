// A device's parameter listing as the property reader interprets it, and a parameter
// definitions document as the frame-rate lookup reads it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "properties/camera_properties.h"
#include "xml/xml_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* reader = [] {
        vornak::DEVICE_INFO device;
        device.address = "127.0.0.1";
        device.port = 1;  // Interpret sends nothing
        return new vornak::CAxisCameraProperties(device);
    }();
    const std::string reply(reinterpret_cast<const char*>(data), size);
    if (reader->Interpret(reply)) {
        if (reader->GetResolutions().empty() || reader->GetMaxFrameRate() == 0) {
            __builtin_trap();
        }
        for (const auto& offer : reader->GetStreamOffers()) {
            (void)vornak::ResolutionsText(offer, reader->IsSixtyHertz());
            (void)vornak::FrameRatesText(offer);
        }
        (void)reader->GetPtz().ToText();
    }
    (void)vornak::PtzCapabilities::FromText(reply);
    vornak::CXMLParser xml;
    if (xml.LoadXml(reply, "xmlns:p='http://www.axis.com/ParameterDefinitionsSchema'")) {
        (void)xml.GetNodeText("/p:parameterDefinitions//p:group[@name=\"I0\"]/p:parameter/@value");
        (void)xml.GetAttributes("//p:entry", "niceValue");
    }
    return 0;
}
