#include "frame/batch.h"

#include <cstdio>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#include "frame/platform.h"

namespace zorpix {
namespace {

std::string withName(std::string_view text, const std::string& name) {
  return std::string(text) + printableName(name);
}

}  // namespace

void printLine(std::string_view text) { writeConsoleLine(text); }

std::string describe(FileProblem problem, const Profile& profile, const std::string& name) {
  switch (problem) {
    case FileProblem::notBitmap24:
      return withName("Not a 24 bit BitMap file with name ", name);
    case FileProblem::badDataOffset:
      return withName("Bad pixel data offset in BitMap file with name ", name);
    case FileProblem::truncated:
      return withName("Truncated BitMap file with name ", name);
    case FileProblem::sizeOutOfRange:
      return "Image size out of range (" + std::string(profile.name) + " takes at most " +
             std::to_string(profile.maxSide) + " x " + std::to_string(profile.maxSide) +
             " pixels) with name " + printableName(name);
    case FileProblem::noMemory:
      return withName("Not enough memory for file with name ", name);
    case FileProblem::notStored:
      return "Could not write " + std::string(profile.outputFolder) + kPathSeparator +
             printableName(name);
  }
  return {};
}

std::optional<FileProblem> writeFile(
    const std::string& folder, const std::string& name,
    const std::function<std::optional<FileProblem>(const ByteSink& sink)>& produce,
    const std::function<void()>& announce) {
  std::optional<ReplacingFile> file;
  auto problem = produce([&](const std::uint8_t* bytes, std::size_t count) {
    if (!file) {
      // The path line comes with the first byte, which the pipeline sends
      // only once its grids are had and every worker has done a band, so a
      // file that runs out of memory gets "Not enough memory" without it
      // (all but a later band's small scratch is had by then).
      makeFolder(folder);
      file.emplace(folder, name);
      // The header comes first and states the whole file's size.
      if (const auto size = ByteView(bytes, count).le32(2)) file->reserve(*size);
      announce();
    }
    return file->write(bytes, count);
  });
  if (problem) return problem;  // an open file is discarded with it
  if (file && !file->commit()) return FileProblem::notStored;
  return std::nullopt;
}

FileOutcome processFile(const Profile& profile, const std::string& name, const LoadedFile& file,
                        const Settings& settings, Workers& workers, const LineSink& say) {
  const std::string folder(profile.outputFolder);
  const auto problem = writeFile(
      folder, name,
      [&](const ByteSink& sink) {
        if (!file.rest) return transformFile(profile, file.held(), settings, workers, sink);
        return transformFile(profile, file.held(), file.fileSize, *file.rest, settings, workers,
                             sink);
      },
      [&] { say(folder + kPathSeparator + printableName(name)); });
  if (!problem) return FileOutcome::written;
  say(describe(*problem, profile, name));
  const bool stored = *problem != FileProblem::noMemory && *problem != FileProblem::notStored;
  return stored ? FileOutcome::skipped : FileOutcome::failed;
}

namespace {

// Files up to this size (about a million pixels) are done several at once,
// one per worker: a small image is mostly done as one piece, in order, but
// images don't depend on one another. Larger ones run alone, so that memory
// stays that of one image, and share their bands out among the workers.
constexpr std::size_t kSmallFileBytes = std::size_t{3} << 20;

// A file being done by the pool. Its lines are kept until every file before
// it has printed its own, so the transcript reads as if the files were done
// one after the other.
struct PendingFile {
  std::string name;
  std::shared_ptr<LoadedFile> file;
  std::vector<std::string> lines;
  FileOutcome outcome = FileOutcome::skipped;
  Workers::Task task;
};

}  // namespace

bool processFolder(const Profile& profile, const Settings& settings, Workers& workers) {
  bool allStored = true;
  auto noMemory = [&](const std::string& name) {
    printLine(describe(FileProblem::noMemory, profile, name));
    allStored = false;
  };
  std::deque<std::unique_ptr<PendingFile>> pending;
  auto finishOldest = [&] {
    std::unique_ptr<PendingFile> oldest = std::move(pending.front());
    pending.pop_front();
    bool failed = true;
    try {
      workers.wait(oldest->task);
      failed = oldest->outcome == FileOutcome::failed;
    } catch (const std::bad_alloc&) {
    }
    if (failed) {
      // Done beside other files, it may have failed only for what they held
      // meanwhile: the disk space of their results, or memory. Now that every
      // file before it is done, as if the files were done one after the
      // other, it gets one more try, whose lines are the ones printed.
      oldest->lines.clear();
      try {
        oldest->outcome =
            processFile(profile, oldest->name, *oldest->file, settings, workers,
                        [&oldest](std::string_view line) { oldest->lines.emplace_back(line); });
      } catch (const std::bad_alloc&) {
        oldest->lines = {describe(FileProblem::noMemory, profile, oldest->name)};
        oldest->outcome = FileOutcome::failed;
      }
    }
    oldest->file.reset();
    for (const std::string& line : oldest->lines) printLine(line);
    if (oldest->outcome == FileOutcome::failed) allStored = false;
  };
  auto finishAll = [&] {
    while (!pending.empty()) finishOldest();
  };

  const auto names = listBitmaps();
  if (!names) {
    printLine("Cannot read folder .");
    return false;
  }
  for (const std::string& name : *names) {
    try {
      auto file = std::make_shared<LoadedFile>();
      if (!loadFile(name, kSmallFileBytes, *file)) {
        finishAll();
        printLine(withName("Cannot read file with name ", name));
        continue;
      }
      if (workers.count() > 1 && file->fileSize <= kSmallFileBytes) {
        while (int(pending.size()) >= workers.count()) finishOldest();
        auto job = std::make_unique<PendingFile>();
        PendingFile* slot = job.get();
        slot->name = name;
        slot->file = file;
        pending.push_back(std::move(job));
        // The slot holds the file until its turn to print, after the task.
        slot->task = workers.start([&profile, &settings, &workers, slot] {
          slot->outcome =
              processFile(profile, slot->name, *slot->file, settings, workers,
                          [slot](std::string_view line) { slot->lines.emplace_back(line); });
        });
        continue;
      }
      finishAll();
      if (processFile(profile, name, *file, settings, workers) == FileOutcome::failed)
        allStored = false;
    } catch (const std::bad_alloc&) {
      finishAll();
      noMemory(name);
    }
  }
  finishAll();
  return allStored;
}

}  // namespace zorpix
