#include "io/io_base.h"

namespace vornak {

CIOBase::CIOBase(IDriver* driver) : CBaseThread(driver), driver_(driver), outputs_(this, driver) {
    ResetStates();
}

CIOBase::~CIOBase() {
    // The subclass has aborted its requests already; what is left only has to end.
    outputs_.StopQueueThread(5000);
    JoinThread(GetStopTimeout());
}

std::string CIOBase::DeviceLabel() {
    return Format("%s / %s", driver_->GetDriverName().c_str(), driver_->GetDeviceName().c_str());
}

bool CIOBase::SetCallback(ipcapture::IIOEventSink* sink) {
    if (sink == nullptr) {
        return false;
    }
    callback_ = sink;
    return true;
}

uint32_t CIOBase::GetInputCount() {
    return driver_->GetIOCount().first;
}

uint32_t CIOBase::GetOutputCount() {
    return driver_->GetIOCount().second;
}

void CIOBase::ResetStates() {
    const auto [inputs, outputs] = driver_->GetIOCount();
    CLockGuard guard(lock_);
    inputStates_.clear();
    outputStates_.clear();
    for (uint32_t i = 0; i < inputs; ++i) {
        inputStates_[i] = kIOUndetermined;
    }
    for (uint32_t i = 0; i < outputs; ++i) {
        outputStates_[i] = kIOUndetermined;
    }
}

void CIOBase::StartIO() {
    static constexpr const char* kMethod = "vornak::CIOBase::StartIO";
    ResetStates();
    OnStart();
    const std::string label = DeviceLabel();
    if (const uint32_t outputs = GetOutputCount(); outputs > 0) {
        const std::string name = Format("Digital Output thread (%s)", label.c_str());
        if (!outputs_.StartQueueThread(name)) {
            driver_->DebugMessage(kLogError, "%s: Starting of %s failed!", kMethod, name.c_str());
        } else {
            // Left undetermined until sent, so that every output really is driven inactive
            // rather than only when the queue thread happens to be quicker than the record.
            for (uint32_t i = 0; i < outputs; ++i) {
                outputs_.AddItem(new COutputState(i, kIOInactive), 0);
            }
        }
    }
    if (GetInputCount() > 0) {
        const std::string name = Format("Digital Input thread (%s)", label.c_str());
        if (!StartThread(name)) {
            driver_->DebugMessage(kLogError, "%s: Starting of %s failed!", kMethod, name.c_str());
        }
    }
}

void CIOBase::StopIO() {
    static constexpr const char* kMethod = "vornak::CIOBase::StopIO";
    outputs_.RequestStop();
    stopEvent_.Set();
    AbortRequests();
    const std::string label = DeviceLabel();
    if (!outputs_.StopQueueThread(5000)) {
        driver_->DebugMessage(kLogError, "%s: Stopping of Digital Output thread (%s) failed!",
                              kMethod, label.c_str());
    }
    if (!JoinThread(GetStopTimeout())) {
        driver_->DebugMessage(kLogError, "%s: Stopping of Digital Input thread (%s) failed!",
                              kMethod, label.c_str());
    }
    ResetStates();
}

void CIOBase::SetOutput(uint32_t index, uint32_t state) {
    static constexpr const char* kMethod = "vornak::CIOBase::SetOutput";
    // Refused here, before it can count as a failed request that resets every state.
    if (state != kIOInactive && state != kIOActive) {
        driver_->DebugMessage(kLogError, "%s: Invalid state %u for output %u (%s)", kMethod, state,
                              index, DeviceLabel().c_str());
        return;
    }
    if (index >= GetOutputCount()) {
        driver_->DebugMessage(kLogError, "%s: There is no output %u (%s)", kMethod, index,
                              DeviceLabel().c_str());
        return;
    }
    if (!outputs_.AddItem(new COutputState(index, state), 0)) {
        driver_->DebugMessage(kLogError, "%s: Set output %u failed (%s)", kMethod, index,
                              DeviceLabel().c_str());
    }
}

bool CIOBase::StoreState(std::map<uint32_t, uint32_t>& states, uint32_t index, uint32_t state) {
    CLockGuard guard(lock_);
    const auto it = states.find(index);
    if (it == states.end() || it->second == state) {
        return false;
    }
    it->second = state;
    return true;
}

void CIOBase::SetOutputState(uint32_t index, uint32_t state) {
    if (StoreState(outputStates_, index, state)) {
        SetOutputStateWrapper(index, state);
    }
}

void CIOBase::SetOutputStateWrapper(uint32_t index, uint32_t state) {
    const bool sent = SendOutput(index, state);
    // A request cut short by the stop is no lost device.
    if (IsOutputStopping()) {
        return;
    }
    bool firstFailure = false;
    {
        CLockGuard guard(lock_);
        firstFailure = !sent && outputSucceeded_;
        outputSucceeded_ = sent;
    }
    if (sent) {
        return;
    }
    ResetStates();
    if (firstFailure) {
        driver_->DebugMessage(kLogError,
                              "vornak::CIOBase::SetOutputStateWrapper: Unable to switch state of "
                              "digital output #%u (%s)",
                              index, DeviceLabel().c_str());
        ReportConnectionLost();
    }
}

void CIOBase::SetInputState(uint32_t index, uint32_t state) {
    const bool changed = StoreState(inputStates_, index, state);
    ipcapture::IIOEventSink* sink = callback_.load();
    if (changed && sink != nullptr) {
        sink->OnInputChanged(index, state);
    }
}

void CIOBase::ReportConnectionLost() {
    if (ipcapture::IIOEventSink* sink = callback_.load()) {
        sink->OnConnectionLost();
    }
}

bool CIOBase::SetConnectionState(bool connected) {
    static constexpr const char* kMethod = "vornak::CIOBase::SetConnectionState";
    {
        CLockGuard guard(lock_);
        if (connected == connected_ || stopEvent_.IsSet()) {
            return false;
        }
        connected_ = connected;
    }
    if (connected) {
        driver_->DebugMessage(kLogInfo, "%s: Digital input connection (%s) is established", kMethod,
                              DeviceLabel().c_str());
    } else {
        driver_->DebugMessage(kLogError, "%s: Digital input connection (%s) was lost", kMethod,
                              DeviceLabel().c_str());
    }
    return true;
}

void CIOBase::ThreadFunction() {
    while (!stopEvent_.IsSet()) {
        if (PollInputs()) {
            SetConnectionState(true);
            MonitorInputs();
        } else if (!stopEvent_.IsSet()) {
            // Every failed poll forgets the states, so the first good one reports them all;
            // the host hears of the loss once, not on every retry.
            ResetStates();
            if (SetConnectionState(false)) {
                ReportConnectionLost();
            }
        }
        stopEvent_.Wait(kRetryPauseMs);
    }
}

}  // namespace vornak
