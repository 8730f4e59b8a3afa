#pragma once

// Neighbour addressing and colour comparisons shared by the scaler and the
// restorer. Both grids wrap around at their edges: the row above row 0 is the
// last row, the column before column 0 the last column.

#include <cstdint>

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

}  // namespace zorpix
