#include "rtsp/rtsp_answer_reader.h"

#include "rtsp/rtsp_stream_parser.h"
#include "rtsp/rtsp_text.h"

namespace vornak {

using namespace rtsptext;

namespace {

// Content-Length of the header block; nullopt when it is present but not a number.
std::optional<size_t> ContentLength(std::string_view headers) {
    size_t pos = 0;
    while (pos < headers.size()) {
        size_t end = headers.find("\r\n", pos);
        if (end == std::string_view::npos) {
            end = headers.size();
        }
        const std::string_view line = headers.substr(pos, end - pos);
        pos = end + 2;
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos &&
            EqualsNoCase(Trim(line.substr(0, colon)), "Content-Length")) {
            const auto value = ParseDecimal(Trim(line.substr(colon + 1)));
            if (!value) {
                return std::nullopt;
            }
            return *value;
        }
    }
    return 0;
}
}  // namespace

CRTSPAnswerReader::State CRTSPAnswerReader::Feed(std::span<const uint8_t> bytes) {
    buffer_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return Check();
}

CRTSPAnswerReader::State CRTSPAnswerReader::Check() {
    // '$' channel length(16) payload: media that came before the answer.
    while (!buffer_.empty() && buffer_[0] == '$') {
        if (buffer_.size() < kInterleavedHeader) {
            return State::kNeedMore;
        }
        const size_t length =
            static_cast<uint8_t>(buffer_[2]) << 8 | static_cast<uint8_t>(buffer_[3]);
        if (buffer_.size() < kInterleavedHeader + length) {
            return State::kNeedMore;
        }
        buffer_.erase(0, kInterleavedHeader + length);
    }
    const size_t end = buffer_.find("\r\n\r\n");
    if (end == std::string::npos) {
        return buffer_.size() > kMaxHeaderBytes ? State::kTooLarge : State::kNeedMore;
    }
    if (end + 4 > kMaxHeaderBytes) {
        return State::kTooLarge;
    }
    const auto length = ContentLength(std::string_view(buffer_).substr(0, end + 2));
    if (!length || *length > kMaxBodyBytes) {
        return State::kBadLength;
    }
    if (buffer_.size() < end + 4 + *length) {
        return State::kNeedMore;
    }
    answerSize_ = end + 4 + *length;
    return State::kComplete;
}

std::string CRTSPAnswerReader::TakeAnswer() {
    std::string answer = buffer_.substr(0, answerSize_);
    buffer_.erase(0, answerSize_);
    answerSize_ = 0;
    return answer;
}

std::string CRTSPAnswerReader::TakeBuffered() {
    std::string rest;
    rest.swap(buffer_);
    answerSize_ = 0;
    return rest;
}

void CRTSPAnswerReader::Clear() {
    buffer_.clear();
    answerSize_ = 0;
}

}  // namespace vornak
