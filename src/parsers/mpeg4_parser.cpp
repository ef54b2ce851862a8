#include "parsers/mpeg4_parser.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "base/time.h"
#include "parsers/bit_reader.h"

namespace vornak {

namespace {

constexpr const char* kMpeg4ProcessPacket = "vornak::CMpeg4RTPMediaParser::ProcessPacket";
constexpr const char* kMpeg4ProcessFrame = "vornak::CMpeg4RTPMediaParser::ProcessFrame";

constexpr std::array<uint8_t, 4> kVop = {0x00, 0x00, 0x01, 0xB6};
constexpr std::array<uint8_t, 4> kGroupOfVop = {0x00, 0x00, 0x01, 0xB3};
// RTP clock of MPEG-4 video.
constexpr uint64_t kRtpClockRate = 90000;
constexpr uint64_t kTimeUnitsPerSecond = 10000000;  // of a time value
constexpr uint64_t kMinStep = 10000;                // 1 ms, the host's resolution
// More than a minute between two pictures of one packet is not a picture rate.
constexpr uint32_t kMaxModuloSeconds = 60;

bool HasAt(std::span<const uint8_t> data, size_t pos, std::span<const uint8_t> code) {
    return data.size() >= pos + code.size() &&
           std::equal(code.begin(), code.end(), data.begin() + static_cast<ptrdiff_t>(pos));
}

// Position of the first VOP start code at or after `from`, or npos. memchr finds the code's last
// byte at vector speed; the per-frame check for packed pictures must not walk every byte.
size_t FindVop(std::span<const uint8_t> data, size_t from) {
    for (size_t pos = from + 3; pos < data.size();) {
        const void* hit = memchr(data.data() + pos, kVop[3], data.size() - pos);
        if (hit == nullptr) {
            return std::string_view::npos;
        }
        pos = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data.data());
        if (data[pos - 1] == kVop[2] && data[pos - 2] == 0 && data[pos - 3] == 0) {
            return pos - 3;
        }
        ++pos;
    }
    return std::string_view::npos;
}

// Packed pictures need a second VOP; a frame of one picture, the usual case, needs no split.
bool HasSeveralVops(std::span<const uint8_t> data) {
    const size_t first = FindVop(data, 0);
    return first != std::string_view::npos &&
           FindVop(data, first + kVop.size()) != std::string_view::npos;
}

}  // namespace

// Configuration headers that may open a payload ahead of its first VOP: visual object sequence,
// visual object, or (from encoders that leave out the first two) video object layer.
bool StartsConfiguration(std::span<const uint8_t> payload) {
    if (payload.size() < 5 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1) {
        return false;
    }
    const uint8_t code = payload[3];
    return code == 0xB0 || code == 0xB5 || (code >= 0x20 && code <= 0x2F);
}

Mpeg4PayloadInfo ClassifyMpeg4Payload(std::span<const uint8_t> payload) {
    Mpeg4PayloadInfo info;
    if (StartsConfiguration(payload)) {
        // The configuration ends where the picture begins: its VOP or a group-of-VOP header.
        auto it = std::search(payload.begin() + 4, payload.end(), kVop.begin(), kVop.end());
        const auto group =
            std::search(payload.begin() + 4, it, kGroupOfVop.begin(), kGroupOfVop.end());
        if (group != it) {
            it = group;
        }
        if (it != payload.end()) {
            info.dataOffset = static_cast<size_t>(it - payload.begin());
            info.config = payload.first(info.dataOffset);
        }
    }
    // A group-of-VOP header may stand in front of the VOP; it stays part of the picture.
    size_t vop = info.dataOffset;
    if (HasAt(payload, vop, kGroupOfVop)) {
        const auto it = std::search(payload.begin() + static_cast<ptrdiff_t>(vop) + 4,
                                    payload.end(), kVop.begin(), kVop.end());
        vop = it == payload.end() ? payload.size() : static_cast<size_t>(it - payload.begin());
    }
    // vop_coding_type is the top two bits after the start code: 0 is an I-VOP.
    if (HasAt(payload, vop, kVop) && payload.size() > vop + 4) {
        info.startsVop = true;
        info.intra = (payload[vop + 4] >> 6) == 0;
    }
    return info;
}

std::vector<size_t> PictureStarts(std::span<const uint8_t> frame) {
    std::vector<size_t> starts = {0};
    bool vopSeen = false;
    // MPEG-4 Visual keeps 00 00 01 out of coded data, so every match is a start code.
    for (size_t pos = 0; pos + 3 < frame.size(); ++pos) {
        if (frame[pos] != 0 || frame[pos + 1] != 0 || frame[pos + 2] != 1) {
            continue;
        }
        if (vopSeen) {
            starts.push_back(pos);
            vopSeen = false;
        }
        vopSeen = frame[pos + 3] == 0xB6;
        pos += 3;
    }
    return starts;
}

std::optional<VopHeader> ReadVopHeader(std::span<const uint8_t> vop, uint32_t resolution) {
    if (!HasAt(vop, 0, kVop) || resolution == 0) {
        return std::nullopt;
    }
    CBitReader reader(vop.subspan(4));
    VopHeader header;
    header.codingType = reader.ReadBits(2);
    while (reader.ReadFlag()) {
        if (++header.seconds > kMaxModuloSeconds || reader.Overrun()) {
            return std::nullopt;
        }
    }
    if (!reader.ReadFlag()) {  // marker
        return std::nullopt;
    }
    header.increment = reader.ReadBits(VopTimeIncrementBits(resolution));
    if (reader.Overrun() || header.increment >= resolution) {
        return std::nullopt;
    }
    return header;
}

CMpeg4RTPMediaParser::CMpeg4RTPMediaParser(IDriver* owner) : CRTPMediaParser(owner) {}

void CMpeg4RTPMediaParser::Reset() {
    CRTPMediaParser::Reset();
    inBandConfig_.clear();
    width_ = 0;
    height_ = 0;
    packedTime_ = 0;
}

void CMpeg4RTPMediaParser::DropFrame() {
    if (!frameBuffer_.empty()) {
        ++stats_.framesDropped;
    }
    waitingForIntra_ = true;
    frameOpen_ = false;
    collectingPacked_ = false;
    frameBuffer_.clear();
}

void CMpeg4RTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
    try {
        if (!AcceptSequence(packet)) {
            return;
        }
        const std::span<const uint8_t> payload = packet.payload;
        const Mpeg4PayloadInfo info = ClassifyMpeg4Payload(payload);
        if (!info.config.empty()) {
            inBandConfig_.assign(info.config.begin(), info.config.end());
        }
        if (info.startsVop) {
            frameBuffer_.clear();
            frameOpen_ = true;
            currentIsIntra_ = info.intra;
            // A packet of several pictures may hold the I-VOP to start from further on; the
            // split at the frame's end skips the pictures in front of it.
            const std::vector<size_t> starts =
                waitingForIntra_ && !info.intra && HasSeveralVops(payload) ? PictureStarts(payload)
                                                                           : std::vector<size_t>{};
            collectingPacked_ = std::any_of(starts.begin(), starts.end(), [&](size_t start) {
                return start != 0 && ClassifyMpeg4Payload(payload.subspan(start)).intra;
            });
            if (info.intra) {
                const std::vector<uint8_t>& config =
                    !inBandConfig_.empty() ? inBandConfig_ : sets_.config;
                frameBuffer_.insert(frameBuffer_.end(), config.begin(), config.end());
                waitingForIntra_ = false;
            }
        }
        if (waitingForIntra_ && !collectingPacked_) {
            return;
        }
        if (!frameOpen_) {
            // Data that follows a finished frame without a VOP start of its own belongs to
            // no picture we can name.
            RefusePayload(kMpeg4ProcessPacket, "picture data without a VOP start");
            return;
        }
        frameBuffer_.insert(frameBuffer_.end(),
                            payload.begin() + static_cast<ptrdiff_t>(info.dataOffset),
                            payload.end());
        if (!CheckBufferSize()) {
            DropFrame();
            return;
        }
        if (packet.marker != 0 && !frameBuffer_.empty()) {
            DeliverPictures(packet.timestamp);
            frameOpen_ = false;
            collectingPacked_ = false;
        }
    } catch (...) {
        DropFrame();
    }
}

void CMpeg4RTPMediaParser::DeliverPictures(uint32_t rtpTimestamp) {
    if (HasSeveralVops(frameBuffer_)) {
        const std::vector<size_t> starts = PictureStarts(frameBuffer_);
        if (starts.size() > 1 && SplitPackedPictures(starts, rtpTimestamp)) {
            return;
        }
    }
    if (waitingForIntra_) {
        DropFrame();  // collected for an I-VOP behind other pictures, but not splittable
        return;
    }
    ProcessFrame(rtpTimestamp);
}

bool CMpeg4RTPMediaParser::SplitPackedPictures(const std::vector<size_t>& starts,
                                               uint32_t rtpTimestamp) {
    const std::vector<uint8_t>& config = !inBandConfig_.empty() ? inBandConfig_ : sets_.config;
    std::optional<uint32_t> resolution = CMP4Parser::ReadTimeResolution(frameBuffer_);
    if (!resolution) {
        resolution = CMP4Parser::ReadTimeResolution(config);
    }
    if (!resolution) {
        return false;
    }
    // The pictures keep pointing into this buffer while frameBuffer_ holds one at a time.
    std::vector<uint8_t> packed = std::move(frameBuffer_);
    frameBuffer_.clear();
    struct Picture {
        std::span<const uint8_t> data;
        bool intra = false;
        uint64_t ticks = 0;  // of the resolution, from the second of the first picture
    };
    std::vector<Picture> pictures;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : packed.size();
        const std::span<const uint8_t> data =
            std::span<const uint8_t>(packed).subspan(starts[i], end - starts[i]);
        const auto vop = std::search(data.begin(), data.end(), kVop.begin(), kVop.end());
        const std::optional<VopHeader> header =
            ReadVopHeader(data.subspan(static_cast<size_t>(vop - data.begin())), *resolution);
        // A B-VOP counts its time from a picture that comes after it; such a frame stays whole.
        if (!header || header->codingType == 2) {
            frameBuffer_ = std::move(packed);
            return false;
        }
        const uint64_t second = pictures.empty() ? 0 : pictures.back().ticks / *resolution;
        const uint64_t ticks = (second + header->seconds) * *resolution + header->increment;
        if (!pictures.empty() && ticks <= pictures.back().ticks) {
            frameBuffer_ = std::move(packed);
            return false;
        }
        pictures.push_back({data, header->codingType == 0, ticks});
    }
    if (pictures.back().ticks - pictures.front().ticks > *resolution) {
        frameBuffer_ = std::move(packed);  // more than a second in one packet: not a real packing
        return false;
    }
    // The pictures of one packet arrive together. Only the first handed on goes through the
    // stream clock, whose bound on the lead over arrival would bunch the others; they keep the
    // spacing of their VOP headers.
    std::optional<TimeValue> base;
    uint64_t baseTicks = 0;
    for (const Picture& picture : pictures) {
        if (!picture.intra && waitingForIntra_) {
            continue;  // an earlier picture of the packet did not reach the host
        }
        frameBuffer_.clear();
        if (picture.intra && !mp4Parser_.ReadSize(picture.data)) {
            frameBuffer_.insert(frameBuffer_.end(), config.begin(), config.end());
        }
        frameBuffer_.insert(frameBuffer_.end(), picture.data.begin(), picture.data.end());
        currentIsIntra_ = picture.intra;
        waitingForIntra_ = false;
        const uint64_t offset =
            (picture.ticks - pictures.front().ticks) * kRtpClockRate / *resolution;
        const uint32_t pictureRtp = rtpTimestamp + static_cast<uint32_t>(offset);
        if (!HasHost()) {
            continue;
        }
        if (!base) {
            SYSTEMTIME converted{};
            client_->ConvertTimestamp(pictureRtp, converted);
            base = std::max(SystemTimeToTime(converted), packedTime_ + kMinStep);
            baseTicks = picture.ticks;
        }
        packedTime_ = *base + (picture.ticks - baseTicks) * kTimeUnitsPerSecond / *resolution;
        SYSTEMTIME time{};
        TimeToSystemTime(packedTime_, time);
        ProcessFrame(pictureRtp, &time);
    }
    frameBuffer_ = std::move(packed);
    frameBuffer_.clear();
    return true;
}

void CMpeg4RTPMediaParser::ProcessFrame(uint32_t rtpTimestamp, const SYSTEMTIME* time) {
    if (!HasHost()) {
        return;
    }
    SYSTEMTIME afterPacked{};
    if (time == nullptr && packedTime_ != 0) {
        // A frame after split pictures must not go before the last of them.
        client_->ConvertTimestamp(rtpTimestamp, afterPacked);
        const TimeValue converted = SystemTimeToTime(afterPacked);
        if (converted <= packedTime_) {
            TimeToSystemTime(packedTime_ + kMinStep, afterPacked);
        }
        time = &afterPacked;
    }
    uint32_t fourcc = kFourCCDivi;
    if (currentIsIntra_) {
        const std::optional<Size> size = mp4Parser_.ReadSize(frameBuffer_);
        if (!size) {
            RefusePayload(kMpeg4ProcessFrame, "I-VOP without a readable video object layer");
            return;
        }
        width_ = size->width;
        height_ = size->height;
        fourcc = kFourCCDivx;
    }
    DeliverOrDropToKeyFrame(fourcc, rtpTimestamp, kMpeg4ProcessFrame, time);
}

}  // namespace vornak
