#include "restorer/restore_grid.h"

namespace zorpix {

void restoreGrid(CellGrid<std::uint8_t>&) {}

}  // namespace zorpix
