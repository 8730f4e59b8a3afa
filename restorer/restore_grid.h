#pragma once

#include <cstdint>

#include "frame/cell_grid.h"

namespace zorpix {

// Smooths a grid of one cell per pixel in place, in eight rounds.
void restoreGrid(CellGrid<std::uint8_t>& grid);

}  // namespace zorpix
