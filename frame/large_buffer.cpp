#include "frame/large_buffer.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define ZORPIX_HAVE_MMAP 1
#endif

namespace zorpix {
namespace {

// Below this size the ordinary heap is as fast and wastes little. Above it,
// the heap would map and unmap (or trim) the memory of every sprite of a
// folder afresh, and pay a fault per page each time.
constexpr std::size_t kMapThreshold = std::size_t{1} << 16;
constexpr std::size_t kRoundedUpTo = std::size_t{1} << 23;

#ifdef ZORPIX_HAVE_MMAP
struct Plane {
  void* data = nullptr;
  std::size_t size = 0;  // as mapped
};

// Planes of one size are taken and given back again and again when an image
// is worked through in bands, and planes of like sizes when a folder of
// sprites is. Fresh pages cost a fault each on first touch, as much as the
// work on them, so the last few planes a thread gave back are kept for its
// next requests: the smallest one that holds a request and is at most twice
// its size serves it. Whatever is kept goes back to the system when a mapping
// fails and when the thread ends; the longest kept goes first when there is
// no room for another.
class SparePlanes {
 public:
  ~SparePlanes() { releaseAll(); }

  Plane take(std::size_t bytes) {
    Kept* best = nullptr;
    for (Kept& k : kept_)
      if (k.plane.data != nullptr && k.plane.size >= bytes && k.plane.size / 2 <= bytes &&
          (best == nullptr || k.plane.size < best->plane.size))
        best = &k;
    return best == nullptr ? Plane{} : std::exchange(best->plane, Plane{});
  }

  // False when it is not kept.
  bool keep(Plane plane) {
    if (plane.size > kMostKept) return false;
    for (;;) {
      Kept* free = nullptr;
      Kept* oldest = nullptr;
      std::size_t total = 0;
      for (Kept& k : kept_) {
        if (k.plane.data == nullptr) {
          free = &k;
        } else {
          total += k.plane.size;
          if (oldest == nullptr || k.since < oldest->since) oldest = &k;
        }
      }
      if (free != nullptr && total + plane.size <= kMostKept) {
        *free = Kept{plane, ++clock_};
        return true;
      }
      munmap(oldest->plane.data, oldest->plane.size);
      oldest->plane = Plane{};
    }
  }

  void releaseAll() {
    for (Kept& k : kept_) {
      const Plane plane = std::exchange(k.plane, Plane{});
      if (plane.data != nullptr) munmap(plane.data, plane.size);
    }
  }

 private:
  static constexpr std::size_t kMostKept = std::size_t{64} << 20;
  struct Kept {
    Plane plane;
    std::uint64_t since = 0;
  };
  Kept kept_[8];
  std::uint64_t clock_ = 0;
};

thread_local SparePlanes sparePlanes;

// Every page of a plane is written before long, so where the system can, it
// puts them all in place with the mapping: one call instead of a fault per
// page, which on a virtual machine costs several microseconds each. Reading
// a 4096 x 4096 sheet into a fresh plane took a third of zorpix's system
// time in faults.
#ifdef MAP_POPULATE
constexpr int kPlaneMapping = MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE;
#else
constexpr int kPlaneMapping = MAP_PRIVATE | MAP_ANONYMOUS;
#endif

// The planes of sprites are rounded up by a sixteenth to an eighth of their
// size, so that a plane given back can serve the next sprite's also when that
// one is a little larger. Large planes are mapped as asked: every page of a
// plane is in memory from the start.
std::size_t planeSize(std::size_t bytes) {
  if (bytes > kRoundedUpTo) return bytes;
  const std::size_t step =
      std::max<std::size_t>(std::size_t{1} << std::max(0, int(std::bit_width(bytes)) - 4), 4096);
  return bytes + (step - bytes % step) % step;
}

Plane mapPlane(std::size_t request) {
  if (Plane spare = sparePlanes.take(request); spare.data != nullptr) return spare;
  const std::size_t bytes = planeSize(request);
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, kPlaneMapping, -1, 0);
  if (p == MAP_FAILED) {
    sparePlanes.releaseAll();
    p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, kPlaneMapping, -1, 0);
  }
  return p == MAP_FAILED ? Plane{} : Plane{p, bytes};
}
#endif

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
#ifdef ZORPIX_HAVE_MMAP
  if (bytes >= kMapThreshold) {
    const Plane plane = mapPlane(bytes);
    if (plane.data == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::byte*>(plane.data);
    mappedBytes_ = plane.size;
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
      mappedBytes_(std::exchange(other.mappedBytes_, 0)) {}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mappedBytes_ = std::exchange(other.mappedBytes_, 0);
  }
  return *this;
}

void LargeBuffer::release() noexcept {
  if (data_ == nullptr) return;
#ifdef ZORPIX_HAVE_MMAP
  if (mappedBytes_ != 0) {
    const Plane plane{data_, std::exchange(mappedBytes_, 0)};
    if (!sparePlanes.keep(plane)) munmap(plane.data, plane.size);
    data_ = nullptr;
    return;
  }
#endif
  std::free(data_);
  data_ = nullptr;
}

}  // namespace zorpix
