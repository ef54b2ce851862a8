#include "platform/page_buffer.h"

#include <sys/mman.h>

#include <utility>

namespace vornak::platform {

PageBuffer::PageBuffer(size_t size) {
    if (size == 0) {
        return;
    }
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped != MAP_FAILED) {
        data_ = static_cast<uint8_t*>(mapped);
        size_ = size;
    }
}

PageBuffer::~PageBuffer() {
    Release();
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void PageBuffer::Release() {
    if (data_ != nullptr) {
        munmap(data_, size_);
        data_ = nullptr;
        size_ = 0;
    }
}

}  // namespace vornak::platform
