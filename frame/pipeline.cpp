#include "frame/pipeline.h"

#include <algorithm>
#include <functional>
#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "frame/grid_codec.h"

namespace zorpix {
namespace {

// Enough rows per hand-over to keep the system calls few, few enough to stay
// in cache.
constexpr std::uint64_t kStagingBytes = std::uint64_t{1} << 22;

// Cells of one band's grid, for an algorithm whose results reach only a few
// rows: a few megabytes of planes, used again band after band, and at 4096
// columns 256 rows, so the halos' rows done twice stay near 6 %.
constexpr std::int64_t kBandCells = std::int64_t{1} << 20;

// Which source rows one grid holds: a band of the image, with the rows its
// results depend on above and below it.
struct BandPlan {
  std::int32_t rows;  // rows of results each grid gives, the topmost band's excepted
  std::int32_t halo;  // rows around them, on either side
};

BandPlan planBands(const Profile& profile, const BmpImage& image) {
  const std::int32_t reach = profile.rowReach;
  if (reach <= 0) return {image.height, 0};
  const std::int64_t rowCells = std::max<std::int64_t>(image.width, 1);
  const auto rows = std::int32_t(std::clamp<std::int64_t>(kBandCells / rowCells, 16 * reach,
                                                          std::int64_t{1} << 30));
  // The wrap from the top row to the bottom one is the grid's own only when
  // the grid holds the whole image.
  if (image.height <= rows + 2 * reach) return {image.height, 0};
  return {rows, reach};
}

// Waits for a task that refers to the caller's locals before they go, also
// when an exception leaves the caller early.
class JoinedTask {
 public:
  explicit JoinedTask(Workers& workers) : workers_(workers) {}
  ~JoinedTask() {
    try {
      workers_.wait(task_);
    } catch (...) {
      // Already leaving with an exception of the caller's own.
    }
  }
  JoinedTask(const JoinedTask&) = delete;
  JoinedTask& operator=(const JoinedTask&) = delete;

  void start(std::function<void()> work) { task_ = workers_.start(std::move(work)); }
  // Rethrows what the task threw.
  void join() {
    const Workers::Task task = std::exchange(task_, Workers::Task{});
    workers_.wait(task);
  }

 private:
  Workers& workers_;
  Workers::Task task_;
};

std::optional<FileProblem> transformImage(const Profile& profile, const BmpImage& image,
                                          const Settings& settings, Workers& workers,
                                          const ByteSink& sink) {
  const int scale = profile.doublesImage ? 2 : 1;
  const BandPlan band = planBands(profile, image);
  const int gridRows = scale * (band.rows + 2 * band.halo);
  const bool banded = band.rows < image.height;
  // Two grids when banded: the next band is worked out while this one's rows
  // are written.
  CellGrid<std::uint8_t> grids[2] = {
      CellGrid<std::uint8_t>(gridRows, scale * image.width, profile.doublesImage),
      banded ? CellGrid<std::uint8_t>(gridRows, scale * image.width, profile.doublesImage)
             : CellGrid<std::uint8_t>()};
  const auto header = bmpHeader(scale * image.width, scale * image.height, image.resolution);
  const std::uint64_t rowBytes = bmpRowBytes(grids[0].width());
  const std::int32_t rowsPerChunk =
      std::int32_t(std::clamp<std::uint64_t>(kStagingBytes / std::max<std::uint64_t>(rowBytes, 1),
                                             1, std::uint64_t(std::max(gridRows, 1))));
  std::vector<std::uint8_t> staging(std::size_t(rowBytes) * std::size_t(rowsPerChunk));

  // A BMP stores its bottom row first, so the bands go from the bottom up.
  // Every band fills the whole grid: the topmost one overlaps the band below
  // it and gives only the rows still missing.
  auto topOf = [&](std::int32_t bottom) { return std::max(0, bottom - band.rows); };
  auto work = [&](CellGrid<std::uint8_t>& grid, std::int32_t top) {
    const std::int32_t firstRow = (top - band.halo + image.height) % image.height;
    workers.forRows(band.rows + 2 * band.halo, [&](int first, int last) {
      if (profile.doublesImage) {
        fillDoubledGrid(image, settings.alphaColor, grid, first, last);
      } else {
        fillPlainGrid(image, grid, firstRow, first, last);
      }
    });
    profile.algorithm(grid, settings.alphaColor, settings.refineMode, workers);
  };
  auto write = [&](const CellGrid<std::uint8_t>& grid, std::int32_t top, std::int32_t bottom) {
    for (std::int32_t done = 0, left = scale * (bottom - top); left > 0;) {
      const std::int32_t count = std::min(rowsPerChunk, left);
      encodeRows(grid, scale * (bottom - top + band.halo) - 1 - done, count, staging.data());
      if (!sink(staging.data(), std::size_t(rowBytes) * std::size_t(count))) return false;
      done += count;
      left -= count;
    }
    return true;
  };

  // The header goes out once the first band is done, so that a whole image
  // is done before any byte of its result, and a banded one has taken the
  // memory its bands use.
  if (image.height > 0) work(grids[0], topOf(image.height));
  if (!sink(header.data(), header.size())) return FileProblem::notStored;
  JoinedTask next(workers);
  for (std::int32_t bottom = image.height, current = 0; bottom > 0; current = 1 - current) {
    const std::int32_t top = topOf(bottom);
    if (top > 0) next.start([&, top, current] { work(grids[1 - current], topOf(top)); });
    const bool written = write(grids[current], top, bottom);
    next.join();
    if (!written) return FileProblem::notStored;
    bottom = top;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileProblem> transformFile(const Profile& profile, ByteView file,
                                         const Settings& settings, Workers& workers,
                                         const ByteSink& sink) {
  BmpResult decoded = decodeBmp(file, profile.maxSide);
  if (const auto* problem = std::get_if<FileProblem>(&decoded)) return *problem;
  const BmpImage& image = std::get<BmpImage>(decoded);
  try {
    return transformImage(profile, image, settings, workers, sink);
  } catch (const std::bad_alloc&) {
    return FileProblem::noMemory;
  }
}

std::optional<FileProblem> transformFile(const Profile& profile, ByteView file,
                                         const Settings& settings, Workers& workers,
                                         std::vector<std::uint8_t>& result) {
  return transformFile(profile, file, settings, workers,
                       [&result](const std::uint8_t* bytes, std::size_t count) {
                         result.insert(result.end(), bytes, bytes + count);
                         return true;
                       });
}

}  // namespace zorpix
