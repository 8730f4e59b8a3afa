#include "scaler/scale_grid.h"

namespace zorpix {

template <typename Channel>
void scaleGrid(CellGrid<Channel>&) {}

template void scaleGrid(CellGrid<std::uint8_t>&);
template void scaleGrid(CellGrid<std::int16_t>&);

}  // namespace zorpix
