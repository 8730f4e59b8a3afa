#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

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

}  // namespace zorpix
