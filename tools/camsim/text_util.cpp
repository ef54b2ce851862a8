#include "text_util.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <ctime>
#include <random>

namespace camsim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::mt19937_64& Rng() {
    thread_local std::mt19937_64 rng{std::random_device{}()};
    return rng;
}

}  // namespace

std::string ToLower(std::string_view s) {
    std::string r(s);
    for (char& c : r) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return r;
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t pos = s.find(sep, start);
        if (pos == std::string_view::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string UrlDecode(std::string_view s, bool form_plus) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%' && i + 2 < s.size()) {
            int hi = HexValue(s[i + 1]);
            int lo = HexValue(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(form_plus && c == '+' ? ' ' : c);
    }
    return out;
}

QueryArgs ParseQuery(std::string_view query) {
    QueryArgs args;
    for (std::string_view part : Split(query, '&')) {
        if (part.empty())
            continue;
        size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            args.emplace_back(UrlDecode(part), std::string());
        } else {
            args.emplace_back(UrlDecode(part.substr(0, eq)), UrlDecode(part.substr(eq + 1)));
        }
    }
    return args;
}

std::optional<std::string> FindArg(const QueryArgs& args, std::string_view name) {
    std::optional<std::string> found;
    // Later arguments override earlier ones, as with a stream profile followed by URL arguments.
    for (const auto& [k, v] : args) {
        if (IEquals(k, name))
            found = v;
    }
    return found;
}

std::optional<uint64_t> ParseUint(std::string_view s) {
    if (s.empty() || s.size() > 19)
        return std::nullopt;
    uint64_t v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || ptr != s.data() + s.size())
        return std::nullopt;
    return v;
}

std::string Base64Encode(std::span<const uint8_t> data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(kBase64Alphabet[(v >> 6) & 63]);
        out.push_back(kBase64Alphabet[v & 63]);
    }
    size_t rest = data.size() - i;
    if (rest == 1) {
        uint32_t v = data[i] << 16;
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out += "==";
    } else if (rest == 2) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(kBase64Alphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::string Base64Encode(std::string_view data) {
    return Base64Encode(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
}

bool Base64Stream::Feed(std::string_view text, std::string& out) {
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        if (c == '=') {
            // Padding: flush what the quantum holds (2 or 3 characters give 1 or 2 bytes).
            if (have_ == 2) {
                out.push_back(static_cast<char>((quad_[0] << 2) | (quad_[1] >> 4)));
            } else if (have_ == 3) {
                out.push_back(static_cast<char>((quad_[0] << 2) | (quad_[1] >> 4)));
                out.push_back(static_cast<char>(((quad_[1] & 15) << 4) | (quad_[2] >> 2)));
            }
            have_ = 0;
            continue;
        }
        int v = Base64Value(c);
        if (v < 0)
            return false;
        quad_[have_++] = static_cast<uint32_t>(v);
        if (have_ == 4) {
            uint32_t w = (quad_[0] << 18) | (quad_[1] << 12) | (quad_[2] << 6) | quad_[3];
            out.push_back(static_cast<char>(w >> 16));
            out.push_back(static_cast<char>((w >> 8) & 0xFF));
            out.push_back(static_cast<char>(w & 0xFF));
            have_ = 0;
        }
    }
    return true;
}

std::string HexLower(std::span<const uint8_t> data) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t b : data) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    return out;
}

std::string Md5Hex(std::string_view data) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr);
    return HexLower(std::span<const uint8_t>(digest, len));
}

std::string RandomHex(size_t bytes) {
    std::vector<uint8_t> buf(bytes);
    for (auto& b : buf)
        b = static_cast<uint8_t>(Rng()());
    return HexLower(buf);
}

uint32_t RandomU32() {
    return static_cast<uint32_t>(Rng()());
}

std::string HttpDate() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[64];
    std::strftime(buf, sizeof(buf), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

}  // namespace camsim
