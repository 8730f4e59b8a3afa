#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame/cell_grid.h"
#include "frame/pipeline.h"
#include "frame/workers.h"

namespace zorpix {

// Decides every open cell of the scaler's doubled grid in place: the alpha
// pass, the refinement rounds that the mode selects, then the gap closing
// pass. The grid comes as the frame builds it: source pixels
// settled at even rows and odd columns, every other cell open in the key
// colour.
void scaleGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t mode,
               Workers& workers);

// The same for a band of the image whose top and bottom rows are halo: the
// stages run as a wavefront down the band, each a few rows behind the one
// before it, so that the rows being worked on stay in cache. The in-place
// stages see every row as they would in stage order; only what the band's
// own wrap carries differs, and that stays within the halo.
void scaleBand(CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t mode);

// zorpix: doubles into "scaled", sides up to 16383.
extern const Profile kScalerProfile;

// Everything the refinement mode decides, in one place.
struct RefinePlan {
  bool secondRound;           // the re-seed step and a second round follow the first
  std::uint8_t reopenedMark;  // the re-seed opens the source cells whose kUsed bit is this
  std::uint8_t gapOpenBit;    // the open flag the gap closing pass judges by
};

constexpr RefinePlan refinePlan(std::int32_t mode) {
  // Two rounds for a mode of 1 or less. Mode 0 re-opens the source cells the
  // first round used, the others those it did not use. After two rounds the
  // gap pass judges by round 1's flags, so that what only round 2 filled may
  // be closed again.
  const bool twoRounds = mode <= 1;
  return {twoRounds, std::uint8_t(mode == 0 ? kUsed : 0),
          std::uint8_t(twoRounds ? kWasOpen : kOpen)};
}

// The stages, in the order scaleGrid runs them; exposed for tests. Each needs
// every key-coloured cell marked kKey, as the frame builds the grid and as
// the stages keep it.

// Sets the kKey marks of a grid built by hand.
void markKeyCells(CellGrid<std::uint8_t>& grid, const AlphaColor& key);

// Rows of marks, one per column, that a stage reuses row after row.
class SweepScratch {
 public:
  std::uint8_t* marks(int width) { return sized(first_, width); }
  std::uint8_t* moreMarks(int width) { return sized(second_, width); }

 private:
  static std::uint8_t* sized(std::vector<std::uint8_t>& row, int width) {
    if (row.size() < std::size_t(width)) row.assign(std::size_t(width), 0);
    return row.data();
  }
  std::vector<std::uint8_t> first_, second_;
};

// Settles, as key colour, every open cell that lies between two settled
// key-coloured cells. In place, in raster order; reads only the marks.
void alphaPass(CellGrid<std::uint8_t>& grid);

// The two sweeps of a refinement round, in place and in raster order.
void diagonalSweep(CellGrid<std::uint8_t>& grid, const AlphaColor& key);
void orthogonalSweep(CellGrid<std::uint8_t>& grid, const AlphaColor& key);

// The same stages over rows [first, last) only, as they would go on from
// the row before first: each row sees the row above it as this stage left
// it and the row below as the stage before left it.
void alphaPassRows(CellGrid<std::uint8_t>& grid, SweepScratch& scratch, int first, int last);
void diagonalSweepRows(CellGrid<std::uint8_t>& grid, const AlphaColor& key,
                       SweepScratch& scratch, int first, int last);
void orthogonalSweepRows(CellGrid<std::uint8_t>& grid, const AlphaColor& key,
                         SweepScratch& scratch, int first, int last);

// The re-seed step between the rounds, over rows [first, last): opens every
// cell again, keeping its colour, except the source cells the plan keeps,
// and remembers round 1's open flags for the gap closing pass.
void reseedRows(CellGrid<std::uint8_t>& grid, const RefinePlan& plan, int first, int last);

// Round 1, and when the plan says so the re-seed step and round 2.
void refinementRounds(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan,
                      Workers& workers);

// Which cells the gap closing pass closed, a bit per cell, each row in whole
// words so that row ranges done side by side never share one.
class GapMarks {
 public:
  GapMarks(int height, int width);
  void set(int r, int c) { word(r, c) |= std::uint64_t{1} << (c % 64); }
  // f(c) for every marked column c of row r, in column order.
  template <typename F>
  void forEachInRow(int r, const F& f) const {
    for (std::size_t i = 0; i < wordsPerRow_; ++i)
      for (std::uint64_t w = bits_[std::size_t(r) * wordsPerRow_ + i]; w != 0; w &= w - 1)
        f(int(i * 64) + std::countr_zero(w));
  }

 private:
  std::size_t index(int r, int c) const {
    return std::size_t(r) * wordsPerRow_ + std::size_t(c) / 64;
  }
  std::uint64_t& word(int r, int c) { return bits_[index(r, c)]; }
  std::size_t wordsPerRow_;
  std::vector<std::uint64_t> bits_;
};

// The gap closing pass in its two halves, each over rows [first, last):
// colour the open cells that a line of settled cells two steps away closes,
// reading only the flags as the rounds left them; then, once every row is
// coloured, settle the plan's open flags and the closed cells' marks.
void closeGapRows(CellGrid<std::uint8_t>& grid, const RefinePlan& plan, GapMarks& closed, int first,
                  int last);
void settleGapRows(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan,
                   const GapMarks& closed, int first, int last);

// Both halves over the whole grid.
void closeGaps(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan,
               Workers& workers);

}  // namespace zorpix
