// Hands one picture or audio frame to the host: a frame from the host's allocator, filled, passed
// to the channel and released, with the error lines of a failed hand-over.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "driver/driver_api.h"
#include "parsers/media_parser_client.h"

namespace vornak {

// The host accepts either order; the RTP depacketizers copy first, the HTTP paths fill first.
enum class FillOrder { kCopyFirst, kFieldsFirst };

struct Picture {
    std::span<const uint8_t> data{};
    uint32_t fourcc = 0;
    Size size{};
    uint32_t rtpTimestamp = 0;         // converted to a time by the client
    const SYSTEMTIME* time = nullptr;  // given: the time as it is, rtpTimestamp unused
    FillOrder order = FillOrder::kCopyFirst;
    const char* stream = nullptr;  // null: the client's stream name, asked for this picture
    bool mark = false;             // FinishFrame after the fields, as motion frames are handed over
};

enum class Delivery { kDelivered, kRefused, kNoHost, kNoFrame, kCopyFailed };

// kNoHost (nothing logged) without an allocator, a client or data. method names the caller in
// the error lines. The frame goes back to the host whatever the client does with it.
Delivery DeliverPicture(IDriver& driver, IMediaParserClient* client, const Picture& picture,
                        const char* method);

// One audio frame: the bytes (prefix first, when there is one) and how to read them.
struct AudioPiece {
    std::span<const uint8_t> prefix{};
    std::span<const uint8_t> data{};
    uint32_t codec = 0;
    uint32_t sampleRate = 0;
    uint16_t formatWord = 0;
    uint32_t bitRate = 0;
    bool live = true;
    std::string stream{};
};

// The audio counterpart of DeliverPicture: kNoHost without an allocator, a callback or data.
Delivery DeliverAudio(IDriver& driver, ipcapture::IAudioInputCallback* callback,
                      const AudioPiece& piece, const char* method);

}  // namespace vornak
