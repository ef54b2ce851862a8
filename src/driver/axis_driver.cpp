#include "driver/axis_driver.h"

#include "audio/audio_input.h"
#include "audio/audio_output.h"
#include "audio/multicast_audio.h"
#include "base/text.h"
#include "channels/http_jpeg_channel.h"
#include "channels/rtsp_channel.h"
#include "driver/settings_file.h"
#include "edge/axis_edge_storage.h"
#include "io/axis_io.h"
#include "motion/motion_channel.h"
#include "multicast/multicast_channel.h"

namespace vornak {

namespace {
// Calls visit(name, value) for every "name<sep>value" item of a list split at ";".
template <typename Visit>
void ForEachItem(std::string_view text, char separator, Visit visit) {
    while (!text.empty()) {
        const size_t end = text.find(';');
        const std::string_view item = text.substr(0, end);
        const size_t sep = item.find(separator);
        if (sep != std::string_view::npos) {
            visit(Trim(item.substr(0, sep)), Trim(item.substr(sep + 1)));
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}
}  // namespace

AudioCapabilities ParseAudioCapabilities(std::string_view text) {
    AudioCapabilities caps;
    ForEachItem(text, '=', [&](std::string_view name, std::string_view value) {
        const int32_t number = ParseSignedDecimal(value).value_or(-1);
        if (number < 0) {
            return;
        }
        if (name == "Count") {
            caps.count = static_cast<uint32_t>(number);
        } else if (name == "IsStereo") {
            caps.stereo = number != 0;
        }
    });
    return caps;
}

std::map<uint32_t, int32_t> ParseStreamCameras(std::string_view text) {
    static constexpr std::pair<std::string_view, uint32_t> kKinds[] = {
        {"Recording", kStreamRecording}, {"Live", kStreamLive}, {"Remote", kStreamRemote}};
    std::map<uint32_t, int32_t> cameras;
    ForEachItem(text, ':', [&](std::string_view name, std::string_view value) {
        const auto number = ParseSignedDecimal(value);
        if (!number) {
            return;
        }
        for (const auto& [kindName, kind] : kKinds) {
            if (name == kindName) {
                cameras[kind] = *number;
            }
        }
    });
    return cameras;
}

CAxisIPCaptureDriver::~CAxisIPCaptureDriver() {
    Close();
    streamCameras_.clear();
}

bool CAxisIPCaptureDriver::Open(ipcapture::IHostLogger* logger,
                                ipcapture::IFrameAllocator* allocator,
                                ipcapture::IDeviceContext* device) {
    if (!CIPCaptureDriver::Open(logger, allocator, device)) {
        Close();
        return false;
    }

    int32_t timeout = GetParameterInt(kParamNetworkTimeout);
    if (timeout <= 0) {
        timeout = 5000;
    }
    device_.networkTimeout = static_cast<uint32_t>(timeout);
    device_.connectionTimeout = 3 * device_.networkTimeout;

    const int32_t api = GetParameterInt(kParamApiVersion);
    if (api != kParameterAbsent && api != 0) {
        apiVersion_ = static_cast<uint16_t>(api);
    }
    multicastAllowed_ = GetParameterInt(kParamMulticastSupported) == 1;

    if (const char* text = device->GetParameter(kParamAudioInput)) {
        audioIn_ = ParseAudioCapabilities(text);
    }
    if (const char* text = device->GetParameter(kParamAudioOutput)) {
        audioOut_ = ParseAudioCapabilities(text);
    }
    if (const char* text = device->GetParameter(kParamViewChannelsInfo)) {
        streamCameras_ = ParseStreamCameras(text);
    }

    if (!ptzHandler_) {
        ptzHandler_ = std::make_unique<CAxisPTZHandler>(this, GetVideoChannelCount());
    }

    // Audio needs the formats the capability query found; a device that declares audio
    // without them cannot be served.
    const std::string audioFormats = GetParameter(kParamAudioFormats);
    if ((audioOut_.count > 0 || audioIn_.count > 0) && audioFormats.empty()) {
        Close();
        return false;
    }
    if (audioOut_.count > 0 && !audioSender_) {
        audioSender_ = std::make_unique<CAxisIPAudioSender>(this, audioOut_.count, this);
    }
    if (audioIn_.count > 0 && !audioCapture_) {
        audioCapture_ = std::make_unique<CAxisIPAudioCapture>(this, audioIn_.count, this);
    }

    LogDriverOpened(GetParameter(kParamFirmwareVersion));
    // A misspelt key or value would otherwise fall back to its default without a word.
    constexpr size_t kMaxSettingsWarnings = 10;
    const std::vector<std::string> warnings =
        SettingsWarnings(SettingsFilePath(GetHostFolder(), kSettingsDriverName));
    for (size_t i = 0; i < warnings.size() && i < kMaxSettingsWarnings; ++i) {
        DebugMessage(kLogWarning, "settings file %s", warnings[i].c_str());
    }
    if (warnings.size() > kMaxSettingsWarnings) {
        DebugMessage(kLogWarning,
                     "settings file: %zu more findings; quillon-host "
                     "--check-settings lists them all",
                     warnings.size() - kMaxSettingsWarnings);
    }
    return true;
}

void CAxisIPCaptureDriver::Close() {
    ptzHandler_.reset();
    audioCapture_.reset();
    audioSender_.reset();
    CloseBase();
}

bool CAxisIPCaptureDriver::CreateIOApi() {
    if ((inputCount_ > 0 || outputCount_ > 0) && !ioApi_) {
        ioApi_ = std::make_unique<CAxisIO>(this);
    }
    return true;
}

uint32_t CAxisIPCaptureDriver::GetStreamCamera(uint32_t stream) {
    const auto it = streamCameras_.find(stream);
    return it == streamCameras_.end() ? 0 : static_cast<uint32_t>(it->second);
}

ICameraChannel* CAxisIPCaptureDriver::CreateVideoChannel(uint32_t channel,
                                                         ipcapture::IFrameSink* sink,
                                                         uint32_t format) {
    if (format == 0 || format == 16) {
        format = GetDefaultVideoFormat();
    }
    // Re-read for every channel, so that a changed file holds for the streams started after it.
    if (multicastAllowed_) {
        streamingMode_ = ReadStreamingMode(GetHostFolder(), kSettingsDriverName);
        if (streamingMode_ != kStreamingUnicast) {
            return new CAxisMulticastChannelRTSP(channel, this, sink, format);
        }
    }
    const CodecInfo* codec = FindCodec(format);
    if (codec == nullptr) {
        return nullptr;
    }
    if (!codec->overRtsp) {
        return new CAxisJPEGChannelHTTP(channel, this, sink);
    }
    return new CAxisCommonChannelRTSP(channel, this, sink, *codec);
}

// A settings-file streaming mode has no motion channel.
IMotionChannel* CAxisIPCaptureDriver::CreateMotionChannel(uint32_t channel,
                                                          ipcapture::IFrameSink* sink) {
    if (streamingMode_ != 0) {
        return nullptr;
    }
    return new CAxisMDChannel(channel, this, sink);
}

// Up to ten gaps per video input wait for their turn; older ones make room.
IEdgeStorageHandler* CAxisIPCaptureDriver::CreateEdgeStorageHandler() {
    const uint32_t inputs = GetVideoChannelCount();
    if (inputs == 0 || !IsEdgeStorageAllowed()) {
        return nullptr;
    }
    auto* handler = new CAxisEdgeStorageHandler(this, 10 * inputs);
    handler->StartEdgeStorageThreads();
    return handler;
}

IAudioInputChannel* CAxisIPCaptureDriver::CreateAudioInputChannel(uint32_t channel, void* host1,
                                                                  void* host2, void* host3) {
    if (multicastAllowed_ &&
        ReadStreamingMode(GetHostFolder(), kSettingsDriverName) != kStreamingUnicast) {
        return new CAxisAudioMulticastRTSPChannel(channel, this, host1, host2, host3,
                                                  audioSender_ != nullptr);
    }
    return new CAxisAudioInputChannel(channel, this, host1, host2, host3, audioSender_ != nullptr);
}

IAudioOutputChannel* CAxisIPCaptureDriver::CreateAudioOutputChannel(uint32_t channel, void* host1,
                                                                    void* host2, void* host3) {
    return new CAxisAudioOutputChannel(channel, this, host1, host2, host3);
}

}  // namespace vornak
