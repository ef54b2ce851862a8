#include "ptz/preset_names.h"

#include <cstring>

#include "base/debug.h"
#include "base/text.h"
#include "ptz/ptz_comm.h"

namespace vornak {

namespace {

// Host names hold at most 256 units with their terminator.
constexpr size_t kMaxUnits = 255;

// The value of "%uXXXX" at pos, or -1.
int32_t EscapeAt(std::string_view name, size_t pos) {
    if (pos + 6 > name.size() || name[pos] != '%' || name[pos + 1] != 'u') {
        return -1;
    }
    int32_t value = 0;
    for (size_t i = pos + 2; i < pos + 6; ++i) {
        const int digit = HexDigit(name[i]);
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool DecodeUtf8(std::string_view text, std::u16string& out) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 || i + length > text.size()) {
            return false;
        }
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            return false;  // overlong forms and surrogates are not characters
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return true;
}

void AppendUtf8(uint32_t code, std::string& out) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

}  // namespace

std::optional<std::u16string> HostNameToUnits(std::string_view name, bool unicode) {
    std::u16string units;
    if (unicode) {
        if (!DecodeUtf8(name, units)) {
            return std::nullopt;
        }
    } else {
        for (const char c : name) {
            units.push_back(static_cast<uint8_t>(c));
        }
    }
    if (units.size() > kMaxUnits) {
        return std::nullopt;
    }
    return units;
}

std::string EscapeUnits(std::u16string_view units) {
    std::string out;
    for (const char16_t unit : units) {
        if (unit > 255) {
            out += Format("%%u%.4X", static_cast<unsigned>(unit));
        } else {
            out.push_back(static_cast<char>(unit));
        }
    }
    return out;
}

std::string AnsiFromUnits(std::u16string_view units) {
    std::string out;
    for (const char16_t unit : units) {
        out.push_back(unit > 255 ? '?' : static_cast<char>(unit));
    }
    return out;
}

std::u16string DecodeCameraName(std::string_view name) {
    bool escaped = false;
    for (size_t i = 0; i < name.size() && !escaped; ++i) {
        escaped = EscapeAt(name, i) >= 0;
    }
    std::u16string units;
    for (size_t i = 0; i < name.size();) {
        const int32_t value = escaped ? EscapeAt(name, i) : -1;
        if (value >= 0) {
            units.push_back(static_cast<char16_t>(value));
            i += 6;
        } else {
            units.push_back(static_cast<uint8_t>(name[i]));
            ++i;
        }
    }
    return units;
}

std::string UnitsToHost(std::u16string_view units, bool unicode) {
    if (!unicode) {
        return AnsiFromUnits(units);
    }
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t code = units[i];
        const bool high = code >= 0xD800 && code < 0xDC00;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // a lone surrogate from a camera escape
        }
        AppendUtf8(code, out);
    }
    return out;
}

int32_t CopyNameToHost(std::string_view cameraName, bool unicode, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return kPtzInvalidArgument;
    }
    const std::string text = UnitsToHost(DecodeCameraName(cameraName), unicode);
    size_t length = std::min<size_t>(text.size(), size - 1);
    // A cut inside a UTF-8 character would hand the host an invalid name.
    while (unicode && length < text.size() && length > 0 &&
           (static_cast<uint8_t>(text[length]) & 0xC0) == 0x80) {
        --length;
    }
    std::memset(buffer, 0, size);
    std::memcpy(buffer, text.data(), length);
    return kPtzOk;
}

}  // namespace vornak
