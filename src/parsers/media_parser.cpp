#include "parsers/media_parser.h"

namespace vornak {

PacketOrder ClassifySequence(bool first, uint16_t last, uint16_t sequence) {
    if (first) {
        return PacketOrder::kFirst;
    }
    const int32_t distance = SequenceDistance(last, sequence);
    if (distance == 1) {
        return PacketOrder::kNext;
    }
    if (distance == 0) {
        return PacketOrder::kDuplicate;
    }
    if (distance < 0 && distance >= -kLateWindow) {
        return PacketOrder::kLate;
    }
    return PacketOrder::kGap;
}

CRTPMediaParser::CRTPMediaParser(IDriver* owner) : owner_(owner), logger_(owner) {}

void CRTPMediaParser::Reset() {
    // A new session starts from its own description: sets of the last one may be of another
    // picture size.
    sets_ = {};
    DropFrame();
    firstPacket_ = true;
    lastMarker_ = true;
    skipping_ = false;
    streamName_.clear();
}

void CRTPMediaParser::SetParameterSets(const ParameterSets& sets) {
    sets_ = sets;
}

bool CRTPMediaParser::CheckBufferSize() {
    if (frameBuffer_.size() <= kFrameBufferLimit) {
        return true;
    }
    const DEVICE_INFO* device = owner_->GetDeviceInfo();
    owner_->DebugMessage(kLogError, "%s: Frame buffer overflow detected, device %s:%u",
                         "vornak::CRTPMediaParser::CheckBufferSize",
                         device != nullptr ? device->address.c_str() : "",
                         device != nullptr ? device->port : 0u);
    return false;
}

bool CRTPMediaParser::AcceptSequence(const CRTPPacket& packet) {
    ++stats_.packets;
    switch (ClassifySequence(firstPacket_, lastSequence_, packet.sequence)) {
        case PacketOrder::kDuplicate:
            ++stats_.duplicates;
            return false;
        case PacketOrder::kLate:
            ++stats_.late;
            return false;
        case PacketOrder::kGap:
            ++stats_.gaps;
            DropFrame();
            // The lost packets may have belonged to this packet's picture: when the picture
            // before the gap had not ended and this packet carries its timestamp, the rest of
            // that picture is useless.
            if (!lastMarker_ && packet.timestamp == lastTimestamp_) {
                skipping_ = true;
                skipTimestamp_ = packet.timestamp;
            }
            break;
        case PacketOrder::kFirst:
        case PacketOrder::kNext:
            break;
    }
    firstPacket_ = false;
    lastSequence_ = packet.sequence;
    lastTimestamp_ = packet.timestamp;
    lastMarker_ = packet.marker != 0;
    if (skipping_) {
        if (packet.timestamp == skipTimestamp_) {
            skipping_ = packet.marker == 0;
            ++stats_.skipped;
            return false;
        }
        skipping_ = false;
    }
    return true;
}

void CRTPMediaParser::RefusePayload(const char* method, const char* reason) {
    ++stats_.malformed;
    logger_.Log(kLogWarning, "%s: Payload refused (%s), device %s", method, reason,
                owner_->GetDeviceName().c_str());
    DropFrame();
}

Delivery CRTPMediaParser::DeliverFrame(std::span<const uint8_t> data, uint32_t fourcc,
                                       uint32_t rtpTimestamp, const char* method,
                                       const SYSTEMTIME* time) {
    if (streamName_.empty() && client_ != nullptr) {
        // Asked once a session rather than copied for every picture: it holds while it runs.
        streamName_ = client_->GetStreamName();
    }
    return DeliverPicture(*owner_, client_,
                          {.data = data,
                           .fourcc = fourcc,
                           .size = {width_, height_},
                           .rtpTimestamp = rtpTimestamp,
                           .time = time,
                           .stream = streamName_.c_str()},
                          method);
}

void CRTPMediaParser::DeliverOrDropToKeyFrame(uint32_t fourcc, uint32_t rtpTimestamp,
                                              const char* method, const SYSTEMTIME* time) {
    switch (DeliverFrame(frameBuffer_, fourcc, rtpTimestamp, method, time)) {
        case Delivery::kDelivered:
            ++stats_.framesDelivered;
            break;
        case Delivery::kNoHost:
            break;
        case Delivery::kRefused:
        case Delivery::kNoFrame:
        case Delivery::kCopyFailed:
            DropFrame();
            break;
    }
}

}  // namespace vornak
