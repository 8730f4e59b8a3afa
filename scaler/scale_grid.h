#pragma once

#include <cstdint>

#include "frame/cell_grid.h"

namespace zorpix {

// Decides every open cell of the scaler's doubled grid in place: the alpha
// pass, the refinement rounds that refineMode selects, then the gap closing
// pass. The grid comes as the frame builds it: source pixels settled at even
// rows and odd columns, every other cell open in the key colour.
template <typename Channel>
void scaleGrid(CellGrid<Channel>& grid);

// The stages, in the order scaleGrid runs them; exposed for tests. Each needs
// every key-coloured cell marked kKey, as the frame builds the grid and as
// the stages keep it.

// Sets the kKey marks of a grid built by hand.
template <typename Channel>
void markKeyCells(CellGrid<Channel>& grid, const AlphaColor& key);

// Settles, as key colour, every open cell that lies between two settled
// key-coloured cells. In place, in raster order.
template <typename Channel>
void alphaPass(CellGrid<Channel>& grid, const AlphaColor& key);

// The two sweeps of a refinement round, in place and in raster order.
template <typename Channel>
void diagonalSweep(CellGrid<Channel>& grid, const AlphaColor& key);
template <typename Channel>
void orthogonalSweep(CellGrid<Channel>& grid, const AlphaColor& key);

// Round 1, and for a mode of 1 or less the re-seed step and round 2.
template <typename Channel>
void refinementRounds(CellGrid<Channel>& grid, const AlphaColor& key, std::int32_t mode);

// Closes what the rounds left open from settled cells two steps away.
template <typename Channel>
void closeGaps(CellGrid<Channel>& grid, const AlphaColor& key, std::int32_t mode);

}  // namespace zorpix
