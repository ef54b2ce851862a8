#include "parsers/codec_table.h"

#include <algorithm>
#include <array>

#include "base/text.h"
#include "parsers/h264_parser.h"
#include "parsers/h265_parser.h"
#include "parsers/jpeg_parser.h"
#include "parsers/mpeg4_parser.h"

namespace vornak {

namespace {

template <class Parser>
std::unique_ptr<CRTPMediaParser> Make(IDriver* owner) {
    return std::make_unique<Parser>(owner);
}

constexpr std::array kCodecs = {
    CodecInfo{kCodecJpeg, "jpeg", "JPEG", kFourCCJpeg, kFourCCJpeg, false, false,
              &Make<CJpegRTPMediaParser>},
    CodecInfo{kCodecMpeg4, "mpeg4", "MP4V-ES", kFourCCDivx, kFourCCDivi, true, false,
              &Make<CMpeg4RTPMediaParser>},
    CodecInfo{kCodecH264, "h264", "H264", kFourCCH264, kFourCCI264, true, false,
              &Make<CH264RTPMediaParser>},
    CodecInfo{kCodecH265, "h265", "H265", kFourCCH265, kFourCCI265, true, true,
              &Make<CH265RTPMediaParser>},
};

}  // namespace

const CodecInfo* FindCodec(uint32_t format) {
    const auto it = std::find_if(kCodecs.begin(), kCodecs.end(),
                                 [format](const CodecInfo& c) { return c.format == format; });
    return it == kCodecs.end() ? nullptr : &*it;
}

const CodecInfo* FindCodecByEncoding(std::string_view encoding) {
    encoding = encoding.substr(0, encoding.find('/'));
    const auto it = std::find_if(kCodecs.begin(), kCodecs.end(), [encoding](const CodecInfo& c) {
        return EqualsNoCase(c.encoding, encoding);
    });
    return it == kCodecs.end() ? nullptr : &*it;
}

std::unique_ptr<CRTPMediaParser> CreateMediaParser(std::string_view encoding, IDriver* owner) {
    const CodecInfo* codec = FindCodecByEncoding(encoding);
    return codec != nullptr ? codec->makeParser(owner) : nullptr;
}

}  // namespace vornak
