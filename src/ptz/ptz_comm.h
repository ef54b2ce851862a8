// The PTZ command channel of one video input: a queue of pending commands carried out one by one
// by a worker thread, plus the preset requests and the compatibility check that the caller's
// thread makes itself.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/thread.h"
#include "driver/driver_api.h"
#include "properties/capabilities.h"

namespace Web {
class CHttpSender;
}

namespace vornak {

// Result codes shared by the command channel and the control object.
enum : int32_t {
    kPtzOk = 1,
    kPtzNoChannel = -1,
    kPtzInvalidArgument = -3,
    kPtzDeviceFailure = -4,
    kPtzNotSent = -18,
    kPtzNotCapable = -19,
    kPtzDeviceError = -23,
    kPtzNoFreeSlot = -26,
    kPtzNameTooLong = -28,
};

enum : uint32_t {
    kPtzMove = 1,
    kPtzFocus = 2,
    kPtzIris = 3,
    kPtzStop = 4,
    kPtzAreaZoom = 5,
    kPtzCenter = 6,
    kPtzUnzoom = 7,
};

// Stop actions: pan/tilt, zoom, focus, iris.
enum : uint32_t { kStopPanTilt = 5, kStopZoom = 6, kStopFocus = 7, kStopIris = 8 };
// Direction codes 0..7 pan and tilt; these two zoom.
enum : uint32_t { kZoomIn = 8, kZoomOut = 9, kNoDirection = 10 };

struct CPTZMessage {
    uint32_t command = 0;
    uint32_t action = 0;
    int32_t speed = 0;
    int32_t arg1 = 0;
    int32_t arg2 = 0;
    int32_t arg3 = 0;
    bool operator==(const CPTZMessage&) const = default;
};

// Host speed 1..16 to the device's 0..100.
[[nodiscard]] int32_t ScalePtzSpeed(int32_t speed);
// "&continuouspantiltmove=-50,0" for a direction code and a scaled speed; empty for other codes.
[[nodiscard]] std::string MoveSuffix(int32_t direction, int32_t scaled);
// The line a reply starts with: up to the first CR or LF, or the whole body.
[[nodiscard]] std::string_view FirstLine(std::string_view body);
// The values of a preset list reply ("presetposno1=Home" lines) in reply order, numbered from 0.
[[nodiscard]] std::map<uint32_t, std::string> ParsePresetList(std::string_view body);
// Result code of a 200 answer to a preset request.
[[nodiscard]] int32_t PresetReplyResult(std::string_view body);
// Value of a form body: everything but unreserved characters as %HH, so '&', '=', '+' and '%'
// in a name cannot split or change the body.
[[nodiscard]] std::string FormEncode(std::string_view value);

class CBasePTZComm : public CBaseThread {
  public:
    CBasePTZComm(IDriver* driver, uint16_t channel, const PtzCapabilities& caps);
    ~CBasePTZComm() override;

    virtual bool Open();
    virtual bool Close();
    virtual bool IsDome() { return caps_.AnyMovement(); }
    // Fills the host's capabilities record; offset 0 stays as the caller set it.
    virtual int32_t GetCapabilities(void* record);
    virtual int32_t SetPreset(const std::string& name) = 0;
    virtual int32_t GotoPreset(const std::string& name, int32_t speed) = 0;
    virtual int32_t RemovePreset(const std::string& name) = 0;
    virtual bool LoadPrepositions(std::map<uint32_t, std::string>& presets) = 0;

    int32_t Move(uint32_t direction, int32_t speed);
    int32_t Focus(bool flag, int32_t speed);
    int32_t Iris(bool flag, int32_t speed);
    int32_t AreaZoom(int32_t x, int32_t y, int32_t zoom, int32_t speed);
    int32_t Center(int32_t x, int32_t y, int32_t speed);
    int32_t Unzoom(int32_t speed);
    int32_t PostCommand(const CPTZMessage& message);

    const PtzCapabilities& Capabilities() const { return caps_; }
    // What the worker has yet to send, oldest first.
    std::vector<CPTZMessage> PendingCommands();

  protected:
    void ThreadFunction() override;
    virtual void ExecuteCommand(const CPTZMessage& message) = 0;
    virtual void QueryAutoModes() {}
    virtual void AbortRequests() {}
    void ClearQueue();

    IDriver* driver_;  // borrowed; the driver outlives its PTZ objects
    uint16_t channel_;
    PtzCapabilities caps_;

  private:
    std::list<CPTZMessage> queue_;
    CLock queueLock_;
    CEvent workEvent_{false};
};

class CAxisComm : public CBasePTZComm {
  public:
    CAxisComm(IDriver* driver, uint16_t channel, const PtzCapabilities& caps);
    ~CAxisComm() override;

    bool IsDome() override;
    int32_t SetPreset(const std::string& name) override;
    int32_t GotoPreset(const std::string& name, int32_t speed) override;
    int32_t RemovePreset(const std::string& name) override;
    bool LoadPrepositions(std::map<uint32_t, std::string>& presets) override;

  protected:
    void ExecuteCommand(const CPTZMessage& message) override;
    void QueryAutoModes() override;
    void AbortRequests() override;

  private:
    bool SendMoveCommand(const std::string& request);
    void SetAutoModes(bool manualFocus, bool manualIris);
    int32_t ExecutePrepositionCommand(const std::string& script, const std::string& body);
    bool ControlQueueingAllowed();
    std::string BaseRequest() const;

    // A sender carries one request at a time, and the worker and any number of host threads
    // may want one at once: each sender has its lock, held for one exchange.
    std::unique_ptr<Web::CHttpSender> commandSender_;
    std::unique_ptr<Web::CHttpSender> presetSender_;
    CLock commandLock_;
    CLock presetLock_;
    // 0 automatic, 1 manual; the worker alone touches these.
    uint8_t irisMode_ = 1;
    uint8_t focusMode_ = 1;
    bool modesKnown_ = false;
};

}  // namespace vornak
