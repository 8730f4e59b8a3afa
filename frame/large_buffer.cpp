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

#ifdef ZORPIX_HAVE_MMAP
// Planes of one size are taken and given back again and again when an image
// is worked through in bands. Fresh pages cost a fault each on first touch,
// as much as the work on them, so the last few planes a thread gave back are
// kept for its next request of the same size. Whatever is kept goes back to
// the system when a mapping fails and when the thread ends.
class SparePlanes {
 public:
  ~SparePlanes() { releaseAll(); }

  void* take(std::size_t bytes) {
    for (Plane& p : planes_)
      if (p.data != nullptr && p.size == bytes) return std::exchange(p.data, nullptr);
    return nullptr;
  }

  // False when it is not kept.
  bool keep(void* data, std::size_t bytes) {
    if (bytes > kMostKept) return false;
    Plane* slot = &planes_[0];
    std::size_t kept = 0;
    for (Plane& p : planes_) {
      if (p.data == nullptr) slot = &p;
      else kept += p.size;
    }
    if (slot->data != nullptr || kept + bytes > kMostKept) return false;
    *slot = Plane{data, bytes};
    return true;
  }

  void releaseAll() {
    for (Plane& p : planes_)
      if (p.data != nullptr) munmap(std::exchange(p.data, nullptr), p.size);
  }

 private:
  static constexpr std::size_t kMostKept = std::size_t{64} << 20;
  struct Plane {
    void* data = nullptr;
    std::size_t size = 0;
  };
  Plane planes_[8];
};

thread_local SparePlanes sparePlanes;

void* mapPlane(std::size_t bytes) {
  if (void* spare = sparePlanes.take(bytes)) return spare;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    sparePlanes.releaseAll();
    p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  return p == MAP_FAILED ? nullptr : p;
}
#endif

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
#ifdef ZORPIX_HAVE_MMAP
  if (bytes >= kMapThreshold) {
    void* p = mapPlane(bytes);
    if (p == nullptr) throw std::bad_alloc();
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
    if (!sparePlanes.keep(data_, size_)) munmap(data_, size_);
    data_ = nullptr;
    return;
  }
#endif
  std::free(data_);
  data_ = nullptr;
}

}  // namespace zorpix
