#include "ptz/ptz_comm.h"

#include <cctype>
#include <cstring>

#include "base/text.h"
#include "web/field_search.h"
#include "web/http_sender.h"
#include "web/request_utils.h"

namespace vornak {

namespace {

constexpr const char* kPtzScript = "/axis-cgi/com/ptz.cgi";
// Far above what a camera's preset table can list; a longer answer is not a preset list.
constexpr size_t kPresetListLimit = 256 * 1024;

// Which half of the head a command moves, for the queue's merge rule.
enum class Axis { kNone, kPanTilt, kZoom };

Axis AxisOf(const CPTZMessage& m) {
    if (m.command == kPtzMove) {
        return m.arg1 < static_cast<int32_t>(kZoomIn) ? Axis::kPanTilt : Axis::kZoom;
    }
    if (m.command == kPtzStop && m.action == kStopPanTilt) {
        return Axis::kPanTilt;
    }
    if (m.command == kPtzStop && m.action == kStopZoom) {
        return Axis::kZoom;
    }
    return Axis::kNone;
}

// A pending command the new one makes pointless.
bool Supersedes(const CPTZMessage& next, const CPTZMessage& pending) {
    const Axis axis = AxisOf(next);
    if (pending.command == kPtzMove) {
        return axis != Axis::kNone && axis == AxisOf(pending);
    }
    return pending.command == next.command && pending.action == next.action;
}

void PutFlag(void* record, size_t offset, bool value) {
    const uint32_t v = value ? 1 : 0;
    std::memcpy(static_cast<uint8_t*>(record) + offset, &v, sizeof(v));
}

}  // namespace

int32_t ScalePtzSpeed(int32_t speed) {
    if (speed < 1) {
        return 0;
    }
    if (speed == 1) {
        return 5;
    }
    if (speed >= 16) {
        return 100;
    }
    return 5 + static_cast<int32_t>((speed - 1) * 95.0 / 15.0 + 0.5);
}

std::string MoveSuffix(int32_t direction, int32_t s) {
    struct Row {
        int pan;
        int tilt;
    };
    // Sign of pan and tilt per direction: left, right, up, down, then the diagonals.
    static constexpr Row kRows[] = {{-1, 0}, {1, 0}, {0, 1},   {0, -1},
                                    {-1, 1}, {1, 1}, {-1, -1}, {1, -1}};
    if (direction >= 0 && direction < 8) {
        const Row& r = kRows[direction];
        return Format("&continuouspantiltmove=%d,%d", r.pan * s, r.tilt * s);
    }
    if (direction == static_cast<int32_t>(kZoomIn)) {
        return Format("&continuouszoommove=%d", s);
    }
    if (direction == static_cast<int32_t>(kZoomOut)) {
        return Format("&continuouszoommove=-%d", s);
    }
    return {};
}

std::string_view FirstLine(std::string_view body) {
    return body.substr(0, body.find_first_of("\r\n"));
}

std::map<uint32_t, std::string> ParsePresetList(std::string_view body) {
    std::map<uint32_t, std::string> presets;
    // Current firmware ends lines with LF alone, older with CR LF: either ends a value.
    size_t pos = 0;
    while (pos < body.size()) {
        const size_t eq = body.find('=', pos);
        if (eq == std::string_view::npos) {
            break;
        }
        size_t end = body.find_first_of("\r\n", eq + 1);
        if (end == std::string_view::npos) {
            end = body.size();
        }
        if (end > eq + 1) {
            presets.emplace(static_cast<uint32_t>(presets.size()),
                            std::string(body.substr(eq + 1, end - eq - 1)));
        }
        pos = end + 1;
    }
    return presets;
}

int32_t PresetReplyResult(std::string_view body) {
    if (!body.starts_with("Error:")) {
        return kPtzOk;
    }
    int32_t result = kPtzDeviceError;
    if (body.find("setserverpresetname: too many preset positions") != std::string_view::npos ||
        body.find("no more available") != std::string_view::npos) {
        result = kPtzNoFreeSlot;
    }
    if (body.find("setserverpresetname:") != std::string_view::npos &&
        body.find("exceeded max length") != std::string_view::npos) {
        result = kPtzNameTooLong;
    }
    return result;
}

std::string FormEncode(std::string_view value) {
    std::string out;
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (std::isalnum(b) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out += Format("%%%02X", b);
        }
    }
    return out;
}

// ---- CBasePTZComm ----

CBasePTZComm::CBasePTZComm(IDriver* driver, uint16_t channel, const PtzCapabilities& caps)
    : CBaseThread(driver), driver_(driver), channel_(channel), caps_(caps) {}

CBasePTZComm::~CBasePTZComm() {
    ClearQueue();
}

bool CBasePTZComm::Open() {
    if (IsRunning()) {
        return true;
    }
    workEvent_.Reset();
    if (!StartThread(Format("Axis IP PTZ Thread (%s / %u)", driver_->GetDeviceName().c_str(),
                            static_cast<uint32_t>(channel_)))) {
        driver_->DebugMessage(
            kLogError,
            "vornak::CBasePTZComm::Open: unable to start thread for PTZ channel %u of "
            "device %s",
            static_cast<uint32_t>(channel_), driver_->GetDeviceName().c_str());
        return false;
    }
    return true;
}

bool CBasePTZComm::Close() {
    stopEvent_.Set();
    ClearQueue();
    AbortRequests();
    return JoinThread(driver_->GetDeviceInfo()->networkTimeout + 500);
}

int32_t CBasePTZComm::GetCapabilities(void* record) {
    if (record == nullptr) {
        return kPtzOk;
    }
    PutFlag(record, 4, caps_.pan);
    PutFlag(record, 8, caps_.tilt);
    PutFlag(record, 12, caps_.zoom);
    PutFlag(record, 16, caps_.focus);
    PutFlag(record, 20, caps_.iris);
    std::memset(static_cast<uint8_t*>(record) + 24, 0, 20);
    PutFlag(record, 44, caps_.areaZoom);
    PutFlag(record, 48, caps_.center);
    PutFlag(record, 52, caps_.unzoom);
    return kPtzOk;
}

int32_t CBasePTZComm::Move(uint32_t direction, int32_t speed) {
    const bool zoom = direction == kZoomIn || direction == kZoomOut;
    if (zoom ? !caps_.zoom : !(caps_.pan || caps_.tilt)) {
        return kPtzNotCapable;
    }
    return PostCommand({kPtzMove, 0, speed, static_cast<int32_t>(direction), 0, 0});
}

int32_t CBasePTZComm::Focus(bool flag, int32_t speed) {
    return caps_.focus ? PostCommand({kPtzFocus, flag ? 2u : 1u, speed, 0, 0, 0}) : kPtzNotCapable;
}

int32_t CBasePTZComm::Iris(bool flag, int32_t speed) {
    return caps_.iris ? PostCommand({kPtzIris, flag ? 3u : 4u, speed, 0, 0, 0}) : kPtzNotCapable;
}

int32_t CBasePTZComm::AreaZoom(int32_t x, int32_t y, int32_t zoom, int32_t speed) {
    return caps_.areaZoom ? PostCommand({kPtzAreaZoom, 0, speed, x, y, zoom}) : kPtzNotCapable;
}

int32_t CBasePTZComm::Center(int32_t x, int32_t y, int32_t speed) {
    return caps_.center ? PostCommand({kPtzCenter, 0, speed, x, y, 0}) : kPtzNotCapable;
}

int32_t CBasePTZComm::Unzoom(int32_t speed) {
    return caps_.unzoom ? PostCommand({kPtzUnzoom, 0, speed, 0, 0, 0}) : kPtzNotCapable;
}

int32_t CBasePTZComm::PostCommand(const CPTZMessage& message) {
    CLockGuard guard(queueLock_);
    queue_.remove_if([&](const CPTZMessage& pending) { return Supersedes(message, pending); });
    queue_.push_back(message);
    workEvent_.Set();
    return kPtzOk;
}

std::vector<CPTZMessage> CBasePTZComm::PendingCommands() {
    CLockGuard guard(queueLock_);
    return {queue_.begin(), queue_.end()};
}

void CBasePTZComm::ClearQueue() {
    CLockGuard guard(queueLock_);
    queue_.clear();
}

void CBasePTZComm::ThreadFunction() {
    QueryAutoModes();
    CEvent* events[] = {&stopEvent_, &workEvent_};
    while (CEvent::WaitForMultiple(events, 2, kInfinite) == 1) {
        while (!stopEvent_.IsSet()) {
            CPTZMessage message;
            {
                CLockGuard guard(queueLock_);
                if (queue_.empty()) {
                    break;
                }
                message = queue_.front();
                queue_.pop_front();
            }
            ExecuteCommand(message);
        }
    }
}

// ---- CAxisComm ----

CAxisComm::CAxisComm(IDriver* driver, uint16_t channel, const PtzCapabilities& caps)
    : CBasePTZComm(driver, channel, caps) {
    const DEVICE_INFO& device = *driver->GetDeviceInfo();
    commandSender_ = std::make_unique<Web::CHttpSender>(device, 2 * device.networkTimeout);
    presetSender_ = std::make_unique<Web::CHttpSender>(device, 3 * device.networkTimeout);
    commandSender_->SetCancelEvent(&stopEvent_);
    presetSender_->SetCancelEvent(&stopEvent_);
}

CAxisComm::~CAxisComm() {
    Close();
}

std::string CAxisComm::BaseRequest() const {
    return Format("%s?camera=%u", kPtzScript, static_cast<uint32_t>(channel_) + 1);
}

void CAxisComm::AbortRequests() {
    commandSender_->Abort();
    presetSender_->Abort();
}

bool CAxisComm::SendMoveCommand(const std::string& request) {
    if (request.empty() || stopEvent_.IsSet()) {
        return false;
    }
    CLockGuard guard(commandLock_);
    const HUtils::Reply reply = HUtils::Get(*commandSender_, request);
    if (!reply.Ok()) {
        const DEVICE_INFO& device = *driver_->GetDeviceInfo();
        driver_->DebugMessage(kLogError,
                              "%s: cannot send HTTP message to %s:%u, message=%s, http status=%u",
                              "vornak::CAxisComm::SendMoveCommand", device.address.c_str(),
                              device.port, request.c_str(), reply.status);
        return false;
    }
    return true;
}

void CAxisComm::SetAutoModes(bool manualFocus, bool manualIris) {
    std::string text;
    const uint8_t focus = manualFocus ? 1 : 0;
    const uint8_t iris = manualIris ? 1 : 0;
    if (caps_.focus && (focus != focusMode_ || !modesKnown_)) {
        text += manualFocus ? "&autofocus=off" : "&autofocus=on";
        focusMode_ = focus;
    }
    if (caps_.iris && (iris != irisMode_ || !modesKnown_)) {
        text += manualIris ? "&autoiris=off" : "&autoiris=on";
        irisMode_ = iris;
    }
    if (!text.empty()) {
        modesKnown_ = SendMoveCommand(BaseRequest() + text);
    }
}

void CAxisComm::ExecuteCommand(const CPTZMessage& m) {
    const int32_t s = ScalePtzSpeed(m.speed);
    const bool focusManual = focusMode_ != 0;
    const bool irisManual = irisMode_ != 0;
    std::string suffix;
    switch (m.command) {
        case kPtzMove:
            if (SendMoveCommand(BaseRequest() + MoveSuffix(m.arg1, s)) && s > 0) {
                SetAutoModes(false, false);
            }
            return;
        case kPtzFocus:
            if (m.action != 1 && m.action != 2) {
                return;
            }
            SetAutoModes(true, irisManual);
            suffix = m.action == 1 ? "&rfocus=+500" : "&rfocus=-500";
            break;
        case kPtzIris:
            if (m.action != 3 && m.action != 4) {
                return;
            }
            SetAutoModes(focusManual, true);
            suffix = m.action == 3 ? "&riris=+200" : "&riris=-200";
            break;
        case kPtzStop: {
            static constexpr const char* kStops[] = {
                "&continuouspantiltmove=0,0", "&continuouszoommove=0", "&continuousfocusmove=0"};
            if (m.action < kStopPanTilt || m.action > kStopFocus) {
                return;
            }
            suffix = kStops[m.action - kStopPanTilt];
            break;
        }
        case kPtzAreaZoom:
        case kPtzCenter: {
            const Size size = driver_->GetChannelResolution(channel_);
            suffix = m.command == kPtzAreaZoom
                         ? Format("&areazoom=%d,%d,%d", m.arg1, m.arg2, m.arg3)
                         : Format("&center=%d,%d", m.arg1, m.arg2);
            suffix += Format("&imagewidth=%u&imageheight=%u", size.width, size.height);
            if (SendMoveCommand(BaseRequest() + suffix)) {
                SetAutoModes(false, irisManual);
            }
            return;
        }
        case kPtzUnzoom:
            suffix = "&zoom=1";
            break;
        default:
            return;
    }
    SendMoveCommand(BaseRequest() + suffix);
}

void CAxisComm::QueryAutoModes() {
    CLockGuard guard(commandLock_);
    const HUtils::Reply reply = HUtils::Get(
        *commandSender_,
        Format("%s?query=position&camera=%u", kPtzScript, static_cast<uint32_t>(channel_) + 1));
    if (reply.body.empty()) {
        return;
    }
    modesKnown_ = true;
    const auto read = [&](const char* key, uint8_t& mode) {
        const std::string value = GetFieldValue(reply.body, key, "=", "&\r\n");
        if (value == "on") {
            mode = 0;
        } else if (value == "off") {
            mode = 1;
        }
    };
    read("autofocus", focusMode_);
    read("autoiris", irisMode_);
}

bool CAxisComm::IsDome() {
    static constexpr const char* kMethod = "vornak::CAxisComm::IsDome";
    if (!caps_.AnyMovement()) {
        return false;
    }
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    const std::string request =
        BaseRequest() + (driver_->GetApiVersion() >= 3 ? "&whoami=1" : "&whoami=what");
    uint32_t status = 0;
    if (!stopEvent_.IsSet()) {
        CLockGuard guard(commandLock_);
        const HUtils::Reply reply = HUtils::Get(*commandSender_, request);
        status = reply.status;
        if (reply.Ok()) {
            const std::string_view line = FirstLine(reply.body);
            if (!line.empty()) {
                if (line.find("Error:") != std::string_view::npos) {
                    return false;
                }
                driver_->DebugMessage(kLogInfo, "%s: The device %s:%u uses \"%s\" PTZ driver",
                                      kMethod, device.address.c_str(), device.port,
                                      std::string(line).c_str());
            }
        } else if (reply.status != 401) {
            driver_->DebugMessage(
                kLogWarning, "%s: cannot retrieve PTZ driver name from device %s:%u. %s", kMethod,
                device.address.c_str(), device.port, HUtils::FailureText(reply.status).c_str());
            return !driver_->GetParameter(kParamPtzPortMapping).empty();
        }
    }
    return status == 0 || ControlQueueingAllowed();
}

// A device that queues control requests from several clients answers moves late and out of
// order; the driver does not work with that option.
bool CAxisComm::ControlQueueingAllowed() {
    static constexpr const char* kMethod = "vornak::CAxisComm::IsDome";
    if (stopEvent_.IsSet()) {
        return true;
    }
    const DEVICE_INFO& device = *driver_->GetDeviceInfo();
    const std::string key = Format("PTZ.Various.V%d.CtlQueueing", static_cast<int>(channel_) + 1);
    CLockGuard guard(commandLock_);
    const HUtils::Reply reply =
        HUtils::Get(*commandSender_, "/axis-cgi/admin/param.cgi?action=list&group=" + key);
    if (!reply.Ok()) {
        driver_->DebugMessage(
            kLogError, "%s: cannot retrieve PTZ Control Queue option state from device %s:%u. %s",
            kMethod, device.address.c_str(), device.port,
            HUtils::FailureText(reply.status).c_str());
        return true;
    }
    if (Trim(GetParameterValue(reply.body, key)) == "true") {
        driver_->DebugMessage(kLogError,
                              "%s: PTZ Control Queue option is enabled for device %s:%u. The "
                              "driver isn't compatible with this option!",
                              kMethod, device.address.c_str(), device.port);
        return false;
    }
    return true;
}

int32_t CAxisComm::SetPreset(const std::string& name) {
    if (name.empty()) {
        return kPtzInvalidArgument;
    }
    if (name.size() > 64) {
        return kPtzNameTooLong;
    }
    return ExecutePrepositionCommand("ptzconfig.cgi", "setserverpresetname=" + FormEncode(name));
}

int32_t CAxisComm::GotoPreset(const std::string& name, int32_t speed) {
    const int32_t scaled = ScalePtzSpeed(speed);
    if (name.empty() || scaled <= 0) {
        return kPtzInvalidArgument;
    }
    return ExecutePrepositionCommand(
        "ptz.cgi", Format("speed=%d&gotoserverpresetname=", scaled) + FormEncode(name));
}

int32_t CAxisComm::RemovePreset(const std::string& name) {
    if (name.empty()) {
        return kPtzInvalidArgument;
    }
    return ExecutePrepositionCommand("ptzconfig.cgi", "removeserverpresetname=" + FormEncode(name));
}

int32_t CAxisComm::ExecutePrepositionCommand(const std::string& script, const std::string& body) {
    const std::string url = "/axis-cgi/com/" + script;
    const std::string text = Format("camera=%u&", static_cast<uint32_t>(channel_) + 1) + body;
    if (script.empty() || body.empty() || stopEvent_.IsSet()) {
        return kPtzNotSent;
    }
    Web::HttpRequest request = Web::MakeGetRequest(url);
    request.verb = "POST";
    request.body.assign(text.begin(), text.end());
    request.headers.emplace_back("Content-Type: text/html; charset=utf-8");
    CLockGuard guard(presetLock_);
    const HUtils::Reply reply = HUtils::Exchange(*presetSender_, request);
    if (reply.status == 0) {
        return kPtzDeviceFailure;
    }
    if (!reply.Ok()) {
        driver_->DebugMessage(
            kLogError, "%s(): cannot send HTTP message to device %s, message=%s, status code=%u",
            "vornak::CAxisComm::ExecutePrepositionCommand", driver_->GetDeviceName().c_str(),
            url.c_str(), reply.status);
        return kPtzDeviceFailure;
    }
    return reply.status == 200 ? PresetReplyResult(reply.body) : kPtzOk;
}

bool CAxisComm::LoadPrepositions(std::map<uint32_t, std::string>& presets) {
    presets.clear();
    if (stopEvent_.IsSet()) {
        return false;
    }
    const std::string url =
        Format("%s?query=presetposcam&camera=%u", kPtzScript, static_cast<uint32_t>(channel_) + 1);
    CLockGuard guard(presetLock_);
    const HUtils::Reply reply = HUtils::Get(*presetSender_, url, kPresetListLimit);
    if (!reply.Ok()) {
        driver_->DebugMessage(kLogError,
                              "%s: cannot send HTTP message to %s, message=%s, http status=%u",
                              "vornak::CAxisComm::LoadPrepositions",
                              driver_->GetDeviceName().c_str(), url.c_str(), reply.status);
        return false;
    }
    if (reply.bodyTooLong) {
        driver_->DebugMessage(kLogError, "%s: cannot read HTTP response from device %s",
                              "vornak::CAxisComm::LoadPrepositions",
                              driver_->GetDeviceName().c_str());
        return false;
    }
    presets = ParsePresetList(reply.body);
    return true;
}

}  // namespace vornak
