#include "parsers/annexb_parser.h"

namespace vornak {

CAnnexBRTPMediaParser::CAnnexBRTPMediaParser(IDriver* owner, const AnnexBCodec& codec)
    : CRTPMediaParser(owner), codec_(codec) {}

[[gnu::noinline]] void CAnnexBRTPMediaParser::AppendBytes(std::vector<uint8_t>& buffer,
                                                          std::span<const uint8_t> bytes) {
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
}

void CAnnexBRTPMediaParser::Reset() {
    CRTPMediaParser::Reset();
    width_ = 0;
    height_ = 0;
}

void CAnnexBRTPMediaParser::DropFrame() {
    if (!frameBuffer_.empty()) {
        ++stats_.framesDropped;
    }
    waitingForKeyFrame_ = true;
    frameBuffer_.clear();
    fuOpen_ = false;
}

bool CAnnexBRTPMediaParser::AppendWholeUnits(const std::vector<std::span<const uint8_t>>& units) {
    fuOpen_ = false;
    for (std::span<const uint8_t> nal : units) {
        if (!AppendNalUnit(nal)) {
            return false;
        }
    }
    return true;
}

void CAnnexBRTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
    try {
        if (!AcceptSequence(packet) || !AppendPayload(packet)) {
            return;
        }
        if (!CheckBufferSize()) {
            DropFrame();
            return;
        }
        if (packet.marker != 0) {
            fuOpen_ = false;  // the marker ends the picture, and with it any open unit
            if (!frameBuffer_.empty()) {
                ProcessFrame(packet.timestamp);
                frameBuffer_.clear();
            }
        }
    } catch (...) {
        DropFrame();
    }
}

void CAnnexBRTPMediaParser::ProcessFrame(uint32_t rtpTimestamp) {
    if (!HasHost()) {
        return;
    }
    AppendBytes(frameBuffer_, codec_.frameTrailer);
    uint32_t fourcc = codec_.otherFourCC;
    if (const std::optional<Size> size = codec_.findSps(frameBuffer_)) {
        fourcc = codec_.keyFourCC;
        width_ = size->width;
        height_ = size->height;
        waitingForKeyFrame_ = false;
    } else if (waitingForKeyFrame_) {
        ++stats_.framesDropped;
        frameBuffer_.clear();
        return;
    }
    DeliverOrDropToKeyFrame(fourcc, rtpTimestamp, codec_.processFrame);
}

}  // namespace vornak
