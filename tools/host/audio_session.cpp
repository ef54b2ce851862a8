#include "audio_session.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

#include "audio/audio_format.h"

namespace quillon::host {

namespace {

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

// A mu-law WAVE header for dataBytes of 8 kHz mono.
std::vector<uint8_t> WavHeader(uint32_t dataBytes) {
    std::vector<uint8_t> h;
    auto tag = [&](const char* text) { h.insert(h.end(), text, text + 4); };
    tag("RIFF");
    PutLe(h, 36 + dataBytes, 4);
    tag("WAVE");
    tag("fmt ");
    PutLe(h, 16, 4);
    PutLe(h, 7, 2);  // mu-law
    PutLe(h, 1, 2);
    PutLe(h, 8000, 4);
    PutLe(h, 8000, 4);
    PutLe(h, 1, 2);
    PutLe(h, 8, 2);
    tag("data");
    PutLe(h, dataBytes, 4);
    return h;
}

// The samples of a .wav file, or the whole file when it is not one.
std::vector<uint8_t> AudioPayload(std::vector<uint8_t> file) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
        std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
        return file;
    }
    for (size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 |
                              static_cast<uint32_t>(file[at + 7]) << 24;
        if (std::memcmp(file.data() + at, "data", 4) == 0) {
            const size_t end = std::min<size_t>(file.size(), at + 8 + size);
            return std::vector<uint8_t>(file.begin() + static_cast<ptrdiff_t>(at + 8),
                                        file.begin() + static_cast<ptrdiff_t>(end));
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

}  // namespace

HostAudioCodecs::HostAudioCodecs()
    : codecs_{{vornak::kCodecG711Mu, true},
              {vornak::kCodecG711A, true},
              {vornak::kCodecG726, true},
              {vornak::kCodecAac, true}} {}

uint32_t HostAudioCodecs::GetCodec(uint32_t index) {
    std::lock_guard lock(mutex_);
    return index < codecs_.size() ? codecs_[index].codec : 0;
}

bool HostAudioCodecs::IsEnabled(uint32_t index) {
    std::lock_guard lock(mutex_);
    return index < codecs_.size() && codecs_[index].enabled;
}

void HostAudioCodecs::Set(uint32_t codec, bool offered, bool enabled) {
    std::lock_guard lock(mutex_);
    std::erase_if(codecs_, [&](const Entry& e) { return e.codec == codec; });
    if (offered) {
        codecs_.push_back({codec, enabled});
    }
}

void AudioStates::Add(uint32_t state) {
    std::lock_guard lock(mutex_);
    states_.push_back(state);
}

std::vector<uint32_t> AudioStates::All() {
    std::lock_guard lock(mutex_);
    return states_;
}

uint32_t AudioStates::Last() {
    std::lock_guard lock(mutex_);
    return states_.empty() ? 0 : states_.back();
}

AudioInRecorder::AudioInRecorder(std::string outFolder, bool keepAll)
    : outFolder_(std::move(outFolder)), keepAll_(keepAll) {}

AudioInRecorder::~AudioInRecorder() {
    Close();
}

void AudioInRecorder::Open(const Frame& first) {
    wav_ = first.codec == vornak::kCodecG711Mu;
    outPath_ = outFolder_ + "/audio-in" + (wav_ ? ".wav" : ".raw");
    out_ = std::fopen(outPath_.c_str(), "wb");
    if (out_ == nullptr) {
        std::fprintf(stderr, "quillon-host: cannot write %s\n", outPath_.c_str());
        outPath_.clear();
        return;
    }
    if (wav_) {
        const std::vector<uint8_t> header = WavHeader(0);
        std::fwrite(header.data(), 1, header.size(), out_);
    }
}

bool AudioInRecorder::OnAudioFrame(IAudioFrame* frame) {
    if (frame == nullptr) {
        return false;
    }
    Frame f;
    f.codec = frame->GetCodec();
    f.size = frame->GetDataSize();
    f.sampleRate = frame->GetSampleRate();
    f.formatWord = frame->GetFormatWord();
    f.bitRate = frame->GetBitRate();
    f.live = frame->IsLive();
    f.atMs = SteadyMs();
    std::lock_guard lock(mutex_);
    if (frameCount_++ == 0 && !outFolder_.empty()) {
        Open(f);
    }
    last_ = f;
    if (keepAll_) {
        frames_.push_back(f);
        bytes_.insert(bytes_.end(), frame->GetData(), frame->GetData() + f.size);
    }
    if (out_ != nullptr) {
        written_ += std::fwrite(frame->GetData(), 1, f.size, out_);
    }
    return true;
}

void AudioInRecorder::OnAudioState(uint32_t, uint32_t state) {
    states_.Add(state);
}

std::vector<AudioInRecorder::Frame> AudioInRecorder::Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
}

uint64_t AudioInRecorder::FrameCount() {
    std::lock_guard lock(mutex_);
    return frameCount_;
}

AudioInRecorder::Frame AudioInRecorder::LastFrame() {
    std::lock_guard lock(mutex_);
    return last_;
}

std::vector<uint8_t> AudioInRecorder::Bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::string AudioInRecorder::OutputPath() {
    std::lock_guard lock(mutex_);
    return outPath_;
}

void AudioInRecorder::Close() {
    std::lock_guard lock(mutex_);
    if (out_ == nullptr) {
        return;
    }
    if (wav_ && std::fseek(out_, 0, SEEK_SET) == 0) {
        const std::vector<uint8_t> header = WavHeader(static_cast<uint32_t>(written_));
        std::fwrite(header.data(), 1, header.size(), out_);
    }
    std::fclose(out_);
    out_ = nullptr;
}

IAudioFrame* MakeOutputFrame(IFrameAllocator& allocator, uint32_t channel, uint32_t codec,
                             uint32_t bitRate, const uint8_t* data, uint32_t size,
                             uint32_t sampleRate) {
    IAudioFrame* frame = allocator.CreateAudioFrame(codec, size, "");
    if (frame == nullptr) {
        return nullptr;
    }
    frame->SetData(data, size);
    frame->SetFormat(sampleRate, 16, 0);
    frame->SetBitRate(bitRate);
    frame->SetChannel(channel);
    return frame;
}

bool AudioFilePlayer::Start(IIPAudioSender* sender, IFrameAllocator* allocator, uint32_t channel,
                            const std::string& file, std::string& error, bool loop) {
    HostAudioFormat format;
    if (!sender->GetFormat(channel, &format)) {
        error = "the output channel names no format";
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes = AudioPayload(
        std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    if (bytes.empty()) {
        error = "cannot read audio from " + file;
        return false;
    }
    // 250 ms per frame, as the device's own frames.
    const uint32_t frameSize = format.bitRate / 32;
    std::printf("Audio out: %s, %u Hz, %u bit/s, %u-byte frames from %s\n",
                AudioCodecText(format.codec).c_str(), format.sampleRate, format.bitRate, frameSize,
                file.c_str());
    thread_ = std::thread([this, sender, allocator, channel, format, frameSize, loop,
                           bytes = std::move(bytes)] {
        const auto start = std::chrono::steady_clock::now();
        uint64_t index = 0;
        for (size_t at = 0; (at < bytes.size() || loop) && !stop_; at += frameSize, ++index) {
            at = at < bytes.size() ? at : 0;
            std::this_thread::sleep_until(start + std::chrono::milliseconds(250) * index);
            const auto size = static_cast<uint32_t>(std::min<size_t>(frameSize, bytes.size() - at));
            IAudioFrame* frame = MakeOutputFrame(*allocator, channel, format.codec, format.bitRate,
                                                 bytes.data() + at, size);
            if (frame != nullptr && sender->SendFrame(frame)) {
                ++sent_;
            } else {
                ++refused_;
                allocator->ReleaseAudioFrame(frame);
            }
        }
        done_ = true;
    });
    return true;
}

void AudioFilePlayer::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string AudioCodecText(uint32_t codec) {
    switch (codec) {
        case vornak::kCodecG711Mu:
            return "G.711 mu-law";
        case vornak::kCodecG711A:
            return "G.711 A-law";
        case vornak::kCodecG726:
            return "G.726";
        case vornak::kCodecAac:
            return "AAC";
        default:
            return "codec " + std::to_string(codec);
    }
}

const char* AudioInStateText(uint32_t state) {
    static const char* kTexts[] = {"idle", "connecting", "receiving", "stopped", "host", "failed"};
    return state < 6 ? kTexts[state] : "?";
}

const char* AudioOutStateText(uint32_t state) {
    static const char* kTexts[] = {"idle", "connecting", "streaming", "stopping", "?", "failed"};
    return state < 6 ? kTexts[state] : "?";
}

AudioSession::AudioSession(bool audioIn, std::string audioOutFile, std::string outFolder)
    : audioIn_(audioIn),
      audioOutFile_(std::move(audioOutFile)),
      outFolder_(outFolder),
      recorder_(std::move(outFolder), false) {}

AudioSession::~AudioSession() {
    Stop();
}

bool AudioSession::Start(IIPCaptureDriverEx5* driver, IFrameAllocator* allocator) {
    bool ok = true;
    if (audioIn_) {
        capture_ = driver->GetAudioCapture();
        if (capture_ == nullptr || !capture_->StartCapture(0, nullptr, &recorder_, &codecs_)) {
            std::fprintf(stderr, "quillon-host: audio in did not start%s\n",
                         capture_ == nullptr ? " (the device has no audio input)" : "");
            capture_ = nullptr;
            ok = false;
        }
    }
    if (!audioOutFile_.empty()) {
        sender_ = driver->GetAudioSender();
        std::string error;
        if (sender_ == nullptr || !sender_->StartOutput(0, nullptr, &outStates_, &codecs_) ||
            !player_.Start(sender_, allocator, 0, audioOutFile_, error, loopOut_)) {
            std::fprintf(stderr, "quillon-host: audio out did not start%s%s\n",
                         error.empty() ? "" : ": ", error.c_str());
            if (sender_ != nullptr) {
                sender_->StopOutput(0);
            }
            sender_ = nullptr;
            ok = false;
        }
    }
    return ok;
}

std::string AudioSession::StatusLine() {
    std::string line;
    char text[200];
    if (capture_ != nullptr) {
        const uint64_t count = recorder_.FrameCount();
        const AudioInRecorder::Frame last = recorder_.LastFrame();
        std::snprintf(text, sizeof(text), "audio in  %-12s frames %6llu  %5u Hz %6u bit/s  %s",
                      count == 0 ? "----" : AudioCodecText(last.codec).c_str(),
                      static_cast<unsigned long long>(count), last.sampleRate, last.bitRate,
                      AudioInStateText(capture_->GetState(0)));
        line += text;
    }
    if (sender_ != nullptr) {
        std::snprintf(text, sizeof(text), "%saudio out frames %6llu refused %llu  %s",
                      line.empty() ? "" : "\n",
                      static_cast<unsigned long long>(player_.FramesSent()),
                      static_cast<unsigned long long>(player_.FramesRefused()),
                      AudioOutStateText(sender_->GetState(0)));
        line += text;
    }
    return line;
}

void AudioSession::Stop() {
    player_.Stop();
    if (capture_ != nullptr) {
        capture_->StopCapture(0);
    }
    if (sender_ != nullptr) {
        sender_->StopOutput(0);
    }
    recorder_.Close();
}

int AudioSession::PrintSummary() {
    if (capture_ == nullptr && sender_ == nullptr) {
        return 0;
    }
    std::printf("\n%s\n", StatusLine().c_str());
    int result = 0;
    if (capture_ != nullptr) {
        if (recorder_.FrameCount() == 0) {
            result = 2;
        } else {
            const AudioInRecorder::Frame f = recorder_.LastFrame();
            const std::string path = recorder_.OutputPath();
            std::printf("audio in: %s, %u Hz, %u bit/s, %u-byte frames%s%s\n",
                        AudioCodecText(f.codec).c_str(), f.sampleRate, f.bitRate, f.size,
                        path.empty() ? "" : " -> ", path.c_str());
        }
    }
    capture_ = nullptr;
    sender_ = nullptr;
    return result;
}

}  // namespace quillon::host
