#include "capture_session.h"

#include "base/time.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <span>

namespace quillon::host {

namespace {
bool ReadNumber(const std::string& text, size_t& pos, uint32_t& value) {
    const size_t start = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
        if (value > 100000) {
            return false;
        }
        ++pos;
    }
    return pos > start;
}

const char* Extension(uint32_t format) {
    switch (format) {
        case 1:
            return ".mjpeg";
        case 2:
            return ".m4v";
        case 4:
            return ".h265";
        default:
            return ".h264";
    }
}

bool IsKeyFrame(uint32_t fourcc) {
    return fourcc == 0x34363248u /* H264 */ || fourcc == 0x35363248u /* H265 */ ||
           fourcc == 0x58564944u /* DIVX */ || fourcc == 0x4745504Au /* JPEG */;
}

int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
}  // namespace

std::optional<StreamSpec> ParseStreamSpec(const std::string& text, std::string& error) {
    StreamSpec spec;
    spec.text = text;
    size_t pos = 0;
    auto expect = [&](char c) {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    if (!ReadNumber(text, pos, spec.channel) || !expect(':') ||
        !ReadNumber(text, pos, spec.stream) || !expect(':') ||
        !ReadNumber(text, pos, spec.format)) {
        error = "--stream expects CHANNEL:STREAM:FORMAT[:WxH][@FPS], got \"" + text + "\"";
        return std::nullopt;
    }
    if (expect(':')) {
        if (!ReadNumber(text, pos, spec.width) || !(expect('x') || expect('X')) ||
            !ReadNumber(text, pos, spec.height)) {
            error = "--stream size must be WxH, got \"" + text + "\"";
            return std::nullopt;
        }
    }
    if (expect('@') && !ReadNumber(text, pos, spec.fps)) {
        error = "--stream rate must be @FPS, got \"" + text + "\"";
        return std::nullopt;
    }
    if (pos != text.size()) {
        error = "--stream has trailing text: \"" + text + "\"";
        return std::nullopt;
    }
    if (spec.stream > 2) {
        error = "--stream kind must be 0 (recording), 1 (live) or 2 (remote)";
        return std::nullopt;
    }
    if (spec.format < 1 || spec.format > 4) {
        error =
            "--stream format must be 1 (JPEG/HTTP), 2 (MPEG-4/RTSP), 3 (H.264/RTSP) or 4 "
            "(H.265/RTSP)";
        return std::nullopt;
    }
    return spec;
}

int64_t SystemTimeToUnixMs(const SYSTEMTIME& t) {
    // Every frame's stamp passes here: plain arithmetic, where timegm consults the time zone.
    const vornak::TimeValue ticks = vornak::SystemTimeToTime(t);
    if (ticks != 0) {
        return (static_cast<int64_t>(ticks) - static_cast<int64_t>(vornak::kUnixEpochTicks)) /
               static_cast<int64_t>(vornak::kTicksPerMs);
    }
    // Out of range fields, which timegm normalises.
    std::tm tm{};
    tm.tm_year = t.wYear - 1900;
    tm.tm_mon = t.wMonth - 1;
    tm.tm_mday = t.wDay;
    tm.tm_hour = t.wHour;
    tm.tm_min = t.wMinute;
    tm.tm_sec = t.wSecond;
    return static_cast<int64_t>(timegm(&tm)) * 1000 + t.wMilliseconds;
}

std::string FourCCText(uint32_t fourcc) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(fourcc >> (8 * i));
        text[i] = c >= 32 && c < 127 ? c : '?';
    }
    return text;
}

StreamRecorder::StreamRecorder(StreamSpec spec, const std::string& outFolder, bool discard)
    : spec_(std::move(spec)), discard_(discard || outFolder.empty()) {
    timeline_.startMs = WallClockMs();
    // The whole bound is written once now: a long run's memory then stays flat, so what grows
    // in a soak run is the driver's.
    timeline_.samples.resize(kMaxSamples);
    timeline_.samples.clear();
    if (discard_) {
        return;
    }
    const std::string base = outFolder + "/channel" + std::to_string(spec_.channel) + "-stream" +
                             std::to_string(spec_.stream);
    outPath_ = base + Extension(spec_.format);
    out_ = std::fopen(outPath_.c_str(), "wb");
    if (out_ == nullptr) {
        std::fprintf(stderr, "quillon-host: cannot write %s: %s\n", outPath_.c_str(),
                     std::strerror(errno));
        outPath_.clear();
    }
    if (spec_.format == 1) {
        lastPicturePath_ = base + "-last.jpg";
    }
}

StreamRecorder::~StreamRecorder() {
    if (out_ != nullptr) {
        std::fclose(out_);
        TrimTrailingDelimiter();
    }
    if (!lastPicture_.empty() && !lastPicturePath_.empty()) {
        if (FILE* f = std::fopen(lastPicturePath_.c_str(), "wb")) {
            std::fwrite(lastPicture_.data(), 1, lastPicture_.size(), f);
            std::fclose(f);
        }
    }
}

bool StreamRecorder::OnFrame(IVideoFrame* frame) {
    return OnFrameAt(frame, WallClockMs());
}

void StreamRecorder::OnSignalLost() {
    OnSignalLostAt(WallClockMs());
}

void StreamRecorder::OnSignalLostAt(int64_t nowMs) {
    std::lock_guard lock(mutex_);
    ++figures_.signalLost;
    if (lossOpen_ && !timeline_.events.empty() &&
        timeline_.events.back().kind == EventKind::SignalLost) {
        ++timeline_.events.back().reports;
        return;
    }
    lossOpen_ = true;
    AddEvent({EventKind::SignalLost, nowMs - timeline_.startMs, 0, 1});
}

bool StreamRecorder::OnFrameAt(IVideoFrame* frame, int64_t nowMs) {
    if (frame == nullptr) {
        return false;
    }
    const uint32_t size = frame->GetDataSize();
    SYSTEMTIME stamp{};
    frame->GetTimestamp(&stamp);
    const int64_t frameMs = SystemTimeToUnixMs(stamp);
    std::lock_guard lock(mutex_);
    ++figures_.frames;
    figures_.bytes += size;
    figures_.fourcc = frame->GetFourCC();
    figures_.width = frame->GetWidth();
    figures_.height = frame->GetHeight();
    const bool key = IsKeyFrame(figures_.fourcc);
    if (key) {
        ++figures_.keyFrames;
    }
    if (lastTimeMs_ != 0 && frameMs < lastTimeMs_) {
        figures_.timeWentBack = true;
        AddStep(timeline_.backSteps, {nowMs - timeline_.startMs, frameMs - lastTimeMs_});
    } else if (lastTimeMs_ != 0 && spec_.fps != 0 && (frameMs - lastTimeMs_) * spec_.fps > 1500) {
        AddStep(timeline_.gaps, {nowMs - timeline_.startMs, frameMs - lastTimeMs_});
    }
    lastTimeMs_ = frameMs;
    figures_.lastLagMs = nowMs - frameMs;

    Sample& sample = SampleAt(nowMs);
    sample.maxLagMs =
        sample.frames == 0 ? figures_.lastLagMs : std::max(sample.maxLagMs, figures_.lastLagMs);
    ++sample.frames;
    sample.keyFrames += key ? 1 : 0;
    sample.bytes += size;
    const int64_t gapMs = timeline_.lastArrivalMs == 0 ? 0 : nowMs - timeline_.lastArrivalMs;
    if (lossOpen_ || gapMs >= kGapMs) {
        AddEvent({lossOpen_ ? EventKind::Reconnected : EventKind::Resumed,
                  nowMs - timeline_.startMs, gapMs, 0});
        lossOpen_ = false;
    }
    timeline_.lastArrivalMs = nowMs;
    if (!discard_ && out_ != nullptr) {
        std::fwrite(frame->GetBuffer(), 1, size, out_);
        if (spec_.format == 1) {
            lastPicture_.assign(frame->GetBuffer(), frame->GetBuffer() + size);
        }
    }
    return true;
}

void StreamRecorder::TrimTrailingDelimiter() {
    // Every H.264 and H.265 frame ends with an access unit delimiter that opens the next one;
    // the last would open an empty access unit at the end of the file, which decoders report as
    // damage.
    static constexpr uint8_t kH264Delimiter[] = {0x00, 0x00, 0x01, 0x09, 0x30};
    static constexpr uint8_t kH265Delimiter[] = {0x00, 0x00, 0x01, 0x46, 0x01, 0x50};
    if ((spec_.format != 3 && spec_.format != 4) || outPath_.empty()) {
        return;
    }
    const std::span<const uint8_t> delimiter =
        spec_.format == 3 ? std::span<const uint8_t>(kH264Delimiter) : kH265Delimiter;
    std::error_code ec;
    const auto size = std::filesystem::file_size(outPath_, ec);
    if (ec || size < delimiter.size()) {
        return;
    }
    uint8_t tail[sizeof(kH265Delimiter)] = {};
    if (FILE* f = std::fopen(outPath_.c_str(), "rb")) {
        std::fseek(f, static_cast<long>(size - delimiter.size()), SEEK_SET);
        const size_t got = std::fread(tail, 1, delimiter.size(), f);
        std::fclose(f);
        if (got == delimiter.size() && std::memcmp(tail, delimiter.data(), delimiter.size()) == 0) {
            std::filesystem::resize_file(outPath_, size - delimiter.size(), ec);
        }
    }
}

StreamRecorder::Figures StreamRecorder::Snapshot() {
    std::lock_guard lock(mutex_);
    return figures_;
}

StreamRecorder::Timeline StreamRecorder::TimelineSnapshot() {
    std::lock_guard lock(mutex_);
    return timeline_;
}

StreamRecorder::Sample& StreamRecorder::SampleAt(int64_t nowMs) {
    // A wall clock stepped back before the start counts in the first interval, one stepped
    // years ahead in the last a year holds, so the widening stays bounded.
    constexpr int64_t kYearMs = 366LL * 24 * 3600 * 1000;
    const int64_t since = std::clamp<int64_t>(nowMs - timeline_.startMs, 0, kYearMs);
    size_t index = static_cast<size_t>(since / 1000 / timeline_.intervalSeconds);
    while (index >= kMaxSamples) {
        std::vector<Sample>& s = timeline_.samples;
        for (size_t i = 0; i < s.size(); i += 2) {
            Sample merged = s[i];
            if (i + 1 < s.size()) {
                const Sample& next = s[i + 1];
                merged.maxLagMs = merged.frames == 0 ? next.maxLagMs
                                  : next.frames == 0 ? merged.maxLagMs
                                                     : std::max(merged.maxLagMs, next.maxLagMs);
                merged.frames += next.frames;
                merged.keyFrames += next.keyFrames;
                merged.bytes += next.bytes;
            }
            s[i / 2] = merged;
        }
        s.resize((s.size() + 1) / 2);
        timeline_.intervalSeconds *= 2;
        index /= 2;
    }
    if (timeline_.samples.size() <= index) {
        timeline_.samples.resize(index + 1);
    }
    return timeline_.samples[index];
}

void StreamRecorder::AddStep(std::vector<TimeStep>& steps, const TimeStep& step) {
    if (steps.size() >= kMaxEvents) {
        ++timeline_.stepsDropped;
        return;
    }
    steps.push_back(step);
}

void StreamRecorder::AddEvent(const Event& event) {
    if (timeline_.events.size() >= kMaxEvents) {
        ++timeline_.eventsDropped;
        return;
    }
    timeline_.events.push_back(event);
}

}  // namespace quillon::host
