// The camera's storage replies: a record list read as the gap fill reads it, every recording
// judged as a candidate, and the same bytes as a getDateTimeInfo answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "edge/axis_edge_storage.h"
#include "xml/xml_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    (void)vornak::ParseDateTimeInfo(body);
    vornak::CXMLParser xml;
    if (!xml.LoadXml(body)) {
        return 0;
    }
    vornak::CAxisTimeHelper clock;
    clock.SetReadings(vornak::GetCurrentTime(), vornak::GetCurrentTime() + 50000000);
    const std::string path = vornak::RecordingPath(size % 3, 1 + size % 2);
    for (const std::string& id : xml.GetAttributes(path, "recordingid")) {
        vornak::EdgeRecording recording;
        if (!vornak::ReadRecording(xml, path, id, clock, recording)) {
            continue;
        }
        // A recording read back carries the id it was asked for, and an in-progress one no stop.
        if (recording.id != id || (recording.inProgress && recording.stop != 0)) {
            __builtin_trap();
        }
        const vornak::TimeValue end = recording.start + 10000000;
        if (vornak::IsEdgeCandidate(recording, recording.start, end, {}) &&
            (recording.start == 0 || recording.width == 0 || recording.frameRate == 0)) {
            __builtin_trap();
        }
    }
    return 0;
}
