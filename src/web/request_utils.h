// Stateless helpers for the common pattern of a GET whose answer is classified.
#pragma once

#include <string>
#include <vector>

#include "base/debug.h"
#include "web/http_sender.h"

namespace HUtils {

// GET the path; on 2xx the whole body is in body. The result's code tells what went wrong:
// 0 fine, 8 other status, 9 not found, 10 credentials refused, 11 nothing received,
// 12 empty body.
[[nodiscard]] vornak::CResultDef RequestGetRD(Web::CBaseHttpSender& sender, const std::string& path,
                                              std::string& body);

// GET the path; true on 2xx, otherwise a text for a person in errorText.
[[nodiscard]] bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path,
                                     bool addContentType, std::string& errorText);
[[nodiscard]] bool RequestGetMessage(Web::CBaseHttpSender& sender, const std::string& path,
                                     std::string& errorText);

}  // namespace HUtils
