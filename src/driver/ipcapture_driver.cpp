#include "driver/ipcapture_driver.h"

#include <cstdarg>

#include "base/text.h"

namespace vornak {

namespace {
// A host that answers every id would otherwise keep Open asking forever.
constexpr uint32_t kMaxParameterId = 1000;
constexpr Size kFallbackResolution{640, 480};
}  // namespace

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() {
    CloseBase();
}

bool CIPCaptureDriver::Open(ipcapture::IHostLogger* logger, ipcapture::IFrameAllocator* allocator,
                            ipcapture::IDeviceContext* device) {
    if (device == nullptr) {
        return false;
    }
    ipcapture::IConnectionSettings* connection = device->GetConnectionSettings();
    ipcapture::IDeviceDescription* description = device->GetDeviceDescription();
    if (connection == nullptr || description == nullptr) {
        return false;
    }
    defaultFormat_ = connection->GetDefaultVideoFormat();
    logger_ = logger;
    allocator_ = allocator;

    inputCount_ = description->GetDigitalInputCount();
    outputCount_ = description->GetDigitalOutputCount();
    videoInputs_ = description->GetVideoInputCount();

    const char* address = connection->GetAddress();
    SplitAddressAndProxy(address != nullptr ? address : "", device_.address, device_.proxy);
    device_.port = connection->GetPort();
    const char* user = connection->GetUserName();
    const char* password = connection->GetPassword();
    const char* model = description->GetModelName();
    device_.userName = user != nullptr ? user : "";
    device_.password = password != nullptr ? password : "";
    device_.model = model != nullptr ? model : "";

    parameters_.clear();
    for (uint32_t id = 1; id <= kMaxParameterId; ++id) {
        const char* text = device->GetParameter(id);
        if (text == nullptr) {
            break;
        }
        parameters_[id] = text;
    }

    hostFolder_ = platform::GetModuleFolder();
    if (!platform::FindHostCoreVersion(hostVersion_)) {
        hostVersion_ = {5, 12, 0, 0};
    }

    if (!CreateIOApi()) {
        return false;
    }
    videoCapture_ = std::make_unique<CIPVideoCapture>(this, videoInputs_);
    return true;
}

void CIPCaptureDriver::CloseBase() {
    // Stops every channel before the IO object goes.
    videoCapture_.reset();
    ioApi_.reset();
}

void CIPCaptureDriver::Close() {
    CloseBase();
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() {
    return GetVideoCaptureEx2();
}

ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() {
    return GetVideoCaptureEx2();
}

ipcapture::IIPVideoCaptureEx2* CIPCaptureDriver::GetVideoCaptureEx2() {
    return videoCapture_.get();
}

void CIPCaptureDriver::LogDriverOpened(const std::string& firmware) {
    const std::string name = GetDriverName();
    if (name.empty() || device_.model.empty()) {
        return;
    }
    std::string text =
        Format("DRIVER IS OPENED (name: %s, device model: %s", name.c_str(), device_.model.c_str());
    if (!firmware.empty()) {
        text += ", FW: " + firmware;
    }
    text += Format(", address: %s:%u)", device_.address.c_str(), device_.port);
    DebugMessage(kLogOpened, "%s", text.c_str());
}

std::string CIPCaptureDriver::GetDeviceName() {
    return device_.address + Format(":%hu", static_cast<unsigned short>(device_.port));
}

uint32_t CIPCaptureDriver::MapLevel(uint32_t level, const platform::FileVersion& v) {
    const bool below512 = v.major < 5 || (v.major == 5 && v.minor < 12);
    const bool below63 = v.major < 6 || (v.major == 6 && v.minor < 3);
    if (below512) {
        return level == kLogInfo || level == kLogOpened ? kLogWarning : level;
    }
    if (below63 && level == kLogOpened) {
        return kLogInfo;
    }
    return level;
}

void CIPCaptureDriver::DebugMessage(uint32_t level, const char* format, ...) {
    try {
        va_list args;
        va_start(args, format);
        const std::string text = FormatV(format, args);
        va_end(args);
        if (level == kLogDetail || logger_ == nullptr) {
            return;
        }
        const CDebugInfo info(static_cast<uint8_t>(MapLevel(level, hostVersion_)), text.c_str());
        logger_->Log(&info);
    } catch (...) {
        // Logging never throws to its caller.
    }
}

std::string CIPCaptureDriver::GetParameter(uint32_t id) {
    const auto it = parameters_.find(id);
    if (it == parameters_.end() || it->second == "(none)") {
        return {};
    }
    return it->second;
}

int32_t CIPCaptureDriver::GetParameterInt(uint32_t id) {
    const auto it = parameters_.find(id);
    if (it == parameters_.end()) {
        return kParameterAbsent;
    }
    return ParseSignedDecimal(it->second).value_or(kParameterAbsent);
}

Size CIPCaptureDriver::GetStreamResolution(uint32_t channel, uint32_t stream) {
    if (!videoCapture_) {
        return kFallbackResolution;
    }
    const Size size = videoCapture_->GetStreamResolution(channel, stream);
    return size.width == 0 && size.height == 0 ? kFallbackResolution : size;
}

Size CIPCaptureDriver::GetChannelResolution(uint32_t channel) {
    if (!videoCapture_) {
        return kFallbackResolution;
    }
    // The live stream's size, else the recording stream's, as the channels report them.
    Size size = videoCapture_->GetStreamResolution(channel, kStreamLive);
    if (size == Size{}) {
        size = videoCapture_->GetStreamResolution(channel, kStreamRecording);
    }
    if (size.width == 0 || size.height == 0) {
        return kFallbackResolution;
    }
    return size;
}

}  // namespace vornak
