#pragma once

#include <cstddef>

namespace zorpix {

// One block of memory for a whole plane of an image. Large planes are mapped
// straight from the system, in ordinary pages: measured on our build machine,
// fresh huge pages were several times slower to touch first than 4 KiB ones,
// and first touch is a good part of a large image's time.
// Throws std::bad_alloc when the memory can't be had.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  explicit LargeBuffer(std::size_t bytes);
  ~LargeBuffer();
  LargeBuffer(LargeBuffer&& other) noexcept;
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void release() noexcept;

  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mappedBytes_ = 0;  // 0 when it came from the heap
};

}  // namespace zorpix
