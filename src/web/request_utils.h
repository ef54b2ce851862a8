// Stateless helpers through which every request-and-answer exchange with the device goes: send,
// classify the status, read the body of a good answer, close.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/debug.h"
#include "web/http_sender.h"

namespace HUtils {

// What one exchange brought back.
struct Reply {
    bool answered = false;     // SendRequest's own verdict: an answer, and not a final 401
    uint32_t status = 0;       // 0 when nothing came back
    std::string body;          // the body of a 2xx answer; empty otherwise
    bool bodyTooLong = false;  // a 2xx body went beyond the caller's limit; body is then empty
    [[nodiscard]] bool Ok() const { return status >= 200 && status < 300; }
};

// Sends the request (any verb, body and headers) and reads the whole body of a 2xx answer: up to
// bodyLimit bytes when one is given, else as ReadResponse reads. The request is closed after.
[[nodiscard]] Reply Exchange(Web::CBaseHttpSender& sender, const Web::HttpRequest& request,
                             std::optional<size_t> bodyLimit = std::nullopt);
[[nodiscard]] Reply Get(Web::CBaseHttpSender& sender, const std::string& path,
                        std::optional<size_t> bodyLimit = std::nullopt);

// GET the path; on 2xx the whole body is in body. The result's code tells what went wrong:
// 0 fine, 8 other status, 9 not found, 10 credentials refused, 11 nothing received,
// 12 empty body.
[[nodiscard]] vornak::CResultDef RequestGetRD(Web::CBaseHttpSender& sender, const std::string& path,
                                              std::string& body);

// A text for a person about a failed exchange that ended with this status (0: nothing came back).
[[nodiscard]] std::string FailureText(uint32_t status);

// GET the path; true on 2xx, otherwise a text for a person in errorText (FailureText).
[[nodiscard]] bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path,
                                     bool addContentType, std::string& errorText);
[[nodiscard]] bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path,
                                     std::string& errorText);

}  // namespace HUtils
