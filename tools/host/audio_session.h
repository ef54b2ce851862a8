// Audio for quillon-host and the tests: the host's codec list, a recorder for audio from the
// device (a .wav a person can play for G.711, raw bytes otherwise), the output-state record,
// and a player that sends a file to the loudspeaker at its real rate.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_objects.h"

namespace quillon::host {

// G.711 mu-law, G.711 A-law, G.726 and AAC, each enabled unless told otherwise.
class HostAudioCodecs : public IAudioCodecList {
  public:
    HostAudioCodecs();
    uint32_t GetCount() override { return static_cast<uint32_t>(codecs_.size()); }
    uint32_t GetCodec(uint32_t index) override;
    bool IsEnabled(uint32_t index) override;
    void Set(uint32_t codec, bool offered, bool enabled);

  private:
    struct Entry {
        uint32_t codec;
        bool enabled;
    };
    std::mutex mutex_;
    std::vector<Entry> codecs_;
};

// State changes as the driver reports them, oldest first.
class AudioStates {
  public:
    void Add(uint32_t state);
    std::vector<uint32_t> All();
    uint32_t Last();

  private:
    std::mutex mutex_;
    std::vector<uint32_t> states_;
};

class AudioInRecorder : public IAudioInputCallback {
  public:
    // outFolder empty: nothing is written. keepAll: every frame's record and bytes stay in
    // memory for Frames() and Bytes(); otherwise only the count and the newest record, so a
    // host that runs for days stays flat.
    explicit AudioInRecorder(std::string outFolder = {}, bool keepAll = true);
    ~AudioInRecorder() override;

    bool OnAudioFrame(IAudioFrame* frame) override;
    void OnAudioState(uint32_t cookie, uint32_t state) override;

    struct Frame {
        uint32_t codec = 0;
        uint32_t size = 0;
        uint32_t sampleRate = 0;
        uint32_t formatWord = 0;
        uint32_t bitRate = 0;
        bool live = false;
        int64_t atMs = 0;  // steady clock
    };
    std::vector<Frame> Frames();
    std::vector<uint8_t> Bytes();
    uint64_t FrameCount();
    Frame LastFrame();  // a blank record before the first frame
    AudioStates& States() { return states_; }
    std::string OutputPath();
    // Completes the file's header; later frames are only counted.
    void Close();

  private:
    void Open(const Frame& first);

    std::string outFolder_;
    bool keepAll_;
    std::mutex mutex_;
    uint64_t frameCount_ = 0;
    Frame last_;
    std::vector<Frame> frames_;
    std::vector<uint8_t> bytes_;
    FILE* out_ = nullptr;
    bool wav_ = false;
    uint64_t written_ = 0;
    std::string outPath_;
    AudioStates states_;
};

class AudioOutStates : public IAudioOutputCallback {
  public:
    void OnAudioState(uint32_t, uint32_t state) override { states.Add(state); }
    AudioStates states;
};

class HostAudioFormat : public IAudioFormat {
  public:
    void SetCodec(uint32_t value) override { codec = value; }
    void SetSampleRate(uint32_t value) override { sampleRate = value; }
    void SetBitRate(uint32_t value) override { bitRate = value; }
    void SetExtra(uint32_t value) override { extra = value; }
    uint32_t codec = 0, sampleRate = 0, bitRate = 0, extra = 0xFFFFFFFF;
};

// Sends a file (raw bytes of the channel's encoding, or a mu-law .wav) in 250 ms frames.
class AudioFilePlayer {
  public:
    ~AudioFilePlayer() { Stop(); }
    // loop: from the start again at the end, until Stop.
    bool Start(IIPAudioSender* sender, IFrameAllocator* allocator, uint32_t channel,
               const std::string& file, std::string& error, bool loop = false);
    void Stop();
    uint64_t FramesSent() const { return sent_.load(); }
    uint64_t FramesRefused() const { return refused_.load(); }
    bool Done() const { return done_.load(); }

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> refused_{0};
};

// One host audio frame for an output channel; null when the allocator refuses.
IAudioFrame* MakeOutputFrame(IFrameAllocator& allocator, uint32_t channel, uint32_t codec,
                             uint32_t bitRate, const uint8_t* data, uint32_t size,
                             uint32_t sampleRate = 8000);
std::string AudioCodecText(uint32_t codec);
const char* AudioInStateText(uint32_t state);
const char* AudioOutStateText(uint32_t state);

// --audio-in / --audio-out of quillon-host: starts what was asked, shows a status line per
// second while nothing else does, and prints a summary.
class AudioSession {
  public:
    AudioSession(bool audioIn, std::string audioOutFile, std::string outFolder);
    ~AudioSession();
    // False when something asked for could not start (reported on stderr).
    bool Start(IIPCaptureDriverEx5* driver, IFrameAllocator* allocator);
    void LoopAudioOut(bool loop) { loopOut_ = loop; }
    bool Active() const { return capture_ != nullptr || sender_ != nullptr; }
    std::string StatusLine();
    void Stop();
    // 0, or 2 when audio in delivered nothing.
    int PrintSummary();

  private:
    bool audioIn_;
    std::string audioOutFile_;
    bool loopOut_ = false;
    std::string outFolder_;
    HostAudioCodecs codecs_;
    AudioInRecorder recorder_;
    AudioOutStates outStates_;
    AudioFilePlayer player_;
    IIPAudioCapture2* capture_ = nullptr;
    IIPAudioSender* sender_ = nullptr;
};

}  // namespace quillon::host
