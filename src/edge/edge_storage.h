// Gap fill from the camera's own storage card, the device-neutral half: which channels are
// watched and whose frame sink takes their recovered video, the detection of a loss and of the
// signal's return, the queue of gaps and the loop that runs each gap's retrieval passes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/thread.h"
#include "base/time.h"
#include "channels/camera_channel.h"
#include "driver/driver_api.h"

namespace vornak {

// One gap of one channel: the last data time before the loss and the first after it.
class CEdgeStorageTaskItem {
  public:
    static constexpr const char* kQueueTypeName = "class vornak::CEdgeStorageTaskItem";
    CEdgeStorageTaskItem(uint32_t channel, TimeValue begin, TimeValue end)
        : channel(channel), begin(begin), end(end) {}
    virtual ~CEdgeStorageTaskItem() = default;

    uint32_t channel;
    TimeValue begin;
    TimeValue end;
};

// The device clock against this computer's: both readings in UTC.
class CAxisTimeHelper {
  public:
    void SetReadings(TimeValue local, TimeValue device);
    void Clear() { SetReadings(0, 0); }
    uint64_t GetOffset() const { return offset_; }
    bool IsDeviceBehind() const { return deviceBehind_; }

    [[nodiscard]] TimeValue DeviceToLocal(TimeValue time) const;
    [[nodiscard]] TimeValue LocalToDevice(TimeValue time) const;
    // A local time as the device's clock text of the given FormatTime form; empty for 0.
    [[nodiscard]] std::string DeviceText(TimeValue local, uint32_t form) const;

  private:
    uint64_t offset_ = 0;
    bool deviceBehind_ = true;
};

template <typename Owner>
class TEdgeStorageQueueHandler : public CQueueThread<CEdgeStorageTaskItem> {
  public:
    TEdgeStorageQueueHandler(IDebugMessage* debug, Owner* owner)
        : CQueueThread<CEdgeStorageTaskItem>(debug), owner_(owner) {}
    ~TEdgeStorageQueueHandler() override { StopQueueThread(5000); }
    CEvent& StopEvent() { return stopEvent_; }

  protected:
    void ProcessWorkItem(CEdgeStorageTaskItem* item) override {
        owner_->ProcessEdgeStorageTaskItem(*item);
    }

  private:
    Owner* owner_;
};

class CBaseEdgeStorageHandler : private CBaseThread,
                                public IEdgeStorageHandler,
                                public IEdgeStorageCallback {
  public:
    // queueLimit: gaps kept waiting at most; older ones make room.
    CBaseEdgeStorageHandler(IDriver* driver, uint32_t queueLimit);
    ~CBaseEdgeStorageHandler() override;

    bool StartEdgeStorageThreads();
    void StopEdgeStorageThreads();

    // IEdgeStorageHandler
    void Register(IEdgeMonitorChannel* channel) override;
    void Unregister(IEdgeMonitorChannel* channel) override;
    // IEdgeStorageCallback
    void OnDataReceived(uint32_t channel, TimeValue time) override;
    void OnSignalLost(uint32_t channel) override;

    // Runs on the work queue thread: retrieval passes until one is done, the item's frame
    // handler is gone, too many passes came back empty, or the queue stops.
    void ProcessEdgeStorageTaskItem(const CEdgeStorageTaskItem& item);
    // Refused for a missing or empty interval.
    bool QueueItem(uint32_t channel, TimeValue begin, TimeValue end);

    // A pass that is not done waits this long for stop or a released handler before the next.
    void SetRetryWait(uint32_t ms) { retryWaitMs_ = ms; }
    static constexpr uint32_t kMaxPasses = 6;

  protected:
    enum class PassResult { kDone, kNotDone };
    // A new item begins: what the passes of the one before found is forgotten.
    virtual void OnItemStarted(const CEdgeStorageTaskItem& /*item*/) {}
    virtual PassResult RunRetrievalPass(const CEdgeStorageTaskItem& item) = 0;
    // Stop was asked for: blocking requests of the retrieval must return.
    virtual void AbortRetrieval() {}

    // Offers the frame to the sink that now stands for the channel (the earliest registered
    // one still present); false when there is none or it refused the frame.
    bool DeliverToChannel(uint32_t channel, ipcapture::IVideoFrame* frame);
    bool HasFrameHandler(uint32_t channel);
    bool Stopping() { return queue_.StopEvent().IsSet(); }
    CEvent& QueueStopEvent() { return queue_.StopEvent(); }
    std::string DeviceText() { return driver_->GetDeviceName(); }

    IDriver* driver_;
    CManualEvent dataArrived_;

  private:
    struct Registration {
        IEdgeMonitorChannel* channel;
        uint32_t index;
        ipcapture::IFrameSink* sink;
    };
    void ThreadFunction() override;
    // Blocks until every watched channel has been silent for the connection time-out; the last
    // data times are then the loss map. False when stopped.
    bool WaitForLoss(std::map<uint32_t, TimeValue>& lossMap);

    CLock registryLock_;  // also held while a frame is offered, so Unregister waits it out
    std::vector<Registration> registrations_;
    // Apart from the registry: live frames must not wait for a recovered frame's hand-over.
    CLock dataLock_;
    std::map<uint32_t, TimeValue> lastData_;  // by channel index
    CLock restoreLock_;
    TimeValue restoreTime_ = 0;
    CEvent checkNow_{false};
    CEvent handlerReleased_{false};
    uint32_t queueLimit_;
    uint32_t retryWaitMs_ = 10000;
    TEdgeStorageQueueHandler<CBaseEdgeStorageHandler> queue_;
};

}  // namespace vornak
