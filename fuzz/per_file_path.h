#pragma once

// The whole path one file takes through either program, from its bytes to the
// bytes of its result, without the folder and the console (transformFile):
// what the fuzzers drive and what the regression test replays, with checks of
// what every result must be.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zorpix/zorpix.h"

namespace zorpix::fuzzing {

enum class Program { zorpix, dezorpix };

// The first kSettingsBytes of an input choose the run's settings; the rest is
// the file. Settings the programs take from the command line are fuzzed with
// the file, so the 16-bit channel path and every refinement mode are reached.
constexpr std::size_t kSettingsBytes = 8;

struct RunSettings {
  Settings settings;
  // Workers the pipeline shares its rows among, 1 to 4; more than one must
  // give the bytes that one gives.
  int workers = 1;
};

// byte 0: refineMode, as a signed byte.
// byte 1: bits 0-1 the key colour (0 cyan, 1 purple, 2 bytes 2-4 as red, green,
//         blue, 3 bytes 2-7 as three little-endian signed 16-bit values);
//         bits 2-3 the workers less one.
RunSettings settingsFrom(const std::uint8_t* data, std::size_t size);

// The settings bytes that settingsFrom reads back as the given values, for
// inputs the project makes itself.
std::vector<std::uint8_t> settingsBytes(const RunSettings& settings);

// Runs one input through the program's path. Returns what went wrong (an
// output that isn't the BMP it should be, byte and 16-bit channels giving
// different results, a source pixel that moved), or an empty text. Files the
// decoder turns away are fine: that is the path's answer for them.
std::string checkInput(Program program, const std::uint8_t* data, std::size_t size);

struct NamedInput {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

// Valid and invalid files of many shapes, each with its settings prefix: the
// fuzzers' seeds, and inputs the regression test replays with the findings.
std::vector<NamedInput> seedInputs(Program program);

}  // namespace zorpix::fuzzing
