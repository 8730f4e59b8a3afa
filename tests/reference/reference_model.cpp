#include "reference/reference_model.h"

#include <cstddef>

namespace zorpix::reference {
namespace {

// The original keeps these for the duration of one call, and the neighbour
// functions read them instead of taking the position as arguments. The model
// does the same, so a stage that forgets to move the current position before
// asking for neighbours goes wrong here exactly as it would there.
std::int16_t gridWidth = 0;
std::int16_t gridHeight = 0;
std::int16_t currentRow = 0;
std::int16_t currentColumn = 0;

AlphaColor keyColour;
std::int32_t mode = 0;

std::int16_t wrapColumn(std::int32_t d) {
  std::int32_t c = std::int32_t(currentColumn) + d;
  if (c < 0)
    c = c + gridWidth;
  else if (c >= gridWidth)
    c = c - gridWidth;
  return std::int16_t(c);
}

std::int16_t wrapRow(std::int32_t d) {
  std::int32_t r = std::int32_t(currentRow) + d;
  if (r < 0)
    r = r + gridHeight;
  else if (r >= gridHeight)
    r = r - gridHeight;
  return std::int16_t(r);
}

void setCurrent(int r, int c) {
  currentRow = std::int16_t(r);
  currentColumn = std::int16_t(c);
}

bool isAlpha(const Cell& cell) {
  return cell.red == keyColour.red && cell.green == keyColour.green &&
         cell.blue == keyColour.blue;
}

bool isSettled(const Cell& cell) { return cell.open == 0; }
bool isOpen(const Cell& cell) { return cell.open != 0; }

std::int32_t distanceTerm(std::int16_t x, std::int16_t y) {
  std::int32_t difference = std::int32_t(x) - std::int32_t(y);
  if (difference < 0) difference = -difference;
  // Reduced to 16 bits and read as signed: above 32767 counts 65536 less.
  std::uint16_t low = std::uint16_t(std::uint32_t(difference) & 0xFFFFu);
  std::int32_t term = low;
  if (term > 32767) term -= 65536;
  return term;
}

std::int32_t colorDistance(const Cell& a, const Cell& b) {
  return distanceTerm(a.red, b.red) + distanceTerm(a.green, b.green) +
         distanceTerm(a.blue, b.blue);
}

std::int16_t channelAverage(std::int16_t x, std::int16_t y) {
  std::int32_t sum = std::int32_t(x) + std::int32_t(y);
  return std::int16_t(sum / 2);  // C++ division truncates toward zero
}

void setAverage(Cell& target, const Cell& a, const Cell& b) {
  target.red = channelAverage(a.red, b.red);
  target.green = channelAverage(a.green, b.green);
  target.blue = channelAverage(a.blue, b.blue);
}

Grid makeGrid(int height, int width) {
  Grid grid;
  for (int r = 0; r < height; ++r) grid.push_back(std::vector<Cell>(std::size_t(width)));
  return grid;
}

Cell& neighbour(Grid& grid, int dr, int dc) {
  const std::int16_t r = wrapRow(dr);
  const std::int16_t c = wrapColumn(dc);
  return grid[std::size_t(r)][std::size_t(c)];
}

bool isSourceCell(int r, int c) { return r % 2 == 0 && c % 2 == 1; }

struct Offset {
  int dr;
  int dc;
};

struct Pair {
  Offset a;
  Offset b;
};

// ---- Alpha pass -------------------------------------------------------------

void alphaPass(Grid& grid) {
  const Pair pairs[4] = {
      {{0, -1}, {0, 1}},
      {{-1, 0}, {1, 0}},
      {{-1, -1}, {1, 1}},
      {{-1, 1}, {1, -1}},
  };
  for (int r = 0; r < gridHeight; ++r) {
    for (int c = 0; c < gridWidth; ++c) {
      Cell& cell = grid[std::size_t(r)][std::size_t(c)];
      if (isSettled(cell)) continue;
      setCurrent(r, c);
      bool qualifies = false;
      for (const Pair& pair : pairs) {
        const Cell& a = neighbour(grid, pair.a.dr, pair.a.dc);
        const Cell& b = neighbour(grid, pair.b.dr, pair.b.dc);
        if (isAlpha(a) && isAlpha(b) && isSettled(a) && isSettled(b)) qualifies = true;
      }
      if (qualifies) cell.open = 0;
    }
  }
}

// ---- Refinement rounds ------------------------------------------------------

void sweep(Grid& grid, const Pair& first, const Pair& second) {
  for (int r = 0; r < gridHeight; ++r) {
    for (int c = 0; c < gridWidth; ++c) {
      Cell& cell = grid[std::size_t(r)][std::size_t(c)];
      if (isSettled(cell)) continue;

      // Step 1.
      setCurrent(r, c);
      std::int32_t bestDistance = 768;
      bool filled = false;

      Cell& a1 = neighbour(grid, first.a.dr, first.a.dc);
      Cell& b1 = neighbour(grid, first.b.dr, first.b.dc);
      Cell& a2 = neighbour(grid, second.a.dr, second.a.dc);
      Cell& b2 = neighbour(grid, second.b.dr, second.b.dc);

      // Step 2, the first pair.
      if (!isOpen(a1) && !isOpen(b1)) {
        const std::int32_t d1 = colorDistance(a1, b1);
        if (d1 > 768) {
          // nothing more; the best distance stays 768
        } else {
          bestDistance = d1;
          if (!isAlpha(a1) && !isAlpha(b1)) {
            setAverage(cell, a1, b1);
            a1.used = 1;
            b1.used = 1;
            filled = true;
          }
        }
      }

      // Step 3, the second pair.
      if (!isOpen(a2) && !isOpen(b2)) {
        const std::int32_t d2 = colorDistance(a2, b2);
        const bool neitherKey = !isAlpha(a2) && !isAlpha(b2);
        if (d2 < bestDistance && neitherKey) {
          setAverage(cell, a2, b2);
          a1.used = 0;
          b1.used = 0;
          a2.used = 1;
          b2.used = 1;
          cell.open = 0;
        } else if (d2 == bestDistance && neitherKey) {
          cell.red = std::int16_t(
              (std::int32_t(cell.red) + std::int32_t(channelAverage(a2.red, b2.red))) / 2);
          cell.green = std::int16_t(
              (std::int32_t(cell.green) + std::int32_t(channelAverage(a2.green, b2.green))) / 2);
          cell.blue = std::int16_t(
              (std::int32_t(cell.blue) + std::int32_t(channelAverage(a2.blue, b2.blue))) / 2);
          a2.used = 1;
          b2.used = 1;
          cell.open = 0;
        } else {
          // d2 greater than the best distance, or a key-coloured cell: nothing
        }
      }

      // Step 4.
      if (filled) cell.open = 0;
    }
  }
}

void diagonalSweep(Grid& grid) {
  sweep(grid, Pair{{-1, -1}, {1, 1}}, Pair{{-1, 1}, {1, -1}});
}

void orthogonalSweep(Grid& grid) { sweep(grid, Pair{{0, -1}, {0, 1}}, Pair{{-1, 0}, {1, 0}}); }

void reseed(Grid& grid) {
  const std::int32_t referenceValue = mode == 0 ? 1 : 0;
  for (int r = 0; r < gridHeight; ++r) {
    for (int c = 0; c < gridWidth; ++c) {
      Cell& cell = grid[std::size_t(r)][std::size_t(c)];
      cell.wasOpen = std::int32_t(cell.open);
      if (!isSourceCell(r, c))
        cell.open = 1;
      else
        cell.open = cell.used == referenceValue ? 1 : 0;
    }
  }
}

void refinementRounds(Grid& grid) {
  diagonalSweep(grid);
  orthogonalSweep(grid);
  if (mode > 1) return;
  reseed(grid);
  diagonalSweep(grid);
  orthogonalSweep(grid);
}

// ---- Gap closing pass -------------------------------------------------------

struct GapPass {
  Offset gate1;
  Offset gate2;
  Offset partnerA;
  Offset partnerB;
};

void gapClosingPass(Grid& grid, Grid& scratch) {
  // Step 1.
  if (mode <= 1) {
    for (int r = 0; r < gridHeight; ++r)
      for (int c = 0; c < gridWidth; ++c) {
        Cell& cell = grid[std::size_t(r)][std::size_t(c)];
        cell.open = cell.wasOpen != 0 ? 1 : 0;
      }
  }

  // Step 2.
  for (int r = 0; r < gridHeight; ++r)
    for (int c = 0; c < gridWidth; ++c) {
      const Cell& from = grid[std::size_t(r)][std::size_t(c)];
      Cell& to = scratch[std::size_t(r)][std::size_t(c)];
      to.red = from.red;
      to.green = from.green;
      to.blue = from.blue;
      to.open = from.open;
      to.used = from.used;
    }

  // Step 3.
  const GapPass passes[4] = {
      {{0, -1}, {0, 1}, {-2, -1}, {2, 1}},
      {{-1, 0}, {1, 0}, {-1, -2}, {1, 2}},
      {{0, -1}, {0, 1}, {-2, 1}, {2, -1}},
      {{-1, 0}, {1, 0}, {1, -2}, {-1, 2}},
  };
  for (int r = 0; r < gridHeight; ++r) {
    for (int c = 0; c < gridWidth; ++c) {
      if (!isOpen(grid[std::size_t(r)][std::size_t(c)])) continue;
      for (const GapPass& pass : passes) {
        setCurrent(r, c);
        const Cell& gate1 = neighbour(grid, pass.gate1.dr, pass.gate1.dc);
        const Cell& gate2 = neighbour(grid, pass.gate2.dr, pass.gate2.dc);
        const Cell& a = neighbour(grid, pass.partnerA.dr, pass.partnerA.dc);
        const Cell& b = neighbour(grid, pass.partnerB.dr, pass.partnerB.dc);
        if (!isSettled(gate1) && !isSettled(gate2)) continue;
        if (!isSettled(a) || !isSettled(b)) continue;
        if (isAlpha(a)) continue;
        if (isAlpha(b)) continue;
        Cell& target = scratch[std::size_t(r)][std::size_t(c)];
        setAverage(target, a, b);
        target.open = 0;
      }
    }
  }

  // Step 4.
  for (int r = 0; r < gridHeight; ++r)
    for (int c = 0; c < gridWidth; ++c) {
      const Cell& from = scratch[std::size_t(r)][std::size_t(c)];
      Cell& to = grid[std::size_t(r)][std::size_t(c)];
      to.red = from.red;
      to.green = from.green;
      to.blue = from.blue;
      to.open = from.open;
      to.used = from.used;
    }

  // Step 5: the scratch grid goes when the caller's vector does.
}

// ---- Restorer ---------------------------------------------------------------

std::int32_t brightness(const Cell& cell) {
  return std::int32_t(cell.red) + std::int32_t(cell.green) + std::int32_t(cell.blue);
}

}  // namespace

void scaleCells(Grid& grid, std::int16_t height, std::int16_t width, AlphaColor key,
                std::int32_t refineMode) {
  keyColour = key;
  mode = refineMode;
  gridWidth = width;
  gridHeight = height;
  Grid scratch = makeGrid(height, width);
  alphaPass(grid);
  refinementRounds(grid);
  gapClosingPass(grid, scratch);
}

void restoreCells(Grid& grid, std::int16_t height, std::int16_t width, AlphaColor key) {
  keyColour = key;

  // Step 1, setup: horizontal, vertical, diagonal, anti-diagonal.
  gridHeight = height;
  gridWidth = width;
  Grid directions[4] = {makeGrid(height, width), makeGrid(height, width),
                        makeGrid(height, width), makeGrid(height, width)};
  const Pair pairs[4] = {
      {{0, -1}, {0, 1}},
      {{-1, 0}, {1, 0}},
      {{-1, -1}, {1, 1}},
      {{-1, 1}, {1, -1}},
  };

  // Step 2, initial copy.
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c)
      for (Grid& direction : directions) {
        const Cell& from = grid[std::size_t(r)][std::size_t(c)];
        Cell& to = direction[std::size_t(r)][std::size_t(c)];
        to.red = from.red;
        to.green = from.green;
        to.blue = from.blue;
        to.open = from.open;
        to.used = from.used;
      }

  // Step 3, eight rounds.
  for (int round = 0; round < 8; ++round) {
    for (int r = 0; r < height; ++r) {
      for (int c = 0; c < width; ++c) {
        setCurrent(r, c);
        const Cell& x = grid[std::size_t(r)][std::size_t(c)];
        for (int d = 0; d < 4; ++d) {
          const Cell& a = neighbour(grid, pairs[d].a.dr, pairs[d].a.dc);
          const Cell& b = neighbour(grid, pairs[d].b.dr, pairs[d].b.dc);
          const bool aEqual = brightness(a) == brightness(x);
          const bool bEqual = brightness(b) == brightness(x);
          if (aEqual == bEqual) continue;
          if (isAlpha(a)) continue;
          if (isAlpha(b)) continue;
          Cell& candidate = directions[d][std::size_t(r)][std::size_t(c)];
          setAverage(candidate, a, b);
          candidate.open = 0;
        }
      }
    }
    for (int r = 0; r < height; ++r)
      for (int c = 0; c < width; ++c) {
        Cell& cell = grid[std::size_t(r)][std::size_t(c)];
        const Cell& h = directions[0][std::size_t(r)][std::size_t(c)];
        const Cell& v = directions[1][std::size_t(r)][std::size_t(c)];
        const Cell& g = directions[2][std::size_t(r)][std::size_t(c)];
        const Cell& n = directions[3][std::size_t(r)][std::size_t(c)];
        cell.red = std::int16_t((std::int32_t(h.red) + std::int32_t(v.red) + std::int32_t(g.red) +
                                 std::int32_t(n.red)) /
                                4);
        cell.green = std::int16_t((std::int32_t(h.green) + std::int32_t(v.green) +
                                   std::int32_t(g.green) + std::int32_t(n.green)) /
                                  4);
        cell.blue = std::int16_t((std::int32_t(h.blue) + std::int32_t(v.blue) +
                                  std::int32_t(g.blue) + std::int32_t(n.blue)) /
                                 4);
      }
  }

  // Step 4, release: the direction grids go with this scope.
}

namespace {

// The pixel data as a bottom-up 24-bit BMP stores it without row padding:
// bottom row first, each row left to right, each pixel blue, green, red.
std::vector<std::uint8_t> pixelBytes(const std::vector<Rgb8>& pixels, int width, int height) {
  std::vector<std::uint8_t> bytes;
  for (int y = height - 1; y >= 0; --y)
    for (int x = 0; x < width; ++x) {
      const Rgb8& p = pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)];
      bytes.push_back(p.blue);
      bytes.push_back(p.green);
      bytes.push_back(p.red);
    }
  return bytes;
}

// Reads the pixel data from its end backwards into the grid, the first
// pixel met going to the first cell that takes one.
template <typename TakesPixel>
void fillFromEnd(Grid& grid, int rows, int columns, const std::vector<std::uint8_t>& bytes,
                 TakesPixel takesPixel, AlphaColor key) {
  std::ptrdiff_t p = std::ptrdiff_t(bytes.size()) - 1;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) {
      Cell& cell = grid[std::size_t(r)][std::size_t(c)];
      if (takesPixel(r, c)) {
        cell.red = bytes[std::size_t(p)];
        cell.green = bytes[std::size_t(p - 1)];
        cell.blue = bytes[std::size_t(p - 2)];
        p -= 3;
      } else {
        cell.red = key.red;
        cell.green = key.green;
        cell.blue = key.blue;
      }
    }
}

}  // namespace

Grid doubledGrid(const std::vector<Rgb8>& pixels, int width, int height, AlphaColor key) {
  // 2W and 2H computed in 16 bits, then read as signed.
  const std::int16_t rows = std::int16_t(std::uint16_t(2 * std::uint16_t(height)));
  const std::int16_t columns = std::int16_t(std::uint16_t(2 * std::uint16_t(width)));
  Grid grid = makeGrid(rows, columns);
  fillFromEnd(grid, rows, columns, pixelBytes(pixels, width, height), isSourceCell, key);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) {
      Cell& cell = grid[std::size_t(r)][std::size_t(c)];
      cell.open = isSourceCell(r, c) ? 0 : 1;
      cell.used = 0;
    }
  return grid;
}

Grid plainGrid(const std::vector<Rgb8>& pixels, int width, int height) {
  Grid grid = makeGrid(height, width);
  fillFromEnd(grid, height, width, pixelBytes(pixels, width, height),
              [](int, int) { return true; }, AlphaColor{});
  for (auto& row : grid)
    for (Cell& cell : row) {
      cell.open = 1;
      cell.used = 0;
    }
  return grid;
}

std::vector<Rgb16> colours(const Grid& grid) {
  std::vector<Rgb16> result;
  for (const auto& row : grid)
    for (const Cell& cell : row) result.push_back(Rgb16{cell.red, cell.green, cell.blue});
  return result;
}

std::vector<Rgb16> referenceScale(const std::vector<Rgb8>& pixels, int width, int height,
                                  AlphaColor key, std::int32_t refineMode) {
  Grid grid = doubledGrid(pixels, width, height, key);
  const std::int16_t rows = std::int16_t(std::uint16_t(2 * std::uint16_t(height)));
  const std::int16_t columns = std::int16_t(std::uint16_t(2 * std::uint16_t(width)));
  scaleCells(grid, rows, columns, key, refineMode);
  return colours(grid);
}

std::vector<Rgb16> referenceRestore(const std::vector<Rgb8>& pixels, int width, int height,
                                    AlphaColor key) {
  Grid grid = plainGrid(pixels, width, height);
  restoreCells(grid, std::int16_t(height), std::int16_t(width), key);
  return colours(grid);
}

}  // namespace zorpix::reference
