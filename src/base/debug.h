// Logging: the driver's one way to talk to the host's log, plus the filtering front used by
// objects that may repeat a failure many times, and the result record of request helpers.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "base/sync.h"
#include "ipcapture/host_interfaces.h"

#define VORNAK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace vornak {

// Log levels: 1 error, 2 warning, 3 information, 4 detail (never forwarded),
// 100 information of a second kind (mapped for older hosts).
enum : uint32_t {
    kLogError = 1,
    kLogWarning = 2,
    kLogInfo = 3,
    kLogDetail = 4,
    kLogOpened = 100,
};

// Exact-size printf formatting; an invalid format gives an empty text.
std::string Format(const char* format, ...) VORNAK_PRINTF(1, 2);
std::string FormatV(const char* format, va_list args);

class IDebugMessage {
  public:
    virtual ~IDebugMessage() = default;
    // The device the object works for: "address:port".
    virtual std::string GetDeviceName() = 0;
    virtual void DebugMessage(uint32_t level, const char* format, ...) VORNAK_PRINTF(3, 4) = 0;
};

class CDebugInfo final : public CDebugInfoIf {
  public:
    CDebugInfo(uint8_t level, const char* text);
    ~CDebugInfo() override;
    CDebugInfo(const CDebugInfo&) = delete;
    CDebugInfo& operator=(const CDebugInfo&) = delete;

    uint8_t GetLevel() const override { return level_; }
    // Null when the message was absent or empty.
    const char* GetText() const override { return text_; }

  private:
    uint8_t level_;
    char* text_ = nullptr;
};

// Drops exact repeats and thins long series of distinct messages, so that a device that fails
// forever produces a handful of lines per thousand attempts.
class CLoggerInstance {
  public:
    explicit CLoggerInstance(IDebugMessage* debug) : debug_(debug) {}
    virtual ~CLoggerInstance() = default;

    void Log(uint32_t level, const char* format, ...) VORNAK_PRINTF(3, 4);
    // Called at connection points so that the first failures of the next outage are logged.
    void ResetLogFilter();

    // Whether the n-th distinct message since the last reset is forwarded; n is the counter
    // after its increment. Adjusts n for the wrap at 65535.
    static bool ThinningAllows(uint32_t& n);

  protected:
    IDebugMessage* debug_;  // borrowed; the driver outlives its loggers

  private:
    uint32_t counter_ = 0;
    CLock lock_;
    std::string last_;
};

class CResultDef {
  public:
    CResultDef() = default;
    virtual ~CResultDef() = default;

    void SetResultEx(uint32_t level, uint32_t code, const char* format, ...) VORNAK_PRINTF(4, 5);
    // Level and code without a message.
    void SetResult(uint32_t level, uint32_t code);

    uint32_t GetLevel() const { return level_; }
    uint32_t GetCode() const { return code_; }
    std::string GetMessage() const { return message_; }

  private:
    uint32_t level_ = kLogInfo;
    uint32_t code_ = 0;
    std::string message_;
};

}  // namespace vornak
