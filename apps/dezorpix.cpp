// dezorpix: smooths every 24-bit BMP of the working folder into "restored".
#include "frame/command_line.h"
#include "restorer/restore_grid.h"

int main(int argc, char** argv) { return zorpix::runTool(argc, argv, zorpix::kRestorerProfile); }
