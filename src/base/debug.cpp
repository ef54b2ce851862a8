#include "base/debug.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vornak {

std::string FormatV(const char* format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(length), '\0');
    va_list fill;
    va_copy(fill, args);
    std::vsnprintf(text.data(), text.size() + 1, format, fill);
    va_end(fill);
    // A "%c" of zero ends the text there, as a C string would.
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

CDebugInfo::CDebugInfo(uint8_t level, const char* text) : level_(level) {
    if (text != nullptr && *text != '\0') {
        const size_t size = std::strlen(text) + 1;
        text_ = new (std::nothrow) char[size];
        if (text_ != nullptr) {
            std::memcpy(text_, text, size);
        }
    }
}

CDebugInfo::~CDebugInfo() {
    delete[] text_;
}

bool CLoggerInstance::ThinningAllows(uint32_t& n) {
    if (n >= 65535) {
        n = 4095;
        return false;
    }
    if (n <= 14) {
        return true;
    }
    if (n <= 254) {
        return n % 16 == 0;
    }
    if (n <= 4094) {
        return n % 256 == 0;
    }
    return n % 4096 == 0;
}

void CLoggerInstance::Log(uint32_t level, const char* format, ...) {
    std::string text;
    try {
        va_list args;
        va_start(args, format);
        text = FormatV(format, args);
        va_end(args);
    } catch (...) {
        return;
    }
    if (text.empty() || debug_ == nullptr) {
        return;
    }
    CLockGuard guard(lock_);
    if (text == last_) {
        return;
    }
    ++counter_;
    if (!ThinningAllows(counter_)) {
        return;
    }
    last_ = text;
    debug_->DebugMessage(level, "%s", text.c_str());
}

void CLoggerInstance::ResetLogFilter() {
    CLockGuard guard(lock_);
    last_.clear();
    counter_ = 0;
}

void CResultDef::SetResult(uint32_t level, uint32_t code) {
    level_ = level;
    code_ = code;
    message_.clear();
}

void CResultDef::SetResultEx(uint32_t level, uint32_t code, const char* format, ...) {
    SetResult(level, code);
    if (format == nullptr) {
        return;
    }
    try {
        va_list args;
        va_start(args, format);
        message_ = FormatV(format, args);
        va_end(args);
    } catch (...) {
        message_ =
            "vornak::CResultDef::SetResultEx: Unexpected exception during string formatting.";
    }
}

}  // namespace vornak
