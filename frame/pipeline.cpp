#include "frame/pipeline.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <variant>
#include <vector>

#include "frame/grid_codec.h"
#include "frame/large_buffer.h"

namespace zorpix {
namespace {

// Enough rows per hand-over to keep the system calls few, few enough to stay
// in cache.
constexpr std::uint64_t kStagingBytes = std::uint64_t{1} << 22;

// Which source rows one grid holds: a band of the image, with the rows its
// results depend on above and below it.
struct BandPlan {
  std::int32_t rows;  // rows of results each grid gives, the topmost band's excepted
  std::int32_t halo;  // rows around them, on either side
  std::int32_t count;  // bands, from the bottom up
};

BandPlan planBands(const Profile& profile, const BmpImage& image) {
  const std::int32_t reach = profile.rowReach;
  const BandPlan whole{image.height, 0, image.height > 0 ? 1 : 0};
  if (reach <= 0) return whole;
  const std::int64_t rowPixels = std::max<std::int64_t>(image.width, 1);
  // At least sixteen times the halo, so that wide images don't spend much of
  // their time on rows done twice.
  const auto rows = std::int32_t(std::clamp<std::int64_t>(profile.bandPixels / rowPixels,
                                                          16 * reach, std::int64_t{1} << 30));
  // A band whose rows and halo would hold the whole image is the whole image.
  if (image.height <= rows + 2 * reach) return whole;
  return {rows, reach, (image.height + rows - 1) / rows};
}

// Which image rows the source rows of a grid come from: a grid may hold a
// band of the image with the rows its results depend on around it; near the
// image's top or bottom edge those rows go round the edge, and the grid then
// holds two runs of rows. By default, the whole image from its top.
struct ImageRows {
  std::int32_t firstStart = 0;
  std::int32_t firstCount = INT32_MAX;  // rows of the first run
  std::int32_t secondStart = 0;         // where the second run starts in the image
};

// The image rows of the grid for the band of results that starts at row top:
// the band's rows with the halo on either side, counted around the image's
// edge, and held in the image's own order. The grid then meets the image's
// wrap from its bottom row to its top row in the same order as the whole
// image does, which matters for algorithms that work in place row after row;
// wherever the grid joins rows that aren't neighbours in the image, the halo
// keeps the join's effects away from the band's results.
struct BandRows {
  ImageRows rows;
  std::int32_t firstResult;  // grid source row of the band's top row
  GridEdges edges;
};

BandRows bandRows(const BandPlan& band, std::int32_t height, std::int32_t top) {
  const std::int32_t low = top - band.halo;
  const std::int32_t high = top + band.rows + band.halo;
  if (band.halo == 0) return {{}, top, GridEdges::imageWrap};  // the whole image
  if (low < 0) return {{0, high, low + height}, top, GridEdges::imageWrap};
  if (high > height)
    return {{0, high - height, low}, high - height + band.halo, GridEdges::imageWrap};
  return {{low, high - low, 0}, band.halo, GridEdges::halo};
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

// A file held whole in memory hands out its own bytes.
class BytesInMemory final : public FileBytes {
 public:
  explicit BytesInMemory(ByteView file) : file_(file) {}
  const std::uint8_t* read(std::uint64_t offset, std::size_t count, std::uint8_t*) const override {
    return file_.span(offset, count);
  }
  bool readsIntoBuffer() const override { return false; }

 private:
  ByteView file_;
};

// Where the pixel rows of a grid's count source rows lie, as rows names them.
// Each run of image rows is one stretch of the file, which bytes hands out
// or reads into buffer: the first run from its start, the second after room
// for the first. Nothing when bytes can't have them.
std::optional<SourceRows> sourceRows(const BmpImage& image, const FileBytes& bytes,
                                     const ImageRows& rows, std::int32_t count,
                                     std::uint8_t* buffer) {
  // No pixels, nothing to read; the fill reads no row either.
  if (image.width == 0) return SourceRows{};
  const auto rowBytes = std::int64_t(image.rowBytes);
  auto run = [&](std::int32_t first, std::int32_t rowCount,
                 std::uint8_t* room) -> std::optional<SourceRows::Run> {
    const std::int64_t top = image.storedRow(first);
    const std::int64_t low = std::min(top, image.storedRow(first + rowCount - 1));
    // The stored rows from low, the last without its padding: a file may end
    // without it.
    const auto length =
        std::uint64_t(rowCount - 1) * image.rowBytes + 3 * std::uint64_t(image.width);
    const std::uint8_t* at = bytes.read(image.pixelOffset + std::uint64_t(low) * image.rowBytes,
                                        std::size_t(length), room);
    if (at == nullptr) return std::nullopt;
    return SourceRows::Run{at + (top - low) * rowBytes, image.topDown ? rowBytes : -rowBytes};
  };
  SourceRows source;
  const std::int32_t firstCount = std::min(rows.firstCount, count);
  const auto first = run(rows.firstStart, firstCount, buffer);
  if (!first) return std::nullopt;
  source.firstRun = *first;
  source.firstCount = firstCount;
  if (count > firstCount) {
    std::uint8_t* room = buffer == nullptr ? nullptr : buffer + firstCount * rowBytes;
    const auto second = run(rows.secondStart, count - firstCount, room);
    if (!second) return std::nullopt;
    source.secondRun = *second;
  }
  return source;
}

std::optional<FileProblem> transformImage(const Profile& profile, const BmpImage& image,
                                          const FileBytes& bytes, const Settings& settings,
                                          Workers& workers, const ByteSink& sink) {
  const int scale = profile.doublesImage ? 2 : 1;
  const BandPlan band = planBands(profile, image);
  const int gridRows = scale * (band.rows + 2 * band.halo);
  // One grid per worker, so that every worker can work out a band, and one
  // more, whose rows are written meanwhile.
  const int slots = std::max(1, std::min(band.count, workers.count() + 1));
  std::vector<CellGrid<std::uint8_t>> grids;
  grids.reserve(std::size_t(slots));
  for (int i = 0; i < slots; ++i)
    grids.emplace_back(gridRows, scale * image.width, profile.doublesImage);
  // And, for a file read as it is needed, room for each grid's pixel rows.
  const std::int32_t sourceCount = band.rows + 2 * band.halo;
  std::vector<LargeBuffer> pixelRows;
  if (bytes.readsIntoBuffer())
    for (int i = 0; i < slots; ++i)
      pixelRows.emplace_back(std::size_t(std::uint64_t(sourceCount) * image.rowBytes));
  // Whether a grid's rows could not be read, band by band as it takes them.
  std::vector<char> unread(std::size_t(slots), 0);
  const auto header = bmpHeader(scale * image.width, scale * image.height, image.resolution);
  const std::uint64_t rowBytes = bmpRowBytes(grids[0].width());
  const std::int32_t rowsPerChunk =
      std::int32_t(std::clamp<std::uint64_t>(kStagingBytes / std::max<std::uint64_t>(rowBytes, 1),
                                             1, std::uint64_t(std::max(scale * band.rows, 1))));
  // Every byte is written before it is handed on, padding included.
  LargeBuffer staging(std::size_t(rowBytes) * std::size_t(rowsPerChunk));
  auto* const stagingBytes = reinterpret_cast<std::uint8_t*>(staging.data());

  // A BMP stores its bottom row first, so the bands go from the bottom up.
  // Every band fills the whole grid: the topmost one overlaps the band below
  // it and gives only the rows still missing.
  auto bottomOf = [&](std::int32_t i) { return image.height - i * band.rows; };
  auto topOf = [&](std::int32_t i) { return std::max(0, bottomOf(i) - band.rows); };
  auto work = [&](std::int32_t i) {
    const auto slot = std::size_t(i % slots);
    CellGrid<std::uint8_t>& grid = grids[slot];
    const BandRows rows = bandRows(band, image.height, topOf(i));
    auto* buffer =
        pixelRows.empty() ? nullptr : reinterpret_cast<std::uint8_t*>(pixelRows[slot].data());
    const auto source = sourceRows(image, bytes, rows.rows, sourceCount, buffer);
    unread[slot] = !source;
    if (!source) return;
    workers.forRows(sourceCount, [&](int first, int last) {
      if (profile.doublesImage) {
        fillDoubledGrid(*source, settings.alphaColor, grid, first, last);
      } else {
        fillPlainGrid(*source, grid, first, last);
      }
    });
    profile.algorithm(grid, settings.alphaColor, settings.refineMode, rows.edges, workers);
  };
  auto write = [&](std::int32_t i) {
    const CellGrid<std::uint8_t>& grid = grids[std::size_t(i % slots)];
    const std::int32_t top = topOf(i);
    const std::int32_t bottom = bottomOf(i);
    const std::int32_t firstResult = bandRows(band, image.height, top).firstResult;
    for (std::int32_t done = 0, left = scale * (bottom - top); left > 0;) {
      const std::int32_t count = std::min(rowsPerChunk, left);
      encodeRows(grid, scale * (firstResult + bottom - top) - 1 - done, count, stagingBytes);
      if (!sink(stagingBytes, std::size_t(rowBytes) * std::size_t(count))) return false;
      done += count;
      left -= count;
    }
    return true;
  };

  // Declared after everything the tasks use, so that every task is over
  // before any of it goes.
  std::vector<std::unique_ptr<JoinedTask>> tasks;
  for (int i = 0; i < slots; ++i) tasks.push_back(std::make_unique<JoinedTask>(workers));
  auto launch = [&](std::int32_t i) {
    tasks[std::size_t(i % slots)]->start([&work, i] { work(i); });
  };
  for (std::int32_t i = 1; i < slots; ++i) launch(i);
  // The header goes out once the first band of every grid is done, so that
  // a whole image is done before any byte of its result, and a banded one
  // has taken the memory its bands use on every worker: running out of
  // memory is then found before the result is begun, not half way.
  if (band.count > 0) work(0);
  for (std::int32_t i = 1; i < slots; ++i) tasks[std::size_t(i)]->join();
  if (std::find(unread.begin(), unread.end(), 1) != unread.end()) return FileProblem::truncated;
  if (!sink(header.data(), header.size())) return FileProblem::notStored;
  for (std::int32_t i = 0; i < band.count; ++i) {
    if (i >= slots) tasks[std::size_t(i % slots)]->join();
    if (unread[std::size_t(i % slots)]) return FileProblem::truncated;
    if (!write(i)) return FileProblem::notStored;
    if (i + slots < band.count) launch(i + slots);
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileProblem> transformFile(const Profile& profile, ByteView head,
                                         std::uint64_t fileSize, const FileBytes& bytes,
                                         const Settings& settings, Workers& workers,
                                         const ByteSink& sink) {
  BmpResult decoded = decodeBmpHeaders(head, fileSize, profile.maxSide);
  if (const auto* problem = std::get_if<FileProblem>(&decoded)) return *problem;
  const BmpImage& image = std::get<BmpImage>(decoded);
  try {
    return transformImage(profile, image, bytes, settings, workers, sink);
  } catch (const std::bad_alloc&) {
    return FileProblem::noMemory;
  }
}

std::optional<FileProblem> transformFile(const Profile& profile, ByteView file,
                                         const Settings& settings, Workers& workers,
                                         const ByteSink& sink) {
  return transformFile(profile, file, file.size(), BytesInMemory(file), settings, workers, sink);
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
