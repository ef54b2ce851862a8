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
        auto group =
            asio::ip::make_address(d.params.Get("Network.RTP.R0.VideoAddress").value_or(""), ec);
        uint64_t port =
            ParseUint(d.params.Get("Network.RTP.R0.VideoPort").value_or("0")).value_or(0);
        if (!clip || ec || !group.is_multicast() || port == 0 || port > 65534 || d.stopping) {
            done->set_value(false);
            return;
        }
        // Its stats stay out of the counters: they describe the sessions of clients.
        auto stream = std::make_shared<Stream>(d, clip, *sr, d.options.packetizer,
                                               std::make_shared<StreamStats>());
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
