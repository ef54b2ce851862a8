// Events, waits on several events, the recursive spinning lock and a locked value.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vornak {

// Waits for a limit in milliseconds; this value waits without limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class CEvent {
  public:
    explicit CEvent(bool manualReset);
    virtual ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // True when the event was signalled before the limit ran out. An auto-reset event is
    // consumed by the wait that sees it.
    bool Wait(uint32_t timeoutMs);
    bool Set();
    bool Reset();
    // Zero-time check that does not consume an auto-reset event.
    bool IsSet() const;

    // Index of the event that ended the wait; -1 on time-out, an absent array or a count of 0.
    static int WaitForMultiple(CEvent* const* events, uint32_t count, uint32_t timeoutMs);

  private:
    struct Waiter;
    struct Core;
    std::unique_ptr<Core> core_;
};

class CManualEvent : public CEvent {
  public:
    CManualEvent() : CEvent(true) {}
};

// The calling thread's 32-bit id (the kernel's thread id).
uint32_t CurrentThreadId();

// Recursive lock that spins briefly before it blocks, so short critical sections stay in user
// space on multi-processor machines.
class CLock {
  public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    void Lock();
    bool TryLock();
    void Unlock();

    // std::lockable names, so std::unique_lock and std::scoped_lock work.
    void lock() { Lock(); }
    bool try_lock() { return TryLock(); }
    void unlock() { Unlock(); }

  private:
    CEvent event_{false};
    uint32_t spinCount_;
    std::atomic<int32_t> lockCount_{0};
    std::atomic<uint32_t> owner_{0};
    uint32_t recursion_ = 0;  // written only by the owner
};

class CLockGuard {
  public:
    explicit CLockGuard(CLock& lock) : lock_(lock) { lock_.Lock(); }
    ~CLockGuard() { lock_.Unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

  private:
    CLock& lock_;
};

template <typename T>
class TSecured {
  public:
    TSecured() = default;
    virtual ~TSecured() = default;

    void Set(const T& value) {
        CLockGuard guard(lock_);
        value_ = value;
    }
    T Get() {
        CLockGuard guard(lock_);
        return value_;
    }

  private:
    CLock lock_;
    alignas(8) T value_{};
};

// Shared ownership inside the driver (channels share their RTP client and depacketizer).
template <typename T>
using TSmartPtr = std::shared_ptr<T>;

}  // namespace vornak
