#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "frame/bmp.h"
#include "frame/cell_grid.h"
#include "frame/platform.h"

namespace zorpix {

// What sets one program apart from the other; everything else of the frame is
// shared.
struct Tool {
  std::string_view name;          // "zorpix", as the console texts name it
  std::string_view outputFolder;  // "scaled"
  bool doublesImage;              // the scaler's doubled grid, or one cell per pixel
  std::int32_t maxSide;           // longest side the grid's 16-bit counts allow
  void (*algorithm)(CellGrid<std::uint8_t>&);
  // For a key colour outside 0..255, whose values need wider channels; null
  // when the tool's results always stay in 0..255 regardless.
  void (*wideAlgorithm)(CellGrid<std::int16_t>&);
};

enum class FileOutcome {
  written,  // the result is in the output folder
  skipped,  // not an image the tool takes; reported, nothing written
  failed,   // a result that couldn't be stored, or no memory for it
};

// Where a file's console lines go: straight to the console, or kept to be
// printed in order later.
using LineSink = std::function<void(std::string_view line)>;

// One console line, written at once so it shows before long work.
void printLine(std::string_view text);

// One file, held whole in memory: decode, run the tool's algorithm, encode
// and store the result under the same name in the output folder. Says the
// file's one console line (and, when storing fails, one more).
FileOutcome processFile(const Tool& tool, const std::string& name, ByteView data,
                        const LineSink& say = printLine);

// Every "*.bmp" of the working folder through processFile. False when any
// result could not be stored.
bool processFolder(const Tool& tool);

// Stores folder/name. produce hands the file's bytes to the sink in order; the
// file appears under its name only once all of them are written.
bool writeFile(const std::string& folder, const std::string& name,
               const std::function<bool(ReplacingFile& sink)>& produce);

}  // namespace zorpix
