// Collects the bytes of one RTSP answer from a stream: the header block up to its blank line, then
// the Content-Length body. Interleaved '$' frames that arrive ahead of the answer are passed over.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vornak {

class CRTSPAnswerReader {
  public:
    enum class State { kNeedMore, kComplete, kTooLarge, kBadLength };

    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;

    virtual ~CRTSPAnswerReader() = default;

    // Appends bytes and tells whether a whole answer is there. After kComplete, TakeAnswer gives
    // it and keeps what followed for the next answer.
    State Feed(std::span<const uint8_t> bytes);
    State Check();
    std::string TakeAnswer();
    // Everything buffered, for a stream that follows the last answer.
    std::string TakeBuffered();
    void Clear();
    // For the log: why an answer in state kTooLarge or kBadLength was refused.
    static const char* RefusalReason(State state) {
        return state == State::kTooLarge ? "header block too large" : "bad Content-Length";
    }
    size_t Buffered() const { return buffer_.size(); }

  private:
    std::string buffer_;
    size_t answerSize_ = 0;
};

}  // namespace vornak
