// Named worker threads with a stop event and joins with a limit, the tick thread and the work
// queue thread. A POSIX thread cannot be killed safely: a thread late to stop is reported and
// then joined, so every thread body must watch its stop event and every blocking call it makes
// must be abortable.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

#include "base/debug.h"
#include "base/sync.h"

namespace vornak {

class CBaseThread {
  public:
    explicit CBaseThread(IDebugMessage* debug);
    // Subclasses must stop their thread in their own destructor: once this one runs, the
    // subclass's ThreadFunction is gone. This is the last resort.
    virtual ~CBaseThread();
    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;

    virtual bool StartThread(const std::string& name);
    // Sets the stop event and waits; a late thread is reported, then waited for without limit.
    virtual bool JoinThread(uint32_t timeoutMs);
    // Sets the stop event and waits; a late thread is reported as to be terminated, then joined.
    virtual bool StopThread(uint32_t timeoutMs);

    bool IsRunning() const;
    const std::string& GetThreadName() const { return name_; }
    uint32_t GetThreadId() const { return threadId_.load(); }

  protected:
    virtual void ThreadFunction() = 0;

    CManualEvent stopEvent_;
    IDebugMessage* debug_;  // borrowed; outlives the thread

  private:
    // Steps 1 to 3 of a join: false when called from the thread itself.
    bool PrepareJoin(bool& haveThread);
    void Entry();
    std::string DeviceText();

    std::string name_;
    std::thread thread_;
    std::atomic<uint32_t> threadId_{0};
    CManualEvent finished_;
};

class CTickThread : public CBaseThread {
  public:
    explicit CTickThread(IDebugMessage* debug) : CBaseThread(debug) {}

    bool Start(const std::string& name) { return StartThread(name); }

  protected:
    void ThreadFunction() override;
    virtual void OnTick() = 0;

    uint32_t tickIntervalMs_ = 1000;
};

// Items are owned by the queue from AddItem on. T names itself through T::kQueueTypeName
// ("class vornak::CAudioItem"), used in the exception line.
template <typename T>
class CQueueThread : public CBaseThread {
  public:
    explicit CQueueThread(IDebugMessage* debug) : CBaseThread(debug) {}
    ~CQueueThread() override {
        JoinThread(5000);
        ClearItems();
    }

    // A limit of 0 means no limit; otherwise the oldest items make room.
    bool AddItem(T* item, uint32_t maxCount) {
        if (stopEvent_.IsSet()) {
            delete item;
            return false;
        }
        CLockGuard guard(queueLock_);
        if (maxCount != 0) {
            while (queue_.size() > maxCount - 1) {
                delete queue_.front();
                queue_.pop_front();
            }
        }
        queue_.push_back(item);
        itemEvent_.Set();
        return true;
    }

    virtual bool StartQueueThread(const std::string& name) {
        itemEvent_.Reset();
        return StartThread(name);
    }

    virtual bool StopQueueThread(uint32_t timeoutMs) {
        stopEvent_.Set();
        ClearItems();
        return JoinThread(timeoutMs);
    }

    size_t GetItemCount() {
        CLockGuard guard(queueLock_);
        return queue_.size();
    }

  protected:
    virtual void ProcessWorkItem(T* item) = 0;

    void ThreadFunction() override {
        for (;;) {
            if (stopEvent_.IsSet()) {
                return;
            }
            CEvent* events[] = {&stopEvent_, &itemEvent_};
            if (CEvent::WaitForMultiple(events, 2, 1000) != 1) {
                continue;
            }
            for (T* item = PopItem(); item != nullptr; item = PopItem()) {
                if (stopEvent_.IsSet()) {
                    delete item;
                    break;
                }
                try {
                    ProcessWorkItem(item);
                } catch (...) {
                    if (debug_ != nullptr) {
                        debug_->DebugMessage(kLogError,
                                             "vornak::CQueueThread<%s>::ThreadFunction: Unexpected "
                                             "exception during processing of work item",
                                             T::kQueueTypeName);
                    }
                }
                delete item;
            }
        }
    }

    T* PopItem() {
        CLockGuard guard(queueLock_);
        if (queue_.empty()) {
            return nullptr;
        }
        T* item = queue_.front();
        queue_.pop_front();
        return item;
    }

    void ClearItems() {
        CLockGuard guard(queueLock_);
        for (T* item : queue_) {
            delete item;
        }
        queue_.clear();
    }

  private:
    CEvent itemEvent_{false};
    CLock queueLock_;
    std::deque<T*> queue_;
};

}  // namespace vornak
