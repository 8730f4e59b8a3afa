// zorpix: doubles every 24-bit BMP of the working folder into "scaled".
#include "frame/command_line.h"
#include "scaler/scale_grid.h"

int main(int argc, char** argv) {
  // Sides up to 16383, so that the doubled counts stay positive in 16 bits.
  const zorpix::Tool scaler{"zorpix", "scaled", true, 16383, zorpix::scaleGrid<std::uint8_t>,
                            zorpix::scaleGrid<std::int16_t>};
  return zorpix::runTool(argc, argv, scaler);
}
