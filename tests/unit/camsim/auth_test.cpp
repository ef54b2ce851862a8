// Basic and Digest checking of the simulated camera, including stale nonces.
#include <gtest/gtest.h>

#include "camsim/auth.h"
#include "camsim/text_util.h"

namespace camsim {
namespace {

TEST(ParseAuthorization, Forms) {
    struct Case {
        const char* header;
        bool ok;
        const char* reason;
    } cases[] = {
        {"Basic cm9vdDpwYXNz", true, "root:pass"},
        {"Basic cm9vdA==", false, "no colon in the decoded text"},
        {"Basic !!!", false, "not Base64"},
        {"Digest username=\"a\", realm=\"r, with comma\", nonce=\"n\", uri=\"/x\", "
         "response=\"0123\"",
         true, "a comma inside quotes belongs to the value"},
        {"Digest username=\"a, nonce=\"n\"", false, "unterminated quote"},
        {"Digest username=a,nc=00000001,qop=auth", true, "unquoted values"},
        {"Bearer xyz", false, "unknown scheme"},
        {"Digest", false, "scheme without parameters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(ParseAuthorization(c.header).has_value(), c.ok);
    }
    auto d = ParseAuthorization(
        "Digest username=\"a\", realm=\"r, with comma\", nonce=\"n\", uri=\"/x\", "
        "response=\"0123\"");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->params["realm"], "r, with comma");
}

class AuthenticatorTest : public ::testing::Test {
  protected:
    AuthenticatorTest()
        : auth_("AXIS_ACCC8E012345",
                {{"root", "pass", AccessLevel::kAdmin}, {"viewer", "v", AccessLevel::kViewer}}) {}

    // Takes the nonce out of a fresh challenge, as a client does.
    std::string Nonce(bool stale = false) {
        std::string c = auth_.ChallengeLines(stale);
        size_t at = c.find("nonce=\"") + 7;
        return c.substr(at, c.find('"', at) - at);
    }

    std::string DigestHeader(const std::string& user, const std::string& password,
                             const std::string& nonce, const std::string& uri, bool qop) {
        std::string resp =
            DigestResponse(user, auth_.Realm(), password, "GET", uri, nonce, qop ? "00000001" : "",
                           qop ? "c0ffee" : "", qop ? "auth" : "");
        std::string h = "Digest username=\"" + user + "\", realm=\"" + auth_.Realm() +
                        "\", nonce=\"" + nonce + "\", uri=\"" + uri + "\", response=\"" + resp +
                        "\"";
        if (qop)
            h += ", qop=auth, nc=00000001, cnonce=\"c0ffee\"";
        return h;
    }

    AuthResult Check(const std::string& header, AccessLevel level = AccessLevel::kViewer) {
        return auth_.Check(header, "GET",
                           {"/axis-cgi/param.cgi?action=list", "/axis-cgi/param.cgi"}, level);
    }

    Authenticator auth_;
};

TEST_F(AuthenticatorTest, DigestAndBasic) {
    const std::string uri = "/axis-cgi/param.cgi?action=list";
    std::string nonce = Nonce();
    struct Case {
        std::string header;
        AuthResult expected;
        const char* reason;
    } cases[] = {
        {DigestHeader("root", "pass", nonce, uri, true), AuthResult::kOk, "qop=auth"},
        {DigestHeader("root", "pass", nonce, uri, false), AuthResult::kOk, "no qop (RFC 2069)"},
        {DigestHeader("root", "wrong", nonce, uri, true), AuthResult::kBadCredentials,
         "wrong password"},
        {DigestHeader("nobody", "pass", nonce, uri, true), AuthResult::kBadCredentials,
         "unknown user"},
        {DigestHeader("root", "pass", nonce, "/other.cgi", true), AuthResult::kBadCredentials,
         "uri names another resource"},
        {DigestHeader("root", "pass", nonce, "/axis-cgi/param.cgi", false), AuthResult::kOk,
         "the path alone is an accepted uri spelling"},
        {DigestHeader("root", "pass", "00000000Yforeign", uri, true), AuthResult::kStaleNonce,
         "a correct answer to a nonce we do not know is stale, not wrong"},
        {"Basic " + Base64Encode(std::string("root:pass")), AuthResult::kOk, "basic"},
        {"Basic " + Base64Encode(std::string("root:nope")), AuthResult::kBadCredentials,
         "basic, wrong password"},
        {"", AuthResult::kMissing, "no header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(Check(c.header), c.expected);
    }
}

TEST_F(AuthenticatorTest, ExpiredNonceIsStaleAndFreshOneWorks) {
    const std::string uri = "/axis-cgi/param.cgi?action=list";
    std::string old_nonce = Nonce();
    auth_.ExpireNonces();
    EXPECT_EQ(Check(DigestHeader("root", "pass", old_nonce, uri, true)), AuthResult::kStaleNonce);
    EXPECT_EQ(Check(DigestHeader("root", "wrong", old_nonce, uri, true)),
              AuthResult::kBadCredentials)
        << "a wrong password stays wrong even with an old nonce";
    std::string challenge = auth_.ChallengeLines(true);
    EXPECT_NE(challenge.find("stale=TRUE"), std::string::npos);
    EXPECT_EQ(Check(DigestHeader("root", "pass", Nonce(), uri, true)), AuthResult::kOk);
}

TEST_F(AuthenticatorTest, SchemesAndLevels) {
    std::string basic = "Basic " + Base64Encode(std::string("root:pass"));
    AuthSettings digest_only;
    digest_only.schemes = AuthSchemes::kDigest;
    auth_.SetSettings(digest_only);
    EXPECT_EQ(Check(basic), AuthResult::kBadCredentials) << "Basic refused when not offered";
    std::string challenge = auth_.ChallengeLines(false);
    EXPECT_EQ(challenge.find("Basic"), std::string::npos);
    EXPECT_NE(challenge.find("qop=\"auth\""), std::string::npos);

    AuthSettings basic_only;
    basic_only.schemes = AuthSchemes::kBasic;
    auth_.SetSettings(basic_only);
    EXPECT_EQ(Check(DigestHeader("root", "pass", "x", "/axis-cgi/param.cgi", false)),
              AuthResult::kBadCredentials);
    EXPECT_EQ(auth_.ChallengeLines(false),
              "WWW-Authenticate: Basic realm=\"AXIS_ACCC8E012345\"\r\n");

    std::string viewer = "Basic " + Base64Encode(std::string("viewer:v"));
    EXPECT_EQ(Check(viewer, AccessLevel::kViewer), AuthResult::kOk);
    EXPECT_EQ(Check(viewer, AccessLevel::kAdmin), AuthResult::kForbidden);

    AuthSettings none;
    none.schemes = AuthSchemes::kNone;
    auth_.SetSettings(none);
    EXPECT_EQ(Check(""), AuthResult::kOk);
}

}  // namespace
}  // namespace camsim
