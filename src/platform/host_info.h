// What the driver learns about the process that loaded it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vornak::platform {

struct FileVersion {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;
    auto operator<=>(const FileVersion&) const = default;
};

// Folder of the host executable with its trailing "/"; the whole path when it has no "/";
// empty when the path is longer than 511 characters or cannot be read.
std::string GetModuleFolder();
std::string ModuleFolderOf(std::string_view path);

// Version of the host core library, read from the name of a file
// "libtarnhold.so.MAJOR.MINOR.BUILD.REVISION" beside the host executable or on the library path.
// False when there is none.
bool FindHostCoreVersion(FileVersion& version);
// Parses a file name of that form; false for any other name.
bool ParseHostCoreLibraryName(std::string_view fileName, FileVersion& version);

// Bytes from the system's random source.
void RandomBytes(void* buffer, size_t size);
// Milliseconds of a monotonic clock: what every duration is measured with, so that a step of the
// wall clock (by hand or by time synchronisation) neither freezes nor jumps an elapsed time.
uint64_t TickMs();
// Gives memory the allocator holds free back to the system. Each connection's threads allocate
// from arenas of their own, which keep what their threads freed: without this a process whose
// streams reconnect grows until every arena has reached its own high-water mark.
void ReleaseFreeMemory();

}  // namespace vornak::platform
