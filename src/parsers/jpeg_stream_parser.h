// Cuts a motion-JPEG HTTP stream into pictures by their start and end markers. The multipart
// headers between pictures are not interpreted, so cameras that get them wrong still work.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "driver/driver_api.h"
#include "parsers/media_parser_client.h"

namespace vornak {

// Pictures larger than this are dropped; the stream goes on.
inline constexpr size_t kMaxPictureBytes = 10485760;

// The pure part: bytes in, whole pictures out. Markers and the frame header may be split
// across reads in any way.
class JpegStreamScanner {
  public:
    // picture: from the start-of-image through the end-of-image marker.
    using PictureFn = std::function<void(std::span<const uint8_t> picture)>;
    // Called when a picture outgrows kMaxPictureBytes and is dropped.
    using OverflowFn = std::function<void()>;

    void Feed(std::span<const uint8_t> chunk, const PictureFn& onPicture,
              const OverflowFn& onOverflow);
    void Reset();

    // Size from the last baseline frame header (0 until one was seen).
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }

  private:
    void OnMarker(uint8_t marker, const PictureFn& onPicture, const OverflowFn& onOverflow);

    std::vector<uint8_t> buffer_;
    bool inPicture_ = false;
    bool afterFF_ = false;
    // Position in buffer_ of a frame header marker whose fields have not all arrived.
    size_t pendingHeader_ = 0;
    bool headerPending_ = false;
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
};

}  // namespace vornak
