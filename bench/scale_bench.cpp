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
  fillDoubledGrid(image, AlphaColor{}, grid, 0, side);
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

// Each stage on the grid as the stages before it left it.
void scaleStage(benchmark::State& state) {
  const int side = 1024;
  const int stage = int(state.range(0));
  const AlphaColor key{};
  const RefinePlan plan = refinePlan(0);
  Workers workers(1);
  for (auto _ : state) {
    state.PauseTiming();
    CellGrid<std::uint8_t> grid = doubledSheet(side);
    if (stage > 0) alphaPass(grid);
    if (stage > 1) diagonalSweep(grid, key);
    if (stage > 2) refinementRounds(grid, key, plan, workers);  // not part of any timed stage below
    state.ResumeTiming();
    switch (stage) {
      case 0: alphaPass(grid); break;
      case 1: diagonalSweep(grid, key); break;
      case 2: orthogonalSweep(grid, key); break;
      case 3: closeGaps(grid, key, plan, workers); break;
    }
    benchmark::DoNotOptimize(grid.row(0));
  }
  static const char* names[] = {"alpha pass", "diagonal sweep", "orthogonal sweep", "gap closing"};
  state.SetLabel(names[stage]);
}
BENCHMARK(scaleStage)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zorpix

BENCHMARK_MAIN();
