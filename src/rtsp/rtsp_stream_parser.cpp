#include "rtsp/rtsp_stream_parser.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "rtsp/rtcp_packets.h"

namespace vornak {

namespace {
// Twice the largest frame: a partial frame moved to the front leaves room for a large read.
constexpr size_t kCapacity = 128 * 1024;
}  // namespace

CRTSPStreamParser::CRTSPStreamParser(IRTSPStreamParserUser* user, uint8_t channel)
    : user_(user), channel_(channel) {}

std::span<uint8_t> CRTSPStreamParser::WriteArea() {
    if (buffer_.empty()) {
        buffer_ = platform::PageBuffer(kCapacity);
        if (buffer_.empty()) {
            return {};  // no memory: the reader sees an end of stream and reconnects
        }
    }
    if (buffer_.size() - end_ < kMinRead) {
        // Only the unfinished frame moves; parsed frames never do.
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    return buffer_.span().subspan(end_);
}

void CRTSPStreamParser::Commit(size_t count) {
    end_ += std::min(count, buffer_.size() - end_);
    Parse();
}

void CRTSPStreamParser::Feed(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::span<uint8_t> area = WriteArea();
        if (area.empty()) {
            return;
        }
        const size_t count = std::min(area.size(), bytes.size());
        std::memcpy(area.data(), bytes.data(), count);
        bytes = bytes.subspan(count);
        Commit(count);
    }
}

void CRTSPStreamParser::Parse() {
    user_->OnStreamRead();
    const uint8_t* data = buffer_.data();
    size_t pos = begin_;
    auto findDollar = [&](size_t from) {
        return static_cast<size_t>(std::find(data + from, data + end_, '$') - data);
    };
    for (pos = findDollar(pos); end_ - pos >= kInterleavedHeader; pos = findDollar(pos)) {
        const uint8_t channel = data[pos + 1];
        const size_t length = ReadBe16(&data[pos + 2]);
        if (end_ - pos < kInterleavedHeader + length) {
            break;
        }
        // A frame of a channel never set up is passed over whole: its bytes may look like frame
        // starts of ours.
        if (channel == channel_ || channel == static_cast<uint8_t>(channel_ + 1)) {
            HandleFrame(channel, std::span<const uint8_t>(data + pos + kInterleavedHeader, length));
        }
        pos += kInterleavedHeader + length;
    }
    // Whatever precedes the next '$' is not ours: dropped. An unfinished frame stays, at most
    // 4 + 65535 bytes, so the buffer always has room for the rest.
    begin_ = std::min(pos, end_);
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
}

void CRTSPStreamParser::HandleFrame(uint8_t channel, std::span<const uint8_t> frame) {
    try {
        if (channel == channel_) {
            if (packet_.Parse(frame)) {
                user_->OnStreamPacket(packet_);
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
