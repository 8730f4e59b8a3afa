// zorpix: doubles every 24-bit BMP of the working folder into "scaled".
#include "frame/command_line.h"
#include "scaler/scale_grid.h"

int main(int argc, char** argv) { return zorpix::runTool(argc, argv, zorpix::kScalerProfile); }
