// The camera's HTTP side: authentication, faults, the path -> handler table, param.cgi, motion
// JPEG and the RTSP tunnel. A new CGI is one function and one row in Endpoints().
#include "edge.h"
#include "io_ports.h"
#include "server.h"

namespace camsim {

namespace {

struct HttpContext {
    Simulator::Impl& impl;
    std::shared_ptr<Connection> conn;
    const Request& req;
    Url url;
    QueryArgs args;  // query arguments, then form arguments of a POST body
    AccessLevel granted = AccessLevel::kViewer;

    void Reply(int status, const std::string& content_type, const std::string& body,
               const std::string& extra = {}) {
        bool keep = false;
        conn->Send(impl.HttpResponse(req, status, content_type, body, extra, &keep));
        if (!keep)
            conn->CloseAfterWrite();
    }
};

using Handler = void (*)(HttpContext&);

struct Endpoint {
    const char* path;
    AccessLevel level;
    Handler handler;
};

AccessLevel LevelForPath(std::string_view path) {
    if (path.find("/admin/") != std::string_view::npos)
        return AccessLevel::kAdmin;
    if (path.find("/operator/") != std::string_view::npos)
        return AccessLevel::kOperator;
    return AccessLevel::kViewer;
}

void ParamCgi(HttpContext& c) {
    std::string action = ToLower(FindArg(c.args, "action").value_or(""));
    ParamDb& db = c.impl.params;
    // Changing parameters through the open path still needs operator rights.
    bool changes = action == "update" || action == "add" || action == "remove";
    if (changes && c.granted < AccessLevel::kOperator) {
        c.Reply(401, "text/html", "<HTML><HEAD><TITLE>401 Unauthorized</TITLE></HEAD></HTML>\n",
                c.impl.http_auth->ChallengeLines(false));
        return;
    }
    if (action == "list") {
        c.Reply(200, "text/plain", db.List(FindArg(c.args, "group").value_or("")));
    } else if (action == "update") {
        c.Reply(200, "text/plain", db.Update(c.args));
    } else if (action == "add") {
        c.Reply(200, "text/plain", db.Add(c.args));
    } else if (action == "remove") {
        c.Reply(200, "text/plain", db.Remove(FindArg(c.args, "group").value_or("")));
    } else if (action == "listdefinitions") {
        auto format = FindArg(c.args, "listformat");
        if (format && !IEquals(*format, "xmlschema")) {
            c.Reply(200, "text/plain", "# Error: Unknown list format" + db.LineEnd());
            return;
        }
        c.Reply(200, "text/xml", db.ListDefinitions(FindArg(c.args, "group").value_or("")));
    } else {
        c.Reply(200, "text/plain", "# Error: Invalid action '" + action + "'" + db.LineEnd());
    }
}

// Picks the clip for an HTTP JPEG request; answers the error itself and returns null.
std::shared_ptr<const Clip> JpegClipFor(HttpContext& c, StreamRequest* out) {
    std::string query = c.url.query;
    int status = 400;
    // Reuse the RTSP argument rules; the codec is JPEG whatever the URL says.
    auto sr = c.impl.ResolveStream(query.empty() ? "videocodec=jpeg" : query + "&videocodec=jpeg",
                                   "/axis-media/media.amp", &status);
    if (!sr) {
        c.Reply(status, "text/plain", "Error: bad argument\r\n");
        return nullptr;
    }
    auto clip = c.impl.media->Find(Codec::kJpeg, sr->width, sr->height, sr->compression);
    if (!clip) {
        c.Reply(503, "text/plain", "Error: no picture source\r\n");
        return nullptr;
    }
    *out = *sr;
    return clip;
}

void JpegImage(HttpContext& c) {
    StreamRequest sr;
    auto clip = JpegClipFor(c, &sr);
    if (!clip)
        return;
    const auto& f = clip->frames.front().data;
    c.Reply(200, "image/jpeg", std::string(f.begin(), f.end()));
}

struct MjpegState {
    std::shared_ptr<const Clip> clip;
    size_t pos = 0;
    uint64_t sent = 0, max_frames = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::duration period{};
    uint64_t slots = 0, max_slots = 0;
    bool show_length = true;
    std::shared_ptr<StreamStats> stats;
};

void SendMjpegPart(std::shared_ptr<Connection> conn, std::shared_ptr<MjpegState> st,
                   Simulator::Impl* impl) {
    if (conn->Closed()) {
        std::lock_guard lock(impl->mutex);
        st->stats->active = false;
        return;
    }
    if (!impl->MediaStopped()) {
        const auto& f = st->clip->frames[st->pos].data;
        std::string part = "--myboundary\r\nContent-Type: image/jpeg\r\n";
        if (st->show_length)
            part += "Content-Length: " + std::to_string(f.size()) + "\r\n";
        part += "\r\n";
        part.append(f.begin(), f.end());
        part += "\r\n";
        if (conn->SendMedia(std::vector<uint8_t>(part.begin(), part.end()))) {
            st->sent++;
            const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count();
            std::lock_guard lock(impl->mutex);
            StreamStats& stats = *st->stats;
            stats.first_frame_ms = stats.first_frame_ms ? stats.first_frame_ms : now_ms;
            stats.last_frame_ms = now_ms;
            stats.frames++;
            stats.bytes += part.size();
        }
        st->pos = (st->pos + 1) % st->clip->frames.size();
    }
    st->slots++;
    if ((st->max_frames && st->sent >= st->max_frames) ||
        (st->max_slots && st->slots >= st->max_slots)) {
        conn->CloseAfterWrite();
        return;
    }
    conn->Timer().expires_at(st->start + st->period * st->slots);
    conn->Timer().async_wait([conn, st, impl](asio::error_code ec) {
        if (!ec)
            SendMjpegPart(conn, st, impl);
    });
}

void MjpegVideo(HttpContext& c) {
    StreamRequest sr;
    auto clip = JpegClipFor(c, &sr);
    if (!clip)
        return;
    auto st = std::make_shared<MjpegState>();
    st->clip = clip;
    int fps = sr.fps > 0 ? std::min(sr.fps, 60) : clip->fps;
    if (auto req_fps = FindArg(c.args, "req_fps")) {
        if (auto v = ParseUint(*req_fps); v && *v > 0)
            fps = static_cast<int>(std::min<uint64_t>(*v, 60));
    }
    st->period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / fps));
    st->max_frames = sr.max_frames;
    st->max_slots = sr.duration_s * static_cast<uint64_t>(fps);
    st->show_length = FindArg(c.args, "showlength").value_or("1") != "0";
    st->start = std::chrono::steady_clock::now();
    st->stats = std::make_shared<StreamStats>();
    st->stats->transport = "mjpeg";
    st->stats->codec = "jpeg";
    st->stats->camera = sr.camera;
    st->stats->query = c.url.query;
    st->stats->active = true;
    {
        std::lock_guard lock(c.impl.mutex);
        c.impl.stream_stats.push_back(st->stats);
    }
    // Endless answers are HTTP/1.0 and end with the connection.
    c.conn->Send(
        "HTTP/1.0 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
        "Expires: Thu, 01 Dec 1994 16:00:00 GMT\r\nConnection: close\r\n"
        "Content-Type: multipart/x-mixed-replace; boundary=myboundary\r\n\r\n");
    c.conn->mode = Connection::Mode::kStreaming;
    SendMjpegPart(c.conn, st, &c.impl);
}

void PtzCgi(HttpContext& c) {
    auto answer = c.impl.ptz.Handle(c.req.method, c.req.target, c.url.path, c.args, c.req.body,
                                    c.impl.params);
    c.Reply(answer.status, "text/plain", answer.body);
}

void EdgeCgiRow(HttpContext& c) {
    EdgeCgi(c.impl, c.conn, c.req, c.args);
}

const std::vector<Endpoint>& Endpoints() {
    static const std::vector<Endpoint> table = {
        {"/axis-cgi/param.cgi", AccessLevel::kViewer, ParamCgi},
        {"/axis-cgi/admin/param.cgi", AccessLevel::kAdmin, ParamCgi},
        {"/axis-cgi/operator/param.cgi", AccessLevel::kOperator, ParamCgi},
        {"/axis-cgi/mjpg/video.cgi", AccessLevel::kViewer, MjpegVideo},
        {"/axis-cgi/jpg/image.cgi", AccessLevel::kViewer, JpegImage},
        {"/axis-cgi/io/input.cgi", AccessLevel::kViewer,
         [](HttpContext& c) { IoInputCgi(c.impl, c.conn, c.req, c.args); }},
        {"/axis-cgi/io/output.cgi", AccessLevel::kOperator,
         [](HttpContext& c) { IoOutputCgi(c.impl, c.conn, c.req, c.args); }},
        {"/axis-cgi/com/ptz.cgi", AccessLevel::kOperator, PtzCgi},
        {"/axis-cgi/com/ptzconfig.cgi", AccessLevel::kOperator, PtzCgi},
        {"/axis-cgi/motion/motiondata.cgi", AccessLevel::kViewer,
         [](HttpContext& c) { ServeMotionData(c.impl, c.conn, c.req); }},
        {"/axis-cgi/audio/receive.cgi", AccessLevel::kViewer,
         [](HttpContext& c) { AudioReceive(c.impl, c.conn, c.req); }},
        {"/axis-cgi/audio/transmit.cgi", AccessLevel::kViewer,
         [](HttpContext& c) { AudioTransmit(c.impl, c.conn, c.req); }},
        {"/axis-cgi/disks/list.cgi", AccessLevel::kViewer, EdgeCgiRow},
        {"/axis-cgi/record/list.cgi", AccessLevel::kViewer, EdgeCgiRow},
        {"/axis-cgi/date.cgi", AccessLevel::kViewer, EdgeCgiRow},
        {"/axis-cgi/time.cgi", AccessLevel::kViewer, EdgeCgiRow},
    };
    return table;
}

}  // namespace

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 415:
            return "Unsupported Media Type";
        case 454:
            return "Session Not Found";
        case 455:
            return "Method Not Valid in This State";
        case 459:
            return "Aggregate Operation Not Allowed";
        case 461:
            return "Unsupported Transport";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        case 505:
            return "RTSP Version Not Supported";
        case 551:
            return "Option not supported";
        default:
            return "Error";
    }
}

std::string Simulator::Impl::HttpResponse(const Request& req, int status,
                                          const std::string& content_type, const std::string& body,
                                          const std::string& extra_headers, bool* keep_alive) {
    auto opts = params.Options();
    bool keep = opts.http_version == "1.1";
    if (keep) {
        auto connection = req.Header("Connection");
        if (req.version == "HTTP/1.0") {
            keep = connection && IEquals(*connection, "keep-alive");
        } else if (connection && IEquals(*connection, "close")) {
            keep = false;
        }
    }
    *keep_alive = keep;
    std::string out = "HTTP/" + opts.http_version + " " + std::to_string(status) + " " +
                      ReasonPhrase(status) + "\r\n";
    out += extra_headers;
    if (status != 204) {
        if (!content_type.empty())
            out += "Content-Type: " + content_type + "\r\n";
        out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    if (!keep)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (status != 204 && req.method != "HEAD")
        out += body;
    return out;
}

void Simulator::Impl::HandleHttp(const std::shared_ptr<Connection>& conn, const Request& req,
                                 bool after_delay) {
    Url url = SplitUrl(req.target);
    if (!after_delay) {
        std::lock_guard lock(mutex);
        http_counts[url.path]++;
        http_log.push_back(req.target);
        if (options.print_requests) {
            std::printf("request %s %s\n", req.method.c_str(), req.target.c_str());
            std::fflush(stdout);
        }
        if (http_log.size() > kHttpLogSize)
            http_log.pop_front();
    }
    std::optional<Fault> fault;
    if (!after_delay)
        fault = TakeFault(http_faults, url.path, url.query);
    if (fault) {
        switch (fault->kind) {
            case Fault::Kind::kClose:
                conn->Close();
                return;
            case Fault::Kind::kWithhold:
            case Fault::Kind::kFlood:  // RTSP only; withheld here
            case Fault::Kind::kDripHeader:
            case Fault::Kind::kDripBody:
                conn->mode = Connection::Mode::kWithheld;
                return;
            case Fault::Kind::kStopReading:
                conn->mode = Connection::Mode::kWithheld;
                conn->StopReading();
                return;
            case Fault::Kind::kStall:
                conn->send_allowance = fault->after_bytes;
                break;
            case Fault::Kind::kDelay: {
                auto copy = std::make_shared<Request>(req);
                conn->mode = Connection::Mode::kPaused;
                conn->Timer().expires_after(fault->delay);
                conn->Timer().async_wait([this, conn, copy](asio::error_code ec) {
                    if (ec || conn->Closed())
                        return;
                    conn->mode = Connection::Mode::kRequests;
                    HandleHttp(conn, *copy, true);
                    if (conn->mode == Connection::Mode::kRequests)
                        conn->ProcessBuffered();
                });
                return;
            }
            case Fault::Kind::kStatus: {
                bool keep = false;
                std::string extra =
                    fault->status == 401 ? http_auth->ChallengeLines(false) : std::string();
                conn->Send(HttpResponse(req, fault->status, "text/html",
                                        "<HTML><HEAD><TITLE>" + std::to_string(fault->status) +
                                            " " + ReasonPhrase(fault->status) +
                                            "</TITLE></HEAD></HTML>\n",
                                        extra, &keep));
                if (!keep)
                    conn->CloseAfterWrite();
                return;
            }
        }
    }

    const bool tunnel =
        req.Header("x-sessioncookie").has_value() && (req.method == "GET" || req.method == "POST");
    const Endpoint* endpoint = nullptr;
    // The RTSP port takes HTTP only for tunnelling.
    for (const auto& e : Endpoints()) {
        if (url.path == e.path && !conn->OnRtspPort())
            endpoint = &e;
    }
    AccessLevel needed = endpoint ? endpoint->level : LevelForPath(url.path);
    if (endpoint || tunnel) {
        std::vector<std::string> uris{req.target, url.path};
        auto result =
            http_auth->Check(req.Header("Authorization").value_or(""), req.method, uris, needed);
        if (result != AuthResult::kOk) {
            bool keep = false;
            conn->Send(
                HttpResponse(req, 401, "text/html",
                             "<HTML><HEAD><TITLE>401 Unauthorized</TITLE></HEAD>\n<BODY><H1>401 "
                             "Unauthorized</H1>\nYour client does not have permission to get URL " +
                                 url.path + " from this server.\n</BODY></HTML>\n",
                             http_auth->ChallengeLines(result == AuthResult::kStaleNonce), &keep));
            if (!keep)
                conn->CloseAfterWrite();
            return;
        }
    }
    if (tunnel) {
        if (req.method == "GET") {
            StartTunnelGet(conn, req);
        } else {
            // The device never answers the POST; its body feeds the RTSP session.
            conn->mode = Connection::Mode::kTunnelPost;
            conn->tunnel_cookie = *req.Header("x-sessioncookie");
            if (!req.body.empty())
                FeedTunnelPost(conn, req.body);
        }
        return;
    }
    if (!endpoint) {
        bool keep = false;
        conn->Send(HttpResponse(req, 404, "text/html",
                                "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD>\n<BODY><H1>404 "
                                "Not Found</H1>\nThe requested URL " +
                                    url.path + " was not found on this server.\n</BODY></HTML>\n",
                                "", &keep));
        if (!keep)
            conn->CloseAfterWrite();
        return;
    }
    HttpContext ctx{*this, conn, req, url, ParseQuery(url.query)};
    if (req.method == "POST") {
        // Form arguments arrive whatever the declared content type.
        for (auto& kv : ParseQuery(req.body))
            ctx.args.push_back(std::move(kv));
    }
    std::string user;
    http_auth->Check(req.Header("Authorization").value_or(""), req.method, {req.target, url.path},
                     AccessLevel::kViewer, &user);
    ctx.granted = needed;
    for (const auto& u : options.users) {
        if (u.name == user)
            ctx.granted = u.level;
    }
    if (http_auth->Settings().schemes == AuthSchemes::kNone)
        ctx.granted = AccessLevel::kAdmin;
    endpoint->handler(ctx);
}

void Simulator::Impl::StartTunnelGet(const std::shared_ptr<Connection>& conn, const Request& req) {
    std::string cookie = *req.Header("x-sessioncookie");
    auto channel = std::make_shared<RtspChannel>();
    channel->out = conn;
    channel->tunnelled = true;
    channel->cookie = cookie;
    conn->rtsp = channel;
    conn->mode = Connection::Mode::kTunnelGet;
    tunnels[cookie] = channel;
    conn->Send(
        "HTTP/1.0 200 OK\r\nContent-Type: application/x-rtsp-tunnelled\r\n"
        "Cache-Control: no-cache\r\nPragma: no-cache\r\n\r\n");
}

void Simulator::Impl::FeedTunnelPost(const std::shared_ptr<Connection>& conn,
                                     std::string_view text) {
    auto it = tunnels.find(conn->tunnel_cookie);
    auto channel = it == tunnels.end() ? nullptr : it->second.lock();
    if (!channel) {
        conn->Close();  // unknown cookie
        return;
    }
    std::string decoded;
    if (!conn->tunnel_decoder.Feed(text, decoded)) {
        conn->Close();
        return;
    }
    if (!decoded.empty())
        FeedRtsp(channel, decoded);
}

}  // namespace camsim
