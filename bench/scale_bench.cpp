// Time of the scaler on a sprite-like image, whole and stage by stage.

#include <benchmark/benchmark.h>

#include "frame/grid_codec.h"
#include "scaler/scale_grid.h"
#include "sprite_sheet.h"

namespace zorpix {
namespace {

CellGrid<std::uint8_t> doubledSheet(int side) {
  const auto file = bench::bmpFile(bench::makeSpriteSheet(side, side, 7));
  const BmpImage image = std::get<BmpImage>(decodeBmp(ByteView(file.data(), file.size()), 16383));
  CellGrid<std::uint8_t> grid(2 * side, 2 * side, true);
  fillDoubledGrid(wholeImageRows(image), AlphaColor{}, grid, 0, side);
  return grid;
}

void scaleWhole(benchmark::State& state) {
  const int side = int(state.range(0));
  Workers workers(1);
  for (auto _ : state) {
    state.PauseTiming();
    CellGrid<std::uint8_t> grid = doubledSheet(side);
    state.ResumeTiming();
    scaleGrid(grid, AlphaColor{}, 0, workers);
    benchmark::DoNotOptimize(grid.row(0));
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(scaleWhole)->Arg(1024)->Unit(benchmark::kMillisecond);

// The same grid taken as one band whose top and bottom rows are halo: the
// stages as a wavefront, as the pipeline runs them inside large images, so
// the rows being worked on stay in cache.
void scaleAsBand(benchmark::State& state) {
  const int side = int(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    CellGrid<std::uint8_t> grid = doubledSheet(side);
    state.ResumeTiming();
    scaleBand(grid, AlphaColor{}, 0);
    benchmark::DoNotOptimize(grid.row(0));
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(scaleAsBand)->Arg(1024)->Unit(benchmark::kMillisecond);

// Each stage on the grid as the stages before it left it: round 1 before the
// re-seed step, both rounds before the gap closing pass and its halves.
enum Stage { kAlpha, kDiagonal, kOrthogonal, kReseed, kGapClosing, kGapClose, kGapSettle };

void scaleStage(benchmark::State& state) {
  const int side = 1024;
  const auto stage = Stage(state.range(0));
  const AlphaColor key{};
  const RefinePlan plan = refinePlan(0);
  Workers workers(1);
  for (auto _ : state) {
    state.PauseTiming();
    CellGrid<std::uint8_t> grid = doubledSheet(side);
    const int height = grid.height();
    GapMarks closed(height, grid.width());
    if (stage > kAlpha) alphaPass(grid);
    if (stage > kDiagonal && stage <= kReseed) diagonalSweep(grid, key);
    if (stage > kOrthogonal && stage <= kReseed) orthogonalSweep(grid, key);
    if (stage > kReseed) refinementRounds(grid, key, plan, workers);
    if (stage == kGapSettle) closeGapRows(grid, plan, closed, 0, height);
    state.ResumeTiming();
    switch (stage) {
      case kAlpha: alphaPass(grid); break;
      case kDiagonal: diagonalSweep(grid, key); break;
      case kOrthogonal: orthogonalSweep(grid, key); break;
      case kReseed: reseedRows(grid, plan, 0, height); break;
      case kGapClosing: closeGaps(grid, key, plan, workers); break;
      case kGapClose: closeGapRows(grid, plan, closed, 0, height); break;
      case kGapSettle: settleGapRows(grid, key, plan, closed, 0, height); break;
    }
    benchmark::DoNotOptimize(grid.row(0));
  }
  static const char* names[] = {"alpha pass",  "diagonal sweep",        "orthogonal sweep",
                                "re-seed",     "gap closing",           "gap closing: close",
                                "gap closing: settle"};
  state.SetLabel(names[stage]);
}
BENCHMARK(scaleStage)->DenseRange(kAlpha, kGapSettle)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zorpix

BENCHMARK_MAIN();
