#pragma once

#include <cstdint>

#include "frame/bmp.h"
#include "frame/cell_grid.h"

namespace zorpix {

// The scaler's grid: twice the image's rows and columns. Each source pixel
// takes the cell at an even row and odd column, settled; every other cell
// starts open in the key colour. Fills the grid rows made from the source rows
// yFirst to yLast - 1.
template <typename Channel>
void fillDoubledGrid(const BmpImage& image, const Cell<Channel>& key, CellGrid<Channel>& grid,
                     std::int32_t yFirst, std::int32_t yLast);

// The restorer's grid: one cell per pixel, source rows yFirst to yLast - 1.
template <typename Channel>
void fillPlainGrid(const BmpImage& image, CellGrid<Channel>& grid, std::int32_t yFirst,
                   std::int32_t yLast);

// Writes count BMP pixel rows, bottom-up from stored row first, each padded to
// four bytes, into dest. Channels outside 0..255 are written as their low byte.
template <typename Channel>
void encodeRows(const CellGrid<Channel>& grid, std::int32_t first, std::int32_t count,
                std::uint8_t* dest);

}  // namespace zorpix
