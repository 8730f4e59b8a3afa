#include "frame/large_buffer.h"

#include <cstdlib>
#include <new>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define ZORPIX_HAVE_MMAP 1
#endif

namespace zorpix {
namespace {

// Below this size the ordinary heap is as fast and wastes nothing.
constexpr std::size_t kMapThreshold = std::size_t{1} << 21;

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
#ifdef ZORPIX_HAVE_MMAP
  if (bytes >= kMapThreshold) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<std::byte*>(p);
    mapped_ = true;
    return;
  }
#endif
  data_ = static_cast<std::byte*>(std::malloc(bytes));
  if (data_ == nullptr) throw std::bad_alloc();
}

LargeBuffer::~LargeBuffer() { release(); }

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

void LargeBuffer::release() noexcept {
  if (data_ == nullptr) return;
#ifdef ZORPIX_HAVE_MMAP
  if (mapped_) {
    munmap(data_, size_);
    data_ = nullptr;
    return;
  }
#endif
  std::free(data_);
  data_ = nullptr;
}

}  // namespace zorpix
