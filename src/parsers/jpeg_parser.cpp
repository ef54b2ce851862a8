#include "parsers/jpeg_parser.h"

namespace vornak {

namespace {
constexpr const char* kJpegProcessPacket = "vornak::CJpegRTPMediaParser::ProcessPacket";
constexpr const char* kJpegProcessFrame = "vornak::CJpegRTPMediaParser::ProcessFrame";
}  // namespace

CJpegRTPMediaParser::CJpegRTPMediaParser(IDriver* owner) : CRTPMediaParser(owner) {}

void CJpegRTPMediaParser::DropFrame() {
    if (!frameBuffer_.empty()) {
        ++stats_.framesDropped;
    }
    EndFrame();
}

void CJpegRTPMediaParser::EndFrame() {
    frameBuffer_.clear();
    state_ = State::kIdle;
    headerSize_ = 8;
    extensionHeaderSeen_ = false;
    sizeFromExtension_ = false;
    scanBytes_ = 0;
    width_ = 0;
    height_ = 0;
}

std::span<const uint8_t> CJpegRTPMediaParser::ResolveTables(const JpegPayload& header) {
    if (header.q >= 128 && !header.tables.empty()) {
        cachedTables_.assign(header.tables.begin(), header.tables.end());
        cachedTablesQ_ = header.q;
        cachedTablesValid_ = true;
        return cachedTables_;
    }
    if (header.q >= 128 && cachedTablesValid_ && cachedTablesQ_ == header.q) {
        return cachedTables_;
    }
    // A sender that never sent tables for this Q still gets a picture: scale the standard
    // tables (Q clamped to 99) rather than show nothing.
    scaledTables_ = MakeQuantizationTables(header.q);
    return scaledTables_;
}

bool CJpegRTPMediaParser::StartScanFrame(const JpegPayload& header) {
    const std::span<const uint8_t> tables = ResolveTables(header);
    const Size size = sizeFromExtension_ ? extensionSize_ : JpegHeaderSize(header);
    JfifParameters parameters;
    parameters.type = header.type;
    parameters.width = size.width;
    parameters.height = size.height;
    parameters.restartInterval = header.restartInterval;
    parameters.tables = tables;
    frameBuffer_.clear();
    if (!BuildJfifHeader(parameters, frameBuffer_)) {
        RefusePayload(kJpegProcessPacket, "JFIF header cannot be built");
        return false;
    }
    width_ = size.width;
    height_ = size.height;
    headerSize_ = header.type >= 64 ? 12 : 8;
    state_ = State::kScan;
    return true;
}

bool CJpegRTPMediaParser::StartExtensionFrame(std::span<const uint8_t> extension) {
    if (!frameBuffer_.empty()) {
        ++stats_.framesDropped;  // the previous picture never got its last packet
    }
    frameBuffer_.clear();
    frameBuffer_.push_back(0xFF);
    frameBuffer_.push_back(0xD8);
    frameBuffer_.insert(frameBuffer_.end(), extension.begin(), extension.end());
    state_ = State::kExtension;
    scanBytes_ = 0;
    return true;
}

bool CJpegRTPMediaParser::HandlePayload(std::span<const uint8_t> payload) {
    const JpegPayloadError error = ParseJpegPayload(payload, header_);
    if (error != JpegPayloadError::kNone) {
        RefusePayload(kJpegProcessPacket, JpegPayloadErrorText(error));
        return false;
    }
    if (header_.fragmentOffset == 0 && state_ != State::kExtension) {
        if (state_ == State::kScan) {
            ++stats_.framesDropped;  // the previous picture never got its last packet
        }
        if (!StartScanFrame(header_)) {
            return false;
        }
    } else if (state_ == State::kIdle) {
        RefusePayload(kJpegProcessPacket, "continuation fragment without a first fragment");
        return false;
    } else if (header_.scan.empty()) {
        // Header-only packets of a picture whose header travels in extensions.
        return true;
    } else if (header_.fragmentOffset != scanBytes_) {
        RefusePayload(kJpegProcessPacket, "fragment offset does not follow the data received");
        return false;
    }
    frameBuffer_.insert(frameBuffer_.end(), header_.scan.begin(), header_.scan.end());
    scanBytes_ += static_cast<uint32_t>(header_.scan.size());
    if (!CheckBufferSize()) {
        DropFrame();
        return false;
    }
    return true;
}

void CJpegRTPMediaParser::ProcessPacket(const CRTPPacket& packet) {
    try {
        if (!AcceptSequence(packet)) {
            return;
        }
        // The packet record keeps no X flag; an extension shows as a profile or data.
        const bool hasExtension = packet.extensionProfile != 0 || !packet.extensionData.empty();
        bool ok = true;
        if (!hasExtension) {
            ok = HandlePayload(packet.payload);
        } else if (packet.extensionProfile == kJpegExtensionFirst) {
            extensionHeaderSeen_ = true;
            if (packet.payload.size() <= headerSize_) {
                ok = StartExtensionFrame(packet.extensionData);
                if (ok && !CheckBufferSize()) {
                    DropFrame();
                    ok = false;
                }
            } else {
                // The extension only tells the size; the header is rebuilt as usual, which
                // also covers pictures wider or higher than the main header can say.
                if (const std::optional<Size> size = FindJpegFrameSize(packet.extensionData)) {
                    extensionSize_ = *size;
                    sizeFromExtension_ = true;
                }
                ok = HandlePayload(packet.payload);
            }
        } else if (packet.extensionProfile == kJpegExtensionNext) {
            if (!extensionHeaderSeen_) {
                ++stats_.skipped;
                return;
            }
            if (state_ == State::kExtension) {
                frameBuffer_.insert(frameBuffer_.end(), packet.extensionData.begin(),
                                    packet.extensionData.end());
                if (!CheckBufferSize()) {
                    DropFrame();
                    ok = false;
                }
            } else {
                // A rebuilt header is complete; extension bytes inside the scan would break it.
                ok = HandlePayload(packet.payload);
            }
        } else {
            ++stats_.skipped;
            return;
        }
        if (ok && packet.marker != 0 && !frameBuffer_.empty()) {
            ProcessFrame(packet.timestamp);
            EndFrame();
        }
    } catch (...) {
        DropFrame();
    }
}

void CJpegRTPMediaParser::ProcessFrame(uint32_t rtpTimestamp) {
    if (frameBuffer_.size() <= 8) {
        ++stats_.framesDropped;
        return;
    }
    if (state_ == State::kExtension) {
        const std::optional<Size> size = FindJpegFrameSize(frameBuffer_);
        if (!size) {
            RefusePayload(kJpegProcessFrame, "no frame header in the extension header");
            return;
        }
        width_ = size->width;
        height_ = size->height;
    }
    if (DeliverFrame(frameBuffer_, kFourCCJpeg, rtpTimestamp, kJpegProcessFrame) ==
        Delivery::kDelivered) {
        ++stats_.framesDelivered;
    }
}

}  // namespace vornak
