// Request heads of HTTP/1.x and RTSP/1.0 (same grammar): pure parsing over the bytes received.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace camsim {

struct Request {
    std::string method;
    std::string target;   // as sent: "/path?query" or "rtsp://host:port/path?query"
    std::string version;  // "HTTP/1.1", "RTSP/1.0"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::optional<std::string> Header(std::string_view name) const;
    bool IsRtsp() const { return version.rfind("RTSP/", 0) == 0; }
};

enum class ParseStatus { kNeedMore, kComplete, kBad };

struct ParseResult {
    ParseStatus status = ParseStatus::kNeedMore;
    size_t consumed = 0;  // bytes of head and body when complete
    std::string error;
};

// Parses one request (head plus Content-Length body) from the start of data. Heads longer than
// max_head bytes or bodies over max_body are refused. Without want_body only the head is
// consumed (the tunnel's POST body is an endless Base64 stream).
[[nodiscard]] ParseResult ParseRequest(std::string_view data, Request* out, size_t max_head = 16384,
                                       size_t max_body = 1 << 20, bool want_body = true);

// Splits "rtsp://host:port/path?query" or "/path?query" into its parts.
struct Url {
    std::string base;  // "rtsp://host:port" or empty
    std::string path;
    std::string query;
};
Url SplitUrl(std::string_view target);

}  // namespace camsim
