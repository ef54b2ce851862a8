// Bytes mapped straight from the system instead of taken from the heap, for a large buffer that
// lives as long as one connection: resident only where written, and returned whole when freed.
// From the heap it would be resident whole once zero-filled, and freeing it would make glibc
// raise its mapping threshold, so that later such buffers come from the threads' arenas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornak::platform {

class PageBuffer {
  public:
    PageBuffer() = default;
    // Zero-filled; empty when the system refuses the mapping.
    explicit PageBuffer(size_t size);
    ~PageBuffer();
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<uint8_t> span() { return {data_, size_}; }

  private:
    void Release();

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace vornak::platform
