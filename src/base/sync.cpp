#include "base/sync.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace vornak {

using Clock = std::chrono::steady_clock;

// A thread blocked in WaitForMultiple registers one of these with every event it waits on.
struct CEvent::Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};

struct CEvent::Core {
    explicit Core(bool manual) : manual(manual) {}
    const bool manual;
    mutable std::mutex mutex;
    std::condition_variable cv;
    bool signalled = false;
    std::vector<Waiter*> waiters;

    // Under mutex: takes the signal if there is one.
    bool Consume() {
        if (!signalled) {
            return false;
        }
        if (!manual) {
            signalled = false;
        }
        return true;
    }
};

CEvent::CEvent(bool manualReset) : core_(std::make_unique<Core>(manualReset)) {}

CEvent::~CEvent() = default;

bool CEvent::Wait(uint32_t timeoutMs) {
    std::unique_lock lock(core_->mutex);
    if (timeoutMs == kInfinite) {
        core_->cv.wait(lock, [this] { return core_->signalled; });
    } else {
        core_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return core_->signalled; });
    }
    return core_->Consume();
}

bool CEvent::Set() {
    std::lock_guard lock(core_->mutex);
    core_->signalled = true;
    if (core_->manual) {
        core_->cv.notify_all();
    } else {
        core_->cv.notify_one();
    }
    // Notified outside the waiter's own lock so that it does not wake only to block on it. The
    // waiter stays alive meanwhile: it leaves the list under core_->mutex, which is held here.
    for (Waiter* waiter : core_->waiters) {
        {
            std::lock_guard wl(waiter->mutex);
            waiter->woken = true;
        }
        waiter->cv.notify_one();
    }
    return true;
}

bool CEvent::Reset() {
    std::lock_guard lock(core_->mutex);
    core_->signalled = false;
    return true;
}

bool CEvent::IsSet() const {
    std::lock_guard lock(core_->mutex);
    return core_->signalled;
}

int CEvent::WaitForMultiple(CEvent* const* events, uint32_t count, uint32_t timeoutMs) {
    if (events == nullptr || count == 0) {
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) {
            return -1;
        }
    }
    // Most waits in a busy receiver find an event already set; they need no registration.
    for (uint32_t i = 0; i < count; ++i) {
        std::lock_guard lock(events[i]->core_->mutex);
        if (events[i]->core_->Consume()) {
            return static_cast<int>(i);
        }
    }
    if (timeoutMs == 0) {
        return -1;
    }
    Waiter waiter;
    for (uint32_t i = 0; i < count; ++i) {
        std::lock_guard lock(events[i]->core_->mutex);
        events[i]->core_->waiters.push_back(&waiter);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int result = -1;
    for (;;) {
        for (uint32_t i = 0; i < count && result < 0; ++i) {
            std::lock_guard lock(events[i]->core_->mutex);
            if (events[i]->core_->Consume()) {
                result = static_cast<int>(i);
            }
        }
        if (result >= 0) {
            break;
        }
        std::unique_lock wl(waiter.mutex);
        if (timeoutMs == kInfinite) {
            waiter.cv.wait(wl, [&] { return waiter.woken; });
        } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.woken; })) {
            wl.unlock();
            // One last look: a signal may have arrived with the deadline.
            for (uint32_t i = 0; i < count && result < 0; ++i) {
                std::lock_guard lock(events[i]->core_->mutex);
                if (events[i]->core_->Consume()) {
                    result = static_cast<int>(i);
                }
            }
            break;
        }
        waiter.woken = false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::lock_guard lock(events[i]->core_->mutex);
        auto& list = events[i]->core_->waiters;
        list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
    }
    return result;
}

uint32_t CurrentThreadId() {
    // Every lock asks. The initial-exec model reads the variable straight from the thread
    // pointer instead of calling __tls_get_addr, as a loaded library otherwise must; its four
    // bytes fit in the static TLS room the loader keeps for libraries opened later.
    thread_local const uint32_t id [[gnu::tls_model("initial-exec")]] =
        static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

namespace {
uint32_t SpinCountForMachine() {
    static const uint32_t spins = std::thread::hardware_concurrency() > 1 ? 4000 : 0;
    return spins;
}
}  // namespace

CLock::CLock() : spinCount_(SpinCountForMachine()) {}

CLock::~CLock() = default;

bool CLock::TryLock() {
    const uint32_t self = CurrentThreadId();
    uint32_t n = spinCount_;
    for (;;) {
        int32_t expected = 0;
        if (lockCount_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            owner_.store(self, std::memory_order_relaxed);
            recursion_ = 1;
            return true;
        }
        if (owner_.load(std::memory_order_relaxed) == self) {
            lockCount_.fetch_add(1, std::memory_order_relaxed);
            ++recursion_;
            return true;
        }
        if (n == 0) {
            return false;
        }
        --n;
    }
}

void CLock::Lock() {
    if (TryLock()) {
        return;
    }
    const uint32_t self = CurrentThreadId();
    if (lockCount_.fetch_add(1, std::memory_order_acquire) + 1 == 1) {
        owner_.store(self, std::memory_order_relaxed);
        recursion_ = 1;
        return;
    }
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++recursion_;
        return;
    }
    event_.Wait(kInfinite);
    owner_.store(self, std::memory_order_relaxed);
    recursion_ = 1;
}

void CLock::Unlock() {
    if (--recursion_ > 0) {
        lockCount_.fetch_sub(1, std::memory_order_release);
        return;
    }
    owner_.store(0, std::memory_order_relaxed);
    if (lockCount_.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
        event_.Set();
    }
}

}  // namespace vornak
