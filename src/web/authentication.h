// Basic and Digest (RFC 2617) authentication state of one HTTP sender: the last challenge, the
// nonce in use and how often it was used.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace Web {

// Makes a client nonce. Tests put a fixed one in so that Digest responses are exact.
using ClientNonceSource = std::function<std::string()>;

// 32 lower-case hex digits from the system's random source.
[[nodiscard]] std::string RandomClientNonce();

class CAuthentication {
  public:
    CAuthentication();
    explicit CAuthentication(ClientNonceSource nonceSource);
    virtual ~CAuthentication();

    // Value of a "WWW-Authenticate" header; true when a header can be built from it.
    [[nodiscard]] bool ParseChallenge(std::string_view value);
    // Value of an "Authentication-Info" header of a Digest answer.
    [[nodiscard]] bool ParseAuthenticationInfo(std::string_view value);
    // "Authorization: ..." for the request, or empty when none can be built.
    [[nodiscard]] std::string BuildAuthorization(std::string_view verb, std::string_view uri,
                                                 std::string_view user, std::string_view password,
                                                 std::span<const uint8_t> body = {});
    // New client nonce and count; forgets the nonce, keeps scheme and realm.
    void ResetAuthentication();

    // One parameter of a challenge's parameter list, quotes removed.
    [[nodiscard]] static std::string GetChallengeParameter(std::string_view list,
                                                           std::string_view name);

    const std::string& GetScheme() const { return scheme_; }
    const std::string& GetClientNonce() const { return clientNonce_; }
    const std::string& GetRealm() const { return realm_; }
    const std::string& GetAlgorithm() const { return algorithm_; }
    const std::string& GetNonce() const { return nonce_; }
    const std::string& GetQop() const { return qop_; }
    const std::string& GetOpaque() const { return opaque_; }
    uint32_t GetNonceCount() const { return nonceCount_; }

  private:
    ClientNonceSource nonceSource_;
    std::string scheme_;
    std::string clientNonce_;
    std::string realm_;
    std::string algorithm_;
    std::string nonce_;
    std::string qop_;
    std::string opaque_;
    uint32_t nonceCount_ = 0;
};

}  // namespace Web
