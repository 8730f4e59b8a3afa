// dezorpix: smooths every 24-bit BMP of the working folder into "restored".
#include "frame/command_line.h"
#include "restorer/restore_grid.h"

int main(int argc, char** argv) {
  // Every value the smoothing makes is an average of pixels, so byte channels
  // always suffice, whatever the key colour.
  const zorpix::Tool restorer{"dezorpix", "restored", false, 32767, zorpix::restoreGrid, nullptr};
  return zorpix::runTool(argc, argv, restorer);
}
