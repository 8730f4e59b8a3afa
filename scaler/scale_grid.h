#pragma once

#include <cstdint>

#include "frame/cell_grid.h"

namespace zorpix {

// Decides every open cell of the scaler's doubled grid, in place.
template <typename Channel>
void scaleGrid(CellGrid<Channel>& grid);

}  // namespace zorpix
