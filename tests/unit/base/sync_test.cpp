#include "base/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vornak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(EventTest, AutoResetReleasesOneWaitAndManualStaysSetUntilReset) {
    CEvent event(false);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0)) << "an auto-reset event must release exactly one wait";
    CManualEvent manual;
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));
}

// A single wait and a wait for several both wake when another thread sets.
TEST(EventTest, WaitsWakeWhenAnotherThreadSets) {
    CEvent event(false);
    CEvent a(false);
    CEvent b(false);
    CEvent* events[] = {&a, &b};
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        event.Set();
        std::this_thread::sleep_for(20ms);
        b.Set();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(event.Wait(5000));
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(CEvent::WaitForMultiple(events, 2, 5000), 1);
    setter.join();
}

TEST(WaitForMultipleTest, RefusalsIndexAndTimeOut) {
    CManualEvent stop;
    CEvent item(false);
    CEvent* events[] = {&stop, &item};
    item.Set();
    EXPECT_EQ(CEvent::WaitForMultiple(nullptr, 1, 0), -1);
    EXPECT_EQ(CEvent::WaitForMultiple(events, 0, 0), -1);
    EXPECT_EQ(CEvent::WaitForMultiple(events, 2, 0), 1) << "a refused wait must not consume";
    EXPECT_EQ(CEvent::WaitForMultiple(events, 2, 0), -1) << "auto-reset item was consumed";
    stop.Set();
    item.Set();
    EXPECT_EQ(CEvent::WaitForMultiple(events, 2, 0), 0) << "lowest signalled index wins";
    stop.Reset();
    EXPECT_TRUE(item.Wait(0));
    const auto start = Clock::now();
    EXPECT_EQ(CEvent::WaitForMultiple(events, 2, 50), -1);
    EXPECT_GE(Clock::now() - start, 45ms);
}

TEST(LockTest, RecursiveLockIsHeldUntilUnlockedAsOftenAsLocked) {
    CLock lock;
    lock.Lock();
    lock.Lock();
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        lock.Lock();
        acquired = true;
        lock.Unlock();
    });
    lock.Unlock();
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(acquired) << "one unlock of two must keep the lock held";
    lock.Unlock();
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(LockTest, TryLockFailsWhileAnotherThreadHoldsIt) {
    CLock lock;
    lock.Lock();
    bool got = true;
    std::thread other([&] { got = lock.TryLock(); });
    other.join();
    EXPECT_FALSE(got);
    lock.Unlock();
    std::thread again([&] {
        got = lock.TryLock();
        if (got) {
            lock.Unlock();
        }
    });
    again.join();
    EXPECT_TRUE(got);
}

TEST(LockTest, ProtectsACounterUnderContention) {
    CLock lock;
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CLockGuard guard(lock);
            CLockGuard nested(lock);
            ++counter;
        }
    };
    std::thread a(work);
    std::thread b(work);
    std::thread c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 60000);
}

}  // namespace
}  // namespace vornak
