// The pieces of HTTP authentication the RTSP client needs: the MD5 hex digest and Base64 forms.
#pragma once

#include <string>
#include <string_view>

namespace vornak::rtspauth {

// 32 lower-case hex digits of the MD5 digest of the text's bytes.
std::string MD5Hex(std::string_view text);
// Base64 of "user:password"; empty when the user name is empty.
std::string EncodeCredentials(std::string_view user, std::string_view password);
// Base64 of the text, standard alphabet with '=' padding, no line breaks.
std::string EncodeText(std::string_view text);

}  // namespace vornak::rtspauth
