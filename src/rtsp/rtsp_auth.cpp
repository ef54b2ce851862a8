#include "rtsp/rtsp_auth.h"

#include <openssl/evp.h>

#include <cstdio>

namespace vornak::rtspauth {

std::string MD5Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 0x0F]);
    }
    return out;
}

std::string EncodeText(std::string_view text) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        const uint32_t v = static_cast<uint8_t>(text[i]) << 16 |
                           static_cast<uint8_t>(text[i + 1]) << 8 |
                           static_cast<uint8_t>(text[i + 2]);
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    const size_t rest = text.size() - i;
    if (rest > 0) {
        uint32_t v = static_cast<uint8_t>(text[i]) << 16;
        if (rest == 2) {
            v |= static_cast<uint8_t>(text[i + 1]) << 8;
        }
        out.push_back(kAlphabet[v >> 18]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string EncodeCredentials(std::string_view user, std::string_view password) {
    if (user.empty()) {
        return {};
    }
    std::string joined(user);
    joined.push_back(':');
    joined.append(password);
    return EncodeText(joined);
}

}  // namespace vornak::rtspauth
