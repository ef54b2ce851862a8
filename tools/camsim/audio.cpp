// The camera's audio CGIs: receive.cgi streams the source's encoding at its real byte rate from
// the media folder, transmit.cgi takes a long POST body for the loudspeaker and records it.
#include <fstream>
#include <iterator>

#include "server.h"

namespace camsim {

namespace {

// The camera keeps what a test may want to compare, not an endless recording.
constexpr size_t kMaxRecordedBytes = 32u << 20;
constexpr auto kChunkPeriod = std::chrono::milliseconds(100);

struct AudioSource {
    std::string content_type;
    std::string file;
    uint32_t bytes_per_second = 0;
};

// What the source's AudioEncoding and BitRate give; nullopt when it cannot stream over HTTP.
std::optional<AudioSource> SourceFor(const ParamDb& db) {
    const std::string encoding = ToLower(db.Get("AudioSource.A0.AudioEncoding").value_or(""));
    if (encoding == "g711")
        return AudioSource{"audio/basic", "audio_g711.raw", 8000};
    if (encoding != "g726")
        return std::nullopt;
    uint64_t rate = ParseUint(db.Get("AudioSource.A0.BitRate").value_or("")).value_or(32000);
    if (rate != 16000 && rate != 24000 && rate != 40000)
        rate = 32000;
    const auto kbit = std::to_string(rate / 1000);
    return AudioSource{"audio/G726-" + kbit, "audio_g726_" + kbit + ".raw",
                       static_cast<uint32_t>(rate / 8)};
}

bool AudioEnabled(const ParamDb& db) {
    return IEquals(db.Get("Audio.A0.Enabled").value_or("no"), "yes");
}

struct AudioStreamState {
    std::vector<uint8_t> media;
    size_t pos = 0;
    size_t chunk = 0;
    std::chrono::steady_clock::time_point start;
    uint64_t slots = 0;
};

void SendAudioChunk(std::shared_ptr<Connection> conn, std::shared_ptr<AudioStreamState> st,
                    Simulator::Impl* impl) {
    if (conn->Closed())
        return;
    if (!impl->MediaStopped()) {
        std::vector<uint8_t> out;
        out.reserve(st->chunk);
        while (out.size() < st->chunk) {
            const size_t n = std::min(st->chunk - out.size(), st->media.size() - st->pos);
            out.insert(out.end(), st->media.begin() + st->pos, st->media.begin() + st->pos + n);
            st->pos = (st->pos + n) % st->media.size();
        }
        conn->SendMedia(out);
    }
    st->slots++;
    conn->Timer().expires_at(st->start + kChunkPeriod * st->slots);
    conn->Timer().async_wait([conn, st, impl](asio::error_code ec) {
        if (!ec)
            SendAudioChunk(conn, st, impl);
    });
}

}  // namespace

void AudioReceive(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn,
                  const Request& req) {
    auto reply = [&](int status, const std::string& text) {
        bool keep = false;
        conn->Send(impl.HttpResponse(req, status, "text/plain", text, {}, &keep));
        if (!keep)
            conn->CloseAfterWrite();
    };
    const auto source = SourceFor(impl.params);
    const std::string duplex = ToLower(impl.params.Get("Audio.DuplexMode").value_or(""));
    if (!source || !AudioEnabled(impl.params) || duplex == "post") {
        reply(503, "Audio is not available\r\n");
        return;
    }
    std::ifstream in(impl.media->Folder() + "/" + source->file, std::ios::binary);
    auto st = std::make_shared<AudioStreamState>();
    st->media.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (st->media.empty()) {
        reply(503, "No audio source\r\n");
        return;
    }
    st->chunk = source->bytes_per_second / 10;
    st->start = std::chrono::steady_clock::now();
    conn->Send("HTTP/1.0 200 OK\r\nContent-Type: " + source->content_type +
               "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n\r\n");
    conn->mode = Connection::Mode::kStreaming;
    SendAudioChunk(conn, st, &impl);
}

void AudioTransmit(Simulator::Impl& impl, const std::shared_ptr<Connection>& conn,
                   const Request& req) {
    const std::string type = req.Header("Content-Type").value_or("");
    const bool known = IEquals(type, "audio/basic") || IEquals(type, "audio/G726-16") ||
                       IEquals(type, "audio/G726-24") || IEquals(type, "audio/G726-32") ||
                       IEquals(type, "audio/G726-40");
    const std::string duplex = ToLower(impl.params.Get("Audio.DuplexMode").value_or(""));
    const int status = req.method != "POST"                            ? 405
                       : !known                                        ? 415
                       : !AudioEnabled(impl.params) || duplex == "get" ? 503
                                                                       : 0;
    if (status != 0) {
        bool keep = false;
        conn->Send(impl.HttpResponse(req, status, "text/plain", "Error\r\n", {}, &keep));
        conn->CloseAfterWrite();  // the body that follows is not a request
        return;
    }
    // Without a length the body flows until the client closes.
    const uint64_t length = ParseUint(req.Header("Content-Length").value_or("")).value_or(0);
    conn->upload_left = length != 0 ? length : UINT64_MAX;
    conn->upload_request = req;
    conn->mode = Connection::Mode::kUpload;
    std::lock_guard lock(impl.mutex);
    impl.audio_uploads.push_back({type, length, 0, false});
}

void Simulator::Impl::FeedAudioUpload(std::string_view bytes) {
    std::lock_guard lock(mutex);
    if (audio_uploads.empty())
        return;
    audio_uploads.back().received += bytes.size();
    const size_t room = kMaxRecordedBytes - std::min(kMaxRecordedBytes, audio_received.size());
    audio_received.append(bytes.substr(0, room));
}

void Simulator::Impl::FinishAudioUpload(const std::shared_ptr<Connection>& conn) {
    {
        std::lock_guard lock(mutex);
        if (!audio_uploads.empty())
            audio_uploads.back().answered = true;
    }
    conn->mode = Connection::Mode::kRequests;
    bool keep = false;
    conn->Send(HttpResponse(conn->upload_request, 204, "", "", {}, &keep));
    if (!keep)
        conn->CloseAfterWrite();
}

std::vector<AudioUpload> Simulator::AudioUploads() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->audio_uploads;
}

std::string Simulator::AudioReceived() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->audio_received;
}

}  // namespace camsim
