#include "rtsp/rtsp_stream_parser.h"

#include <algorithm>

#include "base/bytes.h"
#include "rtsp/rtcp_packets.h"

namespace vornak {

namespace {
constexpr size_t kFrameHeader = 4;
// A stream that never shows a frame start is not allowed to grow the buffer.
constexpr size_t kMaxBuffered = 256 * 1024;
}  // namespace

CRTSPStreamParser::CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t channel)
    : user_(user), channel_(channel) {}

void CRTSPStreamParser::Feed(std::span<const uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    size_t pos = 0;
    auto findDollar = [&](size_t from) {
        return static_cast<size_t>(
            std::find(buffer_.begin() + static_cast<ptrdiff_t>(from), buffer_.end(), '$') -
            buffer_.begin());
    };
    pos = findDollar(0);
    while (pos < buffer_.size()) {
        if (buffer_.size() - pos < kFrameHeader + 1) {
            break;
        }
        const uint8_t channel = buffer_[pos + 1];
        const size_t length = ReadBe16(&buffer_[pos + 2]);
        if (buffer_.size() - pos < kFrameHeader + length) {
            break;
        }
        // A frame of a channel never set up is passed over whole: its bytes may look like frame
        // starts of ours.
        if (channel == channel_ || channel == static_cast<uint8_t>(channel_ + 1)) {
            HandleFrame(channel,
                        std::span<const uint8_t>(buffer_).subspan(pos + kFrameHeader, length));
        }
        pos += kFrameHeader + length;
        pos = findDollar(pos);
    }
    buffer_.erase(buffer_.begin(),
                  buffer_.begin() + static_cast<ptrdiff_t>(std::min(pos, buffer_.size())));
    if (buffer_.size() > kMaxBuffered) {
        buffer_.clear();
    }
}

void CRTSPStreamParser::HandleFrame(uint8_t channel, std::span<const uint8_t> frame) {
    try {
        if (channel == channel_) {
            CRTPPacket packet;
            if (packet.Parse(frame)) {
                user_->OnStreamPacket(packet);
            }
        } else {
            WalkRtcp(frame, [this](uint8_t type, std::span<const uint8_t>) {
                if (type == kRtcpBye) {
                    user_->OnStreamBye();
                }
            });
        }
    } catch (...) {
        // A user that throws loses this frame only.
    }
}

}  // namespace vornak
