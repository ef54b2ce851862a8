#include "edge/edge_storage.h"

#include <algorithm>

namespace vornak {

void CAxisTimeHelper::SetReadings(TimeValue local, TimeValue device) {
    if (local == 0 || device == 0) {
        offset_ = 0;
        deviceBehind_ = true;
        return;
    }
    offset_ = local > device ? local - device : device - local;
    deviceBehind_ = device <= local;
}

TimeValue CAxisTimeHelper::DeviceToLocal(TimeValue time) const {
    if (time == 0 || offset_ == 0) {
        return time;
    }
    if (deviceBehind_) {
        return time + offset_;
    }
    return time > offset_ ? time - offset_ : 0;
}

TimeValue CAxisTimeHelper::LocalToDevice(TimeValue time) const {
    if (time == 0 || offset_ == 0) {
        return time;
    }
    if (!deviceBehind_) {
        return time + offset_;
    }
    return time > offset_ ? time - offset_ : 0;
}

std::string CAxisTimeHelper::DeviceText(TimeValue local, uint32_t form) const {
    const TimeValue device = LocalToDevice(local);
    return device == 0 ? std::string() : FormatTime(form, device);
}

CBaseEdgeStorageHandler::CBaseEdgeStorageHandler(IDriver* driver, uint32_t queueLimit)
    : CBaseThread(driver), driver_(driver), queueLimit_(queueLimit), queue_(driver, this) {}

CBaseEdgeStorageHandler::~CBaseEdgeStorageHandler() {
    StopEdgeStorageThreads();
}

bool CBaseEdgeStorageHandler::StartEdgeStorageThreads() {
    if (IsRunning()) {
        return true;
    }
    const std::string device = DeviceText();
    if (queue_.StartQueueThread("Edge Storage: Video receiving thread - " + device) &&
        StartThread("Edge Storage: Monitor thread - " + device)) {
        return true;
    }
    driver_->DebugMessage(kLogError, "%s: Unable to start Edge Storage threads for device %s",
                          "vornak::CBaseEdgeStorageHandler::StartEdgeStorageThreads",
                          device.c_str());
    StopEdgeStorageThreads();
    return false;
}

void CBaseEdgeStorageHandler::StopEdgeStorageThreads() {
    stopEvent_.Set();
    queue_.StopEvent().Set();
    AbortRetrieval();
    StopThread(5000);
    queue_.StopQueueThread(5000);
}

void CBaseEdgeStorageHandler::Register(IEdgeMonitorChannel* channel) {
    if (channel == nullptr) {
        return;
    }
    ipcapture::IFrameSink* sink = channel->GetFrameSink();
    const uint32_t index = channel->GetChannelIndex();
    if (sink == nullptr) {
        return;
    }
    {
        CLockGuard guard(registryLock_);
        registrations_.push_back({channel, index, sink});
    }
    {
        CLockGuard guard(dataLock_);
        lastData_.try_emplace(index, 0);
    }
    channel->SetEdgeMonitor(this);
}

void CBaseEdgeStorageHandler::Unregister(IEdgeMonitorChannel* channel) {
    CLockGuard guard(registryLock_);
    const auto it = std::find_if(registrations_.begin(), registrations_.end(),
                                 [channel](const Registration& r) { return r.channel == channel; });
    if (it == registrations_.end()) {
        return;
    }
    channel->SetEdgeMonitor(nullptr);
    const uint32_t index = it->index;
    registrations_.erase(it);
    if (!HasFrameHandler(index)) {
        CLockGuard dataGuard(dataLock_);
        lastData_.erase(index);
    }
    handlerReleased_.Set();
}

bool CBaseEdgeStorageHandler::HasFrameHandler(uint32_t channel) {
    CLockGuard guard(registryLock_);
    return std::any_of(registrations_.begin(), registrations_.end(),
                       [channel](const Registration& r) { return r.index == channel; });
}

bool CBaseEdgeStorageHandler::DeliverToChannel(uint32_t channel, ipcapture::IVideoFrame* frame) {
    CLockGuard guard(registryLock_);
    const auto it = std::find_if(registrations_.begin(), registrations_.end(),
                                 [channel](const Registration& r) { return r.index == channel; });
    if (it == registrations_.end()) {
        return false;
    }
    try {
        return it->sink->OnFrame(frame);
    } catch (...) {
        driver_->DebugMessage(
            kLogError, "%s: Unhandled exception during processing frame from device %s",
            "vornak::CAxisEdgeStorageHandler::CaptureFrameCallback", DeviceText().c_str());
        return false;
    }
}

void CBaseEdgeStorageHandler::OnDataReceived(uint32_t channel, TimeValue time) {
    {
        CLockGuard guard(dataLock_);
        const auto it = lastData_.find(channel);
        if (it == lastData_.end() || it->second >= time) {
            return;
        }
        it->second = time;
    }
    CLockGuard guard(restoreLock_);
    if (restoreTime_ == 0) {
        restoreTime_ = time;
    }
    dataArrived_.Set();
}

void CBaseEdgeStorageHandler::OnSignalLost(uint32_t /*channel*/) {
    checkNow_.Set();
}

bool CBaseEdgeStorageHandler::QueueItem(uint32_t channel, TimeValue begin, TimeValue end) {
    if (begin == 0 || begin >= end) {
        return false;
    }
    return queue_.AddItem(new CEdgeStorageTaskItem(channel, begin, end), queueLimit_);
}

bool CBaseEdgeStorageHandler::WaitForLoss(std::map<uint32_t, TimeValue>& lossMap) {
    const uint32_t timeoutMs = driver_->GetDeviceInfo()->connectionTimeout;
    checkNow_.Reset();
    for (;;) {
        CEvent* events[] = {&stopEvent_, &checkNow_};
        if (CEvent::WaitForMultiple(events, 2, timeoutMs) == 0) {
            return false;
        }
        CLockGuard guard(dataLock_);
        TimeValue latest = 0;
        for (const auto& [channel, time] : lastData_) {
            latest = std::max(latest, time);
        }
        if (latest != 0 && GetElapsedMs(latest) > timeoutMs) {
            lossMap.clear();
            for (const auto& [channel, time] : lastData_) {
                if (time != 0) {
                    lossMap[channel] = time;
                }
            }
            // Data that comes after this moment is the signal's return.
            CLockGuard restoreGuard(restoreLock_);
            restoreTime_ = 0;
            dataArrived_.Reset();
            return true;
        }
    }
}

void CBaseEdgeStorageHandler::ThreadFunction() {
    std::map<uint32_t, TimeValue> lossMap;
    for (;;) {
        CEvent* events[] = {&stopEvent_, &dataArrived_};
        if (CEvent::WaitForMultiple(events, 2, kInfinite) != 1) {
            return;
        }
        TimeValue restore = 0;
        {
            CLockGuard guard(restoreLock_);
            restore = restoreTime_ != 0 ? restoreTime_ : GetCurrentTime();
        }
        for (const auto& [channel, last] : lossMap) {
            if (last != 0 && last < restore) {
                QueueItem(channel, last, restore);
            }
        }
        lossMap.clear();
        if (!WaitForLoss(lossMap)) {
            return;
        }
    }
}

void CBaseEdgeStorageHandler::ProcessEdgeStorageTaskItem(const CEdgeStorageTaskItem& item) {
    static const char kLine[] =
        "vornak::CAxisEdgeStorageHandler: Work Item (address=\"%s\" channel=\"%u\" "
        "begin_time=\"%s\" end_time=\"%s\") - Processing %s";
    const std::string address = driver_->GetDeviceInfo()->address;
    const std::string begin = FormatLocalTime(item.begin);
    const std::string end = FormatLocalTime(item.end);
    driver_->DebugMessage(kLogInfo, kLine, address.c_str(), item.channel, begin.c_str(),
                          end.c_str(), "started.");
    OnItemStarted(item);
    static const char kMethod[] = "vornak::CAxisEdgeStorageHandler::ProcessEdgeStorageTaskItem";
    uint32_t passes = 0;
    bool retryWait = false;
    while (item.begin != 0 && item.begin < item.end) {
        // After a pass that was not done only stop and a released handler count: the live
        // signal keeps the data-arrived event set, and asking again at once would hammer the
        // camera and hold up the gaps queued behind this one.
        CEvent* events[] = {&queue_.StopEvent(), &handlerReleased_, &dataArrived_};
        const int woken =
            CEvent::WaitForMultiple(events, retryWait ? 2 : 3, retryWait ? retryWaitMs_ : 10000);
        if (woken == 0) {
            break;
        }
        if (woken == 1) {
            if (!HasFrameHandler(item.channel)) {
                driver_->DebugMessage(
                    kLogInfo,
                    "%s: Unable to process time interval between %s and %s for device %s "
                    "(channel %u) - frame handler interface was released on recorder side.",
                    kMethod, begin.c_str(), end.c_str(), DeviceText().c_str(), item.channel);
                break;
            }
            continue;
        }
        if (woken == -1) {
            retryWait = false;
            continue;
        }
        if (RunRetrievalPass(item) == PassResult::kDone) {
            break;
        }
        if (++passes >= kMaxPasses) {
            driver_->DebugMessage(kLogWarning,
                                  "%s: Gave up the time interval between %s and %s for device %s "
                                  "(channel %u) after %u passes without its recorded video",
                                  kMethod, begin.c_str(), end.c_str(), DeviceText().c_str(),
                                  item.channel, passes);
            break;
        }
        retryWait = true;
    }
    driver_->DebugMessage(kLogInfo, kLine, address.c_str(), item.channel, begin.c_str(),
                          end.c_str(), "finished.");
}

}  // namespace vornak
