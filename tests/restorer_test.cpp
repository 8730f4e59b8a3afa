// The smoothing rounds on small grids whose results were worked out by hand,
// and the symmetries every result must have on a wrapped grid.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "frame/cell_grid.h"
#include "restorer/restore_grid.h"
#include "support/test_files.h"

namespace zorpix {
namespace {

using testing::Rgb;

// Grid rows from row 0, each from column 0.
using Rows = std::vector<std::vector<Rgb>>;

constexpr Rgb kCyan{0, 255, 255};

Rgb grey(int v) { return Rgb{v, v, v}; }

Rows restored(const Rows& rows, AlphaColor key = AlphaColor{}) {
  const int height = int(rows.size());
  const int width = rows.empty() ? 0 : int(rows[0].size());
  CellGrid<std::uint8_t> grid(height, width, false);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) {
      const Rgb& p = rows[std::size_t(r)][std::size_t(c)];
      grid.at(r, c) = {std::uint8_t(p.red), std::uint8_t(p.green), std::uint8_t(p.blue)};
    }
  Workers workers(1);
  restoreGrid(grid, key, workers);
  EXPECT_EQ(grid.height(), height);
  EXPECT_EQ(grid.width(), width);
  Rows out(std::size_t(height), std::vector<Rgb>(std::size_t(width), Rgb{}));
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) {
      const auto& p = grid.at(r, c);
      out[std::size_t(r)][std::size_t(c)] = Rgb{p.red, p.green, p.blue};
    }
  return out;
}

Rows transposed(const Rows& rows) {
  Rows out(rows[0].size(), std::vector<Rgb>(rows.size()));
  for (std::size_t r = 0; r < rows.size(); ++r)
    for (std::size_t c = 0; c < rows[0].size(); ++c) out[c][r] = rows[r][c];
  return out;
}

TEST(RestoreGrid, WorkedExampleOfTwoGreyBands) {
  const Rows in = {{grey(100), grey(100), grey(100)},
                   {grey(100), grey(100), grey(100)},
                   {grey(10), grey(10), grey(10)},
                   {grey(10), grey(10), grey(10)}};
  const Rows out = {{grey(65), grey(65), grey(65)},
                    {grey(65), grey(65), grey(65)},
                    {grey(43), grey(43), grey(43)},
                    {grey(43), grey(43), grey(43)}};
  EXPECT_EQ(restored(in), out);
}

// The cyan cell takes candidates though it is key-coloured, while the yellow
// cell beside it is kept from them by the cyan neighbour. From round 2 on no
// direction qualifies, so a direction that offered once keeps its candidate.
TEST(RestoreGrid, KeyColouredCellChangesButBlocksItsNeighbours) {
  const Rows in = {{{1, 2, 3}, {255, 255, 0}, kCyan, {10, 10, 10}, {7, 7, 7}}};
  const Rows out = {{{1, 2, 3}, {255, 255, 0}, {99, 162, 67}, {10, 10, 10}, {7, 7, 7}}};
  EXPECT_EQ(restored(in), out);
}

TEST(RestoreGrid, ReadsTheKeyColourOfTheRunAndMatchesItIn16Bits) {
  const Rows in = {{{1, 2, 3}, {255, 255, 0}, kCyan, {10, 10, 10}, {7, 7, 7}}};
  // With no cyan key the yellow cell takes the average of its neighbours too.
  const Rows noKeyInGrid = {{{1, 2, 3}, {63, 159, 96}, {99, 162, 67}, {10, 10, 10}, {7, 7, 7}}};
  EXPECT_EQ(restored(in, AlphaColor{255, 0, 255}), noKeyInGrid);
  // 256 and -1 have cyan's red and blue in their low bytes, but no byte
  // channel equals them.
  EXPECT_EQ(restored(in, AlphaColor{256, 255, 255}), noKeyInGrid);
  EXPECT_EQ(restored(in, AlphaColor{0, 255, -1}), noKeyInGrid);
}

TEST(RestoreGrid, LeavesGridsWithoutBrightnessEdgesUnchanged) {
  std::mt19937 random(7);
  // All of brightness 60 but of different colours: brightness, not colour,
  // decides whether two cells are alike.
  const Rgb sameBrightness[] = {{30, 20, 10}, {10, 20, 30}, {20, 20, 20}, {0, 0, 60}, {60, 0, 0}};
  Rows mixed(4, std::vector<Rgb>(5));
  for (auto& row : mixed)
    for (Rgb& p : row) p = sameBrightness[random() % 5];

  const Rows cases[] = {
      Rows(5, std::vector<Rgb>(7, Rgb{30, 40, 50})),
      Rows(3, std::vector<Rgb>(4, kCyan)),
      mixed,
      {{{30, 20, 10}, {30, 20, 10}, {10, 20, 30}}},
      {{Rgb{200, 0, 9}}},
      {{kCyan}},
      {{{1, 2, 3}, {200, 100, 0}}},  // both horizontal neighbours are the other cell
      {{{1, 2, 3}}, {{200, 100, 0}}},
  };
  for (const Rows& in : cases) EXPECT_EQ(restored(in), in) << in.size() << " rows";
}

TEST(RestoreGrid, TakesEmptyGrids) {
  EXPECT_EQ(restored(Rows{}), Rows{});
  EXPECT_EQ(restored(Rows(4, std::vector<Rgb>{})), Rows(4, std::vector<Rgb>{}));
}

// One column of three cells: the horizontal pair is the cell itself twice,
// and the diagonal pairs are the vertical pair, so three quarters follow the
// vertical candidate. The band settles at 36 in round 5. Transposed, the same
// holds for one row, with the vertical direction the one that never qualifies.
TEST(RestoreGrid, OneColumnAndOneRow) {
  const Rows column = {{grey(90)}, {grey(90)}, {grey(0)}};
  const Rows columnOut = {{grey(36)}, {grey(36)}, {grey(0)}};
  EXPECT_EQ(restored(column), columnOut);
  EXPECT_EQ(restored(transposed(column)), transposed(columnOut));
}

// Two columns: the horizontal direction never qualifies and both diagonals
// pair the same two cells of the other column. Rows 0 and 1 settle in round 3;
// the bottom row never changes. Transposed: two rows.
TEST(RestoreGrid, TwoColumnsAndTwoRows) {
  const Rows in = {{grey(60), grey(60)}, {grey(60), grey(60)}, {grey(60), grey(0)}};
  const Rows out = {{grey(42), grey(51)}, {grey(42), grey(51)}, {grey(60), grey(0)}};
  EXPECT_EQ(restored(in), out);
  EXPECT_EQ(restored(transposed(in)), transposed(out));
}

// The black cell at one end changes the cell at the other end through the
// wrap, and in a column the same happens from the top row to the bottom row.
TEST(RestoreGrid, WrapsAroundBothEdges) {
  const Rows row = {{grey(0), grey(90), grey(90), grey(90)}};
  const Rows rowOut = {{grey(0), grey(56), grey(90), grey(56)}};
  EXPECT_EQ(restored(row), rowOut);
  EXPECT_EQ(restored(transposed(row)), transposed(rowOut));
}

// The black cell starts a front that moves one cell to the right per round:
// each cell qualifies only once its left neighbour has changed. Key-coloured
// column 0 keeps the front from starting at the other end as well. Column 9
// changes in round 8, column 10 would in round 9.
TEST(RestoreGrid, RunsExactlyEightRounds) {
  const Rows in = {{kCyan, grey(0), grey(255), grey(255), grey(255), grey(255), grey(255),
                    grey(255), grey(255), grey(255), grey(255), grey(255)}};
  const Rows out = {{kCyan, grey(0), grey(159), grey(219), grey(241), grey(249), grey(252),
                     grey(253), grey(254), grey(254), grey(255), grey(255)}};
  EXPECT_EQ(restored(in), out);
  EXPECT_EQ(restored(transposed(in)), transposed(out));
}

// Column 1's candidate is (10+13)/2 = 11, (0+97)/2 = 48, 0; its mean with the
// vertical grid's starting colour is 43/4, 194/4, 50/4. The key-coloured last
// cell keeps every other cell from changing.
TEST(RestoreGrid, TruncatesCandidatesAndMeans) {
  const Rows in = {{{10, 0, 0}, {10, 50, 50}, {13, 97, 0}, kCyan}};
  const Rows out = {{{10, 0, 0}, {10, 48, 12}, {13, 97, 0}, kCyan}};
  EXPECT_EQ(restored(in), out);
}

TEST(RestoreGrid, OnlyTheExactKeyColourBlocksADirection) {
  struct Case {
    Rgb neighbour;  // column 2, beside the cell in column 1
    Rgb cell;       // as bright as the neighbour
    Rgb result;
  };
  const Case cases[] = {
      {{1, 255, 255}, {200, 200, 111}, {50, 145, 123}},
      {{0, 254, 255}, {200, 200, 109}, {50, 145, 122}},
      {{0, 255, 254}, {200, 200, 109}, {50, 145, 122}},
      {kCyan, {200, 200, 110}, {200, 200, 110}},
  };
  for (const Case& c : cases) {
    const Rows in = {{grey(0), c.cell, c.neighbour, kCyan}};
    const Rows out = {{grey(0), c.result, c.neighbour, kCyan}};
    EXPECT_EQ(restored(in), out) << ::testing::PrintToString(c.neighbour);
  }
}

// A grid with many brightness edges and key-coloured cells, for the symmetry
// tests: on a wrapped grid the result can't depend on where the grid starts,
// on mirroring, or on swapping rows for columns.
Rows busyGrid(int height, int width, unsigned seed) {
  const Rgb palette[] = {kCyan,         {255, 255, 0}, {200, 200, 110}, {30, 20, 10},
                         {10, 20, 30},  {20, 20, 20},  {100, 100, 100}, {0, 0, 0},
                         {250, 10, 40}, {0, 254, 255}};
  std::mt19937 random(seed);
  Rows rows(std::size_t(height), std::vector<Rgb>(std::size_t(width), Rgb{}));
  for (auto& row : rows)
    for (Rgb& p : row) p = palette[random() % std::size(palette)];
  return rows;
}

Rows shifted(const Rows& rows, std::size_t dr, std::size_t dc) {
  const std::size_t h = rows.size(), w = rows[0].size();
  Rows out = rows;
  for (std::size_t r = 0; r < h; ++r)
    for (std::size_t c = 0; c < w; ++c) out[(r + dr) % h][(c + dc) % w] = rows[r][c];
  return out;
}

Rows mirroredColumns(Rows rows) {
  for (auto& row : rows) std::reverse(row.begin(), row.end());
  return rows;
}

Rows mirroredRows(Rows rows) {
  std::reverse(rows.begin(), rows.end());
  return rows;
}

TEST(RestoreGrid, ResultMovesWithTheGridOnTheTorus) {
  for (const auto& [height, width] :
       {std::pair{7, 9}, std::pair{3, 5}, std::pair{2, 6}, std::pair{4, 37}}) {
    const Rows in = busyGrid(height, width, unsigned(height * 100 + width));
    const Rows out = restored(in);
    ASSERT_NE(out, in) << "the grid must give the rounds something to do";
    for (std::size_t dr : {1u, 2u})
      for (std::size_t dc : {1u, 3u})
        EXPECT_EQ(restored(shifted(in, dr, dc)), shifted(out, dr, dc))
            << height << "x" << width << " shifted " << dr << "," << dc;
    EXPECT_EQ(restored(mirroredColumns(in)), mirroredColumns(out)) << height << "x" << width;
    EXPECT_EQ(restored(mirroredRows(in)), mirroredRows(out)) << height << "x" << width;
    EXPECT_EQ(restored(transposed(in)), transposed(out)) << height << "x" << width;
  }
}

}  // namespace
}  // namespace zorpix
