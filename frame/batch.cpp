#include "frame/batch.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "frame/grid_codec.h"
#include "frame/parallel.h"

namespace zorpix {
namespace {

// Enough rows per write to keep the system calls few, few enough to stay in cache.
constexpr std::uint64_t kStagingBytes = std::uint64_t{1} << 22;

std::string withName(std::string_view text, const std::string& name) {
  return std::string(text) + printableName(name);
}

std::string describe(BmpError error, const Tool& tool, const std::string& name) {
  switch (error) {
    case BmpError::notBitmap24:
      return withName("Not a 24 bit BitMap file with name ", name);
    case BmpError::badDataOffset:
      return withName("Bad pixel data offset in BitMap file with name ", name);
    case BmpError::truncated:
      return withName("Truncated BitMap file with name ", name);
    case BmpError::sizeOutOfRange:
      return "Image size out of range (" + std::string(tool.name) + " takes at most " +
             std::to_string(tool.maxSide) + " x " + std::to_string(tool.maxSide) +
             " pixels) with name " + printableName(name);
  }
  return {};
}

template <typename Channel>
bool storeGrid(const Tool& tool, const std::string& name, const CellGrid<Channel>& grid,
               const BmpImage& image, const LineSink& say) {
  const auto header = bmpHeader(grid.width(), grid.height(), image.resolution);
  const std::uint64_t rowBytes = bmpRowBytes(grid.width());
  const std::int32_t rowsPerChunk =
      std::int32_t(std::clamp<std::uint64_t>(kStagingBytes / std::max<std::uint64_t>(rowBytes, 1),
                                             1, std::uint64_t(std::max(grid.height(), 1))));
  std::vector<std::uint8_t> staging(std::size_t(rowBytes) * std::size_t(rowsPerChunk));

  const std::string folder(tool.outputFolder);
  makeFolder(folder);
  say(folder + kPathSeparator + printableName(name));
  return writeFile(folder, name, [&](ReplacingFile& sink) {
    if (!sink.write(header.data(), header.size())) return false;
    for (std::int32_t first = 0; first < grid.height(); first += rowsPerChunk) {
      const std::int32_t count = std::min(rowsPerChunk, grid.height() - first);
      encodeRows(grid, first, count, staging.data());
      if (!sink.write(staging.data(), std::size_t(rowBytes) * std::size_t(count))) return false;
    }
    return true;
  });
}

template <typename Channel>
FileOutcome transformImage(const Tool& tool, const std::string& name, const BmpImage& image,
                           void (*algorithm)(CellGrid<Channel>&), const LineSink& say) {
  const int scale = tool.doublesImage ? 2 : 1;
  CellGrid<Channel> grid(scale * image.height, scale * image.width, tool.doublesImage);
  if (tool.doublesImage) {
    const Cell<Channel> key{Channel(alphaColor.red), Channel(alphaColor.green),
                            Channel(alphaColor.blue)};
    parallelRows(image.height,
                 [&](int first, int last) { fillDoubledGrid(image, key, grid, first, last); });
  } else {
    parallelRows(image.height,
                 [&](int first, int last) { fillPlainGrid(image, grid, first, last); });
  }
  algorithm(grid);
  const bool stored = storeGrid(tool, name, grid, image, say);
  if (!stored)
    say("Could not write " + std::string(tool.outputFolder) + kPathSeparator + printableName(name));
  return stored ? FileOutcome::written : FileOutcome::failed;
}

}  // namespace

void printLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool writeFile(const std::string& folder, const std::string& name,
               const std::function<bool(ReplacingFile& sink)>& produce) {
  ReplacingFile file(folder, name);
  return produce(file) && file.commit();
}

FileOutcome processFile(const Tool& tool, const std::string& name, ByteView data,
                        const LineSink& say) {
  BmpResult decoded = decodeBmp(data, tool.maxSide);
  if (const auto* error = std::get_if<BmpError>(&decoded)) {
    say(describe(*error, tool, name));
    return FileOutcome::skipped;
  }
  const BmpImage& image = std::get<BmpImage>(decoded);
  try {
    if (tool.wideAlgorithm != nullptr && !alphaColorFitsBytes(alphaColor))
      return transformImage(tool, name, image, tool.wideAlgorithm, say);
    return transformImage(tool, name, image, tool.algorithm, say);
  } catch (const std::bad_alloc&) {
    say(withName("Not enough memory for file with name ", name));
    return FileOutcome::failed;
  }
}

namespace {

// Images up to this many pixels are done several at once, one per core: the
// scaler's sweeps must run in order within an image, but images don't depend
// on one another. Larger ones run alone, so that memory stays that of one
// image, and share their own passes out among the cores instead.
constexpr std::int64_t kSmallImagePixels = std::int64_t{1} << 20;

bool isSmallImage(const Tool& tool, ByteView data) {
  const BmpResult decoded = decodeBmp(data, tool.maxSide);
  const auto* image = std::get_if<BmpImage>(&decoded);
  // A file the decoder turns away costs nothing to do.
  return image == nullptr || std::int64_t(image->width) * image->height <= kSmallImagePixels;
}

// A file being done on a thread of its own. Its lines are kept until every
// file before it has printed its own, so the transcript reads as if the
// files were done one after the other.
struct PendingFile {
  std::vector<std::string> lines;
  FileOutcome outcome = FileOutcome::skipped;
  std::thread worker;
};

}  // namespace

bool processFolder(const Tool& tool) {
  bool allStored = true;
  std::deque<std::unique_ptr<PendingFile>> pending;
  auto finishOldest = [&] {
    PendingFile& oldest = *pending.front();
    oldest.worker.join();
    for (const std::string& line : oldest.lines) printLine(line);
    if (oldest.outcome == FileOutcome::failed) allStored = false;
    pending.pop_front();
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
      if (!readWholeFile(name, *file)) {
        finishAll();
        printLine(withName("Cannot read file with name ", name));
        continue;
      }
      ByteView data(reinterpret_cast<const std::uint8_t*>(file->bytes.data()), file->size);
      if (workerCount() > 1 && isSmallImage(tool, data)) {
        while (int(pending.size()) >= workerCount()) finishOldest();
        auto job = std::make_unique<PendingFile>();
        PendingFile* slot = job.get();
        try {
          slot->worker = std::thread([&tool, name, file, data, slot] {
            slot->outcome = processFile(tool, name, data, [slot](std::string_view line) {
              slot->lines.emplace_back(line);
            });
          });
          pending.push_back(std::move(job));
          continue;
        } catch (const std::system_error&) {
          // No thread to be had: done here and now like a large one.
        }
      }
      finishAll();
      if (processFile(tool, name, data) == FileOutcome::failed) allStored = false;
    } catch (const std::bad_alloc&) {
      finishAll();
      printLine(withName("Not enough memory for file with name ", name));
      allStored = false;
    }
  }
  finishAll();
  return allStored;
}

}  // namespace zorpix
