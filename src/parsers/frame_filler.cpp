#include "parsers/frame_filler.h"

#include <cstring>

namespace vornak {

Delivery DeliverPicture(IDriver& driver, IMediaParserClient* client, const Picture& picture,
                        const char* method) {
    ipcapture::IFrameAllocator* allocator = driver.GetFrameAllocator();
    if (allocator == nullptr || client == nullptr || picture.data.empty()) {
        return Delivery::kNoHost;
    }
    const std::string stream = picture.stream.empty() ? client->GetStreamName() : picture.stream;
    const auto size = static_cast<uint32_t>(picture.data.size());
    ipcapture::IVideoFrame* frame = allocator->CreateFrame(picture.fourcc, size, stream.c_str());
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

}  // namespace vornak
