// Multicast test hooks: another sender on the camera's video group, as a second stream of the
// same camera or another device behind the same address would be.
#include <future>

#include "server.h"

namespace camsim {

bool Simulator::AddMulticastSender(const std::string& query) {
    Impl& d = *impl_;
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    asio::post(d.io, [&d, query, done] {
        int status = 0;
        auto sr = d.ResolveStream(query, "/axis-media/media.amp", &status);
        auto clip = sr ? d.media->Find(sr->codec, sr->width, sr->height, sr->compression) : nullptr;
        asio::error_code ec;
        const std::string media = sr && sr->audio ? "Audio" : "Video";
        auto group = asio::ip::make_address(
            d.params.Get("Network.RTP.R0." + media + "Address").value_or(""), ec);
        uint64_t port =
            ParseUint(d.params.Get("Network.RTP.R0." + media + "Port").value_or("0")).value_or(0);
        if (!clip || ec || !group.is_multicast() || port == 0 || port > 65534 || d.stopping) {
            done->set_value(false);
            return;
        }
        // Its stats stay out of the counters: they describe the sessions of clients.
        auto stream = std::make_shared<Stream>(d, clip, *sr, d.options.packetizer,
                                               std::make_shared<StreamStats>());
        if (sr->audio)
            stream->UseAudio(std::vector<uint8_t>(800, 0x10));  // unlike the camera's sweep
        if (!stream->OpenMulticast(group, static_cast<uint16_t>(port))) {
            done->set_value(false);
            return;
        }
        stream->Play();
        // Registered so that Stop ends it with the camera's own streams.
        d.multicast_streams["extra sender " + std::to_string(d.extra_senders.size())] = stream;
        d.extra_senders.push_back(stream);
        done->set_value(true);
    });
    return result.wait_for(std::chrono::seconds(5)) == std::future_status::ready && result.get();
}

}  // namespace camsim

namespace camsim {

void Stream::UseAudio(std::vector<uint8_t> samples) {
    audio_ = std::move(samples);
    audio_pos_ = 0;
    clock_rate_ = 8000;
    fps_ = 50;
}

RtpPayload Stream::AudioPayload() {
    RtpPayload p;
    p.marker = false;
    p.payload.reserve(160);
    while (p.payload.size() < 160) {
        p.payload.push_back(audio_[audio_pos_]);
        audio_pos_ = (audio_pos_ + 1) % audio_.size();
    }
    return p;
}

std::vector<uint8_t> MulticastAudioSamples() {
    // A second of a slow mu-law sweep: any byte is a valid sample, and a pattern shows a gap.
    std::vector<uint8_t> samples(8000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint8_t>(0x80 + (i / 40) % 64);
    return samples;
}

}  // namespace camsim
