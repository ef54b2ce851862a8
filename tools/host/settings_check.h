// quillon-host --check-settings: what the driver makes of a settings file, with the driver's own
// readers, and what in the file they ignore.
#pragma once

#include <cstdio>
#include <string>

namespace quillon::host {

// Where the driver loaded by this program looks for its settings file.
std::string DriverSettingsPath();

// Prints the effective settings per section, input and stream kind, then every finding as
// "FILE:LINE: where: what". 0 when the file loads and nothing was found, 1 otherwise.
int CheckSettingsFile(const std::string& path, FILE* out);

}  // namespace quillon::host
