#include "web/codec.h"

#include <openssl/evp.h>

#include <array>

#include "base/text.h"

namespace Web {

namespace {
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineLength = 76;
}  // namespace

std::string MD5Hex(std::span<const uint8_t> bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 0x0F]);
    }
    return out;
}

std::string MD5Hex(std::string_view text) {
    return MD5Hex(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string Base64Encode(std::span<const uint8_t> bytes, bool wrapLines) {
    const size_t groups = (bytes.size() + 2) / 3;
    const size_t chars = groups * 4;
    std::string out;
    out.reserve(chars + (wrapLines ? chars / kLineLength * 2 : 0));
    size_t lineChars = 0;
    auto put = [&](char c) {
        if (wrapLines && lineChars == kLineLength) {
            out += "\r\n";
            lineChars = 0;
        }
        out.push_back(c);
        ++lineChars;
    };
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        const uint32_t b0 = bytes[i];
        const uint32_t b1 = left > 1 ? bytes[i + 1] : 0;
        const uint32_t b2 = left > 2 ? bytes[i + 2] : 0;
        const uint32_t triple = (b0 << 16) | (b1 << 8) | b2;
        put(kAlphabet[(triple >> 18) & 0x3F]);
        put(kAlphabet[(triple >> 12) & 0x3F]);
        put(left > 1 ? kAlphabet[(triple >> 6) & 0x3F] : '=');
        put(left > 2 ? kAlphabet[triple & 0x3F] : '=');
    }
    return out;
}

std::string EncodeCredentials(std::string_view user, std::string_view password) {
    if (vornak::HasLineEnd(user) || vornak::HasLineEnd(password)) {
        return {};
    }
    std::string joined;
    joined.reserve(user.size() + password.size() + 1);
    joined.append(user).append(":").append(password);
    return Base64Encode(std::span(reinterpret_cast<const uint8_t*>(joined.data()), joined.size()),
                        false);
}

std::string EncodeText(std::string_view text) {
    return Base64Encode(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace Web
