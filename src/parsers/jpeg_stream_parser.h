// Cuts a motion-JPEG HTTP stream into pictures. A picture is followed from its start marker
// through its marker segments by their lengths, so JPEGs embedded in a segment (an Exif
// thumbnail) and FF D9 bytes inside segments end nothing. The multipart headers are only
// searched for a part's Content-Length, which ends a picture whose own structure is broken;
// cameras that get the headers wrong still work.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/debug.h"
#include "driver/driver_api.h"
#include "parsers/jpeg_header.h"
#include "parsers/media_parser_client.h"

namespace vornak {

// Pictures larger than this are dropped; the stream goes on.
inline constexpr size_t kMaxPictureBytes = 10485760;

// The pure part: bytes in, whole pictures out. Markers, segments and the frame header may be
// split across reads in any way; the result does not depend on how.
class JpegStreamScanner {
  public:
    enum class Drop { kOverflow, kMalformed };
    // picture: from the start-of-image through the end-of-image marker.
    using PictureFn = std::function<void(std::span<const uint8_t> picture)>;
    // Called for each picture that is started and not delivered.
    using DropFn = std::function<void(Drop why)>;

    void Feed(std::span<const uint8_t> chunk, const PictureFn& onPicture, const DropFn& onDrop);
    void Reset();

    // Size from the last frame header (SOF0..SOF15) of a picture (0 until one was seen).
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

  private:
    enum class Walk : uint8_t {
        kSearch,      // between pictures: multipart headers and anything else
        kMarker,      // the FF of the next marker
        kMarkerCode,  // the byte after it
        kLengthHigh,
        kLengthLow,
        kSegment,    // inside a marker segment
        kEntropy,    // coded data after a scan header
        kEntropyFF,  // an FF in coded data: stuffing, restart or a marker
        kCounted,    // structure lost: the part's Content-Length ends the picture
    };
    bool SearchByte(uint8_t byte);  // true when the byte completes a start-of-image marker
    void HeaderLine();
    void EndPicture();

    Walk walk_ = Walk::kSearch;
    std::vector<uint8_t> buffer_;  // the picture so far
    size_t expected_ = 0;          // the picture's Content-Length, 0 when not known
    uint8_t segment_ = 0;          // marker of the segment being walked
    size_t remaining_ = 0;         // its bytes still to come
    size_t segmentPos_ = 0;
    std::array<uint8_t, 5> frameHeader_{};  // precision, height, width

    // Between pictures.
    bool afterFF_ = false;
    bool bodyStart_ = false;      // the previous byte ended a header block
    bool ffAtBodyStart_ = false;  // the pending FF was the first byte of a part's body
    size_t partLength_ = 0;       // Content-Length of the current part, 0 when not given
    std::string line_;

    uint32_t width_ = 0;
    uint32_t height_ = 0;
};

// Base of the byte-stream parsers of HTTP channels.
class CHttpMediaParser {
  public:
    // owner is the driver, borrowed; it outlives every channel and parser.
    explicit CHttpMediaParser(IDriver* owner) : owner_(owner) {}
    virtual ~CHttpMediaParser() = default;
    virtual void Parse(std::span<const uint8_t> chunk) = 0;

    void SetClient(IMediaParserClient* client) { client_ = client; }
    uint32_t GetWidth() const { return width_.load(); }
    uint32_t GetHeight() const { return height_.load(); }

  protected:
    IDriver* owner_;
    IMediaParserClient* client_ = nullptr;
    std::atomic<uint32_t> width_{0};
    std::atomic<uint32_t> height_{0};
};

class CJpegMediaParser : public CHttpMediaParser {
  public:
    using CHttpMediaParser::CHttpMediaParser;
    void Parse(std::span<const uint8_t> chunk) override;

  private:
    void Deliver(std::span<const uint8_t> picture);

    JpegStreamScanner scanner_;
    CLoggerInstance logger_{owner_};
};

}  // namespace vornak
