#pragma once

#include <cstdint>

#include "frame/batch.h"

namespace zorpix {

// The decimal reading of a command-line number: leading white space skipped,
// an optional sign, digits up to the first other character, 0 when there are
// none. Values beyond the 32-bit range saturate at its ends.
std::int32_t parseNumber(const char* text);

// The low 16 bits of a number, read as a signed value, as a colour channel
// keeps it.
std::int16_t lowWord(std::int32_t value);

// The entry of both programs: sets alphaColor and refineMode from up to four
// numbers, prints the banner and the confirmation or usage text, then runs the
// folder batch. Returns the exit status: 0, or 1 when a result could not be
// stored.
int runTool(int argc, char** argv, const Tool& tool);

}  // namespace zorpix
