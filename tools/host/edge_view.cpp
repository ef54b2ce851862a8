#include "edge_view.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "capture_session.h"

namespace quillon::host {

namespace {
constexpr char kEdgeSuffix[] = "::EdgeChannel";

std::string ClockText(int64_t unixMs) {
    const time_t seconds = static_cast<time_t>(unixMs / 1000);
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", fields.tm_hour, fields.tm_min,
                  fields.tm_sec, static_cast<int>(unixMs % 1000));
    return text;
}
}  // namespace

bool EdgeTap::OnFrame(IVideoFrame* frame) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return OnFrameAt(frame, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool EdgeTap::OnFrameAt(IVideoFrame* frame, int64_t nowMs) {
    const auto* host = dynamic_cast<HostVideoFrame*>(frame);
    const std::string& stream = host != nullptr ? host->StreamName() : std::string();
    if (stream.size() < sizeof(kEdgeSuffix) - 1 ||
        stream.compare(stream.size() - (sizeof(kEdgeSuffix) - 1), std::string::npos, kEdgeSuffix) !=
            0) {
        return next_->OnFrame(frame);
    }
    SYSTEMTIME stamp{};
    frame->GetTimestamp(&stamp);
    const int64_t frameMs = SystemTimeToUnixMs(stamp);
    std::lock_guard lock(mutex_);
    if (lastArrivalMs_ == 0 || nowMs - lastArrivalMs_ > kFillPauseMs) {
        ++figures_.fills;
        figures_.lastFrames = 0;
        figures_.lastFromMs = frameMs;
    }
    lastArrivalMs_ = nowMs;
    ++figures_.frames;
    ++figures_.lastFrames;
    figures_.lastToMs = frameMs;
    return true;
}

EdgeTap::Figures EdgeTap::Snapshot() {
    std::lock_guard lock(mutex_);
    return figures_;
}

std::string EdgeTap::Text(const Figures& f) {
    std::string text = "gap fills " + std::to_string(f.fills);
    if (f.fills != 0) {
        text += " (" + std::to_string(f.frames) + " frames), last " + ClockText(f.lastFromMs) +
                "-" + ClockText(f.lastToMs) + " UTC " + std::to_string(f.lastFrames) + " frames";
    }
    return text;
}

}  // namespace quillon::host
