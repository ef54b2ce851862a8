// Readers for the key=value texts the device sends: parameter replies
// ("root.Brand.ProdFullName=value" lines) and header-like parameter lists.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/text.h"

namespace vornak {

// Where a field's value lies inside the searched text.
struct FieldSpan {
    size_t begin = 0;
    size_t end = 0;  // one past the last character; the line end or the end of the text
};

// Finds the first item "key<separator>value" whose name, trimmed of blanks and tabs, equals the
// key exactly; items end at any character of lineEnds. With rootPrefix a name written as
// "root." + key also matches. An empty value does not count as a match.
[[nodiscard]] std::optional<FieldSpan> FindFieldValue(std::string_view text, std::string_view key,
                                                      std::string_view separator,
                                                      std::string_view lineEnds, bool rootPrefix);

// Value of a parameter reply line ("root." prefix optional, lines ended by CR and/or LF).
[[nodiscard]] std::string GetParameterValue(std::string_view reply, std::string_view key);
[[nodiscard]] std::string GetFieldValue(std::string_view text, std::string_view key,
                                        std::string_view separator, std::string_view lineEnds);

// Optional leading "+" or "-", then one or more decimal digits and nothing else.
[[nodiscard]] bool IsNumber(std::string_view text);

}  // namespace vornak
