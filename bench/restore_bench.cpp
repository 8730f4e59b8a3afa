// restoreGrid on large sprite sheets: flat-coloured shapes with dark outlines
// on a key-colour background, the kind of image dezorpix is run on. The
// rounds after the first look only where the round before changed cells, so
// two kinds of sheet: large overlapping shapes, where the changes keep
// spreading, and the sheet bench/compare.sh times the programs on, small
// sprites whose changes die down from round to round.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>

#include "frame/cell_grid.h"
#include "restorer/restore_grid.h"
#include "sprite_sheet.h"

namespace zorpix {
namespace {

using Grid = CellGrid<std::uint8_t>;
using Pixel = Cell<std::uint8_t>;

// A fixed linear congruential sequence, so every run measures the same image.
struct Sequence {
  std::uint32_t state;
  std::uint32_t next(std::uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  }
};

// (dy/ry)^2 + (dx/rx)^2 <= 1, in integers.
bool insideEllipse(int dy, int dx, int ry, int rx) {
  const std::int64_t y = std::int64_t(dy) * rx;
  const std::int64_t x = std::int64_t(dx) * ry;
  const std::int64_t r = std::int64_t(ry) * rx;
  return y * y + x * x <= r * r;
}

// Filled ellipses and rectangles in a small palette, each ringed by a
// one-pixel outline, overlapping like sprites packed on a sheet.
void drawSprites(Grid& grid, int count) {
  const Pixel palette[] = {{200, 40, 40},   {40, 160, 60}, {230, 200, 70},  {90, 60, 160},
                           {240, 150, 120}, {120, 90, 50}, {250, 250, 250}, {60, 120, 200}};
  const Pixel outline{20, 20, 30};
  Sequence random{12345};
  for (int s = 0; s < count; ++s) {
    const int rh = 6 + int(random.next(40));
    const int rw = 6 + int(random.next(40));
    const int top = int(random.next(std::uint32_t(grid.height() - 2 * rh)));
    const int left = int(random.next(std::uint32_t(grid.width() - 2 * rw)));
    const bool ellipse = random.next(2) == 0;
    const Pixel fill = palette[random.next(std::size(palette))];
    for (int dy = -rh; dy <= rh; ++dy)
      for (int dx = -rw; dx <= rw; ++dx) {
        bool inside = true;
        bool edge = dy == -rh || dy == rh || dx == -rw || dx == rw;
        if (ellipse) {
          inside = insideEllipse(dy, dx, rh, rw);
          edge = !insideEllipse(dy, dx, rh - 1, rw - 1);
        }
        if (inside) grid.at(top + rh + dy, left + rw + dx) = edge ? outline : fill;
      }
  }
}

void copyGrid(const Grid& from, Grid& to) {
  for (int r = 0; r < from.height(); ++r)
    std::copy_n(from.row(r), std::size_t(from.width()), to.row(r));
}

// Times restoreGrid on copies of sheet, taken outside the timing.
void timeRestore(benchmark::State& state, const Grid& sheet, int workerCount) {
  Workers workers(workerCount);
  Grid grid(sheet.height(), sheet.width(), false);
  for (auto _ : state) {
    state.PauseTiming();
    copyGrid(sheet, grid);
    state.ResumeTiming();
    restoreGrid(grid, AlphaColor{}, workers);
    benchmark::DoNotOptimize(grid.row(0));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(sheet.width()) * sheet.height());
}

void restoreSpriteSheet(benchmark::State& state) {
  const int side = int(state.range(0));
  Grid sheet(side, side, false);
  const Pixel key{0, 255, 255};
  for (int r = 0; r < side; ++r) std::fill_n(sheet.row(r), std::size_t(side), key);
  drawSprites(sheet, side * side / 2000);
  timeRestore(state, sheet, int(state.range(1)));
}

// The comparison sheet as the frame fills the grid: row 0 the top row,
// column 0 the rightmost column.
void restoreComparisonSheet(benchmark::State& state) {
  const int side = int(state.range(0));
  const bench::SpriteSheet image = bench::makeSpriteSheet(side, side, 1);
  Grid sheet(side, side, false);
  for (int r = 0; r < side; ++r)
    for (int c = 0; c < side; ++c) {
      const std::uint8_t* p = &image.bgr[(std::size_t(r) * std::size_t(side) +
                                          std::size_t(side - 1 - c)) * 3];
      sheet.at(r, c) = Pixel{p[2], p[1], p[0]};
    }
  timeRestore(state, sheet, int(state.range(1)));
}

// Sides, then workers: one worker is what a busy machine gives.
BENCHMARK(restoreSpriteSheet)
    ->Args({1024, 1})
    ->Args({1024, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(restoreComparisonSheet)
    ->Args({1024, 1})
    ->Args({4096, 1})
    ->Args({4096, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace zorpix

BENCHMARK_MAIN();
