#include "web/authentication.h"

#include <charconv>

#include "base/debug.h"
#include "platform/host_info.h"
#include "web/codec.h"
#include "web/field_search.h"

namespace Web {

namespace {
constexpr std::string_view kBasic = "Basic";
constexpr std::string_view kDigest = "Digest";

using vornak::EqualsNoCase;
using vornak::HasLineEnd;
using vornak::Trim;

// The device may offer a list ("auth,auth-int"); a request names exactly one. Empty when the
// list holds nothing this client can do, which then falls back to the form without qop.
std::string ChooseQop(std::string_view offered) {
    bool authInt = false;
    while (!offered.empty()) {
        const size_t comma = offered.find(',');
        const std::string token = vornak::ToLower(Trim(offered.substr(0, comma)));
        if (token == "auth") {
            return token;
        }
        authInt = authInt || token == "auth-int";
        offered = comma == std::string_view::npos ? std::string_view() : offered.substr(comma + 1);
    }
    return authInt ? "auth-int" : std::string();
}

bool IsSupportedAlgorithm(std::string_view algorithm) {
    return algorithm.empty() || EqualsNoCase(algorithm, "MD5") ||
           EqualsNoCase(algorithm, "MD5-sess");
}

std::string Join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view part : parts) {
        if (!out.empty()) {
            out.push_back(':');
        }
        out.append(part);
    }
    return out;
}
}  // namespace

std::string RandomClientNonce() {
    uint8_t bytes[16];
    vornak::platform::RandomBytes(bytes, sizeof(bytes));
    std::string out;
    out.reserve(32);
    for (uint8_t b : bytes) {
        out += vornak::Format("%.2x", b);
    }
    return out;
}

CAuthentication::CAuthentication() : CAuthentication(RandomClientNonce) {}

CAuthentication::CAuthentication(ClientNonceSource nonceSource)
    : nonceSource_(std::move(nonceSource)) {
    if (!nonceSource_) {
        nonceSource_ = RandomClientNonce;
    }
    clientNonce_ = nonceSource_();
}

CAuthentication::~CAuthentication() = default;

std::string CAuthentication::GetChallengeParameter(std::string_view list, std::string_view name) {
    const auto span = vornak::FindFieldValue(list, name, "=", ",\r\n", false);
    if (!span) {
        return {};
    }
    std::string_view value = list.substr(span->begin, span->end - span->begin);
    const size_t first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    if (value[first] == '"') {
        // A quoted value may hold commas, so the closing quote is looked for past the item end,
        // but never past the end of the header line.
        const size_t open = span->begin + first;
        const size_t close = list.find('"', open + 1);
        const size_t lineEnd = list.find_first_of("\r\n", open);
        if (close != std::string_view::npos && close < lineEnd) {
            return std::string(list.substr(open + 1, close - open - 1));
        }
    }
    return std::string(Trim(value));
}

bool CAuthentication::ParseChallenge(std::string_view value) {
    const size_t blank = value.find(' ');
    if (blank == std::string_view::npos || blank == 0) {
        return false;
    }
    scheme_ = std::string(value.substr(0, blank));
    const std::string_view params = value.substr(blank + 1);
    nonceCount_ = 0;
    if (params.empty()) {
        return scheme_ == kBasic;
    }
    realm_ = GetChallengeParameter(params, "realm");
    if (scheme_ == kBasic) {
        return true;
    }
    if (scheme_ != kDigest) {
        return false;
    }
    nonce_ = GetChallengeParameter(params, "nonce");
    opaque_ = GetChallengeParameter(params, "opaque");
    qop_ = GetChallengeParameter(params, "qop");
    algorithm_ = GetChallengeParameter(params, "algorithm");
    // A response computed with MD5 for a SHA-256 challenge could only fail.
    return !realm_.empty() && !nonce_.empty() && IsSupportedAlgorithm(algorithm_);
}

bool CAuthentication::ParseAuthenticationInfo(std::string_view value) {
    if (value.empty()) {
        return false;
    }
    const std::string cnonce = GetChallengeParameter(value, "cnonce");
    if (!cnonce.empty() && cnonce != clientNonce_) {
        return false;
    }
    const std::string nextNonce = GetChallengeParameter(value, "nextnonce");
    if (!nextNonce.empty()) {
        nonce_ = nextNonce;
        nonceCount_ = 0;
        return true;
    }
    const std::string nc = GetChallengeParameter(value, "nc");
    if (!nc.empty()) {
        // The count is written in hex on the wire.
        uint32_t count = 0;
        const auto [ptr, ec] = std::from_chars(nc.data(), nc.data() + nc.size(), count, 16);
        if (ec == std::errc() && ptr == nc.data() + nc.size()) {
            nonceCount_ = count;
        }
    }
    return true;
}

std::string CAuthentication::BuildAuthorization(std::string_view verb, std::string_view uri,
                                                std::string_view user, std::string_view password,
                                                std::span<const uint8_t> body) {
    if (user.empty()) {
        return {};
    }
    if (scheme_ == kBasic) {
        const std::string credentials = EncodeCredentials(user, password);
        if (credentials.empty()) {
            return {};
        }
        return "Authorization: " + scheme_ + " " + credentials;
    }
    if (scheme_ != kDigest) {
        return {};
    }
    if (verb.empty() || uri.empty() || password.empty() || realm_.empty() || nonce_.empty()) {
        return {};
    }
    // Every value ends up inside one header line.
    for (std::string_view part : {verb, uri, user, password}) {
        if (HasLineEnd(part)) {
            return {};
        }
    }
    std::string ha1 = MD5Hex(Join({user, realm_, password}));
    if (EqualsNoCase(algorithm_, "MD5-sess")) {
        ha1 = MD5Hex(Join({ha1, nonce_, clientNonce_}));
    }
    const std::string qop = ChooseQop(qop_);
    std::string line = "Authorization: " + scheme_ + " ";
    auto add = [&line](std::string_view name, std::string_view value, bool quoted) {
        if (line.back() != ' ') {
            line += ", ";
        }
        line.append(name).append("=");
        if (quoted) {
            line.append("\"").append(value).append("\"");
        } else {
            line.append(value);
        }
    };
    add("username", user, true);
    add("realm", realm_, true);
    add("nonce", nonce_, true);
    add("uri", uri, true);
    std::string response;
    if (!qop.empty()) {
        const std::string algorithm = algorithm_.empty() ? std::string("MD5") : algorithm_;
        ++nonceCount_;
        const std::string nc = vornak::Format("%.8x", nonceCount_);
        std::string a2 = Join({verb, uri});
        if (qop == "auth-int") {
            a2 += ":" + MD5Hex(body);
        }
        response = MD5Hex(Join({ha1, nonce_, nc, clientNonce_, qop, MD5Hex(a2)}));
        add("qop", qop, true);
        add("nc", nc, false);
        add("cnonce", clientNonce_, true);
        add("algorithm", algorithm, false);
    } else {
        response = MD5Hex(Join({ha1, nonce_, MD5Hex(Join({verb, uri}))}));
    }
    add("response", response, true);
    // The device expects its opaque value back on every answer to its challenge.
    if (!opaque_.empty()) {
        add("opaque", opaque_, true);
    }
    return line;
}

void CAuthentication::ResetAuthentication() {
    clientNonce_ = nonceSource_();
    nonceCount_ = 0;
    algorithm_.clear();
    nonce_.clear();
    qop_.clear();
    opaque_.clear();
}

}  // namespace Web
