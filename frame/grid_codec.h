#pragma once

#include <cstdint>

#include "frame/bmp.h"
#include "frame/cell_grid.h"

namespace zorpix {

// The scaler's grid: twice the image's rows and columns. Each source pixel
// takes the cell at an even row and odd column, settled; every other cell
// starts open in the key colour. Fills the grid rows made from the source rows
// yFirst to yLast - 1.
//
// Byte cells serve any key colour. A key outside 0..255 can match no pixel,
// so no cell ever becomes key-coloured, and an open cell's own colour is read
// only when blending beside a key-coloured pair, which then never happens:
// the open cells can hold the key's low bytes, which is also what the encoder
// writes for the key. Only a pixel that equals those low bytes must not be
// taken for the key.
void fillDoubledGrid(const BmpImage& image, const AlphaColor& key, CellGrid<std::uint8_t>& grid,
                     std::int32_t yFirst, std::int32_t yLast);

// The restorer's grid: one cell per pixel. Fills grid rows yFirst to
// yLast - 1, grid row r from image row firstImageRow + r, counted around the
// image's bottom edge back to its top, so that a grid can hold a band of the
// image with the rows around it.
void fillPlainGrid(const BmpImage& image, CellGrid<std::uint8_t>& grid,
                   std::int32_t firstImageRow, std::int32_t yFirst, std::int32_t yLast);

// Writes count BMP pixel rows into dest, each padded to four bytes: grid row
// bottomRow first, then the rows above it, as a BMP stores them.
void encodeRows(const CellGrid<std::uint8_t>& grid, std::int32_t bottomRow, std::int32_t count,
                std::uint8_t* dest);

}  // namespace zorpix
