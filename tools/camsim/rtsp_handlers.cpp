// The camera's RTSP server: request dispatch, stream arguments, SDP, sessions and transports.
#include <cmath>

#include "edge.h"
#include "h265_media.h"
#include "server.h"

namespace camsim {

namespace {

struct NamedResolution {
    const char* name;
    int w, h_pal, h_ntsc;
};

constexpr NamedResolution kNamedResolutions[] = {
    {"D1", 720, 576, 480},   {"4CIF", 704, 576, 480}, {"2CIFEXP", 704, 576, 480},
    {"2CIF", 704, 288, 240}, {"CIF", 352, 288, 240},  {"QCIF", 176, 144, 120},
};

bool ParseResolution(std::string_view text, bool ntsc, int* w, int* h) {
    for (const auto& n : kNamedResolutions) {
        if (IEquals(text, n.name)) {
            *w = n.w;
            *h = ntsc ? n.h_ntsc : n.h_pal;
            return true;
        }
    }
    size_t x = text.find_first_of("xX");
    if (x == std::string_view::npos)
        return false;
    auto a = ParseUint(text.substr(0, x)), b = ParseUint(text.substr(x + 1));
    if (!a || !b || *a == 0 || *b == 0 || *a > 8192 || *b > 8192)
        return false;
    *w = static_cast<int>(*a);
    *h = static_cast<int>(*b);
    return true;
}

// Splits a media URL path into the stream path and the track number ("/trackID=2").
std::string StripTrack(const std::string& path, int* track) {
    *track = 0;
    size_t pos = path.find("/trackID=");
    if (pos == std::string::npos)
        return path;
    auto n = ParseUint(std::string_view(path).substr(pos + 9));
    *track = n ? static_cast<int>(*n) : -1;
    return path.substr(0, pos);
}

std::string SessionIdOf(std::string_view header) {
    return std::string(Trim(header.substr(0, header.find(';'))));
}

struct TransportOffer {
    bool tcp = false, multicast = false;
    std::optional<std::pair<int, int>> client_port, interleaved;
};

std::optional<std::pair<int, int>> ParsePair(std::string_view v) {
    size_t dash = v.find('-');
    auto a = ParseUint(v.substr(0, dash));
    if (!a || *a > 65535)
        return std::nullopt;
    if (dash == std::string_view::npos)
        return std::make_pair(static_cast<int>(*a), static_cast<int>(*a) + 1);
    auto b = ParseUint(v.substr(dash + 1));
    if (!b || *b > 65535)
        return std::nullopt;
    return std::make_pair(static_cast<int>(*a), static_cast<int>(*b));
}

std::vector<TransportOffer> ParseTransport(std::string_view header) {
    std::vector<TransportOffer> offers;
    for (std::string_view alt : Split(header, ',')) {
        TransportOffer t;
        auto parts = Split(Trim(alt), ';');
        std::string proto = ToLower(Trim(parts[0]));
        if (proto.rfind("rtp/avp", 0) != 0)
            continue;
        t.tcp = proto == "rtp/avp/tcp";
        for (size_t i = 1; i < parts.size(); ++i) {
            std::string_view p = Trim(parts[i]);
            if (IEquals(p, "multicast"))
                t.multicast = true;
            if (IStartsWith(p, "client_port="))
                t.client_port = ParsePair(p.substr(12));
            if (IStartsWith(p, "interleaved="))
                t.interleaved = ParsePair(p.substr(12));
        }
        offers.push_back(t);
    }
    return offers;
}

std::string Hex(std::span<const uint8_t> d, bool upper) {
    std::string h = HexLower(d);
    if (upper) {
        for (char& c : h)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return h;
}

}  // namespace

std::optional<StreamRequest> Simulator::Impl::ResolveStream(const std::string& query,
                                                            const std::string& path, int* status) {
    StreamRequest r;
    r.query = query;
    QueryArgs args = ParseQuery(query);
    if (auto recording = FindArg(args, "recordingid"))
        return ResolveRecording(*this, *recording, status);
    if (auto profile = FindArg(args, "streamprofile")) {
        // The profile's arguments come first; URL arguments override them.
        std::optional<std::string> params_text;
        for (const auto& [name, value] : params.GroupEntries("StreamProfile")) {
            if (name.size() > 5 &&
                IEquals(std::string_view(name).substr(name.size() - 5), ".Name") &&
                value == *profile) {
                params_text = params.Get(name.substr(0, name.size() - 5) + ".Parameters");
            }
        }
        if (!params_text) {
            *status = 404;
            return std::nullopt;
        }
        QueryArgs merged = ParseQuery(*params_text);
        merged.insert(merged.end(), args.begin(), args.end());
        args = std::move(merged);
    }
    r.audio = FindArg(args, "audio").value_or("0") == "1";
    auto formats = params.Get("Properties.Image.Format");
    if (!formats) {
        *status = 404;  // a device without video
        return std::nullopt;
    }
    auto offers = [&](std::string_view f) {
        for (auto item : Split(*formats, ',')) {
            if (IEquals(Trim(item), f))
                return true;
        }
        return false;
    };
    std::string codec;
    int path_camera = 0;
    if (path.rfind("/mpeg4/", 0) == 0) {
        codec = "mpeg4";
        int n = 0;
        if (sscanf(path.c_str(), "/mpeg4/%d/media.amp", &n) == 1) {
            path_camera = n;
        } else if (path != "/mpeg4/media.amp") {
            *status = 404;
            return std::nullopt;
        }
    } else if (path != "/axis-media/media.amp") {
        *status = 404;
        return std::nullopt;
    } else {
        codec = ToLower(FindArg(args, "videocodec")
                            .value_or(offers("h264")    ? "h264"
                                      : offers("mpeg4") ? "mpeg4"
                                                        : "jpeg"));
    }
    if (codec == "h264" && offers("h264")) {
        r.codec = Codec::kH264;
    } else if (codec == "h265" && offers("h265")) {
        r.codec = Codec::kH265;
    } else if (codec == "mpeg4" && offers("mpeg4")) {
        r.codec = Codec::kMpeg4;
    } else if (codec == "jpeg" && (offers("jpeg") || offers("mjpeg"))) {
        r.codec = Codec::kJpeg;
    } else {
        *status = 400;
        return std::nullopt;
    }
    uint64_t sources = ParseUint(params.Get("ImageSource.NbrOfSources").value_or("1")).value_or(1);
    r.camera = path_camera;
    if (!r.camera) {
        auto cam = ParseUint(FindArg(args, "camera").value_or("1"));
        if (!cam) {
            *status = 400;
            return std::nullopt;
        }
        r.camera = static_cast<int>(std::min<uint64_t>(*cam, 1000));
    }
    if (r.camera < 1 || static_cast<uint64_t>(r.camera) > sources) {
        *status = 400;
        return std::nullopt;
    }
    std::string cam_index = std::to_string(r.camera - 1);
    bool ntsc = IEquals(
        params.Get("ImageSource.I" + cam_index + ".Video.DetectedType").value_or(""), "ntsc");
    std::string offered = params.Get("Properties.Image.Resolution").value_or("");
    std::string res = FindArg(args, "resolution").value_or("");
    if (res.empty())
        res = params.Get("Image.I" + cam_index + ".Appearance.Resolution").value_or("");
    if (res.empty())
        res = std::string(Trim(Split(offered, ',')[0]));
    if (!ParseResolution(res, ntsc, &r.width, &r.height)) {
        *status = 400;
        return std::nullopt;
    }
    bool listed = offered.empty();
    for (auto item : Split(offered, ',')) {
        int w = 0, h = 0;
        if (ParseResolution(Trim(item), ntsc, &w, &h) && w == r.width && h == r.height) {
            listed = true;
        }
    }
    if (!listed) {
        *status = 400;
        return std::nullopt;
    }
    auto number = [&](const char* name, uint64_t def, uint64_t max, uint64_t* out) {
        auto v = FindArg(args, name);
        if (!v) {
            *out = def;
            return true;
        }
        auto n = ParseUint(*v);
        if (!n || *n > max)
            return false;
        *out = *n;
        return true;
    };
    // Without URL arguments the stream runs as the image parameters say (older cameras are set
    // up through param.cgi and name only the codec); a rate of 0 there means the clip's own.
    auto configured = [&](const char* name, uint64_t def) {
        return ParseUint(params.Get("Image.I" + cam_index + "." + name).value_or("")).value_or(def);
    };
    uint64_t fps = 0, compression = 30;
    if (!number("fps", configured("Stream.FPS", 0), 1000, &fps) ||
        !number("compression", configured("Appearance.Compression", 30), 100, &compression) ||
        !number("duration", 0, 1u << 30, &r.duration_s) ||
        !number("nbrofframes", 0, 1u << 30, &r.max_frames)) {
        *status = 400;
        return std::nullopt;
    }
    r.fps = static_cast<int>(fps);
    r.compression = static_cast<int>(compression);
    return r;
}

void Simulator::Impl::FeedRtsp(const std::shared_ptr<RtspChannel>& channel,
                               std::string_view bytes) {
    channel->pending.append(bytes);
    auto out = channel->out.lock();
    while (!channel->pending.empty()) {
        std::string& p = channel->pending;
        if (p[0] == '$') {
            // A client's interleaved RTCP: $ | channel | length | packet
            if (p.size() < 4)
                return;
            size_t len = (static_cast<uint8_t>(p[2]) << 8) | static_cast<uint8_t>(p[3]);
            if (p.size() < 4 + len)
                return;
            uint8_t ch = static_cast<uint8_t>(p[1]);
            std::span<const uint8_t> packet(reinterpret_cast<const uint8_t*>(p.data()) + 4, len);
            for (const auto& id : channel->sessions) {
                auto it = sessions.find(id);
                if (it == sessions.end())
                    continue;
                for (auto& t : it->second->tracks) {
                    if (t.transport.kind == Transport::Kind::kTcp &&
                        t.transport.channel_rtcp == ch && t.stream) {
                        t.stream->OnClientRtcp(packet);
                    }
                }
            }
            p.erase(0, 4 + len);
            continue;
        }
        Request req;
        auto r = ParseRequest(p, &req);
        if (r.status == ParseStatus::kNeedMore)
            return;
        if (r.status == ParseStatus::kBad) {
            if (out) {
                out->Send("RTSP/1.0 400 Bad Request\r\nCSeq: 0\r\nDate: " + HttpDate() +
                          "\r\n\r\n");
                out->CloseAfterWrite();
            }
            p.clear();
            return;
        }
        p.erase(0, r.consumed);
        {
            std::lock_guard lock(mutex);
            rtsp_counts[req.method]++;
        }
        if (auto fault = TakeFault(rtsp_faults, req.method)) {
            if (fault->kind == Fault::Kind::kClose) {
                if (out)
                    out->Close();
                return;
            }
            if (fault->kind == Fault::Kind::kWithhold)
                continue;
            if (fault->kind == Fault::Kind::kStall && out) {
                out->send_allowance = fault->after_bytes;
                out->Send(HandleRtsp(channel, req));
                continue;
            }
            if (fault->kind == Fault::Kind::kFlood || fault->kind == Fault::Kind::kDripHeader ||
                fault->kind == Fault::Kind::kDripBody) {
                Trickle(channel->out, fault->kind, req.Header("CSeq").value_or("0"));
                continue;
            }
            if (fault->kind == Fault::Kind::kStatus) {
                std::string extra = fault->status == 401 ? rtsp_auth->ChallengeLines(false) : "";
                if (out) {
                    out->Send("RTSP/1.0 " + std::to_string(fault->status) + " " +
                              ReasonPhrase(fault->status) +
                              "\r\nCSeq: " + req.Header("CSeq").value_or("0") + "\r\n" + extra +
                              "Date: " + HttpDate() + "\r\n\r\n");
                }
                continue;
            }
            // Delay: handle now (state changes at once) but hold the answer back.
            std::string reply = HandleRtsp(channel, req);
            auto timer = std::make_shared<asio::steady_timer>(io, fault->delay);
            std::weak_ptr<Connection> weak = channel->out;
            timer->async_wait([timer, weak, reply](asio::error_code ec) {
                if (auto c = weak.lock(); c && !ec)
                    c->Send(reply);
            });
            continue;
        }
        std::string reply = HandleRtsp(channel, req);
        if (out)
            out->Send(reply);
    }
}

void Simulator::Impl::Trickle(std::weak_ptr<Connection> out, Fault::Kind kind,
                              const std::string& cseq) {
    struct State {
        asio::steady_timer timer;
        std::string head;  // dripped first, then endless filler
        size_t sent = 0;
    };
    const std::string status = "RTSP/1.0 200 OK\r\nCSeq: " + cseq + "\r\n";
    auto state = std::make_shared<State>(State{asio::steady_timer(io), {}, 0});
    if (kind == Fault::Kind::kDripHeader) {
        state->head = status + "X-Pad: ";
    } else if (kind == Fault::Kind::kDripBody) {
        if (auto c = out.lock())
            c->Send(status + "Content-Length: 1000000\r\n\r\n");
    }
    const auto period = std::chrono::milliseconds(kind == Fault::Kind::kFlood ? 10 : 50);
    // Each step holds the state; the chain ends with the connection or the simulator.
    auto step = std::make_shared<std::function<void(asio::error_code)>>();
    *step = [this, out, kind, state, period, weak = std::weak_ptr(step)](asio::error_code ec) {
        auto c = out.lock();
        auto self = weak.lock();
        if (ec || stopping || !c || c->Closed() || !self)
            return;
        if (kind == Fault::Kind::kFlood) {
            std::string frame = {'$', 7, 0, 64};
            frame.resize(4 + 64, '\0');
            c->Send(frame);
        } else {
            c->Send(state->sent < state->head.size() ? state->head.substr(state->sent++, 1)
                                                     : std::string("x"));
        }
        state->timer.expires_after(period);
        state->timer.async_wait([self](asio::error_code e) { (*self)(e); });
    };
    (*step)({});
}

namespace {

// One RTSP request on its way through the method table.
struct RtspContext {
    RtspContext(Simulator::Impl& i, const std::shared_ptr<RtspChannel>& ch, const Request& r)
        : impl(i), channel(ch), req(r), cseq(r.Header("CSeq").value_or("0")) {}

    Simulator::Impl& impl;
    const std::shared_ptr<RtspChannel>& channel;
    const Request& req;
    std::string cseq;
    Url url;
    std::shared_ptr<Session> session;  // named by the Session header, or made by SETUP
    std::chrono::seconds timeout{};
    int track_no = 0;
    std::string stream_path;  // the URL path without "/trackID=N"
    std::string base;         // "rtsp://host:port"
    std::string query_part;   // "?query" or empty

    std::string Reply(int status, const std::string& headers, const std::string& body = {}) const {
        std::string out = "RTSP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) +
                          "\r\nCSeq: " + cseq + "\r\n" + headers + "Date: " + HttpDate() + "\r\n";
        if (!body.empty())
            out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return out + "\r\n" + body;
    }
    std::string SessionHeader() const {
        return "Session: " + session->id + ";timeout=" + std::to_string(timeout.count()) + "\r\n";
    }
    std::string TrackUrl(int n) const {
        return base + stream_path + "/trackID=" + std::to_string(n) + query_part;
    }
    // Any request of a session counts as a keep-alive unless a test told the camera otherwise.
    void Touch(Session& s) const {
        std::lock_guard lock(impl.mutex);
        if (!impl.ignore_keepalives)
            s.last_activity = std::chrono::steady_clock::now();
    }
};

std::string ListMethods(RtspContext& c);

// What a method needs before its handler runs.
enum class Needs {
    kNothing,  // answered before authentication
    kAuth,     // authentication; a session is optional
    kSession,  // authentication and a session
};

struct RtspMethod {
    const char* name;
    Needs needs;
    std::string (*handler)(RtspContext&);
};

std::string SdpFor(const RtspContext& c, const Clip& clip, int fps) {
    std::string host = c.base.substr(c.base.find("://") + 3);
    host = host.substr(0, host.rfind(':') == std::string::npos ? host.size() : host.rfind(':'));
    uint64_t sess_ver =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    std::string sdp = "v=0\r\no=- " + std::to_string(sess_ver) + " " + std::to_string(sess_ver) +
                      " IN IP4 " + host +
                      "\r\ns=Media Presentation\r\ne=NONE\r\nc=IN IP4 0.0.0.0\r\n"
                      "b=AS:50000\r\nt=0 0\r\na=control:" +
                      c.base + c.stream_path + c.query_part + "\r\na=range:npt=0.000000-\r\n";
    std::string pt = clip.codec == Codec::kJpeg ? "26" : "96";
    sdp += "m=video 0 RTP/AVP " + pt + "\r\nb=AS:50000\r\na=framerate:" + std::to_string(fps) +
           ".0\r\na=transform:1,0,0;0,1,0;0,0,1\r\na=control:" + c.TrackUrl(1) + "\r\n";
    switch (clip.codec) {
        case Codec::kH264:
            sdp +=
                "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1; "
                "profile-level-id=" +
                Hex(std::span<const uint8_t>(clip.sps).subspan(1, 3), false) +
                "; sprop-parameter-sets=" + Base64Encode(clip.sps) + "," + Base64Encode(clip.pps) +
                "\r\n";
            break;
        case Codec::kMpeg4:
            sdp += "a=rtpmap:96 MP4V-ES/90000\r\na=fmtp:96 profile-level-id=" +
                   std::to_string(clip.mpeg4_profile_level) +
                   "; config=" + Hex(clip.mpeg4_config, true) + "\r\n";
            break;
        case Codec::kJpeg:
            sdp += "a=rtpmap:26 JPEG/90000\r\n";
            break;
        case Codec::kH265:
            sdp += "a=rtpmap:96 H265/90000\r\na=fmtp:96 " + H265FormatParameters(clip) + "\r\n";
            break;
    }
    return sdp;
}

std::string Describe(RtspContext& c) {
    if (auto accept = c.req.Header("Accept");
        accept && accept->find("application/sdp") == std::string::npos) {
        return c.Reply(406, "");
    }
    int status = 400;
    auto sr = c.impl.ResolveStream(c.url.query, c.stream_path, &status);
    if (!sr)
        return c.Reply(status, "");
    auto clip = c.impl.media->Find(sr->codec, sr->width, sr->height, sr->compression);
    if (!clip)
        return c.Reply(503, "");
    int fps = sr->fps > 0 ? std::min(sr->fps, 60) : clip->fps;
    std::string sdp = SdpFor(c, *clip, fps);
    if (sr->audio)
        sdp += "m=audio 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\na=control:" + c.TrackUrl(2) + "\r\n";
    return c.Reply(
        200, "Content-Type: application/sdp\r\nContent-Base: " + c.base + c.stream_path + "/\r\n",
        sdp);
}

// The first offer of the Transport header this channel can serve.
std::optional<TransportOffer> ChooseTransport(const RtspContext& c) {
    for (const auto& s : ParseTransport(c.req.Header("Transport").value_or(""))) {
        // The tunnel carries media only interleaved.
        if (c.channel->tunnelled && !s.tcp)
            continue;
        if (!s.tcp && !s.multicast && !s.client_port)
            continue;
        return s;
    }
    return std::nullopt;
}

PacketizerOptions PacketizerFor(const RtspContext& c) {
    PacketizerOptions popts = c.impl.options.packetizer;
    if (auto bs = c.req.Header("Blocksize")) {
        if (auto n = ParseUint(Trim(*bs)); n && *n >= 128) {
            popts.max_payload = std::min<uint64_t>(*n, 65000);
        }
    }
    if (auto mode = FindArg(ParseQuery(c.url.query), "jpegheader")) {
        // Test hook for the header-extension variants of RTP/JPEG.
        if (*mode == "ext")
            popts.jpeg_mode = JpegRtpMode::kHeaderExt;
        if (*mode == "whole")
            popts.jpeg_mode = JpegRtpMode::kWholeInExt;
    }
    return popts;
}

// The media of one track, and what SETUP answers in its Transport header; status is 0 when the
// stream is ready, else the error status to answer.
struct TrackSetup {
    std::shared_ptr<Stream> stream;
    std::shared_ptr<StreamStats> stats;  // null when joining a multicast stream
    std::string transport_reply;
    int status = 0;
};

TrackSetup Refused(int status) {
    TrackSetup t;
    t.status = status;
    return t;
}

// Sessions asking for the same multicast stream share it.
TrackSetup SetupMulticast(RtspContext& c, const StreamRequest& sr,
                          const std::shared_ptr<const Clip>& clip, const PacketizerOptions& popts,
                          Track* track, bool audio) {
    Simulator::Impl& impl = c.impl;
    std::string r = "R" + std::to_string(sr.camera - 1);
    const std::string media = audio ? "Audio" : "Video";
    auto group_text = impl.params.Get("Network.RTP." + r + "." + media + "Address");
    if (!group_text)
        group_text = impl.params.Get("Network.RTP.R0." + media + "Address");
    asio::error_code ec;
    auto group = asio::ip::make_address(group_text.value_or(""), ec);
    if (ec || !group.is_multicast())
        return Refused(461);
    uint64_t port =
        ParseUint(impl.params.Get("Network.RTP." + r + "." + media + "Port").value_or("0"))
            .value_or(0);
    std::string key = (audio ? "audio " : "") + c.stream_path + "?" + c.url.query;
    auto stream = impl.multicast_streams.count(key) ? impl.multicast_streams[key].lock() : nullptr;
    std::shared_ptr<StreamStats> stats;
    if (!stream) {
        if (port == 0 || port > 65534)
            port = 50000 + 2 * (impl.multicast_streams.size() % 400);
        stats = std::make_shared<StreamStats>();
        stream = std::make_shared<Stream>(impl, clip, sr, popts, stats);
        if (audio)
            stream->UseAudio(MulticastAudioSamples());
        if (!stream->OpenMulticast(group, static_cast<uint16_t>(port)))
            return Refused(500);
        impl.multicast_streams[key] = stream;
        stats->transport = "multicast";
        stats->codec = CodecName(clip->codec);
        stats->camera = sr.camera;
        stats->query = c.url.query;
        std::lock_guard lock(impl.mutex);
        stream->SetFaults(impl.rtp_faults);
        impl.stream_stats.push_back(stats);
    }
    stream->sharers++;
    track->transport.kind = Transport::Kind::kMulticast;
    std::string reply = "RTP/AVP;multicast;destination=" + group.to_string() +
                        ";port=" + std::to_string(stream->ServerRtpPort()) + "-" +
                        std::to_string(stream->ServerRtpPort() + 1) +
                        ";ttl=" + impl.params.Get("Network.RTP." + r + ".TTL").value_or("5") +
                        ";mode=\"PLAY\"";
    return {stream, stats, reply, 0};
}

// Interleaved on the RTSP connection (or the tunnel), or UDP to the asking address.
TrackSetup SetupUnicast(RtspContext& c, const TransportOffer& chosen, const StreamRequest& sr,
                        const std::shared_ptr<const Clip>& clip, const PacketizerOptions& popts,
                        const std::shared_ptr<Connection>& out, Track* track) {
    auto stats = std::make_shared<StreamStats>();
    auto stream = std::make_shared<Stream>(c.impl, clip, sr, popts, stats);
    char ssrc[16];
    snprintf(ssrc, sizeof(ssrc), "%08X", stream->Ssrc());
    std::string reply;
    if (chosen.tcp) {
        int rtp_ch = chosen.interleaved ? chosen.interleaved->first : 2 * (track->number - 1);
        int rtcp_ch = chosen.interleaved ? chosen.interleaved->second : rtp_ch + 1;
        if (rtp_ch > 255 || rtcp_ch > 255)
            return Refused(461);
        stream->UseInterleaved(out, static_cast<uint8_t>(rtp_ch), static_cast<uint8_t>(rtcp_ch));
        track->transport.kind = Transport::Kind::kTcp;
        track->transport.channel_rtp = static_cast<uint8_t>(rtp_ch);
        track->transport.channel_rtcp = static_cast<uint8_t>(rtcp_ch);
        reply = "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(rtp_ch) + "-" +
                std::to_string(rtcp_ch) + ";ssrc=" + ssrc + ";mode=\"PLAY\"";
        stats->transport = c.channel->tunnelled ? "http" : "tcp";
    } else {
        // Media goes only to the address the request came from.
        auto [crtp, crtcp] = *chosen.client_port;
        if (crtp == 0)
            return Refused(461);
        if (!stream->OpenUdp(out->PeerAddress(), static_cast<uint16_t>(crtp),
                             static_cast<uint16_t>(crtcp), out->LocalAddress())) {
            return Refused(500);
        }
        track->transport.kind = Transport::Kind::kUdp;
        track->transport.client_rtp = static_cast<uint16_t>(crtp);
        track->transport.client_rtcp = static_cast<uint16_t>(crtcp);
        reply = "RTP/AVP;unicast;client_port=" + std::to_string(crtp) + "-" +
                std::to_string(crtcp) + ";server_port=" + std::to_string(stream->ServerRtpPort()) +
                "-" + std::to_string(stream->ServerRtpPort() + 1) + ";ssrc=" + ssrc +
                ";mode=\"PLAY\"";
        stats->transport = "udp";
    }
    stats->codec = CodecName(clip->codec);
    stats->camera = sr.camera;
    stats->query = c.url.query;
    std::lock_guard lock(c.impl.mutex);
    stream->SetFaults(c.impl.rtp_faults);
    c.impl.stream_stats.push_back(stats);
    return {stream, stats, reply, 0};
}

std::shared_ptr<Session> NewSession(RtspContext& c) {
    auto session = std::make_shared<Session>();
    do {
        char id[16];
        snprintf(id, sizeof(id), "%08X", RandomU32());
        session->id = id;
    } while (c.impl.sessions.count(session->id));
    session->created = session->last_activity = std::chrono::steady_clock::now();
    session->channel = c.channel;
    c.impl.sessions[session->id] = session;
    c.channel->sessions.push_back(session->id);
    return session;
}

std::string Setup(RtspContext& c) {
    if (c.track_no < 0 || c.track_no > 2)
        return c.Reply(404, "");
    int status = 400;
    auto sr = c.impl.ResolveStream(c.url.query, c.stream_path, &status);
    if (!sr)
        return c.Reply(status, "");
    auto clip = c.impl.media->Find(
        sr->codec, sr->width, sr->height, sr->compression,
        sr->codec == Codec::kJpeg && FindArg(ParseQuery(c.url.query), "restart").has_value());
    if (!clip)
        return c.Reply(503, "");
    auto out = c.channel->out.lock();
    if (!out)
        return "";
    std::optional<TransportOffer> chosen = ChooseTransport(c);
    if (!chosen)
        return c.Reply(461, "");
    // Track 2 is the audio of "audio=1", served over multicast only.
    if (c.track_no == 2 && (!sr->audio || !chosen->multicast))
        return c.Reply(c.track_no == 2 && !sr->audio ? 404 : 461, "");
    Track track;
    track.number = std::max(c.track_no, 1);
    if (c.session) {
        for (const auto& t : c.session->tracks) {
            if (t.number == track.number)
                return c.Reply(459, "");
            bool same = (t.transport.kind == Transport::Kind::kTcp) == chosen->tcp &&
                        (t.transport.kind == Transport::Kind::kMulticast) == chosen->multicast;
            if (!same)
                return c.Reply(461, "");  // changing transport is not supported
        }
    }
    const PacketizerOptions popts = PacketizerFor(c);
    track.control_url = c.TrackUrl(track.number);
    TrackSetup set = chosen->multicast
                         ? SetupMulticast(c, *sr, clip, popts, &track, c.track_no == 2)
                         : SetupUnicast(c, *chosen, *sr, clip, popts, out, &track);
    if (set.status != 0)
        return c.Reply(set.status, "");
    if (!c.session)
        c.session = NewSession(c);
    if (set.stats) {
        std::lock_guard lock(c.impl.mutex);  // GetCounters copies the stats under it
        set.stats->session = c.session->id;
    }
    std::weak_ptr<Session> weak = c.session;
    set.stream->on_rtcp_received = [&impl = c.impl, weak] {
        auto s = weak.lock();
        if (!s)
            return;
        std::lock_guard lock(impl.mutex);
        if (!impl.ignore_keepalives)
            s->last_activity = std::chrono::steady_clock::now();
    };
    track.stream = set.stream;
    c.session->tracks.push_back(std::move(track));
    return c.Reply(200, c.SessionHeader() + "Transport: " + set.transport_reply + "\r\n");
}

std::string Play(RtspContext& c) {
    std::string rtp_info;
    std::string clock_range;
    for (auto& t : c.session->tracks) {
        if (!t.stream->Request().recording.empty())
            clock_range = SeekRecording(c.impl, *t.stream, c.req.Header("Range").value_or(""));
        auto [seq, ts] = t.stream->Play();
        if (!rtp_info.empty())
            rtp_info += ",";
        rtp_info += "url=" + t.control_url + ";seq=" + std::to_string(seq) +
                    ";rtptime=" + std::to_string(ts);
    }
    c.session->playing = true;
    char range[64];
    snprintf(range, sizeof(range), "npt=%.6f-",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - c.session->created)
                 .count());
    return c.Reply(200, c.SessionHeader() +
                            "Range: " + (clock_range.empty() ? range : clock_range) +
                            "\r\nRTP-Info: " + rtp_info + "\r\n");
}

std::string Pause(RtspContext& c) {
    for (auto& t : c.session->tracks) {
        if (t.transport.kind != Transport::Kind::kMulticast)
            t.stream->Pause();
    }
    c.session->playing = false;
    return c.Reply(200, c.SessionHeader());
}

std::string Teardown(RtspContext& c) {
    std::string header = c.SessionHeader();
    c.impl.DestroySession(c.session->id, true);
    std::erase(c.channel->sessions, c.session->id);
    return c.Reply(200, header);
}

// Without a session the parameter methods are a plain ping, as OPTIONS.
std::string SetParameter(RtspContext& c) {
    if (c.session && c.req.body.find("Renew-Stream: yes") != std::string::npos) {
        for (auto& t : c.session->tracks)
            t.stream->ForceKeyFrame();
    }
    return c.Reply(200, c.session ? c.SessionHeader() : "");
}

// The keep-alive; the session was touched on the way in.
std::string GetParameter(RtspContext& c) {
    return c.Reply(200, c.session ? c.SessionHeader() : "");
}

// A new method is one handler and one row; OPTIONS lists the others.
constexpr RtspMethod kMethods[] = {
    {"DESCRIBE", Needs::kAuth, Describe},
    {"GET_PARAMETER", Needs::kAuth, GetParameter},
    {"OPTIONS", Needs::kNothing, ListMethods},
    {"PAUSE", Needs::kSession, Pause},
    {"PLAY", Needs::kSession, Play},
    {"SETUP", Needs::kAuth, Setup},
    {"SET_PARAMETER", Needs::kAuth, SetParameter},
    {"TEARDOWN", Needs::kSession, Teardown},
};

std::string ListMethods(RtspContext& c) {
    // With a session it is a keep-alive, as on cameras without GET_PARAMETER.
    if (auto sh = c.req.Header("Session")) {
        if (auto it = c.impl.sessions.find(SessionIdOf(*sh)); it != c.impl.sessions.end())
            c.Touch(*it->second);
    }
    std::string methods;
    for (const RtspMethod& m : kMethods) {
        if (m.needs != Needs::kNothing)
            methods += (methods.empty() ? "" : ", ") + std::string(m.name);
    }
    return c.Reply(200, "Public: " + methods + "\r\n");
}

}  // namespace

std::string Simulator::Impl::HandleRtsp(const std::shared_ptr<RtspChannel>& channel,
                                        const Request& req) {
    RtspContext c(*this, channel, req);
    if (req.version != "RTSP/1.0")
        return c.Reply(505, "");
    if (IEquals(params.Get("Network.RTSP.Enabled").value_or("yes"), "no"))
        return c.Reply(503, "");
    if (auto require = req.Header("Require"))
        return c.Reply(551, "Unsupported: " + *require + "\r\n");
    const RtspMethod* method = nullptr;
    for (const RtspMethod& m : kMethods) {
        if (req.method == m.name)
            method = &m;
    }
    if (!method)
        return c.Reply(501, "");
    if (method->needs == Needs::kNothing)
        return method->handler(c);

    c.url = SplitUrl(req.target);
    // In the tunnel the HTTP requests were authenticated; RTSP asks again only when configured.
    bool over_http = options.rtsp_auth_over_http ||
                     IEquals(params.Get("Network.RTSP.AuthenticateOverHTTP").value_or("no"), "yes");
    if (!channel->tunnelled || over_http) {
        std::vector<std::string> uris{
            req.target, c.url.path + (c.url.query.empty() ? "" : "?" + c.url.query), c.url.path};
        auto result = rtsp_auth->Check(req.Header("Authorization").value_or(""), req.method, uris,
                                       AccessLevel::kViewer);
        if (result != AuthResult::kOk)
            return c.Reply(401, rtsp_auth->ChallengeLines(result == AuthResult::kStaleNonce));
    }
    if (auto sh = req.Header("Session")) {
        auto it = sessions.find(SessionIdOf(*sh));
        if (it == sessions.end())
            return c.Reply(454, "");
        c.session = it->second;
        c.Touch(*c.session);
    }
    if (!c.session && method->needs == Needs::kSession)
        return c.Reply(454, "");
    {
        std::lock_guard lock(mutex);
        c.timeout = session_timeout;
    }
    c.stream_path = StripTrack(c.url.path, &c.track_no);
    c.base = c.url.base.empty() ? "rtsp://127.0.0.1:" + std::to_string(rtsp_port) : c.url.base;
    c.query_part = c.url.query.empty() ? "" : "?" + c.url.query;
    return method->handler(c);
}

}  // namespace camsim
