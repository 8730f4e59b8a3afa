#include "frame/pipeline.h"

#include <algorithm>
#include <new>
#include <variant>
#include <vector>

#include "frame/grid_codec.h"

namespace zorpix {
namespace {

// Enough rows per hand-over to keep the system calls few, few enough to stay
// in cache.
constexpr std::uint64_t kStagingBytes = std::uint64_t{1} << 22;

FileProblem problemOf(BmpError error) {
  switch (error) {
    case BmpError::notBitmap24: return FileProblem::notBitmap24;
    case BmpError::badDataOffset: return FileProblem::badDataOffset;
    case BmpError::truncated: return FileProblem::truncated;
    case BmpError::sizeOutOfRange: return FileProblem::sizeOutOfRange;
  }
  return FileProblem::notBitmap24;
}

template <typename Channel>
std::optional<FileProblem> transformImage(const Profile& profile, const BmpImage& image,
                                          const Settings& settings, Workers& workers,
                                          void (*algorithm)(CellGrid<Channel>&, const AlphaColor&,
                                                            std::int32_t, Workers&),
                                          const ByteSink& sink) {
  const int scale = profile.doublesImage ? 2 : 1;
  CellGrid<Channel> grid(scale * image.height, scale * image.width, profile.doublesImage);
  if (profile.doublesImage) {
    const AlphaColor& key = settings.alphaColor;
    const Cell<Channel> keyCell{Channel(key.red), Channel(key.green), Channel(key.blue)};
    workers.forRows(image.height,
                    [&](int first, int last) { fillDoubledGrid(image, keyCell, grid, first, last); });
  } else {
    workers.forRows(image.height,
                    [&](int first, int last) { fillPlainGrid(image, grid, first, last); });
  }
  algorithm(grid, settings.alphaColor, settings.refineMode, workers);

  const auto header = bmpHeader(grid.width(), grid.height(), image.resolution);
  const std::uint64_t rowBytes = bmpRowBytes(grid.width());
  const std::int32_t rowsPerChunk =
      std::int32_t(std::clamp<std::uint64_t>(kStagingBytes / std::max<std::uint64_t>(rowBytes, 1),
                                             1, std::uint64_t(std::max(grid.height(), 1))));
  // Taken before the first byte goes out, so a result is either whole or
  // never started.
  std::vector<std::uint8_t> staging(std::size_t(rowBytes) * std::size_t(rowsPerChunk));
  if (!sink(header.data(), header.size())) return FileProblem::notStored;
  for (std::int32_t first = 0; first < grid.height(); first += rowsPerChunk) {
    const std::int32_t count = std::min(rowsPerChunk, grid.height() - first);
    encodeRows(grid, first, count, staging.data());
    if (!sink(staging.data(), std::size_t(rowBytes) * std::size_t(count)))
      return FileProblem::notStored;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileProblem> transformFile(const Profile& profile, ByteView file,
                                         const Settings& settings, Workers& workers,
                                         const ByteSink& sink) {
  BmpResult decoded = decodeBmp(file, profile.maxSide);
  if (const auto* error = std::get_if<BmpError>(&decoded)) return problemOf(*error);
  const BmpImage& image = std::get<BmpImage>(decoded);
  try {
    if (profile.wideAlgorithm != nullptr && !alphaColorFitsBytes(settings.alphaColor))
      return transformImage(profile, image, settings, workers, profile.wideAlgorithm, sink);
    return transformImage(profile, image, settings, workers, profile.algorithm, sink);
  } catch (const std::bad_alloc&) {
    return FileProblem::noMemory;
  }
}

}  // namespace zorpix
