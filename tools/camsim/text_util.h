// Small text and byte helpers shared by the simulator's HTTP, RTSP, RTP and parameter code.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace camsim {

std::string ToLower(std::string_view s);
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view s, std::string_view prefix);
std::string_view Trim(std::string_view s);
std::vector<std::string_view> Split(std::string_view s, char sep);

// Decodes valid %HH escapes only; anything else (including "%uXXXX") stays literal, because
// cameras store such names as they arrive. '+' becomes a space only when form_plus is set.
std::string UrlDecode(std::string_view s, bool form_plus = false);

using QueryArgs = std::vector<std::pair<std::string, std::string>>;
// "a=1&b=%3d&&c" -> {{"a","1"},{"b","="},{"c",""}}; empty arguments are skipped.
QueryArgs ParseQuery(std::string_view query);
std::optional<std::string> FindArg(const QueryArgs& args, std::string_view name);

[[nodiscard]] std::optional<uint64_t> ParseUint(std::string_view s);

// Network byte order appended to a packet being built.
inline void Put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
inline void Put24(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(static_cast<uint8_t>(x >> 16));
    Put16(v, x & 0xFFFF);
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, x >> 16);
    Put16(v, x & 0xFFFF);
}

std::string Base64Encode(std::span<const uint8_t> data);
std::string Base64Encode(std::string_view data);

// Incremental Base64 decoder for the tunnel: line breaks and blanks between characters are
// ignored, each quantum is decoded as soon as it is complete, and '=' padding ends a quantum so
// that separately encoded requests can follow each other.
class Base64Stream {
  public:
    // Appends decoded bytes to out; returns false on a character outside the alphabet.
    bool Feed(std::string_view text, std::string& out);

  private:
    uint32_t quad_[4] = {};
    int have_ = 0;
};

std::string Md5Hex(std::string_view data);
std::string HexLower(std::span<const uint8_t> data);
std::string RandomHex(size_t bytes);
uint32_t RandomU32();

// "Wed, 16 Jul 2008 12:48:47 GMT"
std::string HttpDate();

}  // namespace camsim
