#include "driver/video_capture.h"

#include <cstring>
#include <utility>

#include "base/text.h"

namespace vornak {

VideoCaptureRequest RequestFromSettings(ipcapture::ICaptureSettings* settings, uint32_t stream) {
    VideoCaptureRequest request;
    request.stream = stream;
    if (settings == nullptr) {
        return request;
    }
    if (ipcapture::IRateSettings* rate = settings->GetRateSettings()) {
        request.frameRate = rate->GetFrameRate() & 0xFFFF;
        request.quality = rate->GetQuality() & 0xFFFF;
    }
    if (ipcapture::IVideoFormatSettings* format = settings->GetVideoFormatSettings()) {
        if (ipcapture::IResolution* resolution = format->GetResolution()) {
            request.width = resolution->GetWidth() & 0xFFFF;
            request.height = resolution->GetHeight() & 0xFFFF;
        }
    }
    return request;
}

uint32_t FormatFromSettings(ipcapture::ICaptureSettings* settings) {
    if (settings == nullptr) {
        return 0;
    }
    ipcapture::IVideoFormatSettings* format = settings->GetVideoFormatSettings();
    return format != nullptr ? format->GetVideoFormat() : 0;
}

namespace {
bool WantsMotion(ipcapture::ICaptureSettings* settings) {
    if (settings == nullptr) {
        return false;
    }
    ipcapture::IRateSettings* rate = settings->GetRateSettings();
    return rate != nullptr && rate->GetMotionDetection() != 0;
}
}  // namespace

CIPVideoCapture::CIPVideoCapture(IVideoChannelCreator* creator, uint32_t videoInputs)
    : creator_(creator), table_(videoInputs) {}

CIPVideoCapture::~CIPVideoCapture() {
    for (uint32_t channel = 0; channel < table_.size(); ++channel) {
        StopCapture(channel);
        for (size_t stream = 0; stream < kStreamSlots; ++stream) {
            StopStream(channel, static_cast<uint32_t>(stream));
        }
    }
    edgeStorage_.reset();
}

void CIPVideoCapture::RegisterWithEdgeStorage(IEdgeMonitorChannel* channel) {
    if (edgeStorage_ && edgeStorageEnabled_ && creator_->IsEdgeStorageAllowed()) {
        edgeStorage_->Register(channel);
    }
}

bool CIPVideoCapture::StartChannel(uint32_t channel, uint32_t stream, ipcapture::IFrameSink* sink,
                                   ipcapture::ICaptureSettings* settings, bool withZonesAndMotion) {
    if (edgeStorageEnabled_ && !edgeStorage_) {
        edgeStorage_.reset(creator_->CreateEdgeStorageHandler());
    }
    const VideoCaptureRequest request = RequestFromSettings(settings, stream);
    std::unique_ptr<ICameraChannel> created(
        creator_->CreateVideoChannel(channel, sink, FormatFromSettings(settings)));
    if (!created) {
        return false;
    }
    if (withZonesAndMotion) {
        created->ApplyCaptureSettings(settings);
    }
    bool result = created->Start(&request);

    std::unique_ptr<IMotionChannel> motion;
    if (withZonesAndMotion && result && WantsMotion(settings)) {
        motion.reset(creator_->CreateMotionChannel(channel, sink));
        if (motion) {
            result = motion->Start();
        }
    }
    ICameraChannel* stored = created.get();
    IMotionChannel* storedMotion = motion.get();
    // Whatever a racing start left in the slot is stopped and deleted outside the lock.
    std::shared_ptr<ICameraChannel> replaced;
    std::unique_ptr<IMotionChannel> replacedMotion;
    {
        // Stored even when its start failed, so that a later stop releases it.
        CLockGuard guard(tableLock_);
        replaced = std::exchange(table_[channel].streams[stream], std::move(created));
        if (withZonesAndMotion) {
            replacedMotion = std::exchange(table_[channel].motion, std::move(motion));
        }
    }
    if (replaced) {
        if (edgeStorage_) {
            edgeStorage_->Unregister(replaced.get());
        }
        replaced->Stop();
    }
    if (replacedMotion) {
        if (edgeStorage_) {
            edgeStorage_->Unregister(replacedMotion.get());
        }
        replacedMotion->Stop();
    }
    RegisterWithEdgeStorage(stored);
    if (storedMotion != nullptr) {
        RegisterWithEdgeStorage(storedMotion);
    }
    return result;
}

bool CIPVideoCapture::StartCapture(uint32_t channel, ipcapture::IFrameSink* sink,
                                   ipcapture::ICaptureSettings* settings) {
    if (channel >= table_.size()) {
        return false;
    }
    StopCapture(channel);
    return StartChannel(channel, kStreamRecording, sink, settings, true);
}

bool CIPVideoCapture::StartStream(uint32_t channel, uint32_t stream, ipcapture::IFrameSink* sink,
                                  ipcapture::ICaptureSettings* settings) {
    if (channel >= table_.size() || stream >= kStreamSlots) {
        return false;
    }
    StopStream(channel, stream);
    return StartChannel(channel, stream, sink, settings, false);
}

bool CIPVideoCapture::StopCapture(uint32_t channel) {
    if (channel >= table_.size()) {
        return false;
    }
    std::shared_ptr<ICameraChannel> streams[3];
    std::unique_ptr<IMotionChannel> motion;
    {
        CLockGuard guard(tableLock_);
        for (size_t i = 0; i < 3; ++i) {
            streams[i] = std::move(table_[channel].streams[i]);
        }
        motion = std::move(table_[channel].motion);
    }
    bool taken = motion != nullptr;
    if (motion) {
        if (edgeStorage_) {
            edgeStorage_->Unregister(motion.get());
        }
        motion->Stop();
        motion.reset();
    }
    for (auto& stream : streams) {
        if (!stream) {
            continue;
        }
        taken = true;
        if (edgeStorage_) {
            edgeStorage_->Unregister(stream.get());
        }
        stream->Stop();
        stream.reset();
    }
    return taken;
}

bool CIPVideoCapture::StopStream(uint32_t channel, uint32_t stream) {
    if (channel >= table_.size() || stream >= kStreamSlots) {
        return false;
    }
    std::shared_ptr<ICameraChannel> taken;
    {
        CLockGuard guard(tableLock_);
        taken = std::move(table_[channel].streams[stream]);
    }
    if (!taken) {
        return false;
    }
    if (edgeStorage_) {
        edgeStorage_->Unregister(taken.get());
    }
    taken->Stop();
    return true;
}

template <typename Fn>
bool CIPVideoCapture::WithStreamZero(uint32_t channel, Fn fn) {
    if (channel >= table_.size()) {
        return false;
    }
    // Only the table access holds the lock: a channel's call may wait for its camera.
    std::shared_ptr<ICameraChannel> stream;
    {
        CLockGuard guard(tableLock_);
        stream = table_[channel].streams[kStreamRecording];
    }
    return stream != nullptr && fn(*stream);
}

bool CIPVideoCapture::UpdateCapture(uint32_t channel, ipcapture::IResolution* resolution,
                                    uint32_t frameRate) {
    VideoCaptureRequest request;
    request.frameRate = frameRate & 0xFFFF;
    if (resolution != nullptr) {
        request.width = resolution->GetWidth() & 0xFFFF;
        request.height = resolution->GetHeight() & 0xFFFF;
    }
    return WithStreamZero(channel,
                          [&](ICameraChannel& stream) { return stream.UpdateSettings(&request); });
}

bool CIPVideoCapture::GetChannelState(uint32_t channel, uint32_t* state, uint32_t* detail,
                                      char* text, uint32_t textCapacity) {
    if (detail != nullptr) {
        *detail = 0;
    }
    if (text != nullptr && textCapacity > 0) {
        text[0] = '\0';
    }
    return WithStreamZero(channel, [&](ICameraChannel& stream) {
        if (state != nullptr) {
            *state = stream.GetState();
        }
        return true;
    });
}

bool CIPVideoCapture::PauseCapture(uint32_t channel) {
    return WithStreamZero(channel, [](ICameraChannel& stream) { return stream.Pause(); });
}

bool CIPVideoCapture::ResumeCapture(uint32_t channel) {
    return WithStreamZero(channel, [](ICameraChannel& stream) { return stream.Resume(); });
}

Size CIPVideoCapture::GetStreamResolution(uint32_t channel, uint32_t stream) {
    if (channel >= table_.size() || stream >= kStreamSlots) {
        return {};
    }
    std::shared_ptr<ICameraChannel> running;
    {
        CLockGuard guard(tableLock_);
        running = table_[channel].streams[stream];
    }
    return running != nullptr ? running->GetResolution() : Size{};
}

bool CIPVideoCapture::SetOption(const char* name, const void* value, uint32_t type) {
    if (name == nullptr || value == nullptr || type != 2 ||
        !EqualsNoCase(name, "EdgeStorageState")) {
        return false;
    }
    uint16_t flag = 0;
    std::memcpy(&flag, value, sizeof(flag));
    edgeStorageEnabled_ = flag != 0;
    return true;
}

bool CIPVideoCapture::GetCommonOption(const char* name, void* value, uint32_t type) {
    if (name == nullptr || value == nullptr || type != 4) {
        return false;
    }
    static constexpr std::pair<const char*, uint32_t> kOptions[] = {
        {"isIPCamera", 1},   {"CanChangeFrInAlm", 1}, {"CanChangeResInAlm", 1}, {"MAXFPS_RES0", 25},
        {"MAXFPS_RES1", 25}, {"MAXFPS_RES2", 25},     {"MAXFPS_RES3", 25}};
    for (const auto& [option, answer] : kOptions) {
        if (EqualsNoCase(name, option)) {
            std::memcpy(value, &answer, sizeof(answer));
            return true;
        }
    }
    return false;
}

bool CIPVideoCapture::GetOption(const char* name, void* value, uint32_t type) {
    if (name != nullptr && value != nullptr && type == 2 &&
        EqualsNoCase(name, "EdgeStorageState")) {
        const uint16_t flag = edgeStorageEnabled_ ? 1 : 0;
        std::memcpy(value, &flag, sizeof(flag));
        return true;
    }
    return GetCommonOption(name, value, type);
}

}  // namespace vornak
