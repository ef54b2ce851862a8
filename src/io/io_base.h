// The digital IO object: reports the device's input states to the host and switches its outputs
// on the host's request. One thread watches the inputs, a queue thread switches the outputs, so
// that a host call never waits on the network. The device-specific requests are the subclass's.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "base/thread.h"
#include "driver/driver_api.h"
#include "io/input_monitor_parser.h"
#include "ipcapture/driver_interfaces.h"

namespace vornak {

// One queued output request.
class COutputState {
  public:
    static constexpr const char* kQueueTypeName = "class vornak::COutputState";
    COutputState(uint32_t index, uint32_t state) : index(index), state(state) {}
    virtual ~COutputState() = default;
    uint32_t index;  // 0-based
    uint32_t state;  // kIOInactive or kIOActive
};

// The output queue thread: hands each request to its owner's SetOutputState.
template <typename Owner>
class TOutputHandler : public CQueueThread<COutputState> {
  public:
    TOutputHandler(Owner* owner, IDebugMessage* debug)
        : CQueueThread<COutputState>(debug), owner_(owner) {}
    ~TOutputHandler() override { JoinThread(5000); }

    void RequestStop() { stopEvent_.Set(); }
    bool IsStopping() const { return stopEvent_.IsSet(); }
    CEvent* StopEvent() { return &stopEvent_; }

  protected:
    void ProcessWorkItem(COutputState* item) override {
        owner_->SetOutputState(item->index, item->state);
    }

  private:
    Owner* owner_;
};

class CIOBase : public ICaptureIOApi, private CBaseThread {
  public:
    static constexpr uint32_t kRetryPauseMs = 2000;

    explicit CIOBase(IDriver* driver);
    ~CIOBase() override;

    bool SetCallback(ipcapture::IIOEventSink* sink) override;  // 1
    void StartIO() override;                                   // 2
    void StopIO() override;                                    // 3
    uint32_t GetInputCount() override;                         // 4
    uint32_t GetOutputCount() override;                        // 5
    void SetOutput(uint32_t index, uint32_t state) override;   // 6
    // Called on the output thread: records the state and sends it when it changed.
    virtual void SetOutputState(uint32_t index, uint32_t state);  // 7
    virtual uint32_t GetStopTimeout() { return 25000; }           // 8

  protected:
    virtual bool SendOutput(uint32_t index, uint32_t state) = 0;  // 9
    virtual bool PollInputs() = 0;                                // 10
    // Holds the device's monitor stream until it ends or the thread is stopping.
    virtual void MonitorInputs() = 0;  // 11
    virtual void OnStart() {}          // 12
    // Ends any request blocked on another thread.
    virtual void AbortRequests() = 0;  // 13

    void SetInputState(uint32_t index, uint32_t state);
    bool IsInputStopping() const { return stopEvent_.IsSet(); }
    bool IsOutputStopping() const { return outputs_.IsStopping(); }
    CEvent* InputStopEvent() { return &stopEvent_; }
    CEvent* OutputStopEvent() { return outputs_.StopEvent(); }
    // "driver name / device", as the thread names and log lines carry it.
    std::string DeviceLabel();

    IDriver* driver_;  // outlives this object

  private:
    void ThreadFunction() override;
    // True when the value changed (and was logged).
    bool SetConnectionState(bool connected);
    void ResetStates();
    // Under the lock: true when index is known and its state changed.
    bool StoreState(std::map<uint32_t, uint32_t>& states, uint32_t index, uint32_t state);
    void ReportConnectionLost();
    void SetOutputStateWrapper(uint32_t index, uint32_t state);

    std::atomic<ipcapture::IIOEventSink*> callback_{nullptr};  // the host's; not owned
    TOutputHandler<CIOBase> outputs_;
    CLock lock_;
    std::map<uint32_t, uint32_t> inputStates_;
    std::map<uint32_t, uint32_t> outputStates_;
    bool connected_ = true;
    bool outputSucceeded_ = true;
};

}  // namespace vornak
