#include "motion_view.h"

namespace quillon::host {

bool MotionTap::OnFrame(IVideoFrame* frame) {
    if (frame == nullptr || frame->GetFourCC() != kFourCC) {
        return next_->OnFrame(frame);
    }
    const uint8_t* data = frame->GetBuffer();
    std::lock_guard lock(mutex_);
    ++figures_.frames;
    if (data == nullptr || frame->GetDataSize() != 2 || data[0] != 1 || data[1] > 1) {
        ++figures_.malformed;
        return true;
    }
    const int state = data[1];
    if (figures_.state != -1 && figures_.state != state) {
        ++figures_.changes;
    }
    figures_.state = state;
    return true;
}

MotionTap::Figures MotionTap::Snapshot() {
    std::lock_guard lock(mutex_);
    return figures_;
}

std::string MotionTap::Text(const Figures& f) {
    const char* state = f.state < 0 ? "-" : f.state == 1 ? "yes" : "no";
    std::string text = "motion " + std::string(state);
    if (f.state >= 0) {
        text += " (" + std::to_string(f.changes) + " changes)";
    }
    if (f.malformed != 0) {
        text += " malformed " + std::to_string(f.malformed);
    }
    return text;
}

}  // namespace quillon::host
