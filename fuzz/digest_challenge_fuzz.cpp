// Challenge and Authentication-Info parsing, then building a header from whatever was stored.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "web/authentication.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // First line: the challenge; the rest: an Authentication-Info value.
    const size_t split = input.find('\n');
    const std::string_view challenge = input.substr(0, split);
    const std::string_view info =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    Web::CAuthentication auth([] { return std::string("0a4f113b"); });
    (void)auth.ParseChallenge(challenge);
    (void)auth.ParseAuthenticationInfo(info);
    const std::string header = auth.BuildAuthorization("GET", "/axis-cgi/param.cgi", "root", "pw");
    // A header built from device text must stay one line.
    if (header.find_first_of("\r\n") != std::string::npos) {
        __builtin_trap();
    }
    (void)Web::CAuthentication::GetChallengeParameter(input, "nonce");
    return 0;
}
