// What the host steers a PTZ head with: one control object per video input, handed out by the
// driver's PTZ handler. The control object remembers what moves so that a stop goes out only
// when needed, repeats focus and iris steps while the host holds them, and translates preset
// names between the host's character set and the camera's.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/thread.h"
#include "ipcapture/driver_interfaces.h"
#include "ptz/ptz_comm.h"

namespace vornak {

class CBasePTZControl : public IIPPTZApiEx {
  public:
    CBasePTZControl(IDriver* driver, uint32_t channel) : driver_(driver), channel_(channel) {}
    ~CBasePTZControl() override;

    bool IsDome() override;
    int32_t Move(uint32_t direction, uint32_t speed) override;
    int32_t StopAll() override;
    int32_t Center(int32_t x, int32_t y, uint32_t speed) override;
    int32_t ZoomIn(uint32_t speed) override { return Zoom(kZoomIn, speed); }
    int32_t ZoomOut(uint32_t speed) override { return Zoom(kZoomOut, speed); }
    int32_t Unzoom(uint32_t speed) override;
    int32_t AreaZoom(int32_t x, int32_t y, int32_t zoom, uint32_t speed) override;
    int32_t FocusNear(uint32_t speed) override { return Focus(true, speed); }
    int32_t FocusFar(uint32_t speed) override { return Focus(false, speed); }
    int32_t IrisOpen(uint32_t speed) override { return Iris(true, speed); }
    int32_t IrisClose(uint32_t speed) override { return Iris(false, speed); }
    int32_t GetCapabilities(void* record) override;
    int32_t LoadPresets() override { return kPtzNoChannel; }
    int32_t GetPresetName(uint32_t, char*, uint32_t) override { return kPtzNoChannel; }
    int32_t GotoPreset(uint32_t, const char*) override { return kPtzNoChannel; }
    int32_t SetPreset(const char*) override { return kPtzNoChannel; }
    int32_t RemovePreset(const char*) override { return kPtzNoChannel; }
    int32_t GetCurrentPreset(char*, uint32_t) override { return kPtzNoChannel; }
    bool SetUnicodeNames(bool unicode) override;

    virtual void Release();
    virtual CBasePTZComm* CreateComm() = 0;
    virtual void OnMoved() {}
    virtual bool StopTicks() { return true; }
    virtual int32_t Zoom(uint32_t direction, uint32_t speed);
    virtual int32_t Focus(bool flag, uint32_t speed);
    virtual int32_t Iris(bool flag, uint32_t speed);
    virtual bool Open();

  protected:
    // The last move of one half of the head; direction kNoDirection when it stands.
    struct MoveMemory {
        uint32_t direction = kNoDirection;
        int32_t speed = 0;
    };
    int32_t MoveHalf(MoveMemory& memory, std::atomic<bool>& active, uint32_t direction,
                     int32_t speed, uint32_t stopAction);
    int32_t PostStop(MoveMemory& memory, std::atomic<bool>& active, uint32_t stopAction);
    // Passes the result on; a head that moved has left its preset.
    int32_t Moved(int32_t result);

    IDriver* driver_;  // borrowed; outlives its PTZ objects
    uint32_t channel_;
    std::unique_ptr<CBasePTZComm> comm_;  // null until Open succeeds
    CLock moveLock_;                      // the two memories below
    MoveMemory panTilt_;
    MoveMemory zoom_;
    std::atomic<bool> zoomActive_{false};
    std::atomic<bool> focusActive_{false};
    std::atomic<bool> irisActive_{false};
    std::atomic<bool> panTiltActive_{false};
    std::atomic<bool> unicodeNames_{false};
};

class CAxisPTZControl : public CBasePTZControl, public CTickThread {
  public:
    CAxisPTZControl(IDriver* driver, uint32_t channel, const PtzCapabilities& caps);
    ~CAxisPTZControl() override;

    int32_t GetCapabilities(void* record) override;
    int32_t LoadPresets() override;
    int32_t GetPresetName(uint32_t number, char* buffer, uint32_t size) override;
    int32_t GotoPreset(uint32_t speed, const char* name) override;
    int32_t SetPreset(const char* name) override;
    int32_t RemovePreset(const char* name) override;
    int32_t GetCurrentPreset(char* buffer, uint32_t size) override;

    CBasePTZComm* CreateComm() override;
    void OnMoved() override;
    bool StopTicks() override;
    int32_t Focus(bool flag, uint32_t speed) override;
    int32_t Iris(bool flag, uint32_t speed) override;

  protected:
    enum class TickMode { kFocus, kIris };
    void OnTick() override;
    void StartTick(TickMode mode, int32_t speed, bool flag);
    bool StopTick();

  private:
    int32_t Step(TickMode mode, bool flag, uint32_t speed);
    // The camera's spelling of a host name that the last preset list holds; empty when none.
    std::string ResolveName(const char* name);
    // -19 without the Preset capability, -1 without a command channel, else 1.
    int32_t PresetGate() const;
    // Calls with the camera's spelling of a listed name; on success the head has reached the
    // preset, or no longer has one.
    int32_t OnListedPreset(const char* name, bool reached,
                           const std::function<int32_t(const std::string&)>& call);

    PtzCapabilities caps_;
    std::atomic<TickMode> tickMode_{TickMode::kFocus};
    std::atomic<bool> tickFlag_{false};
    std::atomic<int32_t> tickSpeed_{0};
    CLock presetLock_;  // the preset map and the current preset
    std::map<uint32_t, std::string> presets_;
    std::string currentPreset_;
};

class CAxisPTZHandler : public IIPPTZDriverEx {
  public:
    CAxisPTZHandler(IDriver* driver, uint32_t inputs) : driver_(driver), inputs_(inputs) {}
    ~CAxisPTZHandler() override;

    IIPPTZApi* GetPTZApiBase(uint32_t channel) override { return GetPTZApi(channel); }
    IIPPTZApiEx* GetPTZApi(uint32_t channel) override;

  private:
    IDriver* driver_;  // borrowed
    uint32_t inputs_;
    CLock lock_;
    std::map<uint32_t, std::unique_ptr<CAxisPTZControl>> controls_;
};

}  // namespace vornak
