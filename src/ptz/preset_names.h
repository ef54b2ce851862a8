// Preset names between the host's character set (UTF-8, or the ANSI code page, which is
// Latin-1 on this platform) and the camera's spelling, in which a unit above 255 is written
// "%uXXXX".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornak {

// A host name as UTF-16; nullopt for invalid UTF-8 or more than 255 units.
[[nodiscard]] std::optional<std::u16string> HostNameToUnits(std::string_view name, bool unicode);
// Units above 255 as "%u" and four upper-case hex digits, the others as one byte each.
[[nodiscard]] std::string EscapeUnits(std::u16string_view units);
// The ANSI form: units above 255 have no byte and become '?'.
[[nodiscard]] std::string AnsiFromUnits(std::u16string_view units);
// A camera name as UTF-16: "%uXXXX" escapes decoded when the name holds one, else Latin-1.
[[nodiscard]] std::u16string DecodeCameraName(std::string_view name);
// Units in the host's character set.
[[nodiscard]] std::string UnitsToHost(std::u16string_view units, bool unicode);
// Copies a camera name into a host buffer: -3 for a null buffer or size 0; otherwise at most
// size - 1 bytes (never half a UTF-8 character), zero-filled behind, and 1.
int32_t CopyNameToHost(std::string_view cameraName, bool unicode, char* buffer, uint32_t size);

}  // namespace vornak
