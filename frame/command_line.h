#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frame/pipeline.h"

namespace zorpix {

// The decimal reading of a command-line number: leading white space skipped,
// an optional sign, digits up to the first other character, 0 when there are
// none. Values beyond the 32-bit range saturate at its ends.
std::int32_t parseNumber(const char* text);

// The low 16 bits of a number, read as a signed value, as a colour channel
// keeps it.
std::int16_t lowWord(std::int32_t value);

// What a command line asks of a run: its settings, and the banner lines that
// say so.
struct CommandLine {
  Settings settings;
  std::vector<std::string> banner;
};

// Up to four numbers after the program's path: red, green and blue of the key
// colour, then the refinement mode. Fewer than three leave the defaults and
// give the usage text; anything after the fourth is ignored.
CommandLine readCommandLine(std::string_view program, int argc, const char* const* argv);

// The entry of both programs: reads the command line, prints the banner and
// runs the folder batch with one worker per core. Returns the exit status: 0,
// or 1 when a result could not be stored.
int runTool(int argc, char** argv, const Profile& profile);

}  // namespace zorpix
