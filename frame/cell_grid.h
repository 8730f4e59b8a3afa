#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "frame/large_buffer.h"
#include "zorpix/zorpix.h"

namespace zorpix {

// True when every channel of the key colour is a byte value, so that a pixel
// can have the key colour at all.
inline bool alphaColorFitsBytes(const AlphaColor& key) {
  auto fits = [](std::int16_t v) { return v >= 0 && v <= 255; };
  return fits(key.red) && fits(key.green) && fits(key.blue);
}

// One grid element's colour. The programs' grids hold bytes, whatever the key
// colour (see fillDoubledGrid); the neighbour functions also take wider
// channels, which their tests use. The red-green-blue order makes a grid row, read
// backwards byte by byte, exactly a bottom-up BMP pixel row (the grid is the
// image mirrored left to right).
template <typename Channel>
struct Cell {
  Channel red;
  Channel green;
  Channel blue;
};

// A byte cell's colour as one 32-bit word, red in the low byte, as the cell
// lies in memory; the top byte is 0.
inline std::uint32_t packChannels(const Cell<std::uint8_t>& c) {
  return std::uint32_t(c.red) | std::uint32_t(c.green) << 8 | std::uint32_t(c.blue) << 16;
}

inline Cell<std::uint8_t> unpackChannels(std::uint32_t w) {
  return {std::uint8_t(w), std::uint8_t(w >> 8), std::uint8_t(w >> 16)};
}

// The key colour packed the same way, for comparing packed cells with it. A
// key outside 0..255 gets a word with its top byte set, which no packed cell
// has.
inline std::uint32_t packedKey(const AlphaColor& key) {
  if (!alphaColorFitsBytes(key)) return ~std::uint32_t(0);
  return packChannels({std::uint8_t(key.red), std::uint8_t(key.green), std::uint8_t(key.blue)});
}

// The per-cell state of the scaler, one byte per cell beside the colours.
enum CellFlag : std::uint8_t {
  kOpen = 1,     // still to be decided; clear = settled
  kUsed = 2,     // its colour went into a neighbour's fill
  kWasOpen = 4,  // open as the first refinement round left it
  kKey = 8,      // the colour is exactly the key colour, kept up to date with it
};

// A height x width table of cells, row 0 the image's top row and column 0 its
// rightmost column. The colours and the optional flag bytes each live in one
// contiguous block, row after row.
template <typename Channel>
class CellGrid {
 public:
  using CellType = Cell<Channel>;

  CellGrid() = default;
  CellGrid(int height, int width, bool withFlags)
      : height_(height),
        width_(width),
        cells_(cellCount(height, width) * sizeof(CellType) + kSpareBytes),
        flags_(withFlags ? cellCount(height, width) : 0) {}

  int height() const { return height_; }
  int width() const { return width_; }

  CellType* row(int r) {
    return reinterpret_cast<CellType*>(cells_.data()) + std::size_t(r) * std::size_t(width_);
  }
  const CellType* row(int r) const {
    return reinterpret_cast<const CellType*>(cells_.data()) + std::size_t(r) * std::size_t(width_);
  }
  CellType& at(int r, int c) { return row(r)[c]; }
  const CellType& at(int r, int c) const { return row(r)[c]; }

  std::uint8_t* flagRow(int r) {
    return reinterpret_cast<std::uint8_t*>(flags_.data()) + std::size_t(r) * std::size_t(width_);
  }
  const std::uint8_t* flagRow(int r) const {
    return reinterpret_cast<const std::uint8_t*>(flags_.data()) +
           std::size_t(r) * std::size_t(width_);
  }
  std::uint8_t& flags(int r, int c) { return flagRow(r)[c]; }
  std::uint8_t flags(int r, int c) const { return flagRow(r)[c]; }

  bool isOpen(int r, int c) const { return (flags(r, c) & kOpen) != 0; }
  bool isUsed(int r, int c) const { return (flags(r, c) & kUsed) != 0; }

 private:
  static std::size_t cellCount(int height, int width) {
    if (height <= 0 || width <= 0) return 0;
    return std::size_t(height) * std::size_t(width);
  }

  // Past the last cell, so the last cell too can be read as one 32-bit word.
  static constexpr std::size_t kSpareBytes = 4;

  int height_ = 0;
  int width_ = 0;
  LargeBuffer cells_;
  LargeBuffer flags_;
};

}  // namespace zorpix
