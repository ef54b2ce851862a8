#include "base/thread.h"

#include <pthread.h>

namespace vornak {

CBaseThread::CBaseThread(IDebugMessage* debug) : debug_(debug) {}

CBaseThread::~CBaseThread() {
    StopThread(2345);
}

bool CBaseThread::IsRunning() const {
    return thread_.joinable() && !finished_.IsSet();
}

bool CBaseThread::StartThread(const std::string& name) {
    stopEvent_.Reset();
    if (IsRunning()) {
        return false;
    }
    if (thread_.joinable()) {
        thread_.join();  // ended but never joined
    }
    name_ = name;
    finished_.Reset();
    threadId_ = 0;
    workerId_ = std::thread::id();
    try {
        thread_ = std::thread(&CBaseThread::Entry, this);
    } catch (...) {
        return false;
    }
    return true;
}

void CBaseThread::Entry() {
    workerId_ = std::this_thread::get_id();
    threadId_ = CurrentThreadId();
    // Shown by top and debuggers; the kernel keeps 15 characters.
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    try {
        ThreadFunction();
    } catch (...) {
        if (debug_ != nullptr) {
            debug_->DebugMessage(kLogError, "%s: Unexpected exception in thread \"%s\", device %s",
                                 "vornak::CBaseThread::ThreadEntry", name_.c_str(),
                                 DeviceText().c_str());
        }
    }
    workerId_ = std::thread::id();
    finished_.Set();
}

std::string CBaseThread::DeviceText() {
    if (debug_ == nullptr) {
        return {};
    }
    try {
        return debug_->GetDeviceName();
    } catch (...) {
        return {};
    }
}

bool CBaseThread::PrepareJoin(bool& haveThread) {
    stopEvent_.Set();
    if (workerId_.load() == std::this_thread::get_id()) {
        haveThread = true;
        return false;
    }
    haveThread = thread_.joinable();
    return true;
}

bool CBaseThread::JoinThread(uint32_t timeoutMs) {
    bool haveThread = false;
    if (!PrepareJoin(haveThread)) {
        return false;
    }
    if (!haveThread) {
        return true;
    }
    if (!finished_.Wait(timeoutMs)) {
        if (debug_ != nullptr) {
            debug_->DebugMessage(
                kLogWarning,
                "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu "
                "milliseconds",
                "vornak::CBaseThread::JoinThread", threadId_.load(), name_.c_str(),
                DeviceText().c_str(), static_cast<unsigned long>(timeoutMs));
        }
        finished_.Wait(kInfinite);
        if (debug_ != nullptr) {
            debug_->DebugMessage(kLogInfo, "%s: Thread (id=%u, name=\"%s\") was stopped correctly",
                                 "vornak::CBaseThread::JoinThread", threadId_.load(),
                                 name_.c_str());
        }
    }
    thread_.join();
    return true;
}

bool CBaseThread::StopThread(uint32_t timeoutMs) {
    bool haveThread = false;
    if (!PrepareJoin(haveThread)) {
        return false;
    }
    if (!haveThread) {
        return true;
    }
    if (!finished_.Wait(timeoutMs)) {
        if (debug_ != nullptr) {
            debug_->DebugMessage(
                kLogWarning,
                "%s: Thread (id=%u, name=\"%s\") for device %s was not stopped during %lu "
                "milliseconds and will be terminated!",
                "vornak::CBaseThread::StopThread", threadId_.load(), name_.c_str(),
                DeviceText().c_str(), static_cast<unsigned long>(timeoutMs));
        }
        // No safe way to kill a POSIX thread: wait until it sees its stop event.
    }
    thread_.join();
    return true;
}

void CTickThread::ThreadFunction() {
    while (!stopEvent_.Wait(tickIntervalMs_)) {
        OnTick();
    }
}

}  // namespace vornak
