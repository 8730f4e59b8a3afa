#pragma once

#include <cstdint>

#include "frame/cell_grid.h"
#include "frame/pipeline.h"
#include "frame/workers.h"

namespace zorpix {

// Smooths a grid of one cell per pixel in place, in eight rounds, leaving the
// key colour out of every average.
void restoreGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, Workers& workers);

// dezorpix: smooths into "restored", sides up to 32767.
extern const Profile kRestorerProfile;

}  // namespace zorpix
