#include "parsers/frame_filler.h"

#include <cstring>
#include <vector>

namespace vornak {

Delivery DeliverPicture(IDriver& driver, IMediaParserClient* client, const Picture& picture,
                        const char* method) {
    ipcapture::IFrameAllocator* allocator = driver.GetFrameAllocator();
    if (allocator == nullptr || client == nullptr || picture.data.empty()) {
        return Delivery::kNoHost;
    }
    std::string asked;
    if (picture.stream == nullptr) {
        asked = client->GetStreamName();
    }
    const auto size = static_cast<uint32_t>(picture.data.size());
    ipcapture::IVideoFrame* frame = allocator->CreateFrame(
        picture.fourcc, size, picture.stream != nullptr ? picture.stream : asked.c_str());
    if (frame == nullptr) {
        driver.DebugMessage(kLogError, "%s: Frame allocation error, device %s", method,
                            driver.GetDeviceName().c_str());
        return Delivery::kNoFrame;
    }
    auto copy = [&] {
        uint8_t* buffer = frame->GetBuffer();
        if (buffer == nullptr || frame->GetBufferSize() < size) {
            driver.DebugMessage(kLogError, "%s: Data copying error, device %s", method,
                                driver.GetDeviceName().c_str());
            return false;
        }
        std::memcpy(buffer, picture.data.data(), size);
        return true;
    };
    Delivery result = Delivery::kCopyFailed;
    try {
        const bool copyFirst = picture.order == FillOrder::kCopyFirst;
        if (!copyFirst || copy()) {
            SYSTEMTIME time{};
            if (picture.time != nullptr) {
                time = *picture.time;
            } else {
                client->ConvertTimestamp(picture.rtpTimestamp, time);
            }
            frame->SetWidth(picture.size.width);
            frame->SetHeight(picture.size.height);
            frame->SetResolutionClass(ResolutionClass(picture.size.width, picture.size.height));
            frame->SetDataSize(size);
            frame->SetFourCC(picture.fourcc);
            frame->SetTimestamp(&time);
            if (picture.mark) {
                frame->FinishFrame();
            }
            if (copyFirst || copy()) {
                result = client->FrameReady(frame) ? Delivery::kDelivered : Delivery::kRefused;
            }
        }
    } catch (...) {
        result = Delivery::kRefused;
    }
    allocator->ReleaseFrame(frame);
    return result;
}

Delivery DeliverAudio(IDriver& driver, ipcapture::IAudioInputCallback* callback,
                      const AudioPiece& piece, const char* method) {
    ipcapture::IFrameAllocator* allocator = driver.GetFrameAllocator();
    if (allocator == nullptr || callback == nullptr || piece.data.empty()) {
        return Delivery::kNoHost;
    }
    std::vector<uint8_t> bytes(piece.prefix.begin(), piece.prefix.end());
    bytes.insert(bytes.end(), piece.data.begin(), piece.data.end());
    const auto size = static_cast<uint32_t>(bytes.size());
    ipcapture::IAudioFrame* frame =
        allocator->CreateAudioFrame(piece.codec, size, piece.stream.c_str());
    if (frame == nullptr) {
        driver.DebugMessage(kLogError, "%s: Unable to allocate  memory for audio frame!", method);
        return Delivery::kNoFrame;
    }
    Delivery result = Delivery::kRefused;
    try {
        if (frame->SetData(bytes.data(), size)) {
            frame->SetFormat(piece.sampleRate, static_cast<uint8_t>(piece.formatWord & 0xFF),
                             static_cast<uint8_t>(piece.formatWord >> 8));
            frame->SetBitRate(piece.bitRate);
            frame->SetLive(piece.live);
            frame->FinishFrame();
            if (callback->OnAudioFrame(frame)) {
                result = Delivery::kDelivered;
            }
        } else {
            result = Delivery::kCopyFailed;
        }
    } catch (...) {
        result = Delivery::kRefused;
    }
    if (result != Delivery::kDelivered) {
        driver.DebugMessage(kLogError, "%s: Audio-frame processing error, device %s", method,
                            driver.GetDeviceName().c_str());
    }
    allocator->ReleaseAudioFrame(frame);
    return result;
}

}  // namespace vornak
