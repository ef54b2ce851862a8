// The simulated camera's user database and its HTTP/RTSP authentication (Basic and Digest,
// RFC 2617). Digest answers are checked with the simulator's own MD5 so that a client bug never
// hides behind shared code.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

enum class AccessLevel { kViewer = 0, kOperator = 1, kAdmin = 2 };

enum class AuthSchemes { kNone, kBasic, kDigest, kBoth };

struct User {
    std::string name;
    std::string password;
    AccessLevel level = AccessLevel::kAdmin;
};

// One parsed "Authorization:" header value.
struct AuthorizationHeader {
    std::string scheme;  // "basic" or "digest", lower case
    std::string basic_user;
    std::string basic_password;
    std::map<std::string, std::string> params;  // digest fields, keys lower case
};

[[nodiscard]] std::optional<AuthorizationHeader> ParseAuthorization(std::string_view value);

// RFC 2617 request-digest for MD5 (qop empty = RFC 2069 form).
std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view method, std::string_view uri, std::string_view nonce,
                           std::string_view nc, std::string_view cnonce, std::string_view qop);

enum class AuthResult { kOk, kMissing, kBadCredentials, kStaleNonce, kForbidden };

struct AuthSettings {
    AuthSchemes schemes = AuthSchemes::kBoth;
    bool digest_qop = true;  // offer qop="auth" in the challenge
    // A nonce older than this is answered with stale=TRUE; zero disables ageing.
    std::chrono::seconds nonce_lifetime{0};
};

class Authenticator {
  public:
    Authenticator(std::string realm, std::vector<User> users);

    void SetSettings(const AuthSettings& settings);
    AuthSettings Settings() const;
    const std::string& Realm() const { return realm_; }

    // Checks one request; uri_alternatives lists the forms of the request target a client may
    // have hashed (absolute RTSP URL, path with query).
    AuthResult Check(std::string_view authorization, std::string_view method,
                     const std::vector<std::string>& uri_alternatives, AccessLevel needed,
                     std::string* user_out = nullptr);

    // "WWW-Authenticate: ...\r\n" lines (one per offered scheme), with stale=TRUE when asked.
    std::string ChallengeLines(bool stale);

    // Makes every nonce handed out so far stale: the next request using one gets stale=TRUE.
    void ExpireNonces();

    void SetUsers(std::vector<User> users);

  private:
    std::string NewNonce();

    const std::string realm_;
    mutable std::mutex mutex_;
    std::vector<User> users_;
    AuthSettings settings_;
    std::map<std::string, std::chrono::steady_clock::time_point> nonces_;
    std::map<std::string, bool> stale_;  // nonces that were expired on demand
};

}  // namespace camsim
