#include "ptz/ptz_control.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "ptz/preset_names.h"

namespace vornak {

namespace {

// The host tends to repeat a held move with a speed that wobbles by one; that is the same move.
// A change of direction never is.
bool SameMove(uint32_t lastDirection, int32_t lastSpeed, uint32_t direction, int32_t speed) {
    if (direction != lastDirection) {
        return false;
    }
    return speed == lastSpeed || (lastSpeed != 0 && std::abs(speed - lastSpeed) <= 1);
}

void PutValue(void* record, size_t offset, uint32_t value) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &value, sizeof(value));
}

}  // namespace

// ---- CBasePTZControl ----

CBasePTZControl::~CBasePTZControl() {
    CBasePTZControl::Release();
}

void CBasePTZControl::Release() {
    if (comm_) {
        comm_->Close();
        comm_.reset();
    }
}

bool CBasePTZControl::Open() {
    comm_.reset(CreateComm());
    if (comm_ && comm_->Open()) {
        return true;
    }
    Release();
    return false;
}

bool CBasePTZControl::IsDome() {
    return comm_ && comm_->IsDome();
}

bool CBasePTZControl::SetUnicodeNames(bool unicode) {
    unicodeNames_ = unicode;
    return unicode;
}

int32_t CBasePTZControl::PostStop(MoveMemory& memory, std::atomic<bool>& active,
                                  uint32_t stopAction) {
    if (!active) {
        return kPtzOk;
    }
    memory = MoveMemory{};
    if (comm_->PostCommand({kPtzStop, stopAction, 0, 0, 0, 0}) != kPtzOk) {
        return kPtzNotSent;
    }
    active = false;
    return kPtzOk;
}

int32_t CBasePTZControl::MoveHalf(MoveMemory& memory, std::atomic<bool>& active, uint32_t direction,
                                  int32_t speed, uint32_t stopAction) {
    CLockGuard guard(moveLock_);
    if (speed == 0) {
        return PostStop(memory, active, stopAction);
    }
    if (SameMove(memory.direction, memory.speed, direction, speed)) {
        return kPtzOk;
    }
    if (stopAction == kStopZoom) {
        // A zoom move in the other direction starts from standstill.
        if (!comm_->Capabilities().zoom) {
            return kPtzNotCapable;
        }
        comm_->PostCommand({kPtzStop, kStopZoom, 0, 0, 0, 0});
    }
    const int32_t result = comm_->Move(direction, speed);
    if (result != kPtzOk) {
        return result;
    }
    // Remembered only once posted: after a refusal the same call must try again.
    memory = MoveMemory{direction, speed};
    OnMoved();
    active = true;
    return kPtzOk;
}

int32_t CBasePTZControl::Move(uint32_t direction, uint32_t speed) {
    if (direction == kZoomIn || direction == kZoomOut) {
        return Zoom(direction, speed);
    }
    if (direction >= kNoDirection) {
        return kPtzInvalidArgument;
    }
    if (!comm_) {
        return kPtzNoChannel;
    }
    return MoveHalf(panTilt_, panTiltActive_, direction, static_cast<int32_t>(speed), kStopPanTilt);
}

int32_t CBasePTZControl::Zoom(uint32_t direction, uint32_t speed) {
    if (!comm_) {
        return kPtzNoChannel;
    }
    return MoveHalf(zoom_, zoomActive_, direction, static_cast<int32_t>(speed), kStopZoom);
}

int32_t CBasePTZControl::StopAll() {
    if (!comm_) {
        return kPtzNoChannel;
    }
    bool ok = StopTicks();
    {
        CLockGuard guard(moveLock_);
        ok = PostStop(panTilt_, panTiltActive_, kStopPanTilt) == kPtzOk && ok;
        ok = PostStop(zoom_, zoomActive_, kStopZoom) == kPtzOk && ok;
    }
    MoveMemory unused;
    ok = PostStop(unused, irisActive_, kStopIris) == kPtzOk && ok;
    ok = PostStop(unused, focusActive_, kStopFocus) == kPtzOk && ok;
    return ok ? kPtzOk : kPtzNotSent;
}

int32_t CBasePTZControl::Moved(int32_t result) {
    if (result == kPtzOk) {
        OnMoved();
    }
    return result;
}

int32_t CBasePTZControl::Center(int32_t x, int32_t y, uint32_t speed) {
    return comm_ ? Moved(comm_->Center(x, y, static_cast<int32_t>(speed))) : kPtzNoChannel;
}

int32_t CBasePTZControl::Unzoom(uint32_t speed) {
    return comm_ ? Moved(comm_->Unzoom(static_cast<int32_t>(speed))) : kPtzNotSent;
}

int32_t CBasePTZControl::AreaZoom(int32_t x, int32_t y, int32_t zoom, uint32_t speed) {
    return comm_ ? Moved(comm_->AreaZoom(x, y, zoom, static_cast<int32_t>(speed))) : kPtzNotSent;
}

// One step, without repetition; the Axis class repeats it while held.
int32_t CBasePTZControl::Focus(bool flag, uint32_t speed) {
    const int32_t result = comm_ ? comm_->Focus(flag, static_cast<int32_t>(speed)) : kPtzNoChannel;
    focusActive_ = focusActive_ || result == kPtzOk;
    return result;
}

int32_t CBasePTZControl::Iris(bool flag, uint32_t speed) {
    const int32_t result = comm_ ? comm_->Iris(flag, static_cast<int32_t>(speed)) : kPtzNoChannel;
    irisActive_ = irisActive_ || result == kPtzOk;
    return result;
}

int32_t CBasePTZControl::GetCapabilities(void* record) {
    if (!comm_) {
        return kPtzNoChannel;
    }
    const int32_t result = comm_->GetCapabilities(record);
    uint32_t maximum = 0;
    if (record != nullptr) {
        std::memcpy(&maximum, static_cast<uint8_t*>(record) + 28, sizeof(maximum));
        if (maximum > 0) {
            PutValue(record, 32, static_cast<uint32_t>(LoadPresets()));
        }
    }
    return result;
}

// ---- CAxisPTZControl ----

CAxisPTZControl::CAxisPTZControl(IDriver* driver, uint32_t channel, const PtzCapabilities& caps)
    : CBasePTZControl(driver, channel), CTickThread(driver), caps_(caps) {}

CAxisPTZControl::~CAxisPTZControl() {
    StopThread(driver_->GetDeviceInfo()->networkTimeout + 1000);
    CLockGuard guard(presetLock_);
    presets_.clear();
}

CBasePTZComm* CAxisPTZControl::CreateComm() {
    return new CAxisComm(driver_, static_cast<uint16_t>(channel_), caps_);
}

void CAxisPTZControl::OnMoved() {
    CLockGuard guard(presetLock_);
    currentPreset_.clear();
}

int32_t CAxisPTZControl::Step(TickMode mode, bool flag, uint32_t speed) {
    const bool focus = mode == TickMode::kFocus;
    if (!comm_) {
        return kPtzNoChannel;
    }
    if (!(focus ? caps_.focus : caps_.iris)) {
        return kPtzNotCapable;
    }
    const auto s = static_cast<int32_t>(speed);
    if (s == 0) {
        return StopTick() ? kPtzOk : kPtzNotSent;
    }
    const int32_t result = focus ? comm_->Focus(flag, s) : comm_->Iris(flag, s);
    if (result != kPtzOk) {
        return result;
    }
    StartTick(mode, s, flag);
    (focus ? focusActive_ : irisActive_) = true;
    return kPtzOk;
}

int32_t CAxisPTZControl::Focus(bool flag, uint32_t speed) {
    return Step(TickMode::kFocus, flag, speed);
}

int32_t CAxisPTZControl::Iris(bool flag, uint32_t speed) {
    return Step(TickMode::kIris, flag, speed);
}

void CAxisPTZControl::StartTick(TickMode mode, int32_t speed, bool flag) {
    if (speed < 1) {
        StopTick();
        return;
    }
    tickMode_ = mode;
    tickSpeed_ = speed;
    tickFlag_ = flag;
    OnMoved();
    // A running thread keeps running and picks up the new values.
    Start(mode == TickMode::kFocus ? "Focus Tick Thread" : "Iris Tick Thread");
}

void CAxisPTZControl::OnTick() {
    const int32_t speed = tickSpeed_;
    if (speed < 1) {
        return;
    }
    if (tickMode_ == TickMode::kFocus && focusActive_) {
        comm_->Focus(tickFlag_, speed);
    } else if (tickMode_ == TickMode::kIris && irisActive_) {
        comm_->Iris(tickFlag_, speed);
    }
}

bool CAxisPTZControl::StopTick() {
    tickSpeed_ = 0;
    if (!StopThread(5000)) {
        return false;
    }
    focusActive_ = false;
    irisActive_ = false;
    return true;
}

bool CAxisPTZControl::StopTicks() {
    return (!focusActive_ && !irisActive_) || StopTick();
}

int32_t CAxisPTZControl::GetCapabilities(void* record) {
    if (record == nullptr) {
        return kPtzInvalidArgument;
    }
    const std::pair<size_t, bool> flags[] = {
        {4, caps_.pan},   {8, caps_.tilt},      {12, caps_.zoom},   {16, caps_.focus},
        {20, caps_.iris}, {44, caps_.areaZoom}, {48, caps_.center}, {52, caps_.unzoom},
    };
    for (const auto& [offset, value] : flags) {
        PutValue(record, offset, value ? 1 : 0);
    }
    std::memset(static_cast<uint8_t*>(record) + 24, 0, 20);
    if (caps_.preset) {
        const int32_t count = LoadPresets();
        if (count >= 0) {
            PutValue(record, 32, static_cast<uint32_t>(count));
        }
        PutValue(record, 28, static_cast<uint32_t>(std::max(20, count)));
    }
    return kPtzOk;
}

int32_t CAxisPTZControl::LoadPresets() {
    if (const int32_t gate = PresetGate(); gate != kPtzOk) {
        return gate;
    }
    std::map<uint32_t, std::string> presets;
    if (!comm_->LoadPrepositions(presets)) {
        return kPtzNoChannel;
    }
    CLockGuard guard(presetLock_);
    presets_ = std::move(presets);
    return static_cast<int32_t>(presets_.size());
}

int32_t CAxisPTZControl::GetPresetName(uint32_t number, char* buffer, uint32_t size) {
    if (!caps_.preset) {
        return kPtzNotCapable;
    }
    if (buffer == nullptr || size == 0) {
        return kPtzInvalidArgument;
    }
    CLockGuard guard(presetLock_);
    const auto it = presets_.find(number);
    if (it == presets_.end()) {
        return kPtzInvalidArgument;
    }
    return CopyNameToHost(it->second, unicodeNames_, buffer, size);
}

int32_t CAxisPTZControl::GetCurrentPreset(char* buffer, uint32_t size) {
    if (!caps_.preset) {
        return kPtzNotCapable;
    }
    if (buffer == nullptr || size == 0) {
        return kPtzInvalidArgument;
    }
    CLockGuard guard(presetLock_);
    if (currentPreset_.empty()) {
        buffer[0] = '\0';
        return 0;
    }
    return CopyNameToHost(currentPreset_, unicodeNames_, buffer, size);
}

int32_t CAxisPTZControl::SetPreset(const char* name) {
    if (const int32_t gate = PresetGate(); gate != kPtzOk) {
        return gate;
    }
    if (name == nullptr || *name == '\0') {
        return kPtzInvalidArgument;
    }
    const bool unicode = unicodeNames_;
    const auto units = HostNameToUnits(name, unicode);
    if (!units) {
        return kPtzInvalidArgument;
    }
    const std::string cameraName = unicode ? EscapeUnits(*units) : AnsiFromUnits(*units);
    const int32_t result = comm_->SetPreset(cameraName);
    if (result == kPtzOk) {
        CLockGuard guard(presetLock_);
        currentPreset_ = cameraName;
    }
    return result;
}

std::string CAxisPTZControl::ResolveName(const char* name) {
    if (name == nullptr) {
        return {};
    }
    const auto units = HostNameToUnits(name, unicodeNames_);
    if (!units) {
        return {};
    }
    const std::string escaped = EscapeUnits(*units);
    const std::string ansi = AnsiFromUnits(*units);
    CLockGuard guard(presetLock_);
    for (const std::string* candidate : {&escaped, &ansi}) {
        for (const auto& [number, known] : presets_) {
            if (known == *candidate) {
                return known;
            }
        }
    }
    return {};
}

int32_t CAxisPTZControl::PresetGate() const {
    if (!caps_.preset) {
        return kPtzNotCapable;
    }
    return comm_ ? kPtzOk : kPtzNoChannel;
}

int32_t CAxisPTZControl::OnListedPreset(const char* name, bool reached,
                                        const std::function<int32_t(const std::string&)>& call) {
    if (const int32_t gate = PresetGate(); gate != kPtzOk) {
        return gate;
    }
    const std::string cameraName = ResolveName(name);
    if (cameraName.empty()) {
        return kPtzInvalidArgument;
    }
    const int32_t result = call(cameraName);
    if (result == kPtzOk) {
        CLockGuard guard(presetLock_);
        currentPreset_ = reached ? cameraName : std::string();
    }
    return result;
}

int32_t CAxisPTZControl::GotoPreset(uint32_t speed, const char* name) {
    return OnListedPreset(name, true, [&](const std::string& cameraName) {
        return comm_->GotoPreset(cameraName, static_cast<int32_t>(speed));
    });
}

int32_t CAxisPTZControl::RemovePreset(const char* name) {
    return OnListedPreset(name, false, [&](const std::string& cameraName) {
        return comm_->RemovePreset(cameraName);
    });
}

// ---- CAxisPTZHandler ----

CAxisPTZHandler::~CAxisPTZHandler() {
    CLockGuard guard(lock_);
    controls_.clear();
}

IIPPTZApiEx* CAxisPTZHandler::GetPTZApi(uint32_t channel) {
    if (channel >= inputs_) {
        return nullptr;
    }
    CLockGuard guard(lock_);
    if (const auto it = controls_.find(channel); it != controls_.end()) {
        return it->second.get();
    }
    const PtzCapabilities caps =
        PtzCapabilities::FromText(driver_->GetParameter(kParamPtzCapabilities));
    auto control = std::make_unique<CAxisPTZControl>(driver_, channel, caps);
    if (!control->Open()) {
        return nullptr;
    }
    return (controls_[channel] = std::move(control)).get();
}

}  // namespace vornak
