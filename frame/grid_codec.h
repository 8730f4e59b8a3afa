#pragma once

#include <cstdint>

#include "frame/bmp.h"
#include "frame/cell_grid.h"

namespace zorpix {

// The pixel rows of a grid's source rows, where they lie in memory: blue,
// green, red per pixel from the image's left edge. A grid that holds a band
// of the image near its top or bottom edge takes rows from round the edge
// too, so its rows come in two runs: those of the second follow the first's
// firstCount. The rows of a run lie step bytes apart, which is negative for
// the rows of a bottom-up file. By default, one run.
struct SourceRows {
  struct Run {
    const std::uint8_t* first = nullptr;
    std::int64_t step = 0;
  };
  Run firstRun;
  std::int32_t firstCount = INT32_MAX;
  Run secondRun;

  const std::uint8_t* operator()(std::int32_t i) const {
    return i < firstCount ? firstRun.first + i * firstRun.step
                          : secondRun.first + (i - firstCount) * secondRun.step;
  }
};

// The rows of an image held in memory, from its top.
SourceRows wholeImageRows(const BmpImage& image);

// The scaler's grid: twice the image's rows and columns. Each source pixel
// takes the cell at an even row and odd column, settled; every other cell
// starts open in the key colour. Fills the grid rows made from the grid's
// source rows yFirst to yLast - 1, whose pixels rows gives.
//
// Byte cells serve any key colour. A key outside 0..255 can match no pixel,
// so no cell ever becomes key-coloured, and an open cell's own colour is read
// only when blending beside a key-coloured pair, which then never happens:
// the open cells can hold the key's low bytes, which is also what the encoder
// writes for the key. Only a pixel that equals those low bytes must not be
// taken for the key.
void fillDoubledGrid(const SourceRows& rows, const AlphaColor& key, CellGrid<std::uint8_t>& grid,
                     std::int32_t yFirst, std::int32_t yLast);

// The restorer's grid: one cell per pixel. Fills grid rows yFirst to
// yLast - 1, whose pixels rows gives.
void fillPlainGrid(const SourceRows& rows, CellGrid<std::uint8_t>& grid, std::int32_t yFirst,
                   std::int32_t yLast);

// Writes count BMP pixel rows into dest, each padded to four bytes: grid row
// bottomRow first, then the rows above it, as a BMP stores them.
void encodeRows(const CellGrid<std::uint8_t>& grid, std::int32_t bottomRow, std::int32_t count,
                std::uint8_t* dest);

}  // namespace zorpix
