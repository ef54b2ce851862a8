#include "properties/capability_query_module.h"

#include <map>

#include "base/debug.h"
#include "web/field_search.h"

namespace vornak {

namespace {
constexpr std::string_view kForbiddenAddressCharacters = "@#$%^&*(){}[]/\\+=:;,~'!?\"";
constexpr const char* kInvalidAddress =
    "Failed to start capability fetching thread. Device address is invalid!";
constexpr const char* kInternalError =
    "Failed to start capability fetching thread. Internal error occurs";
constexpr const char* kSaveFailed = "Failed to save capability query results";

// Host feature numbers this driver fills (the host's capability interface defines them).
enum : uint32_t {
    kFeaturePtz = 1,
    kFeatureInputs = 2,
    kFeatureOutputs = 3,
    kFeatureAudioInputs = 4,
    kFeatureMotion = 5,
    kFeatureImageSources = 6,
    kFeatureViews = 7,
    kFeatureMulticast = 11,
    kFeatureNoVideo = 12,
    kFeaturePrivacyMasks = 13,
    kFeatureMaskWindows = 14,
    kFeaturePolygonMasks = 15,
    kFeatureMaskReserved1 = 16,
    kFeatureMaskReserved2 = 17,
    kFeatureStreams = 27,
};
}  // namespace

CCapabilityQueryModule::CCapabilityQueryModule(ipcapture::IIPCapabilityQueryNotify* notify,
                                               uint32_t flag)
    : flag_(flag), notify_(notify) {
    device_.networkTimeout = kFirstLimitMs;
    device_.connectionTimeout = kSecondLimitMs;
}

CCapabilityQueryModule::~CCapabilityQueryModule() {
    // Subclasses stop the thread in their own destructor; this is the last resort.
    if (thread_.joinable()) {
        TerminateQuery();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

bool CCapabilityQueryModule::IsForbiddenAddress(const std::string& address) {
    return address.find_first_of(kForbiddenAddressCharacters) != std::string::npos;
}

std::string CCapabilityQueryModule::FailureMessage(uint32_t status, const std::string& errorText) {
    std::string message = "Failed to get camera properties";
    switch (status) {
        case kQueryCredentialsRefused:
            message +=
                errorText.empty() ? ", login failed (invalid credentials)" : ": " + errorText;
            break;
        case kQueryDeviceUnreachable:
            message += ", device is offline or is located in unaccessible subnet";
            break;
        default:
            if (!errorText.empty()) {
                message += ": " + errorText;
            }
            break;
    }
    return message;
}

uint32_t CCapabilityQueryModule::StartQuery(const char* address, uint16_t port, const char* user,
                                            const char* password,
                                            ipcapture::IIPCapabilityResult* result) {
    CLockGuard guard(lock_);
    if (thread_.joinable() || address == nullptr) {
        return 0;
    }
    result_ = result;
    std::string proxy;
    SplitAddressAndProxy(address, device_.address, proxy);
    device_.proxy = proxy;
    device_.networkTimeout = proxy.empty() ? kFirstLimitMs : kProxyFirstLimitMs;
    device_.connectionTimeout = proxy.empty() ? kSecondLimitMs : kProxySecondLimitMs;
    device_.port = port;
    device_.userName = user != nullptr ? user : "";
    device_.password = password != nullptr ? password : "";
    try {
        reader_ = CreateProperties();
        finished_ = std::make_shared<CManualEvent>();
        thread_ = std::thread([this, finished = finished_] {
            RunQuery();
            finished->Set();
        });
    } catch (...) {
        reader_.reset();
        return 0;
    }
    return 1;
}

void CCapabilityQueryModule::TerminateQuery() {
    TSmartPtr<CBaseCameraProperties> reader;
    {
        CLockGuard guard(lock_);
        reader = reader_;
    }
    if (reader) {
        reader->GetStopEvent().Set();
        reader->AbortRequests();
    }
}

void CCapabilityQueryModule::RunQuery() {
    uint32_t status = kQueryRunning;
    std::string message;
    TSmartPtr<CBaseCameraProperties> reader;
    ipcapture::IIPCapabilityResult* result = nullptr;
    ipcapture::IIPCapabilityQueryNotify* notify = nullptr;
    DEVICE_INFO device;
    {
        CLockGuard guard(lock_);
        reader = reader_;
        result = result_;
        notify = notify_;
        device = device_;
    }
    try {
        if (IsForbiddenAddress(device.address)) {
            message = kInvalidAddress;
        } else if (!reader || result == nullptr) {
            message = kInternalError;
        } else if (!reader->LoadProperties(status)) {
            message = FailureMessage(status, reader->GetErrorText());
        } else {
            auto* axis = dynamic_cast<CAxisCameraProperties*>(reader.get());
            if (axis == nullptr || !SaveResults(*axis, device, result)) {
                message = kSaveFailed;
            }
        }
    } catch (...) {
        message = kInternalError;
    }
    if (notify != nullptr) {
        try {
            if (message.empty()) {
                notify->OnQueryFinished();
            } else {
                notify->OnQueryFailed(status, message.c_str());
            }
        } catch (...) {
            // The host's exception must not end the process through this thread.
        }
    }
}

bool CCapabilityQueryModule::SaveResults(CAxisCameraProperties& reader, const DEVICE_INFO& device,
                                         ipcapture::IIPCapabilityResult* result) {
    if (result == nullptr) {
        return false;
    }
    if (!reader.GetProductName().empty()) {
        const std::string name = reader.GetBrand().empty()
                                     ? reader.GetProductName()
                                     : reader.GetBrand() + " " + reader.GetProductName();
        if (!result->SetDeviceName(name.c_str())) {
            return false;
        }
    }
    if (!result->SetItem(1, nullptr, device.address.c_str()) ||
        !result->SetItem(2, nullptr,
                         Format("%hu", static_cast<unsigned short>(device.port)).c_str()) ||
        !result->SetItem(3, nullptr, device.userName.c_str()) ||
        !result->SetItem(4, nullptr, device.password.c_str())) {
        return false;
    }
    const std::map<uint32_t, uint32_t> featureMap = {
        {kFeatureImageSources, reader.GetImageSources()},
        {kFeatureViews, reader.GetViews()},
    };
    for (const auto& [feature, value] : featureMap) {
        if (!result->SetFeature(feature, value)) {
            return false;
        }
    }
    ipcapture::IIPCapabilityList* sizes = result->GetList(ipcapture::kListResolutionSizes);
    if (sizes == nullptr) {
        return false;
    }
    for (const Size& size : reader.GetResolutions()) {
        if (!sizes->Add(Format("%ux%u", size.width, size.height).c_str())) {
            return false;
        }
    }
    if (!reader.ReportResolutions(result->GetList(ipcapture::kListResolutions))) {
        return false;
    }

    bool ok = true;
    if (reader.GetPtz().AnyMovement()) {
        ok = ok && result->SetFeature(kFeaturePtz, 1);
    }
    if (reader.HasMotion() && !reader.IsNoVideoDevice()) {
        ok = ok && result->SetFeature(kFeatureMotion, 1);
    }
    ok = ok && result->SetFeature(kFeatureMulticast, reader.IsMulticastSupported() ? 1 : 0) &&
         result->SetFeature(kFeatureNoVideo, reader.IsNoVideoDevice() ? 1 : 0);
    if (reader.GetInputCount() != 0) {
        ok = ok && result->SetFeature(kFeatureInputs, reader.GetInputCount());
    }
    if (reader.GetOutputCount() != 0) {
        ok = ok && result->SetFeature(kFeatureOutputs, reader.GetOutputCount());
    }
    const bool polygon = ToLower(reader.GetPrivacyMaskType()) == "polygon";
    if (reader.GetPrivacyMaskCount() != 0 && !polygon) {
        ok = ok && result->SetFeature(kFeaturePrivacyMasks, reader.GetPrivacyMaskCount()) &&
             result->SetFeature(kFeaturePolygonMasks, 0) &&
             result->SetFeature(kFeatureMaskWindows,
                                ToLower(reader.GetPrivacyMaskType()) == "mask_windows" ? 1 : 0) &&
             result->SetFeature(kFeatureMaskReserved1, 0) &&
             result->SetFeature(kFeatureMaskReserved2, 0);
    }
    if (reader.GetAudioInput().count != 0) {
        ok =
            ok && result->SetFeature(kFeatureAudioInputs, reader.GetAudioInput().count) &&
            result->SetItem(101, "Audio Input Parameters", reader.GetAudioInput().ToText().c_str());
    }
    if (reader.GetAudioOutput().count != 0) {
        ok = ok && result->SetItem(102, "Audio Output Parameters",
                                   reader.GetAudioOutput().ToText().c_str());
    }
    const std::vector<StreamOffer> streams = reader.GetStreamOffers();
    if (!streams.empty()) {
        ok = ok && result->SetFeature(kFeatureStreams, static_cast<uint32_t>(streams.size()));
        const bool sixty = reader.IsSixtyHertz();
        for (size_t i = 0; i < streams.size() && i < 2; ++i) {
            const uint32_t base = i == 0 ? 120 : 124;
            const std::string stream = i == 0 ? "Live Stream: " : "Remote Stream: ";
            ok = ok &&
                 result->SetItem(base, (stream + "Supported Codecs").c_str(),
                                 CodecsText(streams[i]).c_str()) &&
                 result->SetItem(base + 1, (stream + "Supported Resolutions").c_str(),
                                 ResolutionsText(streams[i], sixty).c_str()) &&
                 result->SetItem(base + 2, (stream + "Supported Framerates").c_str(),
                                 FrameRatesText(streams[i]).c_str());
        }
    }
    return ok && reader.ReportCapabilities(result);
}

CAxisCapabilityQueryModule::~CAxisCapabilityQueryModule() {
    std::thread thread;
    std::shared_ptr<CManualEvent> finished;
    {
        CLockGuard guard(lock_);
        thread = std::move(thread_);
        finished = finished_;
    }
    if (!thread.joinable()) {
        return;
    }
    TerminateQuery();
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // deleted from inside its own notification: it ends by itself
    } else {
        if (finished && !finished->Wait(2 * device_.networkTimeout) && notify_ != nullptr) {
            // A thread cannot be killed here; say so, then wait for it to give up.
            notify_->OnQueryTerminated();
        }
        thread.join();
    }
    reader_.reset();
}

TSmartPtr<CBaseCameraProperties> CAxisCapabilityQueryModule::CreateProperties() {
    return std::make_shared<CAxisCameraProperties>(device_);
}

}  // namespace vornak
