// MD5 in hex and Base64: the building blocks of Basic and Digest authentication and of the
// tunnelled RTSP requests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Web {

// 32 lower-case hex digits of the MD5 digest of the bytes.
[[nodiscard]] std::string MD5Hex(std::string_view text);
[[nodiscard]] std::string MD5Hex(std::span<const uint8_t> bytes);

// Standard alphabet with "=" padding. With wrapLines a "\r\n" follows every 76 output
// characters except at the very end, so up to 57 input bytes stay on one line.
[[nodiscard]] std::string Base64Encode(std::span<const uint8_t> bytes, bool wrapLines = true);

// Base64 of "user:password" for a Basic header. Never wrapped: a line break would end the
// header early. Empty when user or password holds a line end (header injection).
[[nodiscard]] std::string EncodeCredentials(std::string_view user, std::string_view password);
// Base64 of the text, wrapped as above.
[[nodiscard]] std::string EncodeText(std::string_view text);

}  // namespace Web
