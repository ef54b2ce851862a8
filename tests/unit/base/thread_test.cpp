#include "base/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "recording_debug.h"

namespace vornak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A thread whose body is given by the test.
class LambdaThread : public CBaseThread {
  public:
    LambdaThread(IDebugMessage* debug, std::function<void(LambdaThread&)> body)
        : CBaseThread(debug), body_(std::move(body)) {}
    ~LambdaThread() override { StopThread(5000); }
    CManualEvent& StopEvent() { return stopEvent_; }
    std::atomic<int> runs{0};

  protected:
    void ThreadFunction() override {
        ++runs;
        body_(*this);
    }

  private:
    std::function<void(LambdaThread&)> body_;
};

void WaitForStop(LambdaThread& self) {
    self.StopEvent().Wait(kInfinite);
}

TEST(BaseThreadTest, JoinOrStopWithoutThreadSucceedsAndLeavesStopSet) {
    test::RecordingDebug debug;
    LambdaThread thread(&debug, WaitForStop);
    EXPECT_TRUE(thread.JoinThread(10));
    EXPECT_TRUE(thread.StopEvent().IsSet());
    EXPECT_TRUE(thread.StopThread(10));
    EXPECT_TRUE(debug.Lines().empty());
}

TEST(BaseThreadTest, SecondStartWhileRunningFailsAndARestartAfterJoinWorks) {
    test::RecordingDebug debug;
    LambdaThread thread(&debug, WaitForStop);
    ASSERT_TRUE(thread.StartThread("first"));
    EXPECT_FALSE(thread.StartThread("second"));
    EXPECT_EQ(thread.GetThreadName(), "first");
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.JoinThread(2000));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.runs, 1);
    ASSERT_TRUE(thread.StartThread("worker")) << "start after a join must reset the stop event";
    EXPECT_TRUE(thread.JoinThread(2000));
    EXPECT_EQ(thread.runs, 2);
}

TEST(BaseThreadTest, StartsAgainAfterTheBodyEndedWithoutJoin) {
    test::RecordingDebug debug;
    LambdaThread thread(&debug, [](LambdaThread&) {});
    ASSERT_TRUE(thread.StartThread("short"));
    ASSERT_TRUE(test::WaitFor([&] { return !thread.IsRunning(); }, 1s));
    EXPECT_TRUE(thread.StartThread("short"));
    EXPECT_TRUE(thread.JoinThread(2000));
    EXPECT_EQ(thread.runs, 2);
}

TEST(BaseThreadTest, JoinFromTheThreadItselfFails) {
    test::RecordingDebug debug;
    std::atomic<int> selfJoin{-1};
    LambdaThread thread(&debug, [&](LambdaThread& self) {
        selfJoin = self.JoinThread(1000) ? 1 : 0;
        WaitForStop(self);
    });
    ASSERT_TRUE(thread.StartThread("self"));
    ASSERT_TRUE(test::WaitFor([&] { return selfJoin >= 0; }, 2s));
    EXPECT_EQ(selfJoin, 0);
    EXPECT_TRUE(thread.StopEvent().IsSet()) << "the stop event stays set";
    EXPECT_TRUE(thread.JoinThread(2000));
}

// Ignores its stop event for a while, as a thread stuck in a slow call would.
void IgnoreStopFor(LambdaThread&, std::chrono::milliseconds time) {
    std::this_thread::sleep_for(time);
}

TEST(BaseThreadTest, LateThreadOnStopIsReportedThenJoined) {
    test::RecordingDebug debug;
    LambdaThread thread(&debug, [](LambdaThread& self) { IgnoreStopFor(self, 300ms); });
    ASSERT_TRUE(thread.StartThread("stubborn"));
    const auto start = Clock::now();
    EXPECT_TRUE(thread.StopThread(50));
    EXPECT_GE(Clock::now() - start, 250ms) << "the thread must not be left running";
    EXPECT_FALSE(thread.IsRunning());
    const auto lines = debug.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 2u);
    EXPECT_NE(lines[0].text.find("vornak::CBaseThread::StopThread: Thread (id="),
              std::string::npos);
    EXPECT_NE(lines[0].text.find("name=\"stubborn\") for device 127.0.0.1:80 was not stopped "
                                 "during 50 milliseconds and will be terminated!"),
              std::string::npos);
}

TEST(BaseThreadTest, LateThreadOnJoinIsReportedThenStoppedCorrectly) {
    test::RecordingDebug debug;
    LambdaThread thread(&debug, [](LambdaThread& self) { IgnoreStopFor(self, 200ms); });
    ASSERT_TRUE(thread.StartThread("slow"));
    EXPECT_TRUE(thread.JoinThread(30));
    const auto lines = debug.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 2u);
    EXPECT_NE(lines[0].text.find("vornak::CBaseThread::JoinThread: Thread (id="),
              std::string::npos);
    EXPECT_NE(lines[0].text.find("was not stopped during 30 milliseconds"), std::string::npos);
    EXPECT_EQ(lines[0].text.find("terminated"), std::string::npos);
    EXPECT_EQ(lines[1].level, 3u);
    EXPECT_NE(lines[1].text.find("name=\"slow\") was stopped correctly"), std::string::npos);
}

TEST(BaseThreadTest, ExceptionInBodyIsLoggedAndEndsOnlyThatThread) {
    test::RecordingDebug debug;
    LambdaThread thread(&debug, [](LambdaThread&) { throw std::runtime_error("boom"); });
    ASSERT_TRUE(thread.StartThread("thrower"));
    EXPECT_TRUE(thread.JoinThread(2000));
    EXPECT_EQ(debug.Count("Unexpected exception in thread \"thrower\""), 1u);
}

struct TestItem {
    static constexpr const char* kQueueTypeName = "class vornak::TestItem";
    explicit TestItem(int v, std::atomic<int>* deleted = nullptr) : value(v), deletions(deleted) {}
    virtual ~TestItem() {
        if (deletions != nullptr) {
            ++*deletions;
        }
    }
    int value;
    std::atomic<int>* deletions;
};

class RecordingQueue : public CQueueThread<TestItem> {
  public:
    using CQueueThread::CQueueThread;
    ~RecordingQueue() override { StopQueueThread(5000); }

    std::vector<int> Seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::function<void(TestItem*)> onItem;

  protected:
    void ProcessWorkItem(TestItem* item) override {
        if (onItem) {
            onItem(item);
        }
        std::lock_guard lock(mutex_);
        seen_.push_back(item->value);
    }

  private:
    std::mutex mutex_;
    std::vector<int> seen_;
};

bool WaitForCount(RecordingQueue& queue, size_t count) {
    return test::WaitFor([&] { return queue.Seen().size() >= count; }, 2s);
}

TEST(QueueThreadTest, ProcessesItemsInOrderAddedAndDeletesThem) {
    test::RecordingDebug debug;
    std::atomic<int> deleted{0};
    RecordingQueue queue(&debug);
    ASSERT_TRUE(queue.StartQueueThread("queue"));
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(queue.AddItem(new TestItem(i, &deleted), 0));
    }
    ASSERT_TRUE(WaitForCount(queue, 50));
    std::vector<int> expected(50);
    for (int i = 0; i < 50; ++i) {
        expected[i] = i;
    }
    EXPECT_EQ(queue.Seen(), expected);
    EXPECT_TRUE(queue.StopQueueThread(2000));
    EXPECT_EQ(deleted, 50);
}

TEST(QueueThreadTest, LimitDropsTheOldestItems) {
    test::RecordingDebug debug;
    std::atomic<int> deleted{0};
    RecordingQueue queue(&debug);  // not started: items stay queued
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.AddItem(new TestItem(i, &deleted), 3));
    }
    ASSERT_TRUE(queue.AddItem(new TestItem(3, &deleted), 3));
    EXPECT_EQ(queue.GetItemCount(), 3u);
    EXPECT_EQ(deleted, 1) << "the oldest item makes room";
    ASSERT_TRUE(queue.StartQueueThread("limited"));
    ASSERT_TRUE(queue.AddItem(new TestItem(4, &deleted), 3));
    ASSERT_TRUE(WaitForCount(queue, 3));
    EXPECT_EQ(queue.Seen(), (std::vector<int>{2, 3, 4}));
}

TEST(QueueThreadTest, ThrowingItemIsLoggedDeletedAndTheNextStillRuns) {
    test::RecordingDebug debug;
    std::atomic<int> deleted{0};
    RecordingQueue queue(&debug);
    queue.onItem = [](TestItem* item) {
        if (item->value == 1) {
            throw std::runtime_error("bad item");
        }
    };
    ASSERT_TRUE(queue.StartQueueThread("throwing"));
    queue.AddItem(new TestItem(1, &deleted), 0);
    queue.AddItem(new TestItem(2, &deleted), 0);
    ASSERT_TRUE(WaitForCount(queue, 1));
    EXPECT_EQ(queue.Seen(), std::vector<int>{2});
    queue.StopQueueThread(2000);
    EXPECT_EQ(debug.Count("vornak::CQueueThread<class vornak::TestItem>::ThreadFunction: "
                          "Unexpected exception during processing of work item"),
              1u);
}

TEST(QueueThreadTest, StopDeletesWaitingItemsAndLaterAddsUntilRestarted) {
    test::RecordingDebug debug;
    std::atomic<int> deleted{0};
    RecordingQueue queue(&debug);  // not started: items stay queued
    for (int i = 0; i < 5; ++i) {
        queue.AddItem(new TestItem(i, &deleted), 0);
    }
    EXPECT_TRUE(queue.StopQueueThread(100));
    EXPECT_EQ(deleted, 5);
    EXPECT_TRUE(queue.Seen().empty());
    ASSERT_TRUE(queue.StartQueueThread("queue"));
    ASSERT_TRUE(queue.StopQueueThread(2000));
    EXPECT_FALSE(queue.AddItem(new TestItem(7, &deleted), 0));
    EXPECT_EQ(deleted, 6);
    ASSERT_TRUE(queue.StartQueueThread("queue"));
    EXPECT_TRUE(queue.AddItem(new TestItem(8, &deleted), 0));
    ASSERT_TRUE(WaitForCount(queue, 1));
    EXPECT_EQ(queue.Seen(), std::vector<int>{8});
}

class RecordingTicks : public CTickThread {
  public:
    RecordingTicks(IDebugMessage* debug, std::chrono::milliseconds interval,
                   std::chrono::milliseconds work)
        : CTickThread(debug), work_(work) {
        tickIntervalMs_ = static_cast<uint32_t>(interval.count());
    }
    ~RecordingTicks() override { StopThread(5000); }
    std::vector<Clock::time_point> Starts() {
        std::lock_guard lock(mutex_);
        return starts_;
    }

  protected:
    void OnTick() override {
        {
            std::lock_guard lock(mutex_);
            starts_.push_back(Clock::now());
        }
        std::this_thread::sleep_for(work_);
    }

  private:
    std::chrono::milliseconds work_;
    std::mutex mutex_;
    std::vector<Clock::time_point> starts_;
};

TEST(TickThreadTest, IntervalCountsFromTheEndOfTheSlowHandler) {
    test::RecordingDebug debug;
    // Scaled down from 1000 ms ticks and a 300 ms handler.
    RecordingTicks ticks(&debug, 100ms, 30ms);
    const auto start = Clock::now();
    ASSERT_TRUE(ticks.Start("ticks"));
    test::WaitFor([&] { return ticks.Starts().size() >= 4; }, 5s);
    ticks.StopThread(2000);
    const auto starts = ticks.Starts();
    ASSERT_GE(starts.size(), 4u);
    EXPECT_GE(starts[0] - start, 95ms) << "the first tick waits one interval";
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 125ms) << "tick " << i << " began too early";
    }
}

TEST(TickThreadTest, StopEndsTheLoopDuringTheWait) {
    test::RecordingDebug debug;
    RecordingTicks ticks(&debug, 1000ms, 0ms);
    ASSERT_TRUE(ticks.Start("ticks"));
    const auto start = Clock::now();
    EXPECT_TRUE(ticks.StopThread(2000));
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_TRUE(ticks.Starts().empty());
    EXPECT_TRUE(debug.Lines().empty());
}

}  // namespace
}  // namespace vornak
