#include "parsers/parser_factory.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "parsers/h264_parser.h"
#include "parsers/jpeg_parser.h"
#include "parsers/mpeg4_parser.h"

namespace vornak {

namespace {
bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}
}  // namespace

TSmartPtr<CRTPMediaParser> CreateMediaParser(std::string_view encodingName, IDriver* owner) {
    if (SameText(encodingName, "H264")) {
        return std::make_shared<CH264RTPMediaParser>(owner);
    }
    if (SameText(encodingName, "JPEG")) {
        return std::make_shared<CJpegRTPMediaParser>(owner);
    }
    if (SameText(encodingName, "MP4V-ES")) {
        return std::make_shared<CMpeg4RTPMediaParser>(owner);
    }
    return nullptr;
}

}  // namespace vornak
