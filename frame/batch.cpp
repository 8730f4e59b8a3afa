#include "frame/batch.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "frame/grid_codec.h"
#include "frame/parallel.h"

namespace zorpix {
namespace {

// Enough rows per write to keep the system calls few, few enough to stay in cache.
constexpr std::uint64_t kStagingBytes = std::uint64_t{1} << 22;

std::string withName(std::string_view text, const std::string& name) {
  return std::string(text) + name;
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
             " pixels) with name " + name;
  }
  return {};
}

template <typename Channel>
bool storeGrid(const Tool& tool, const std::string& name, const CellGrid<Channel>& grid,
               const BmpImage& image) {
  const auto header = bmpHeader(grid.width(), grid.height(), image.resolution);
  const std::uint64_t rowBytes = bmpRowBytes(grid.width());
  const std::int32_t rowsPerChunk =
      std::int32_t(std::clamp<std::uint64_t>(kStagingBytes / std::max<std::uint64_t>(rowBytes, 1),
                                             1, std::uint64_t(std::max(grid.height(), 1))));
  std::vector<std::uint8_t> staging(std::size_t(rowBytes) * std::size_t(rowsPerChunk));

  const std::string folder(tool.outputFolder);
  makeFolder(folder);
  printLine(folder + kPathSeparator + name);
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
                    void (*algorithm)(CellGrid<Channel>&)) {
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
  const bool stored = storeGrid(tool, name, grid, image);
  if (!stored)
    printLine("Could not write " + std::string(tool.outputFolder) + kPathSeparator + name);
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

FileOutcome processFile(const Tool& tool, const std::string& name, ByteView data) {
  BmpResult decoded = decodeBmp(data, tool.maxSide);
  if (const auto* error = std::get_if<BmpError>(&decoded)) {
    printLine(describe(*error, tool, name));
    return FileOutcome::skipped;
  }
  const BmpImage& image = std::get<BmpImage>(decoded);
  try {
    if (tool.wideAlgorithm != nullptr && !alphaColorFitsBytes(alphaColor))
      return transformImage(tool, name, image, tool.wideAlgorithm);
    return transformImage(tool, name, image, tool.algorithm);
  } catch (const std::bad_alloc&) {
    printLine(withName("Not enough memory for file with name ", name));
    return FileOutcome::failed;
  }
}

bool processFolder(const Tool& tool) {
  bool allStored = true;
  for (const std::string& name : listBitmaps()) {
    try {
      LoadedFile file;
      if (!readWholeFile(name, file)) {
        printLine(withName("Cannot read file with name ", name));
        continue;
      }
      ByteView data(reinterpret_cast<const std::uint8_t*>(file.bytes.data()), file.size);
      if (processFile(tool, name, data) == FileOutcome::failed) allStored = false;
    } catch (const std::bad_alloc&) {
      printLine(withName("Not enough memory for file with name ", name));
      allStored = false;
    }
  }
  return allStored;
}

}  // namespace zorpix
