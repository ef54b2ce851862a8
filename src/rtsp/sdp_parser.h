// The session description of a DESCRIBE answer: one media description each for video, audio and
// metadata, plus the H.264 parameter sets or the MPEG-4 configuration of the video track.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parsers/media_parser_client.h"

namespace vornak {

struct MediaDescription {
    uint16_t port = 0;
    std::string transport;
    std::string connectionAddress;
    std::string control;
    uint8_t payloadType = 0;
    std::string encoding;

    bool operator==(const MediaDescription&) const = default;
};

struct SessionDescription {
    MediaDescription video;
    MediaDescription audio;
    MediaDescription metadata;
    ParameterSets parameterSets;

    void Clear() { *this = SessionDescription{}; }
    bool operator==(const SessionDescription&) const = default;
};

class CSDPResponseParser {
  public:
    virtual ~CSDPResponseParser() = default;

    // Fills `description` from the body; on failure `description` holds whatever was complete
    // (the answer parser keeps its own copy only when this succeeds).
    [[nodiscard]] static bool Parse(std::string_view body, SessionDescription& description);
};

}  // namespace vornak
