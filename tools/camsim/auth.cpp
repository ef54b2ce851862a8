#include "auth.h"

#include "text_util.h"

namespace camsim {

namespace {

std::string Base64DecodeAll(std::string_view text, bool* ok) {
    Base64Stream dec;
    std::string out;
    *ok = dec.Feed(text, out);
    return out;
}

}  // namespace

std::optional<AuthorizationHeader> ParseAuthorization(std::string_view value) {
    value = Trim(value);
    size_t sp = value.find(' ');
    if (sp == std::string_view::npos)
        return std::nullopt;
    AuthorizationHeader h;
    h.scheme = ToLower(value.substr(0, sp));
    std::string_view rest = Trim(value.substr(sp + 1));
    if (h.scheme == "basic") {
        bool ok = false;
        std::string decoded = Base64DecodeAll(rest, &ok);
        size_t colon = decoded.find(':');
        if (!ok || colon == std::string::npos)
            return std::nullopt;
        h.basic_user = decoded.substr(0, colon);
        h.basic_password = decoded.substr(colon + 1);
        return h;
    }
    if (h.scheme != "digest")
        return std::nullopt;
    // name=value or name="quoted value", separated by commas.
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == ',' || rest[i] == '\t'))
            ++i;
        if (i >= rest.size())
            break;
        size_t eq = rest.find('=', i);
        if (eq == std::string_view::npos)
            return std::nullopt;
        std::string key = ToLower(Trim(rest.substr(i, eq - i)));
        i = eq + 1;
        std::string val;
        if (i < rest.size() && rest[i] == '"') {
            ++i;
            while (i < rest.size() && rest[i] != '"') {
                if (rest[i] == '\\' && i + 1 < rest.size())
                    ++i;
                val.push_back(rest[i++]);
            }
            if (i >= rest.size())
                return std::nullopt;  // unterminated quote
            ++i;
        } else {
            size_t end = rest.find(',', i);
            if (end == std::string_view::npos)
                end = rest.size();
            val = std::string(Trim(rest.substr(i, end - i)));
            i = end;
        }
        if (key.empty())
            return std::nullopt;
        h.params[key] = val;
    }
    return h;
}

std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view method, std::string_view uri, std::string_view nonce,
                           std::string_view nc, std::string_view cnonce, std::string_view qop) {
    std::string ha1 =
        Md5Hex(std::string(user) + ":" + std::string(realm) + ":" + std::string(password));
    std::string ha2 = Md5Hex(std::string(method) + ":" + std::string(uri));
    if (qop.empty())
        return Md5Hex(ha1 + ":" + std::string(nonce) + ":" + ha2);
    return Md5Hex(ha1 + ":" + std::string(nonce) + ":" + std::string(nc) + ":" +
                  std::string(cnonce) + ":" + std::string(qop) + ":" + ha2);
}

Authenticator::Authenticator(std::string realm, std::vector<User> users)
    : realm_(std::move(realm)), users_(std::move(users)) {}

void Authenticator::SetSettings(const AuthSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

AuthSettings Authenticator::Settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void Authenticator::SetUsers(std::vector<User> users) {
    std::lock_guard lock(mutex_);
    users_ = std::move(users);
}

AuthResult Authenticator::Check(std::string_view authorization, std::string_view method,
                                const std::vector<std::string>& uri_alternatives,
                                AccessLevel needed, std::string* user_out) {
    std::lock_guard lock(mutex_);
    if (settings_.schemes == AuthSchemes::kNone)
        return AuthResult::kOk;
    if (Trim(authorization).empty())
        return AuthResult::kMissing;
    auto header = ParseAuthorization(authorization);
    if (!header)
        return AuthResult::kBadCredentials;

    const User* user = nullptr;
    auto find_user = [&](std::string_view name) -> const User* {
        for (const auto& u : users_) {
            if (u.name == name)
                return &u;
        }
        return nullptr;
    };

    if (header->scheme == "basic") {
        if (settings_.schemes == AuthSchemes::kDigest)
            return AuthResult::kBadCredentials;
        user = find_user(header->basic_user);
        if (!user || user->password != header->basic_password)
            return AuthResult::kBadCredentials;
    } else {
        if (settings_.schemes == AuthSchemes::kBasic)
            return AuthResult::kBadCredentials;
        auto get = [&](const char* key) -> std::string {
            auto it = header->params.find(key);
            return it == header->params.end() ? std::string() : it->second;
        };
        std::string username = get("username"), realm = get("realm"), nonce = get("nonce"),
                    uri = get("uri"), response = ToLower(get("response")), qop = get("qop"),
                    nc = get("nc"), cnonce = get("cnonce"), algorithm = get("algorithm");
        if (username.empty() || nonce.empty() || response.empty()) {
            return AuthResult::kBadCredentials;
        }
        if (!algorithm.empty() && !IEquals(algorithm, "MD5"))
            return AuthResult::kBadCredentials;
        if (realm != realm_)
            return AuthResult::kBadCredentials;
        if (!qop.empty() && (!IEquals(qop, "auth") || nc.empty() || cnonce.empty())) {
            return AuthResult::kBadCredentials;
        }
        // The hashed uri must name this request in one of its accepted spellings.
        bool uri_ok = false;
        for (const auto& alt : uri_alternatives)
            uri_ok = uri_ok || alt == uri;
        if (!uri_ok)
            return AuthResult::kBadCredentials;
        user = find_user(username);
        if (!user)
            return AuthResult::kBadCredentials;
        std::string expected =
            DigestResponse(user->name, realm_, user->password, method, uri, nonce, nc, cnonce, qop);
        if (expected != response)
            return AuthResult::kBadCredentials;
        // Only a correct answer to an outdated nonce is "stale"; a wrong password stays wrong.
        auto it = nonces_.find(nonce);
        if (it == nonces_.end() || stale_.count(nonce))
            return AuthResult::kStaleNonce;
        if (settings_.nonce_lifetime.count() > 0 &&
            std::chrono::steady_clock::now() - it->second > settings_.nonce_lifetime) {
            return AuthResult::kStaleNonce;
        }
    }
    if (static_cast<int>(user->level) < static_cast<int>(needed))
        return AuthResult::kForbidden;
    if (user_out)
        *user_out = user->name;
    return AuthResult::kOk;
}

std::string Authenticator::NewNonce() {
    // A timestamp prefix as real devices use, then randomness.
    auto ticks = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    char prefix[16];
    snprintf(prefix, sizeof(prefix), "%08x", static_cast<unsigned>(ticks & 0xFFFFFFFF));
    std::string nonce = std::string(prefix) + "Y" + RandomHex(18);
    // Bound the table: forget the oldest nonces once there are many.
    if (nonces_.size() > 4096) {
        nonces_.clear();
        stale_.clear();
    }
    nonces_[nonce] = std::chrono::steady_clock::now();
    return nonce;
}

std::string Authenticator::ChallengeLines(bool stale) {
    std::lock_guard lock(mutex_);
    std::string out;
    if (settings_.schemes == AuthSchemes::kDigest || settings_.schemes == AuthSchemes::kBoth) {
        out += "WWW-Authenticate: Digest realm=\"" + realm_ + "\", nonce=\"" + NewNonce() +
               "\", stale=" + (stale ? "TRUE" : "FALSE");
        if (settings_.digest_qop)
            out += ", qop=\"auth\"";
        out += "\r\n";
    }
    if (settings_.schemes == AuthSchemes::kBasic || settings_.schemes == AuthSchemes::kBoth) {
        out += "WWW-Authenticate: Basic realm=\"" + realm_ + "\"\r\n";
    }
    return out;
}

void Authenticator::ExpireNonces() {
    std::lock_guard lock(mutex_);
    for (const auto& [nonce, when] : nonces_)
        stale_[nonce] = true;
}

}  // namespace camsim
