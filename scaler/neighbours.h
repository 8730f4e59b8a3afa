#pragma once

// Neighbour addressing and colour comparisons shared by the scaler and the
// restorer. Both grids wrap around at their edges: the row above row 0 is the
// last row, the column before column 0 the last column.

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/cell_grid.h"

namespace zorpix {

// One wrap only: right for every offset no longer than the size, which is all
// either algorithm asks for (the scaler's offsets reach 2 on even sizes of at
// least 2, the restorer's reach 1 on sizes of at least 1).
inline int wrapIndex(int position, int offset, int size) {
  const int i = position + offset;
  if (i < 0) return i + size;
  if (i >= size) return i - size;
  return i;
}

inline int wrapRow(int row, int offset, int height) { return wrapIndex(row, offset, height); }
inline int wrapColumn(int column, int offset, int width) {
  return wrapIndex(column, offset, width);
}

// The cell has exactly the key colour. The comparison is made in 16 bits, so
// a key outside 0..255 never matches a byte channel.
template <typename Channel>
bool isAlpha(const Cell<Channel>& cell, const AlphaColor& key) {
  return std::int16_t(cell.red) == key.red && std::int16_t(cell.green) == key.green &&
         std::int16_t(cell.blue) == key.blue;
}

// Each absolute difference is kept in 16 bits and read as signed, so a
// difference above 32767 counts 65536 less; for byte channels this is the
// plain sum of the differences, at most 765.
template <typename Channel>
std::int32_t colorDistance(const Cell<Channel>& a, const Cell<Channel>& b) {
  auto term = [](std::int32_t x, std::int32_t y) {
    const std::int32_t d = x > y ? x - y : y - x;
    return std::int32_t(static_cast<std::int16_t>(static_cast<std::uint16_t>(d)));
  };
  return term(a.red, b.red) + term(a.green, b.green) + term(a.blue, b.blue);
}

// (x + y) / 2 truncated toward zero; always within the channel's range.
template <typename Channel>
Channel channelAverage(std::int32_t x, std::int32_t y) {
  return Channel((x + y) / 2);
}

template <typename Channel>
Cell<Channel> average(const Cell<Channel>& a, const Cell<Channel>& b) {
  return {channelAverage<Channel>(a.red, b.red), channelAverage<Channel>(a.green, b.green),
          channelAverage<Channel>(a.blue, b.blue)};
}

// Byte channels: the same arithmetic on all three channels at once, in one
// 32-bit word (packChannels, in frame/cell_grid.h). These run once or twice
// for every cell that a stage decides.
template <>
inline std::int32_t colorDistance(const Cell<std::uint8_t>& a, const Cell<std::uint8_t>& b) {
#if defined(__SSE2__)
  // The sum of absolute byte differences is one instruction.
  const __m128i x = _mm_cvtsi32_si128(int(packChannels(a)));
  const __m128i y = _mm_cvtsi32_si128(int(packChannels(b)));
  return _mm_cvtsi128_si32(_mm_sad_epu8(x, y));
#else
  auto term = [](int x, int y) { return x > y ? x - y : y - x; };
  return term(a.red, b.red) + term(a.green, b.green) + term(a.blue, b.blue);
#endif
}

template <>
inline Cell<std::uint8_t> average(const Cell<std::uint8_t>& a, const Cell<std::uint8_t>& b) {
  // floor((x + y) / 2) per byte without carries between bytes: the common
  // bits, plus half of the differing ones.
  const std::uint32_t x = packChannels(a);
  const std::uint32_t y = packChannels(b);
  return unpackChannels((x & y) + (((x ^ y) >> 1) & 0x7f7f7fu));
}

}  // namespace zorpix
