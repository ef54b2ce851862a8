// Bytes mapped straight from the system instead of taken from the heap, for a large buffer that
// lives as long as one connection. Freed, it goes back to the system whole. From the heap it
// would not: glibc raises its mapping and trim thresholds past the first such buffer it frees,
// so that every later one comes from a thread's arena, whose free top stays resident, and a
// process whose streams reconnect grows by a buffer per arena.
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
