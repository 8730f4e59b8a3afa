// The scaler's stages on hand-built grids, with the results worked out by hand.

#include <gtest/gtest.h>

#include <vector>

#include "scaler/neighbours.h"
#include "scaler/refine_rules.h"
#include "scaler/scale_grid.h"

namespace zorpix {
namespace {

using Grid = CellGrid<std::uint8_t>;
using C8 = Cell<std::uint8_t>;

constexpr AlphaColor kCyan{0, 255, 255};

// The stages on the calling thread alone.
Workers& oneWorker() {
  static Workers workers(1);
  return workers;
}


C8 grey(int v) { return C8{std::uint8_t(v), std::uint8_t(v), std::uint8_t(v)}; }

void expectCell(const Grid& grid, int r, int c, int red, int green, int blue) {
  const C8& cell = grid.at(r, c);
  EXPECT_EQ(cell.red, red) << "cell " << r << "," << c;
  EXPECT_EQ(cell.green, green) << "cell " << r << "," << c;
  EXPECT_EQ(cell.blue, blue) << "cell " << r << "," << c;
}

// Every cell open in the key colour, unused.
Grid openGrid(int height, int width) {
  Grid grid(height, width, true);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) {
      grid.at(r, c) = C8{0, 255, 255};
      grid.flags(r, c) = kOpen | kKey;
    }
  return grid;
}

void settle(Grid& grid, int r, int c, C8 colour) {
  grid.at(r, c) = colour;
  grid.flags(r, c) = isAlpha(colour, kCyan) ? kKey : 0;
}

// The gap closing pass on a grid whose colours the test set by hand.
void gapPass(Grid& grid, int mode) {
  markKeyCells(grid, kCyan);
  closeGaps(grid, kCyan, refinePlan(mode), oneWorker());
}

// The doubled grid as the frame builds it from an image given row by row
// from the top-left.
Grid doubledGrid(int height, int width, const std::vector<C8>& pixels) {
  Grid grid = openGrid(2 * height, 2 * width);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      settle(grid, 2 * y, 2 * (width - 1 - x) + 1, pixels[std::size_t(y * width + x)]);
  return grid;
}

TEST(Neighbours, WrapOnceAroundTheGridsEdges) {
  struct Case {
    int position, offset, size, expected;
  };
  const Case cases[] = {
      {0, -1, 8, 7}, {0, -2, 8, 6}, {1, -2, 8, 7}, {7, 1, 8, 0}, {6, 2, 8, 0}, {3, 0, 8, 3},
      {0, -1, 2, 1}, {0, 1, 2, 1},  {1, 2, 2, 1},  {1, -2, 2, 1}, {0, -1, 1, 0}, {0, 1, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wrapColumn(c.position, c.offset, c.size), c.expected)
        << c.position << "+" << c.offset << " in " << c.size;
    EXPECT_EQ(wrapRow(c.position, c.offset, c.size), c.expected);
  }
}

TEST(Neighbours, ColourArithmeticTruncatesAndKeeps16Bits) {
  EXPECT_EQ(colorDistance(C8{0, 0, 0}, C8{255, 255, 255}), 765);
  EXPECT_EQ(colorDistance(C8{10, 20, 30}, C8{30, 20, 10}), 40);
  using C16 = Cell<std::int16_t>;
  // A difference above 32767 counts 65536 less.
  EXPECT_EQ(colorDistance(C16{-32768, 0, 0}, C16{255, 0, 0}), 33023 - 65536);
  EXPECT_EQ(colorDistance(C16{300, -1, 0}, C16{0, 0, 0}), 301);
  EXPECT_EQ(channelAverage<std::int16_t>(10, 13), 11);
  EXPECT_EQ(channelAverage<std::int16_t>(-3, 0), -1);
  EXPECT_EQ(channelAverage<std::int16_t>(-3, -4), -3);
  EXPECT_EQ(channelAverage<std::int16_t>(32767, 32767), 32767);
  EXPECT_TRUE(isAlpha(C8{0, 255, 255}, kCyan));
  EXPECT_FALSE(isAlpha(C8{0, 255, 254}, kCyan));
  // A key outside 0..255 never matches a byte channel, even by its low byte.
  EXPECT_FALSE(isAlpha(C8{44, 0, 0}, AlphaColor{300, 0, 0}));
  EXPECT_TRUE(isAlpha(C16{300, 0, 0}, AlphaColor{300, 0, 0}));
}

TEST(AlphaPass, SettlesCellsBetweenTwoKeyColouredPixels) {
  // One image row: key, key, red. Grid columns run mirrored: the pixels sit at
  // columns 5, 3 and 1.
  Grid grid = doubledGrid(2, 3, {grey(0), grey(0), grey(0), {0, 255, 255}, {0, 255, 255}, {200, 0, 0}});
  alphaPass(grid);
  // Row 2 holds the key, key, red row: between the two keys (column 4) settles,
  // between key and red (column 2) doesn't.
  EXPECT_FALSE(grid.isOpen(2, 4));
  EXPECT_TRUE(grid.isOpen(2, 2));
  // Column 0 lies between the rightmost pixel (red, column 1) and, across the
  // wrap, the leftmost (key, column 5).
  EXPECT_TRUE(grid.isOpen(2, 0));
  // Row 3 lies between row 2 and, across the wrap, row 0 (all grey).
  EXPECT_TRUE(grid.isOpen(3, 5));
  EXPECT_TRUE(grid.isOpen(1, 5));
  expectCell(grid, 2, 4, 0, 255, 255);
}

TEST(AlphaPass, LastRowAndColumnSettleThroughCellsSettledEarlierInThePass) {
  // A key-coloured image: every pair of the first cells reaches source cells;
  // the last row's odd/even cells reach, by wrapping, cells of row 0 that the
  // pass has just settled.
  Grid grid = doubledGrid(2, 2, std::vector<C8>(4, C8{0, 255, 255}));
  alphaPass(grid);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_FALSE(grid.isOpen(r, c)) << r << "," << c;

  // The same shape with one channel off is no key colour at all.
  Grid offByOne = doubledGrid(2, 2, std::vector<C8>(4, C8{0, 255, 254}));
  alphaPass(offByOne);
  EXPECT_TRUE(offByOne.isOpen(0, 0));
  EXPECT_TRUE(offByOne.isOpen(1, 0));
}

TEST(AlphaPass, TheLastColumnSettlesThroughCellsSettledEarlierInThePass) {
  // Grid 4 x 8. Key pixels at (0,1), (0,5) and (2,7), the others grey.
  // (1,0) settles through (0,1) and, across the wrap, (2,7); (1,6) through
  // (0,5) and (2,7). (1,7) has no key pair of pixels, but its horizontal pair
  // is (1,6) and, across the wrap, (1,0): both settled earlier in this pass.
  // (1,5) has the same kind of pair, (1,4) and (1,6), but (1,6) comes after
  // it.
  Grid grid = openGrid(4, 8);
  const C8 key{0, 255, 255};
  for (int c : {1, 3, 5, 7}) {
    settle(grid, 0, c, c == 1 || c == 5 ? key : grey(9));
    settle(grid, 2, c, c == 7 ? key : grey(9));
  }
  alphaPass(grid);
  EXPECT_FALSE(grid.isOpen(1, 0));
  EXPECT_FALSE(grid.isOpen(1, 6));
  EXPECT_FALSE(grid.isOpen(1, 7));
  EXPECT_TRUE(grid.isOpen(1, 5));
  EXPECT_TRUE(grid.isOpen(1, 4));
  EXPECT_TRUE(grid.isOpen(0, 0)) << "between (0,7) grey and (0,1) key";
  expectCell(grid, 1, 7, 0, 255, 255);
}

TEST(AlphaPass, ACellSettlesThroughTheNeighbourSettledJustBeforeIt) {
  // Row 1 of a 4 x 8 grid: (1,2) settles through its vertical pair; (1,3)
  // then has (1,2) and (1,4) as a settled key-coloured pair. (1,5) has the
  // same kind of pair, (1,4) and (1,6), but (1,6) settles only after it.
  Grid grid = openGrid(4, 8);
  const C8 key{0, 255, 255};
  settle(grid, 0, 2, key);
  settle(grid, 2, 2, key);
  settle(grid, 1, 4, key);
  settle(grid, 0, 6, key);
  settle(grid, 2, 6, key);
  alphaPass(grid);
  EXPECT_FALSE(grid.isOpen(1, 2));
  EXPECT_FALSE(grid.isOpen(1, 3));
  EXPECT_TRUE(grid.isOpen(1, 5));
  EXPECT_FALSE(grid.isOpen(1, 6));
  EXPECT_TRUE(grid.isOpen(1, 7));
}

// A diagonal sweep over one open cell at (3,3) of an 8x8 grid whose four
// diagonal neighbours are given; every other cell open, so nothing else in
// the sweep can see two settled cells in a diagonal pair.
struct DiagonalCase {
  C8 upRight, downLeft;  // first pair: (2,2) and (4,4)
  C8 upLeft, downRight;  // second pair: (2,4) and (4,2)
};

Grid diagonalSweepOf(const DiagonalCase& k, std::uint8_t presetUsedOn22 = 0) {
  Grid grid = openGrid(8, 8);
  settle(grid, 2, 2, k.upRight);
  settle(grid, 4, 4, k.downLeft);
  settle(grid, 2, 4, k.upLeft);
  settle(grid, 4, 2, k.downRight);
  grid.flags(2, 2) |= presetUsedOn22;
  diagonalSweep(grid, kCyan);
  return grid;
}

TEST(Refinement, EquallyClosePairsBlend) {
  const Grid g = diagonalSweepOf({grey(10), grey(20), grey(12), grey(22)});
  expectCell(g, 3, 3, 16, 16, 16);
  EXPECT_FALSE(g.isOpen(3, 3));
  for (auto [r, c] : {std::pair{2, 2}, {4, 4}, {2, 4}, {4, 2}}) EXPECT_TRUE(g.isUsed(r, c)) << r << "," << c;
}

TEST(Refinement, AStrictlyCloserSecondPairReplacesAndTakesTheMarks) {
  const Grid g = diagonalSweepOf({grey(0), grey(100), grey(30), grey(40)}, kUsed);
  expectCell(g, 3, 3, 35, 35, 35);
  EXPECT_FALSE(g.isUsed(2, 2)) << "cleared even though set before the sweep";
  EXPECT_FALSE(g.isUsed(4, 4));
  EXPECT_TRUE(g.isUsed(2, 4));
  EXPECT_TRUE(g.isUsed(4, 2));
}

TEST(Refinement, AFartherSecondPairLeavesTheFirstPairsResult) {
  const Grid g = diagonalSweepOf({grey(30), grey(40), grey(0), grey(100)});
  expectCell(g, 3, 3, 35, 35, 35);
  EXPECT_TRUE(g.isUsed(2, 2));
  EXPECT_FALSE(g.isUsed(2, 4));
}

TEST(Refinement, AKeyColouredFirstPairStillSetsTheDistanceToBeat) {
  const Grid g = diagonalSweepOf({{0, 255, 255}, {0, 250, 255}, grey(10), grey(20)});
  EXPECT_TRUE(g.isOpen(3, 3));
  expectCell(g, 3, 3, 0, 255, 255);
  for (auto [r, c] : {std::pair{2, 2}, {4, 4}, {2, 4}, {4, 2}}) EXPECT_FALSE(g.isUsed(r, c));
}

TEST(Refinement, AnEquallyCloseSecondPairBlendsIntoTheKeyColourTheCellHolds) {
  const Grid g = diagonalSweepOf({{0, 255, 255}, {10, 255, 255}, {100, 100, 100}, {110, 100, 100}});
  expectCell(g, 3, 3, 52, 177, 177);
  EXPECT_FALSE(g.isOpen(3, 3));
  EXPECT_FALSE(g.isUsed(2, 2));
  EXPECT_FALSE(g.isUsed(4, 4));
  EXPECT_TRUE(g.isUsed(2, 4));
  EXPECT_TRUE(g.isUsed(4, 2));
}

TEST(Refinement, ACloserSecondPairWithTheKeyColourChangesNothing) {
  const Grid g = diagonalSweepOf({grey(0), grey(100), {0, 255, 255}, {0, 255, 250}});
  expectCell(g, 3, 3, 50, 50, 50);
  EXPECT_TRUE(g.isUsed(2, 2));
  EXPECT_FALSE(g.isUsed(2, 4));
}

TEST(Refinement, AnOpenFirstPairLeavesTheSecondPairToFill) {
  Grid grid = openGrid(8, 8);
  settle(grid, 2, 2, grey(10));
  settle(grid, 2, 4, grey(30));
  settle(grid, 4, 2, grey(50));
  diagonalSweep(grid, kCyan);
  expectCell(grid, 3, 3, 40, 40, 40);
}

TEST(Refinement, DecidedCellsServeAsNeighboursLaterInTheSameSweep) {
  // Row 1: (1,1) is filled first from its diagonals; (1,2)'s horizontal pair
  // in the orthogonal sweep is then (1,1) and (1,3), the latter settled.
  Grid grid = openGrid(8, 8);
  settle(grid, 0, 0, grey(100));
  settle(grid, 2, 2, grey(100));
  settle(grid, 1, 3, grey(20));
  orthogonalSweep(grid, kCyan);
  EXPECT_TRUE(grid.isOpen(1, 2));
  diagonalSweep(grid, kCyan);
  expectCell(grid, 1, 1, 100, 100, 100);
  orthogonalSweep(grid, kCyan);
  expectCell(grid, 1, 2, 60, 60, 60);
}

// Inside an area of one colour, every open cell a sweep takes ends in that
// colour and marks its four pair cells used, however the sweep goes through
// the area. One cell left settled, at every column in turn, keeps its colour,
// and the pair cells next to it keep the marks their other neighbour sets.
TEST(Refinement, AFlatAreaFillsAroundASettledCellAndMarksEveryPairCellUsed) {
  const int width = 40;
  for (int k = 0; k < width; k += 2) {
    // The diagonal sweep fills row 1 between the settled cells of rows 0 and 2.
    Grid diagonal = openGrid(3, width);
    for (int c = 1; c < width; c += 2) {
      settle(diagonal, 0, c, grey(90));
      settle(diagonal, 2, c, grey(90));
    }
    settle(diagonal, 1, k, grey(7));
    diagonalSweep(diagonal, kCyan);
    // The orthogonal sweep fills row 1 from its own settled cells and from
    // rows 0 and 2, settled throughout.
    Grid orthogonal = openGrid(3, width);
    for (int c = 0; c < width; ++c) {
      settle(orthogonal, 0, c, grey(90));
      settle(orthogonal, 2, c, grey(90));
      if (c % 2 == 1) settle(orthogonal, 1, c, grey(90));
    }
    settle(orthogonal, 1, k, grey(7));
    orthogonalSweep(orthogonal, kCyan);

    for (int c = 0; c < width; c += 2) {
      const int v = c == k ? 7 : 90;
      expectCell(diagonal, 1, c, v, v, v);
      expectCell(orthogonal, 1, c, v, v, v);
      EXPECT_FALSE(diagonal.isOpen(1, c) || orthogonal.isOpen(1, c)) << "column " << c;
      EXPECT_EQ(orthogonal.isUsed(0, c), c != k) << "settled cell at " << k << ", column " << c;
      EXPECT_EQ(orthogonal.isUsed(2, c), c != k) << "settled cell at " << k << ", column " << c;
    }
    for (int c = 1; c < width; c += 2) {
      EXPECT_TRUE(diagonal.isUsed(0, c) && diagonal.isUsed(2, c))
          << "settled cell at " << k << ", column " << c;
      EXPECT_TRUE(orthogonal.isUsed(1, c)) << "settled cell at " << k << ", column " << c;
    }
  }
}

std::vector<C8> twoByTwo() { return {grey(10), grey(50), grey(90), grey(200)}; }

TEST(Refinement, TwoByTwoImageFillsEveryGapWithTheCloserDiagonal) {
  Grid grid = doubledGrid(2, 2, twoByTwo());
  alphaPass(grid);
  refinementRounds(grid, kCyan, refinePlan(2), oneWorker());
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) {
      const bool source = r % 2 == 0 && c % 2 == 1;
      if (!source) expectCell(grid, r, c, 70, 70, 70);
      EXPECT_FALSE(grid.isOpen(r, c));
      if (source) {
        EXPECT_FALSE(grid.isUsed(r, c)) << r << "," << c;
      }
      if (r % 2 == 1 && c % 2 == 0) {
        EXPECT_TRUE(grid.isUsed(r, c)) << r << "," << c;
      }
    }
}

TEST(Refinement, TwoByTwoImageComesOutTheSameForEveryMode) {
  for (int mode : {-5, 0, 1, 2, 7}) {
    Grid grid = doubledGrid(2, 2, twoByTwo());
    alphaPass(grid);
    refinementRounds(grid, kCyan, refinePlan(mode), oneWorker());
    gapPass(grid, mode);
    expectCell(grid, 0, 3, 10, 10, 10);
    expectCell(grid, 0, 1, 50, 50, 50);
    expectCell(grid, 2, 3, 90, 90, 90);
    expectCell(grid, 2, 1, 200, 200, 200);
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c)
        if (!(r % 2 == 0 && c % 2 == 1)) expectCell(grid, r, c, 70, 70, 70);
  }
}

TEST(Refinement, ReseedReopensComplementarySourceCells) {
  // After round 1 of the two-by-two image no source cell is marked used: mode
  // 1 reopens all four, so round 2 has no settled pair and leaves every cell
  // open; mode 0 reopens none, and round 2 settles every other cell again.
  for (int mode : {0, 1}) {
    Grid grid = doubledGrid(2, 2, twoByTwo());
    alphaPass(grid);
    refinementRounds(grid, kCyan, refinePlan(mode), oneWorker());
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(grid.flags(r, c) & kWasOpen, 0) << "round 1 settled everything";
        EXPECT_EQ(grid.isOpen(r, c), mode == 1) << "mode " << mode << " at " << r << "," << c;
      }
  }
}

TEST(ScaleGrid, OnePixelImageFillsItsBlockWithThePixel) {
  for (int mode : {-1, 0, 1, 2, 3}) {
    Grid grid = doubledGrid(1, 1, {C8{12, 34, 56}});
    scaleGrid(grid, kCyan, mode, oneWorker());
    for (int r = 0; r < 2; ++r)
      for (int c = 0; c < 2; ++c) expectCell(grid, r, c, 12, 34, 56);
  }
}

TEST(ScaleGrid, KeyColouredImageStaysKeyColouredEverywhere) {
  for (int mode : {-1, 0, 1, 2}) {
    Grid grid = doubledGrid(3, 5, std::vector<C8>(15, C8{0, 255, 255}));
    alphaPass(grid);
    for (int r = 0; r < 6; ++r)
      for (int c = 0; c < 10; ++c) EXPECT_FALSE(grid.isOpen(r, c));
    refinementRounds(grid, kCyan, refinePlan(mode), oneWorker());
    gapPass(grid, mode);
    for (int r = 0; r < 6; ++r)
      for (int c = 0; c < 10; ++c) expectCell(grid, r, c, 0, 255, 255);
  }
}

TEST(ScaleGrid, KeyColourNeverBlendsIntoASpriteEdge) {
  // A red square on a cyan field: every output pixel is either the key colour
  // or red, never a mixture.
  std::vector<C8> pixels(36, C8{0, 255, 255});
  for (int y = 2; y < 4; ++y)
    for (int x = 2; x < 4; ++x) pixels[std::size_t(y * 6 + x)] = C8{200, 0, 0};
  for (int mode : {0, 1, 2}) {
    Grid grid = doubledGrid(6, 6, pixels);
    scaleGrid(grid, kCyan, mode, oneWorker());
    for (int r = 0; r < 12; ++r)
      for (int c = 0; c < 12; ++c) {
        const C8& cell = grid.at(r, c);
        const bool key = isAlpha(cell, kCyan);
        const bool red = cell.red == 200 && cell.green == 0 && cell.blue == 0;
        EXPECT_TRUE(key || red) << "mode " << mode << " cell " << r << "," << c << " = "
                                << int(cell.red) << "," << int(cell.green) << "," << int(cell.blue);
      }
  }
}

// closeGaps with one open cell at (4,4) of an 8x8 grid of settled cells whose
// colours say where they are; mode 2 keeps the flags as they stand.
Grid gapGrid() {
  Grid grid(8, 8, true);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) settle(grid, r, c, C8{std::uint8_t(10 * r), std::uint8_t(10 * c), 1});
  grid.flags(4, 4) = kOpen;
  return grid;
}

TEST(GapClosing, TheHighestQualifyingLineWins) {
  Grid all = gapGrid();
  gapPass(all, 2);
  // Line 4: partners (5,2) and (3,6).
  expectCell(all, 4, 4, 40, 40, 1);
  EXPECT_FALSE(all.isOpen(4, 4));

  Grid noFour = gapGrid();
  noFour.at(3, 6) = C8{0, 255, 255};  // a key-coloured partner fails line 4
  gapPass(noFour, 2);
  // Line 3: partners (2,5) and (6,3).
  expectCell(noFour, 4, 4, 40, 40, 1);

  Grid onlyOneAndTwo = gapGrid();
  onlyOneAndTwo.flags(2, 5) = kOpen;  // line 3's partner
  onlyOneAndTwo.flags(3, 6) = kOpen;  // line 4's partner
  gapPass(onlyOneAndTwo, 2);
  // Line 2: partners (3,2) and (5,6).
  expectCell(onlyOneAndTwo, 4, 4, 40, 40, 1);
}

TEST(GapClosing, GatesPartnersAndTheKeyColourDecide) {
  // Distinct partner colours so the winning line shows.
  auto grid = [] {
    Grid g = gapGrid();
    g.at(2, 3) = grey(11);  // line 1 partner (r-2, c-1)
    g.at(6, 5) = grey(20);  // line 1 partner (r+2, c+1)
    return g;
  };
  // Lines 2 and 4 gated shut (both vertical gates open), line 3 lost a partner.
  Grid g = grid();
  g.flags(3, 4) = kOpen;
  g.flags(5, 4) = kOpen;
  g.flags(2, 5) = kOpen;
  gapPass(g, 2);
  expectCell(g, 4, 4, 15, 15, 15);

  // One settled gate is enough.
  Grid oneGate = grid();
  oneGate.flags(3, 4) = kOpen;
  oneGate.flags(5, 4) = kOpen;
  oneGate.flags(2, 5) = kOpen;
  oneGate.flags(4, 3) = kOpen;  // one horizontal gate open, the other settled
  gapPass(oneGate, 2);
  expectCell(oneGate, 4, 4, 15, 15, 15);

  // Every gate open: nothing closes, even with all partners settled.
  Grid shut = grid();
  for (auto [r, c] : {std::pair{3, 4}, {5, 4}, {4, 3}, {4, 5}}) shut.flags(r, c) = kOpen;
  gapPass(shut, 2);
  EXPECT_TRUE(shut.isOpen(4, 4));
  expectCell(shut, 4, 4, 40, 40, 1);

  // A partner off the key colour by one channel still counts.
  Grid nearKey = grid();
  nearKey.flags(3, 4) = kOpen;
  nearKey.flags(5, 4) = kOpen;
  nearKey.flags(2, 5) = kOpen;
  nearKey.at(2, 3) = C8{0, 255, 254};
  nearKey.at(6, 5) = C8{0, 255, 250};
  gapPass(nearKey, 2);
  expectCell(nearKey, 4, 4, 0, 255, 252);
}

TEST(GapClosing, CellsClosedInThePassDontHelpEachOther) {
  // (4,4) and (4,5) open: (4,5)'s gate (4,4) stays open for the whole pass
  // even though (4,4) closes.
  Grid g = gapGrid();
  g.flags(4, 5) = kOpen;
  g.flags(3, 5) = kOpen;
  g.flags(5, 5) = kOpen;
  g.flags(4, 6) = kOpen;
  gapPass(g, 2);
  EXPECT_FALSE(g.isOpen(4, 4));
  EXPECT_TRUE(g.isOpen(4, 5));
}

TEST(GapClosing, TwoRoundModesJudgeByRoundOnesFlags) {
  for (int mode : {-1, 0, 1, 2}) {
    // (4,4): left open by round 1, filled by round 2.
    Grid filledLate = gapGrid();
    filledLate.at(4, 4) = grey(99);
    filledLate.flags(4, 4) = kWasOpen;
    gapPass(filledLate, mode);
    if (mode <= 1) {
      expectCell(filledLate, 4, 4, 40, 40, 1);  // open again, closed from line 4
    } else {
      expectCell(filledLate, 4, 4, 99, 99, 99);
    }
    EXPECT_FALSE(filledLate.isOpen(4, 4));

    // (4,4): settled by round 1, reopened by the re-seed step, left open.
    Grid settledEarly = gapGrid();
    settledEarly.at(4, 4) = grey(99);
    gapPass(settledEarly, mode);
    if (mode <= 1) {
      expectCell(settledEarly, 4, 4, 99, 99, 99);
      EXPECT_FALSE(settledEarly.isOpen(4, 4));
    } else {
      expectCell(settledEarly, 4, 4, 40, 40, 1);
    }
  }
}

TEST(GapClosing, OneRowImagePairsTheCellsOwnRow) {
  // Height 2: two rows up and down are the cell's own row.
  Grid g = openGrid(2, 8);
  for (int c = 0; c < 8; ++c) settle(g, 0, c, grey(10 * c));
  for (int c = 0; c < 8; c += 2) settle(g, 1, c, grey(5 * c));
  // (1,3): lines 1 and 3 average (1,2) and (1,4); lines 2 and 4 average
  // (0,1) and (0,5) — gated by (0,3), settled. Line 4 wins: (50 + 10) / 2.
  gapPass(g, 2);
  expectCell(g, 1, 3, 30, 30, 30);
  // Width 2 as well: lines 1 and 3 copy (r, other column) exactly.
  Grid tiny = openGrid(2, 2);
  settle(tiny, 0, 0, grey(7));
  settle(tiny, 0, 1, grey(9));
  settle(tiny, 1, 0, grey(13));
  gapPass(tiny, 2);
  expectCell(tiny, 1, 1, 9, 9, 9);  // line 4: (0,1) as both partners
}

TEST(GapClosing, FourRowsPutTheSteepPartnersInOneRow) {
  Grid g = openGrid(4, 8);
  for (int c = 0; c < 8; ++c) settle(g, 2, c, grey(20 + c));
  settle(g, 1, 2, grey(0));  // a settled horizontal gate for (1,3)
  // From row 1, two up and two down are both row 3... open. From row 0,
  // both are row 2.
  settle(g, 0, 2, grey(0));
  gapPass(g, 2);
  EXPECT_TRUE(g.isOpen(1, 3));
  // (0,3): line 3 partners (2,4) and (2,2) → (24 + 22) / 2.
  expectCell(g, 0, 3, 23, 23, 23);
}

// The gap closing pass treats every cell alike: the ones within two columns
// or rows of an edge reach across the wrap, the others need not. So turning a
// grid's rows and columns round by any amount must turn its result by the
// same amount, which ties the cells near the edges to those inside on every
// size, for both open flags a plan can judge by.
TEST(GapClosing, TurningTheGridRoundTurnsTheResult) {
  const std::uint8_t states[] = {0, kKey, kOpen, kOpen | kKey, kWasOpen, kWasOpen | kKey, kUsed};
  const C8 colours[] = {grey(10), grey(20), C8{30, 60, 90}, C8{0, 255, 255}};
  std::uint32_t random = 12345;
  auto next = [&random](int n) {
    random = random * 1103515245u + 12345u;
    return int((random >> 16) % std::uint32_t(n));
  };
  for (int height : {2, 3, 5, 6})
    for (int width = 2; width <= 37; ++width) {
      std::vector<C8> cells;
      std::vector<std::uint8_t> flags;
      for (int i = 0; i < height * width; ++i) {
        cells.push_back(colours[next(4)]);
        flags.push_back(states[next(7)]);
      }
      // The grid turned down by dr rows and right by dc columns.
      auto turned = [&](int dr, int dc) {
        Grid grid(height, width, true);
        for (int r = 0; r < height; ++r)
          for (int c = 0; c < width; ++c) {
            const std::size_t from = std::size_t(r * width + c);
            grid.at((r + dr) % height, (c + dc) % width) = cells[from];
            grid.flags((r + dr) % height, (c + dc) % width) = flags[from];
          }
        return grid;
      };
      for (int mode : {0, 2}) {
        Grid plain = turned(0, 0);
        closeGaps(plain, kCyan, refinePlan(mode), oneWorker());
        for (int dr = 0; dr < height; ++dr)
          for (int dc = dr == 0 ? 1 : 0; dc < width; ++dc) {
            Grid grid = turned(dr, dc);
            closeGaps(grid, kCyan, refinePlan(mode), oneWorker());
            for (int r = 0; r < height; ++r)
              for (int c = 0; c < width; ++c) {
                const int tr = (r + dr) % height, tc = (c + dc) % width;
                const C8 want = plain.at(r, c), got = grid.at(tr, tc);
                ASSERT_TRUE(want.red == got.red && want.green == got.green &&
                            want.blue == got.blue && plain.flags(r, c) == grid.flags(tr, tc))
                    << height << "x" << width << " grid, mode " << mode << ", turned by " << dr
                    << "," << dc << ": cell " << r << "," << c;
              }
          }
      }
    }
}

TEST(ScaleGrid, AKeyOutsideTheByteRangeMatchesNoPixelEvenOfItsLowBytes) {
  // A key of 300 can't match a pixel, so the open cells, which hold its low
  // bytes (44), take their colours from the pixels.
  Grid grid(2, 2, true);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) {
      grid.at(r, c) = C8{44, 0, 0};
      grid.flags(r, c) = kOpen | kKey;
    }
  grid.at(0, 1) = C8{20, 40, 60};
  grid.flags(0, 1) = 0;
  const AlphaColor key{300, 0, 0};
  scaleGrid(grid, key, 0, oneWorker());
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < 2; ++c) {
      EXPECT_EQ(grid.at(r, c).red, 20);
      EXPECT_EQ(grid.at(r, c).blue, 60);
    }
}

}  // namespace
}  // namespace zorpix

namespace zorpix {
namespace {

// The sweeps skip every cell whose flag rule says no pair can be averaged.
// Tie each rule to the decision it stands for: over every state of the five
// cells involved, a cell the rule skips must be one the decision leaves as
// it is, and a cell with a pair to average must not be skipped.
struct SweepShape {
  const char* name;
  std::uint8_t (*rule)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*);
  // Where the decision's pair cells lie in the 3x3 neighbourhood, as
  // row (0 up, 1 here, 2 down) and column (0 c-1, 1 c, 2 c+1).
  int a1[2], b1[2], a2[2], b2[2];
};

TEST(RefinementRules, SkipOnlyCellsTheirDecisionLeavesAlone) {
  using namespace refine;
  const SweepShape shapes[] = {
      {"diagonal", [](const std::uint8_t* u, const std::uint8_t* h, const std::uint8_t* d) {
         return diagonalRule(u, h, d);
       }, {0, 0}, {2, 2}, {0, 2}, {2, 0}},
      {"orthogonal", [](const std::uint8_t* u, const std::uint8_t* h, const std::uint8_t* d) {
         return orthogonalRule(u, h, d);
       }, {1, 0}, {1, 2}, {0, 1}, {2, 1}},
  };
  const std::uint8_t states[] = {kOpen | kKey, kOpen, 0, kKey};
  // Pair colours whose distances put the first pair closer, level and further.
  const C8 colourSets[][4] = {
      {grey(10), grey(20), grey(40), grey(90)},
      {grey(10), grey(20), grey(50), grey(60)},
      {grey(10), grey(90), grey(40), grey(50)},
  };
  const auto key = Colours::keyValue(kCyan);
  for (const SweepShape& shape : shapes)
    for (int combination = 0; combination < 4 * 4 * 4 * 4 * 4; ++combination)
      for (const auto& colours : colourSets) {
        std::uint8_t flags[3][3];
        for (auto& row : flags) std::fill_n(row, 3, std::uint8_t(kOpen | kKey));
        const int* places[5] = {nullptr, shape.a1, shape.b1, shape.a2, shape.b2};
        std::uint8_t state[5];
        for (int i = 0, rest = combination; i < 5; ++i, rest /= 4) state[i] = states[rest % 4];
        flags[1][1] = state[0];
        for (int i = 1; i < 5; ++i) flags[places[i][0]][places[i][1]] = state[i];
        const bool skipped = shape.rule(flags[0], flags[1], flags[2]) == 0;
        // A settled cell is never decided again; the rule alone says so.
        if (isSettled(state[0])) {
          EXPECT_TRUE(skipped);
          continue;
        }

        // The cells in one array with room behind them: the decision reads
        // colours a 32-bit word at a time.
        C8 cells[8] = {grey(5), colours[0], colours[1], colours[2], colours[3]};
        std::uint8_t cellFlags[5] = {state[0], state[1], state[2], state[3], state[4]};
        auto ref = [&](int i) { return CellRef{cells[i], cellFlags[i]}; };
        const bool decided = refineCell(ref(0), ref(1), ref(2), ref(3), ref(4), key);
        const bool firstPairSettled = isSettled(state[1]) && isSettled(state[2]);
        const std::string where = std::string(shape.name) + ", states " +
                                  std::to_string(combination) + ", first colour " +
                                  std::to_string(colours[0].red);
        if (skipped) {
          EXPECT_FALSE(decided) << where;
          EXPECT_EQ(cellFlags[0], state[0]) << where;
        } else {
          // Open, with a pair to average: only a closer key-coloured first
          // pair can still leave it alone.
          if (paintPair(state[1], state[2]) || !firstPairSettled) {
            EXPECT_TRUE(decided) << where;
          }
        }
      }
}

}  // namespace
}  // namespace zorpix
