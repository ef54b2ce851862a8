#include "parsers/jpeg_stream_parser.h"

#include <cstring>

namespace vornak {

namespace {
constexpr uint8_t kSOI = 0xD8;
constexpr uint8_t kEOI = 0xD9;
constexpr uint8_t kSOF0 = 0xC0;
// FF C0, length (2), precision (1), height (2), width (2): the size ends 9 bytes after FF.
constexpr size_t kFrameHeaderBytes = 9;
}  // namespace

void JpegStreamScanner::Reset() {
    buffer_.clear();
    inPicture_ = false;
    afterFF_ = false;
    headerPending_ = false;
}

void JpegStreamScanner::OnMarker(uint8_t marker, const PictureFn& onPicture,
                                 const OverflowFn& onOverflow) {
    switch (marker) {
        case kSOI:
            buffer_.assign({0xFF, kSOI});
            inPicture_ = true;
            headerPending_ = false;
            break;
        case kSOF0:
            if (inPicture_) {
                pendingHeader_ = buffer_.size() - 2;
                headerPending_ = true;
            }
            break;
        case kEOI:
            if (inPicture_ && buffer_.size() > kMaxPictureBytes) {
                onOverflow();
            } else if (inPicture_) {
                onPicture(buffer_);
            }
            buffer_.clear();
            inPicture_ = false;
            headerPending_ = false;
            break;
        default:
            break;
    }
}

void JpegStreamScanner::Feed(std::span<const uint8_t> chunk, const PictureFn& onPicture,
                             const OverflowFn& onOverflow) {
    size_t copied = 0;  // bytes of chunk already in buffer_
    for (size_t i = 0; i < chunk.size(); ++i) {
        const uint8_t byte = chunk[i];
        if (afterFF_ && (byte == kSOI || byte == kEOI || byte == kSOF0)) {
            if (inPicture_) {
                buffer_.insert(buffer_.end(), chunk.begin() + copied, chunk.begin() + i + 1);
            }
            copied = i + 1;
            OnMarker(byte, onPicture, onOverflow);
        }
        afterFF_ = byte == 0xFF;
        if (headerPending_ &&
            buffer_.size() + (i + 1 - copied) >= pendingHeader_ + kFrameHeaderBytes) {
            buffer_.insert(buffer_.end(), chunk.begin() + copied, chunk.begin() + i + 1);
            copied = i + 1;
            const uint8_t* h = &buffer_[pendingHeader_];
            height_ = static_cast<uint32_t>(h[5] << 8 | h[6]);
            width_ = static_cast<uint32_t>(h[7] << 8 | h[8]);
            headerPending_ = false;
        }
    }
    if (inPicture_) {
        buffer_.insert(buffer_.end(), chunk.begin() + copied, chunk.end());
        if (buffer_.size() > kMaxPictureBytes) {
            onOverflow();
            buffer_.clear();
            inPicture_ = false;
            headerPending_ = false;
        }
    }
}

void CJpegMediaParser::Parse(std::span<const uint8_t> chunk) {
    scanner_.Feed(
        chunk, [this](std::span<const uint8_t> picture) { Deliver(picture); },
        [this] {
            owner_->DebugMessage(kLogError, "%s: Frame buffer overflow detected, device %s",
                                 "vornak::CHttpMediaParser::CheckBufferSize",
                                 owner_->GetDeviceInfo()->address.c_str());
        });
}

void CJpegMediaParser::Deliver(std::span<const uint8_t> picture) {
    width_ = scanner_.Width();
    height_ = scanner_.Height();
    ipcapture::IFrameAllocator* allocator = owner_->GetFrameAllocator();
    const uint32_t width = width_;
    const uint32_t height = height_;
    // A picture before the first frame header has no known size and is not sent.
    if (client_ == nullptr || picture.empty() || allocator == nullptr || width == 0 ||
        height == 0) {
        return;
    }
    const auto size = static_cast<uint32_t>(picture.size());
    ipcapture::IVideoFrame* frame =
        allocator->CreateFrame(kFourCCJpeg, size, client_->GetStreamName().c_str());
    if (frame == nullptr) {
        return;
    }
    ipcapture::SYSTEMTIME stamp{};
    client_->ConvertTimestamp(0, stamp);
    frame->SetWidth(width);
    frame->SetHeight(height);
    frame->SetResolutionClass(ResolutionClass(width, height));
    frame->SetDataSize(size);
    frame->SetFourCC(kFourCCJpeg);
    frame->SetTimestamp(&stamp);
    uint8_t* buffer = frame->GetBuffer();
    if (buffer != nullptr) {
        std::memcpy(buffer, picture.data(), picture.size());
        client_->FrameReady(frame);
    } else {
        owner_->DebugMessage(kLogError, "%s: Data copying error, device %s",
                             "vornak::CJpegMediaParser::Parse",
                             owner_->GetDeviceInfo()->address.c_str());
    }
    allocator->ReleaseFrame(frame);
}

}  // namespace vornak
