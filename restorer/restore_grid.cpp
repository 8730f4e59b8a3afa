#include "restorer/restore_grid.h"

#include <algorithm>

#include "scaler/neighbours.h"

namespace zorpix {
namespace {

using Grid = CellGrid<std::uint8_t>;
using Pixel = Cell<std::uint8_t>;

constexpr int kRounds = 8;

// Each direction keeps its latest candidate for every cell in a grid of its
// own. A direction that fails in a round must keep offering what it offered
// before (or the starting colour), so these grids live for the whole call and
// are never refilled from the working grid.
struct DirectionGrids {
  Grid horizontal;
  Grid vertical;
  Grid diagonal;
  Grid antiDiagonal;
};

DirectionGrids makeDirectionGrids(int height, int width) {
  return {Grid(height, width, false), Grid(height, width, false), Grid(height, width, false),
          Grid(height, width, false)};
}

std::int32_t brightness(const Pixel& p) {
  return std::int32_t(p.red) + std::int32_t(p.green) + std::int32_t(p.blue);
}

// Every direction starts out offering the cell's own colour, so a cell no
// direction ever qualifies for keeps its colour through every combine.
void copyStartingColours(const Grid& working, DirectionGrids& directions, int yFirst, int yLast) {
  const auto width = std::size_t(working.width());
  for (int r = yFirst; r < yLast; ++r) {
    const Pixel* source = working.row(r);
    std::copy_n(source, width, directions.horizontal.row(r));
    std::copy_n(source, width, directions.vertical.row(r));
    std::copy_n(source, width, directions.diagonal.row(r));
    std::copy_n(source, width, directions.antiDiagonal.row(r));
  }
}

// A direction offers the average of its two neighbours only where it crosses a
// brightness edge (exactly one neighbour as bright as the cell) and neither
// neighbour is key-coloured, so the background never bleeds into a candidate.
void offerCandidate(const Pixel& a, std::int32_t brightnessA, const Pixel& b,
                    std::int32_t brightnessB, std::int32_t brightnessX, const AlphaColor& key,
                    Pixel& candidate) {
  if ((brightnessA == brightnessX) == (brightnessB == brightnessX)) return;
  if (isAlpha(a, key) || isAlpha(b, key)) return;
  candidate = average(a, b);
}

// The brightness of one grid column's cells in the rows above, at and below
// the swept row.
struct ColumnBrightness {
  std::int32_t up;
  std::int32_t here;
  std::int32_t down;
};

ColumnBrightness columnBrightness(const Pixel* up, const Pixel* here, const Pixel* down, int c) {
  return {brightness(up[c]), brightness(here[c]), brightness(down[c])};
}

// Reads only the working grid and writes only the direction grids, so every
// test of a round sees the grid as the previous combine left it, whatever the
// order of cells or the split of rows between callers.
void sweepRows(const Grid& working, DirectionGrids& directions, int yFirst, int yLast) {
  const int height = working.height();
  const int width = working.width();
  if (width == 0) return;
  const AlphaColor key = alphaColor;
  for (int r = yFirst; r < yLast; ++r) {
    const Pixel* up = working.row(wrapRow(r, -1, height));
    const Pixel* here = working.row(r);
    const Pixel* down = working.row(wrapRow(r, 1, height));
    Pixel* horizontal = directions.horizontal.row(r);
    Pixel* vertical = directions.vertical.row(r);
    Pixel* diagonal = directions.diagonal.row(r);
    Pixel* antiDiagonal = directions.antiDiagonal.row(r);

    // The brightness of columns c-1, c and c+1 slides along the row, so each
    // cell's brightness is summed once per row it neighbours, not once per pair.
    ColumnBrightness left = columnBrightness(up, here, down, wrapColumn(0, -1, width));
    ColumnBrightness centre = columnBrightness(up, here, down, 0);
    for (int c = 0; c < width; ++c) {
      const int cl = wrapColumn(c, -1, width);
      const int cr = wrapColumn(c, 1, width);
      const ColumnBrightness right = columnBrightness(up, here, down, cr);
      const std::int32_t x = centre.here;
      offerCandidate(here[cl], left.here, here[cr], right.here, x, key, horizontal[c]);
      offerCandidate(up[c], centre.up, down[c], centre.down, x, key, vertical[c]);
      offerCandidate(up[cl], left.up, down[cr], right.down, x, key, diagonal[c]);
      offerCandidate(up[cr], right.up, down[cl], left.down, x, key, antiDiagonal[c]);
      left = centre;
      centre = right;
    }
  }
}

std::uint8_t meanOfFour(std::uint8_t h, std::uint8_t v, std::uint8_t d, std::uint8_t a) {
  return std::uint8_t((std::int32_t(h) + std::int32_t(v) + std::int32_t(d) + std::int32_t(a)) / 4);
}

// Reads only the direction grids and writes only the working grid, the mirror
// of the sweep, so the two never see each other's half-finished work.
void combineRows(const DirectionGrids& directions, Grid& working, int yFirst, int yLast) {
  const int width = working.width();
  for (int r = yFirst; r < yLast; ++r) {
    const Pixel* horizontal = directions.horizontal.row(r);
    const Pixel* vertical = directions.vertical.row(r);
    const Pixel* diagonal = directions.diagonal.row(r);
    const Pixel* antiDiagonal = directions.antiDiagonal.row(r);
    Pixel* out = working.row(r);
    for (int c = 0; c < width; ++c) {
      const Pixel& h = horizontal[c];
      const Pixel& v = vertical[c];
      const Pixel& d = diagonal[c];
      const Pixel& a = antiDiagonal[c];
      out[c] = {meanOfFour(h.red, v.red, d.red, a.red),
                meanOfFour(h.green, v.green, d.green, a.green),
                meanOfFour(h.blue, v.blue, d.blue, a.blue)};
    }
  }
}

}  // namespace

void restoreGrid(CellGrid<std::uint8_t>& grid) {
  const int height = grid.height();
  DirectionGrids directions = makeDirectionGrids(height, grid.width());
  copyStartingColours(grid, directions, 0, height);
  for (int round = 0; round < kRounds; ++round) {
    sweepRows(grid, directions, 0, height);
    combineRows(directions, grid, 0, height);
  }
}

}  // namespace zorpix
