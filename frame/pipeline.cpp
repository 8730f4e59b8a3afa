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

std::optional<FileProblem> transformImage(const Profile& profile, const BmpImage& image,
                                          const Settings& settings, Workers& workers,
                                          const ByteSink& sink) {
  const int scale = profile.doublesImage ? 2 : 1;
  CellGrid<std::uint8_t> grid(scale * image.height, scale * image.width, profile.doublesImage);
  workers.forRows(image.height, [&](int first, int last) {
    if (profile.doublesImage) {
      fillDoubledGrid(image, settings.alphaColor, grid, first, last);
    } else {
      fillPlainGrid(image, grid, first, last);
    }
  });
  profile.algorithm(grid, settings.alphaColor, settings.refineMode, workers);

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
    return transformImage(profile, image, settings, workers, sink);
  } catch (const std::bad_alloc&) {
    return FileProblem::noMemory;
  }
}

}  // namespace zorpix
