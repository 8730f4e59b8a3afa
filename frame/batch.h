#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "frame/pipeline.h"
#include "frame/platform.h"

namespace zorpix {

enum class FileOutcome {
  written,  // the result is in the output folder
  skipped,  // not an image the program takes; reported, nothing written
  failed,   // a result that couldn't be stored, or no memory for it
};

// Where a file's console lines go: straight to the console, or kept to be
// printed in order later.
using LineSink = std::function<void(std::string_view line)>;

// One console line, written at once so it shows before long work.
void printLine(std::string_view text);

// The console line for a file that gave no result.
std::string describe(FileProblem problem, const Profile& profile, const std::string& name);

// One file, as loadFile gave it, through transformFile into the output
// folder under the same name. Says the file's console line: the result's
// path, or why there is none (when storing fails, after the path).
FileOutcome processFile(const Profile& profile, const std::string& name, const LoadedFile& file,
                        const Settings& settings, Workers& workers,
                        const LineSink& say = printLine);

// Every "*.bmp" of the working folder through processFile. False when any
// result could not be stored.
bool processFolder(const Profile& profile, const Settings& settings, Workers& workers);

// Stores folder/name from bytes that produce hands to its sink in order. The
// folder and the file are made when the first bytes arrive, and announce
// runs then, so that a file producing none leaves no trace; the file takes
// its name only once every byte is written. Returns produce's answer, or
// notStored when the bytes could not be kept.
std::optional<FileProblem> writeFile(
    const std::string& folder, const std::string& name,
    const std::function<std::optional<FileProblem>(const ByteSink& sink)>& produce,
    const std::function<void()>& announce);

}  // namespace zorpix
