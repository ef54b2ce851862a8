// The video codecs the driver knows, in one table: adding a codec means a depacketizer and a row.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "parsers/media_parser.h"

namespace vornak {

// Video format codes of the host's capture settings.
enum : uint32_t { kCodecJpeg = 1, kCodecMpeg4 = 2, kCodecH264 = 3, kCodecH265 = 4 };

struct CodecInfo {
    uint32_t format;
    const char* name;      // the "videocodec=" value of the camera's media path
    const char* encoding;  // RTP encoding name of the session description
    uint32_t keyFourCC;    // frames the picture size can be read from
    uint32_t otherFourCC;
    // False for the codec served as single pictures over HTTP rather than over RTSP.
    bool overRtsp;
    // True for a codec only some firmware offers: a stream is started only when the camera's
    // Properties.Image.Format lists name, since a camera without it answers with another codec
    // or an error that reads like a network fault.
    bool mustBeListed;
    std::unique_ptr<CRTPMediaParser> (*makeParser)(IDriver* owner);
};

// Null for an unknown format code.
[[nodiscard]] const CodecInfo* FindCodec(uint32_t format);
// "H264" or "H264/90000", letter case ignored; null for an unknown encoding.
[[nodiscard]] const CodecInfo* FindCodecByEncoding(std::string_view encoding);
// The depacketizer for an encoding name; null for any other.
[[nodiscard]] std::unique_ptr<CRTPMediaParser> CreateMediaParser(std::string_view encoding,
                                                                 IDriver* owner);

}  // namespace vornak
