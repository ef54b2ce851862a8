#include "message.h"

#include "text_util.h"

namespace camsim {

std::optional<std::string> Request::Header(std::string_view name) const {
    for (const auto& [k, v] : headers) {
        if (IEquals(k, name))
            return v;
    }
    return std::nullopt;
}

ParseResult ParseRequest(std::string_view data, Request* out, size_t max_head, size_t max_body,
                         bool want_body) {
    ParseResult r;
    // Accept CR LF or bare LF line ends; the head ends at the first empty line.
    size_t head_end = std::string_view::npos, body_start = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < data.size() && data[i + 1] == '\n') {
            head_end = i;
            body_start = i + 2;
            break;
        }
        if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') {
            head_end = i;
            body_start = i + 3;
            break;
        }
    }
    if (head_end == std::string_view::npos) {
        if (data.size() > max_head) {
            r.status = ParseStatus::kBad;
            r.error = "request head too long";
        }
        return r;
    }
    if (head_end > max_head) {
        r.status = ParseStatus::kBad;
        r.error = "request head too long";
        return r;
    }
    Request req;
    auto lines = Split(data.substr(0, head_end), '\n');
    std::string_view first = Trim(lines[0]);
    auto parts = Split(first, ' ');
    if (parts.size() != 3 || parts[0].empty() || parts[1].empty() ||
        !(parts[2].rfind("HTTP/", 0) == 0 || parts[2].rfind("RTSP/", 0) == 0)) {
        r.status = ParseStatus::kBad;
        r.error = "bad request line";
        return r;
    }
    req.method = std::string(parts[0]);
    req.target = std::string(parts[1]);
    req.version = std::string(parts[2]);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            r.status = ParseStatus::kBad;
            r.error = "bad header line";
            return r;
        }
        req.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                 std::string(Trim(line.substr(colon + 1))));
    }
    size_t body_len = 0;
    if (!want_body) {
        *out = std::move(req);
        r.status = ParseStatus::kComplete;
        r.consumed = body_start;
        return r;
    }
    if (auto cl = req.Header("Content-Length")) {
        auto n = ParseUint(Trim(*cl));
        if (!n || *n > max_body) {
            r.status = ParseStatus::kBad;
            r.error = "bad Content-Length";
            return r;
        }
        body_len = *n;
    }
    if (data.size() - body_start < body_len)
        return r;
    req.body = std::string(data.substr(body_start, body_len));
    *out = std::move(req);
    r.status = ParseStatus::kComplete;
    r.consumed = body_start + body_len;
    return r;
}

Url SplitUrl(std::string_view target) {
    Url u;
    size_t scheme = target.find("://");
    if (scheme != std::string_view::npos) {
        size_t slash = target.find('/', scheme + 3);
        if (slash == std::string_view::npos)
            slash = target.size();
        u.base = std::string(target.substr(0, slash));
        target.remove_prefix(slash);
    }
    size_t q = target.find('?');
    u.path = std::string(target.substr(0, q));
    if (q != std::string_view::npos)
        u.query = std::string(target.substr(q + 1));
    if (u.path.empty())
        u.path = "/";
    return u;
}

}  // namespace camsim
