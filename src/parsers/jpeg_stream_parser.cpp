#include "parsers/jpeg_stream_parser.h"

#include "parsers/frame_filler.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/bytes.h"
#include "base/text.h"

namespace vornak {

namespace {
constexpr uint8_t kSOI = 0xD8;
constexpr uint8_t kEOI = 0xD9;
constexpr uint8_t kSOS = 0xDA;
constexpr size_t kLineLimit = 64;  // longer header lines are not ones this scanner reads

// Markers that stand alone, without a length.
bool StandsAlone(uint8_t marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}
}  // namespace

void JpegStreamScanner::Reset() {
    EndPicture();
    afterFF_ = bodyStart_ = ffAtBodyStart_ = false;
    partLength_ = 0;
    line_.clear();
}

void JpegStreamScanner::EndPicture() {
    buffer_.clear();
    walk_ = Walk::kSearch;
    expected_ = 0;
}

void JpegStreamScanner::HeaderLine() {
    if (!line_.empty() && line_.back() == '\r') {
        line_.pop_back();
    }
    if (line_.empty()) {
        bodyStart_ = true;
    } else if (line_.starts_with("--")) {
        partLength_ = 0;  // a new part
    } else if (StartsWithNoCase(line_, "content-length:")) {
        size_t value = 0;
        size_t pos = line_.find_first_not_of(" \t", 15);
        for (; pos < line_.size() && std::isdigit(static_cast<unsigned char>(line_[pos])) &&
               value <= kMaxPictureBytes;
             ++pos) {
            value = value * 10 + static_cast<size_t>(line_[pos] - '0');
        }
        partLength_ = value >= 4 ? value : 0;
    }
    line_.clear();
}

bool JpegStreamScanner::SearchByte(uint8_t byte) {
    if (afterFF_ && byte == kSOI) {
        expected_ = ffAtBodyStart_ ? partLength_ : 0;
        partLength_ = 0;
        afterFF_ = bodyStart_ = ffAtBodyStart_ = false;
        line_.clear();
        return true;
    }
    if (byte == 0xFF && !afterFF_) {
        ffAtBodyStart_ = bodyStart_;
    }
    afterFF_ = byte == 0xFF;
    bodyStart_ = false;
    if (byte == '\n') {
        HeaderLine();
    } else if (line_.size() < kLineLimit) {
        line_.push_back(static_cast<char>(byte));
    }
    return false;
}

void JpegStreamScanner::Feed(std::span<const uint8_t> chunk, const PictureFn& onPicture,
                             const DropFn& onDrop) {
    const size_t n = chunk.size();
    size_t copied = 0;  // chunk bytes before this are in buffer_ or belong to no picture
    auto length = [&](size_t end) { return buffer_.size() + (end - copied); };
    auto take = [&](size_t end) {
        buffer_.insert(buffer_.end(), chunk.begin() + static_cast<long>(copied),
                       chunk.begin() + static_cast<long>(end));
        copied = end;
    };
    auto finish = [&](size_t end) {
        take(end);
        if (buffer_.size() > kMaxPictureBytes) {
            onDrop(Drop::kOverflow);
        } else {
            onPicture(buffer_);
        }
        EndPicture();
    };
    // Bytes that may be walked at once without passing the end the Content-Length gives.
    auto room = [&](size_t i) {
        const size_t have = length(i);
        return expected_ > have ? std::min(n - i, expected_ - have) : n - i;
    };
    // The byte at i does not fit the picture's structure.
    auto lost = [&](size_t i) {
        if (expected_ > length(i)) {
            walk_ = Walk::kCounted;
            return;
        }
        onDrop(Drop::kMalformed);
        EndPicture();
        copied = i;  // the byte is looked at again between pictures
    };
    // The marker whose code is at i (its FF came just before). False when the byte is to be
    // looked at again in the state the walk is now in.
    auto marker = [&](size_t i, uint8_t code) {
        if (code == kSOI) {  // the camera started over
            onDrop(Drop::kMalformed);
            EndPicture();
            buffer_.assign({0xFF, kSOI});
            copied = i + 1;
            walk_ = Walk::kMarker;
        } else if (code == kEOI) {
            finish(i + 1);
        } else if (StandsAlone(code)) {
            walk_ = Walk::kMarker;
        } else if (code == 0x00) {
            lost(i);
            return false;
        } else {
            segment_ = code;
            walk_ = Walk::kLengthHigh;
        }
        return true;
    };

    size_t i = 0;
    while (i < n) {
        const uint8_t byte = chunk[i];
        switch (walk_) {
            case Walk::kSearch:
                if (SearchByte(byte)) {
                    buffer_.assign({0xFF, kSOI});
                    copied = i + 1;
                    walk_ = Walk::kMarker;
                }
                ++i;
                continue;
            case Walk::kMarker:
                if (byte != 0xFF) {
                    lost(i);
                    continue;
                }
                walk_ = Walk::kMarkerCode;
                ++i;
                break;
            case Walk::kMarkerCode:
                if (byte != 0xFF && !marker(i, byte)) {  // FF FF is fill
                    continue;
                }
                ++i;
                break;
            case Walk::kLengthHigh:
                remaining_ = static_cast<size_t>(byte) << 8;
                walk_ = Walk::kLengthLow;
                ++i;
                break;
            case Walk::kLengthLow:
                remaining_ |= byte;
                if (remaining_ < 2) {
                    lost(i);
                    continue;
                }
                remaining_ -= 2;
                segmentPos_ = 0;
                walk_ = Walk::kSegment;
                ++i;
                break;
            case Walk::kSegment:
                if (IsJpegFrameHeader(segment_) && segmentPos_ < frameHeader_.size()) {
                    frameHeader_[segmentPos_++] = byte;
                    --remaining_;
                    ++i;
                    if (segmentPos_ == frameHeader_.size()) {
                        height_ = ReadBe16(&frameHeader_[1]);
                        width_ = ReadBe16(&frameHeader_[3]);
                    }
                } else {
                    const size_t skip = std::min(remaining_, room(i));
                    remaining_ -= skip;
                    i += skip;
                }
                break;
            case Walk::kEntropy: {
                const size_t span = room(i);
                const void* ff = std::memchr(chunk.data() + i, 0xFF, span);
                if (ff == nullptr) {
                    i += span;
                } else {
                    i = static_cast<size_t>(static_cast<const uint8_t*>(ff) - chunk.data()) + 1;
                    walk_ = Walk::kEntropyFF;
                }
                break;
            }
            case Walk::kEntropyFF:
                if (byte == 0x00 || StandsAlone(byte)) {
                    walk_ = Walk::kEntropy;
                } else if (byte != 0xFF && !marker(i, byte)) {
                    continue;
                }
                ++i;
                break;
            case Walk::kCounted:
                i += room(i);
                break;
        }
        // A segment ends where its length says.
        if (walk_ == Walk::kSegment && remaining_ == 0) {
            walk_ = segment_ == kSOS ? Walk::kEntropy : Walk::kMarker;
        }
        // The part's Content-Length ends the picture when it ends in the end-of-image marker;
        // when it does not, the camera's header was wrong and the walk alone decides.
        if (walk_ != Walk::kSearch && expected_ != 0 && length(i) == expected_) {
            take(i);
            if (buffer_.size() >= 4 && buffer_[buffer_.size() - 2] == 0xFF &&
                buffer_.back() == kEOI) {
                finish(i);
            } else if (walk_ == Walk::kCounted) {
                onDrop(Drop::kMalformed);
                EndPicture();
            } else {
                expected_ = 0;
            }
        }
    }
    if (walk_ != Walk::kSearch) {
        take(n);
        if (buffer_.size() > kMaxPictureBytes) {
            onDrop(Drop::kOverflow);
            EndPicture();
        }
    }
}

void CJpegMediaParser::Parse(std::span<const uint8_t> chunk) {
    scanner_.Feed(
        chunk, [this](std::span<const uint8_t> picture) { Deliver(picture); },
        [this](JpegStreamScanner::Drop why) {
            if (why == JpegStreamScanner::Drop::kOverflow) {
                owner_->DebugMessage(kLogError, "%s: Frame buffer overflow detected, device %s",
                                     "vornak::CHttpMediaParser::CheckBufferSize",
                                     owner_->GetDeviceInfo()->address.c_str());
            } else {
                logger_.Log(kLogWarning,
                            "%s: Picture with broken marker structure dropped, device %s",
                            "vornak::CJpegMediaParser::Parse", owner_->GetDeviceName().c_str());
            }
        });
}

void CJpegMediaParser::Deliver(std::span<const uint8_t> picture) {
    const Size size{scanner_.Width(), scanner_.Height()};
    width_ = size.width;
    height_ = size.height;
    // A picture before the first frame header has no known size and is not sent.
    if (size.width == 0 || size.height == 0) {
        return;
    }
    DeliverPicture(
        *owner_, client_,
        {.data = picture, .fourcc = kFourCCJpeg, .size = size, .order = FillOrder::kFieldsFirst},
        "vornak::CJpegMediaParser::Parse");
}

}  // namespace vornak
