#include "host_objects.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quillon::host {

void HostLogger::Log(const vornak::CDebugInfoIf* info) {
    if (info == nullptr) {
        return;
    }
    const char* text = info->GetText();
    LogLine line{info->GetLevel(), text != nullptr ? text : ""};
    std::lock_guard lock(mutex_);
    if (echo_) {
        std::fprintf(stderr, "[%3u] %s\n", line.level, line.text.c_str());
    }
    if (observer_) {
        observer_(line);
        return;
    }
    lines_.push_back(std::move(line));
}

void HostLogger::ObserveInstead(std::function<void(const LogLine&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

std::vector<LogLine> HostLogger::Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

size_t HostLogger::Count(const std::string& part) {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const LogLine& line : lines_) {
        count += line.text.find(part) != std::string::npos ? 1 : 0;
    }
    return count;
}

void HostLogger::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

HostVideoFrame::HostVideoFrame(uint32_t fourcc, uint32_t size, std::string stream)
    : buffer_(std::make_unique_for_overwrite<uint8_t[]>(size)),
      capacity_(size),
      size_(size),
      fourcc_(fourcc),
      stream_(std::move(stream)) {}

void HostVideoFrame::Reuse(uint32_t fourcc, uint32_t size, const char* stream) {
    size_ = size;
    dataSize_ = 0;
    fourcc_ = fourcc;
    width_ = height_ = resolutionClass_ = 0;
    timestamp_ = {};
    finished_ = false;
    stream_.assign(stream != nullptr ? stream : "");  // keeps its capacity: no allocation
}

void HostVideoFrame::SetTimestamp(const SYSTEMTIME* time) {
    if (time != nullptr) {
        timestamp_ = *time;
    }
}

void HostVideoFrame::GetTimestamp(SYSTEMTIME* time) const {
    if (time != nullptr) {
        *time = timestamp_;
    }
}

HostAudioFrame::HostAudioFrame(uint32_t codec, uint32_t size, uint32_t channel)
    : codec_(codec), capacity_(size), channel_(channel) {}

bool HostAudioFrame::SetData(const uint8_t* data, uint32_t length) {
    if (length > capacity_ || (data == nullptr && length > 0)) {
        return false;
    }
    data_.assign(data, data + length);
    return true;
}

void HostAudioFrame::SetFormat(uint32_t sampleRate, uint8_t low, uint8_t high) {
    sampleRate_ = sampleRate;
    formatWord_ = static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 8);
}

IVideoFrame* HostFrameAllocator::CreateFrame(uint32_t fourcc, uint32_t size, const char* stream) {
    if (size > maxFrameSize_) {
        return nullptr;
    }
    ++outstanding_;
    ++created_;
    {
        std::lock_guard lock(poolMutex_);
        // The smallest kept frame that holds the picture.
        auto best = pool_.end();
        for (auto it = pool_.begin(); it != pool_.end(); ++it) {
            if ((*it)->Capacity() >= size &&
                (best == pool_.end() || (*it)->Capacity() < (*best)->Capacity())) {
                best = it;
            }
        }
        if (best != pool_.end()) {
            std::unique_ptr<HostVideoFrame> frame = std::move(*best);
            *best = std::move(pool_.back());
            pool_.pop_back();
            frame->Reuse(fourcc, size, stream);
            return frame.release();
        }
    }
    return new HostVideoFrame(fourcc, size, stream != nullptr ? stream : "");
}

void HostFrameAllocator::KeepReleasedFrames(size_t frames) {
    std::lock_guard lock(poolMutex_);
    poolLimit_ = frames;
    if (pool_.size() > poolLimit_) {
        pool_.resize(poolLimit_);
    }
}

IAudioFrame* HostFrameAllocator::CreateAudioFrame(uint32_t codec, uint32_t size, const char*) {
    ++outstanding_;
    ++created_;
    return new HostAudioFrame(codec, size);
}

void HostFrameAllocator::ReleaseAudioFrame(IAudioFrame* frame) {
    if (frame != nullptr) {
        --outstanding_;
        delete frame;
    }
}

void HostFrameAllocator::ReleaseFrame(IVideoFrame* frame) {
    if (frame == nullptr) {
        return;
    }
    --outstanding_;
    // Every frame given out is one of ours; a big one is not worth keeping.
    constexpr uint32_t kMaxKeptBytes = 4u << 20;
    std::unique_ptr<IVideoFrame> owned(frame);
    std::lock_guard lock(poolMutex_);
    if (pool_.size() < poolLimit_) {
        auto* own = static_cast<HostVideoFrame*>(frame);
        if (own->Capacity() <= kMaxKeptBytes) {
            owned.release();
            pool_.emplace_back(own);
        }
    }
}

const char* HostDeviceContext::GetParameter(uint32_t id) {
    const auto it = settings_.parameters.find(id);
    if (it != settings_.parameters.end()) {
        return it->second.c_str();
    }
    if (!settings_.parameters.empty() && id < settings_.parameters.rbegin()->first) {
        static const char kNone[] = "(none)";
        return kNone;
    }
    return nullptr;
}

bool LoadParametersFile(const std::string& path, std::map<uint32_t, std::string>& parameters,
                        std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read parameters file " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        // "ID=text" or "ID<TAB>name<TAB>text" (the form --query writes).
        size_t split = line.find('=');
        std::string value;
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && (split == std::string::npos || tab < split)) {
            const size_t second = line.find('\t', tab + 1);
            split = tab;
            value = second == std::string::npos ? line.substr(tab + 1) : line.substr(second + 1);
        } else if (split != std::string::npos) {
            value = line.substr(split + 1);
        }
        uint32_t id = 0;
        if (split == std::string::npos ||
            std::sscanf(line.substr(0, split).c_str(), "%u", &id) != 1 || id == 0) {
            error = path + ":" + std::to_string(number) + ": expected ID=text";
            return false;
        }
        parameters[id] = value;
    }
    return true;
}

bool SaveParametersFile(const std::string& path, const std::map<uint32_t, std::string>& parameters,
                        std::string& error) {
    std::ofstream out(path);
    if (!out) {
        error = "cannot write parameters file " + path;
        return false;
    }
    out << "# Device parameters: ID=text, handed to the driver's Open.\n";
    for (const auto& [id, text] : parameters) {
        out << id << '=' << text << '\n';
    }
    return static_cast<bool>(out);
}

DriverLibrary::~DriverLibrary() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

bool DriverLibrary::Load(const std::string& path, std::string& error) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    auto find = [&](const char* name, auto& target) {
        target = reinterpret_cast<std::remove_reference_t<decltype(target)>>(dlsym(handle_, name));
        if (target == nullptr) {
            error += std::string(error.empty() ? "" : ", ") + name;
        }
    };
    const char* createNames[] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx3",
                                 "CreateIPCaptureEx4", "CreateIPCaptureEx5"};
    const char* deleteNames[] = {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx3",
                                 "DeleteIPCaptureEx4", "DeleteIPCaptureEx5"};
    for (int i = 0; i < 5; ++i) {
        find(createNames[i], create[i]);
        find(deleteNames[i], destroy[i]);
    }
    find("DeleteCapabilityQueryModule", deleteQueryModule);
    find("CreateCapabilityQueryModule", createQueryModule);
    find("InitCapabilityQuery", initQuery);
    find("StartCapabilityQuery", startQuery);
    find("TerminateCapabilityQuery", terminateQuery);
    find("UninitCapabilityQuery", uninitQuery);
    if (!error.empty()) {
        error = path + " lacks the exports: " + error;
        return false;
    }
    return true;
}

std::string ExecutableFolder() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return "./";
    }
    std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/') + 1);
}

}  // namespace quillon::host
