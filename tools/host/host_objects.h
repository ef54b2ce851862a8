// The host side of the driver boundary: logger, frame allocator, frames, device context and
// capture settings. Used by quillon-host and by the tests that drive the library through its
// exports.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipcapture/exports.h"

namespace quillon::host {

using namespace vornak::ipcapture;

struct LogLine {
    uint32_t level;
    std::string text;
};

// Prints each line with its level (when echo is on) and keeps them for later inspection, or hands
// each to an observer and keeps none: a host that runs for months must not hold every line.
class HostLogger : public IHostLogger {
  public:
    explicit HostLogger(bool echo = true) : echo_(echo) {}
    void Log(const vornak::CDebugInfoIf* info) override;
    // Called with each later line, under the logger's lock, in place of keeping it.
    void ObserveInstead(std::function<void(const LogLine&)> observer);

    std::vector<LogLine> Lines();
    // Lines whose text contains the given part.
    size_t Count(const std::string& part);
    void Clear();

  private:
    bool echo_;
    std::mutex mutex_;
    std::function<void(const LogLine&)> observer_;
    std::vector<LogLine> lines_;
};

class HostVideoFrame : public IVideoFrame {
  public:
    HostVideoFrame(uint32_t fourcc, uint32_t size, std::string stream);
    // Made ready for another picture of at most Capacity() bytes, as if new.
    void Reuse(uint32_t fourcc, uint32_t size, const char* stream);
    uint32_t Capacity() const { return capacity_; }

    uint32_t GetBufferSize() const override { return size_; }
    uint8_t* GetBuffer() override { return buffer_.get(); }
    uint32_t GetDataSize() const override { return dataSize_; }
    void SetDataSize(uint32_t size) override { dataSize_ = size; }
    void FinishFrame() override { finished_ = true; }
    void SetTimestamp(const SYSTEMTIME* time) override;
    void GetTimestamp(SYSTEMTIME* time) const override;
    void SetFourCC(uint32_t fourcc) override { fourcc_ = fourcc; }
    uint32_t GetFourCC() const override { return fourcc_; }
    void SetHeight(uint32_t height) override { height_ = height; }
    uint32_t GetHeight() const override { return height_; }
    void SetWidth(uint32_t width) override { width_ = width; }
    uint32_t GetWidth() const override { return width_; }
    void SetResolutionClass(uint32_t value) override { resolutionClass_ = value; }
    uint32_t GetResolutionClass() const override { return resolutionClass_; }

    const std::string& StreamName() const { return stream_; }
    bool Finished() const { return finished_; }

  private:
    // Not cleared: the driver fills it.
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t capacity_;
    uint32_t size_;
    uint32_t dataSize_ = 0;
    uint32_t fourcc_;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t resolutionClass_ = 0;
    SYSTEMTIME timestamp_{};
    bool finished_ = false;
    std::string stream_;
};

class HostAudioFrame : public IAudioFrame {
  public:
    HostAudioFrame(uint32_t codec, uint32_t size, uint32_t channel = 0);
    bool SetData(const uint8_t* data, uint32_t length) override;
    const uint8_t* GetData() const override { return data_.data(); }
    uint32_t GetDataSize() const override { return static_cast<uint32_t>(data_.size()); }
    void FinishFrame() override { finished_ = true; }
    uint32_t GetCodec() const override { return codec_; }
    uint32_t GetSampleRate() const override { return sampleRate_; }
    uint32_t GetFormatWord() const override { return formatWord_; }
    uint32_t GetBitRate() const override { return bitRate_; }
    void SetBitRate(uint32_t bitRate) override { bitRate_ = bitRate; }
    bool IsLive() const override { return live_; }
    void SetLive(bool live) override { live_ = live; }
    uint32_t GetChannel() const override { return channel_; }
    void SetChannel(uint32_t channel) override { channel_ = channel; }
    void SetFormat(uint32_t sampleRate, uint8_t low, uint8_t high) override;

  private:
    uint32_t codec_;
    uint32_t capacity_;
    uint32_t channel_;
    std::vector<uint8_t> data_;
    uint32_t sampleRate_ = 0;
    uint32_t formatWord_ = 0;
    uint32_t bitRate_ = 0;
    bool live_ = false;
    bool finished_ = false;
};

// Heap frames; counts what is outstanding so tests can prove every frame is released once.
class HostFrameAllocator : public IFrameAllocator {
  public:
    IVideoFrame* CreateFrame(uint32_t fourcc, uint32_t size, const char* stream) override;
    IAudioFrame* CreateAudioFrame(uint32_t codec, uint32_t size, const char* stream) override;
    void ReleaseAudioFrame(IAudioFrame* frame) override;
    void ReleaseFrame(IVideoFrame* frame) override;

    int64_t Outstanding() const { return outstanding_.load(); }
    uint64_t Created() const { return created_.load(); }
    // Frames above this size are refused (null), as a host short of memory would.
    void SetMaxFrameSize(uint32_t size) { maxFrameSize_ = size; }
    // Keeps up to `frames` released video frames for the next pictures, as a recording host
    // keeps its buffers, instead of three heap blocks per picture. Off by default: with fresh
    // frames a sanitizer sees a driver that touches a frame after releasing it.
    void KeepReleasedFrames(size_t frames);

  private:
    std::mutex poolMutex_;
    size_t poolLimit_ = 0;
    std::vector<std::unique_ptr<HostVideoFrame>> pool_;
    std::atomic<int64_t> outstanding_{0};
    std::atomic<uint64_t> created_{0};
    std::atomic<uint32_t> maxFrameSize_{256u * 1024 * 1024};
};

struct DeviceSettings {
    std::string address = "127.0.0.1";
    uint16_t port = 80;
    std::string user;
    std::string password;
    std::string model;
    uint32_t videoInputs = 1;
    uint32_t digitalInputs = 0;
    uint32_t digitalOutputs = 0;
    uint32_t defaultFormat = 3;
    std::map<uint32_t, std::string> parameters;
};

// Reads "ID=text" lines (or "ID<TAB>name<TAB>text"); '#' starts a comment. False with a
// message on a malformed line.
bool LoadParametersFile(const std::string& path, std::map<uint32_t, std::string>& parameters,
                        std::string& error);
bool SaveParametersFile(const std::string& path, const std::map<uint32_t, std::string>& parameters,
                        std::string& error);

class HostDeviceContext : public IDeviceContext,
                          public IDeviceDescription,
                          public IConnectionSettings {
  public:
    explicit HostDeviceContext(DeviceSettings settings) : settings_(std::move(settings)) {}

    IDeviceDescription* GetDeviceDescription() override { return this; }
    IConnectionSettings* GetConnectionSettings() override { return this; }
    // Ids are asked for from 1 upwards until the first null; the gaps of a sparse table are
    // answered "(none)" so that later ids stay reachable.
    const char* GetParameter(uint32_t id) override;

    const char* GetModelName() override { return settings_.model.c_str(); }
    uint32_t GetVideoInputCount() override { return settings_.videoInputs; }
    uint32_t GetDigitalInputCount() override { return settings_.digitalInputs; }
    uint32_t GetDigitalOutputCount() override { return settings_.digitalOutputs; }

    const char* GetAddress() override { return settings_.address.c_str(); }
    uint16_t GetPort() override { return settings_.port; }
    uint32_t GetDefaultVideoFormat() override { return settings_.defaultFormat; }
    const char* GetUserName() override { return settings_.user.c_str(); }
    const char* GetPassword() override { return settings_.password.c_str(); }

    DeviceSettings& Settings() { return settings_; }

  private:
    DeviceSettings settings_;
};

// The library's entry points, looked up with dlopen/dlsym.
class DriverLibrary {
  public:
    ~DriverLibrary();
    bool Load(const std::string& path, std::string& error);

    CreateIPCaptureFn create[5] = {};
    DeleteIPCaptureFn destroy[5] = {};
    DeleteCapabilityQueryModuleFn deleteQueryModule = nullptr;
    CreateCapabilityQueryModuleFn createQueryModule = nullptr;
    InitCapabilityQueryFn initQuery = nullptr;
    StartCapabilityQueryFn startQuery = nullptr;
    TerminateCapabilityQueryFn terminateQuery = nullptr;
    UninitCapabilityQueryFn uninitQuery = nullptr;

  private:
    void* handle_ = nullptr;
};

// Folder of the running executable, with its trailing "/".
std::string ExecutableFolder();

}  // namespace quillon::host
