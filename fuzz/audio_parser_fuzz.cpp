// The audio frame builder on hostile input: AAC access units behind RTP AU headers (the first
// byte picks the codec, so G.711 and G.726 cutting is exercised too). Every delivered frame
// must lie inside what was given.
#include <cstdint>
#include <cstdlib>

#include "audio/audio_parser.h"
#include "audio_session.h"
#include "depack_fuzz_host.h"

namespace {

class Receiver : public quillon::host::AudioInRecorder {
  public:
    bool OnAudioFrame(vornak::ipcapture::IAudioFrame* frame) override {
        total += frame->GetDataSize();
        return true;
    }
    size_t total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static vornak::fuzz::Driver driver;
    Receiver receiver;
    vornak::CAxisAudioParser parser(&driver, &receiver, true);
    static constexpr uint32_t kCodecs[] = {vornak::kCodecAac, vornak::kCodecG711Mu,
                                           vornak::kCodecG726, vornak::kCodecAac};
    vornak::AudioFormat format;
    format.codec = kCodecs[data[0] % 4];
    format.bitRate = data[0] & 0x80 ? 24000 : 32000;
    parser.LoadFormat(format);
    const std::span<const uint8_t> input(data + 1, size - 1);
    parser.Parse(input);
    // AAC frames carry two bytes of decoder configuration per access unit (4 header bytes).
    if (receiver.total > input.size() * 2 || driver.frames.Outstanding() != 0) {
        std::abort();
    }
    return 0;
}
