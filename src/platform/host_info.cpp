#include "platform/host_info.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/random.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "base/text.h"

namespace vornak::platform {

namespace {
constexpr std::string_view kHostCorePrefix = "libtarnhold.so.";
constexpr size_t kMaxModulePath = 511;

// Highest version of the host core library in one folder.
bool FindInFolder(const std::string& folder, FileVersion& best) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(dir)) {
        FileVersion version;
        if (ParseHostCoreLibraryName(entry->d_name, version) && (!found || version > best)) {
            best = version;
            found = true;
        }
    }
    closedir(dir);
    return found;
}
}  // namespace

std::string ModuleFolderOf(std::string_view path) {
    if (path.size() > kMaxModulePath) {
        return {};
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return std::string(path);
    }
    return std::string(path.substr(0, slash + 1));
}

std::string GetModuleFolder() {
    char path[kMaxModulePath + 2] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0 || static_cast<size_t>(length) > kMaxModulePath) {
        return {};
    }
    return ModuleFolderOf(std::string_view(path, static_cast<size_t>(length)));
}

namespace {
// Highest version of the host core library beside the executable, on the library path or in the
// system folders, searched in that order.
std::optional<FileVersion> SearchHostCoreVersion(std::string_view libraryPath) {
    std::vector<std::string> folders;
    const std::string exeFolder = GetModuleFolder();
    if (!exeFolder.empty()) {
        folders.push_back(exeFolder);
    }
    for (std::string& folder : SplitList(libraryPath, ':', {})) {
        folders.push_back(std::move(folder));
    }
    for (const char* folder : {"/usr/local/lib", "/usr/lib/x86_64-linux-gnu", "/usr/lib", "/lib"}) {
        folders.emplace_back(folder);
    }
    FileVersion version;
    for (const std::string& folder : folders) {
        if (FindInFolder(folder, version)) {
            return version;
        }
    }
    return std::nullopt;
}
}  // namespace

bool ParseHostCoreLibraryName(std::string_view name, FileVersion& version) {
    if (name.substr(0, kHostCorePrefix.size()) != kHostCorePrefix) {
        return false;
    }
    std::string_view rest = name.substr(kHostCorePrefix.size());
    std::array<uint16_t, 4> parts{};
    for (size_t i = 0; i < parts.size(); ++i) {
        const char* begin = rest.data();
        const char* end = rest.data() + rest.size();
        auto [ptr, ec] = std::from_chars(begin, end, parts[i]);
        if (ec != std::errc() || ptr == begin) {
            return false;
        }
        rest.remove_prefix(static_cast<size_t>(ptr - begin));
        if (i < 3) {
            if (rest.empty() || rest.front() != '.') {
                return false;
            }
            rest.remove_prefix(1);
        }
    }
    if (!rest.empty()) {
        return false;
    }
    version = {parts[0], parts[1], parts[2], parts[3]};
    return true;
}

bool FindHostCoreVersion(FileVersion& version) {
    // Every device open asks, and a miss reads the system library folders whole (about a
    // millisecond). The answer changes only with the library path, so it is kept per path.
    static std::mutex mutex;
    static std::optional<std::string> searchedPath;
    static std::optional<FileVersion> found;
    const char* libraryPath = std::getenv("LD_LIBRARY_PATH");
    const std::string path = libraryPath != nullptr ? libraryPath : "";
    std::lock_guard lock(mutex);
    if (searchedPath != path) {
        found = SearchHostCoreVersion(path);
        searchedPath = path;
    }
    if (found) {
        version = *found;
    }
    return found.has_value();
}

void RandomBytes(void* buffer, size_t size) {
    auto* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(out, size, 0);
        if (got <= 0) {
            // No entropy source: never leave the buffer uninitialised.
            std::random_device device;
            for (; size > 0; --size) {
                *out++ = static_cast<uint8_t>(device());
            }
            return;
        }
        out += got;
        size -= static_cast<size_t>(got);
    }
}

uint64_t TickMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void ReleaseFreeMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

}  // namespace vornak::platform
