// Text helpers shared by the RTSP answer and SDP readers. All protocol text is 8-bit; these never
// allocate more than their result and never read past the view they are given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace vornak::rtsptext {

// Finds `key` followed by `separator` where the key starts the text or follows a blank, a tab,
// ';' or ',' (so "port" does not match inside "client_port"). The value runs up to the first
// character of `terminators` or the end, trimmed. nullopt when the key is absent.
std::optional<std::string_view> FindParameter(std::string_view text, std::string_view key,
                                              std::string_view separator,
                                              std::string_view terminators);

// Words separated by any character of `separators`; empty words are skipped.
std::vector<std::string_view> Split(std::string_view text, std::string_view separators);

// Standard alphabet; characters outside it (padding, white space) are skipped. A result longer
// than maxBytes gives an empty vector: parameter sets and configurations are small, and a huge
// one means a broken description.
std::vector<uint8_t> DecodeBase64(std::string_view text, size_t maxBytes = 256);

}  // namespace vornak::rtsptext
