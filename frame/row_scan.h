#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorpix {

// The first of bytes[c], bytes[c+1], ..., bytes[end-1] that has a bit of mask
// set, or end. Rows of flags or marks are mostly zero, so they are looked at
// eight bytes at a time.
inline int firstMarked(const std::uint8_t* bytes, int c, int end, std::uint8_t mask = 0xff) {
  const std::uint64_t wordMask = 0x0101010101010101ull * mask;
  for (; c + 8 <= end; c += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + c, sizeof word);
    word &= wordMask;
    if (word == 0) continue;
    // The byte at the lowest address is the least significant one where the
    // machine is little-endian, the most significant one otherwise.
    const int skipped = std::endian::native == std::endian::little ? std::countr_zero(word)
                                                                    : std::countl_zero(word);
    return c + skipped / 8;
  }
  while (c < end && (bytes[c] & mask) == 0) ++c;
  return c;
}

// Whether any of bytes[0], ..., bytes[end-1] has a bit of mask set. A row
// without one is read to its end, so where SSE2 is at hand 64 bytes a test.
inline bool anyMarked(const std::uint8_t* bytes, int end, std::uint8_t mask) {
  int c = 0;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(mask));
  auto marked = [&](int at) {
    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at)), wanted);
  };
  for (; c + 64 <= end; c += 64) {
    const __m128i any = _mm_or_si128(_mm_or_si128(marked(c), marked(c + 16)),
                                     _mm_or_si128(marked(c + 32), marked(c + 48)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) != 0xffff) return true;
  }
#endif
  return firstMarked(bytes, c, end, mask) < end;
}

}  // namespace zorpix
