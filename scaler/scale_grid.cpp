#include "scaler/scale_grid.h"

#include <initializer_list>

#include "scaler/neighbours.h"

namespace zorpix {
namespace {

struct Offset {
  int row;
  int column;
};

// Two cells on opposite sides of the one being decided.
struct Pair {
  Offset a;
  Offset b;
};

// Grid columns run mirrored to the image: column c+1 lies one image column
// further left than column c.
constexpr Pair kHorizontal{{0, -1}, {0, 1}};
constexpr Pair kVertical{{-1, 0}, {1, 0}};
constexpr Pair kDiagonal{{-1, -1}, {1, 1}};      // up-right and down-left in the image
constexpr Pair kAntiDiagonal{{-1, 1}, {1, -1}};  // up-left and down-right

// Any pair of channel values that lie in 0..255 is at most 765 apart, so this
// start lets every real first pair set the best distance.
constexpr std::int32_t kNoDistance = 768;

// A cell of the grid located from the cell under consideration.
template <typename Channel>
struct Neighbour {
  Cell<Channel>& cell;
  std::uint8_t& flags;
  bool settled() const { return (flags & kOpen) == 0; }
};

template <typename Channel>
class Around {
 public:
  Around(CellGrid<Channel>& grid, int row, int column) : grid_(grid), row_(row), column_(column) {}

  Neighbour<Channel> at(Offset d) const {
    const int r = wrapRow(row_, d.row, grid_.height());
    const int c = wrapColumn(column_, d.column, grid_.width());
    return {grid_.at(r, c), grid_.flags(r, c)};
  }

 private:
  CellGrid<Channel>& grid_;
  int row_;
  int column_;
};

bool isSourceCell(int row, int column) { return row % 2 == 0 && column % 2 == 1; }

// One sweep of a refinement round, in place and in raster order: a cell
// decided here is a settled neighbour, with its new colour, for every cell
// visited after it.
template <typename Channel>
void refineSweep(CellGrid<Channel>& grid, const AlphaColor& key, const Pair& first,
                 const Pair& second) {
  for (int r = 0; r < grid.height(); ++r) {
    for (int c = 0; c < grid.width(); ++c) {
      if (!grid.isOpen(r, c)) continue;
      const Around<Channel> around(grid, r, c);
      Cell<Channel>& cell = grid.at(r, c);
      std::int32_t best = kNoDistance;
      bool filled = false;

      const Neighbour<Channel> a1 = around.at(first.a);
      const Neighbour<Channel> b1 = around.at(first.b);
      if (a1.settled() && b1.settled()) {
        const std::int32_t d1 = colorDistance(a1.cell, b1.cell);
        if (d1 <= kNoDistance) {
          // A key-coloured pair writes nothing but still sets the distance a
          // second pair must beat, so the background never bleeds in.
          best = d1;
          if (!isAlpha(a1.cell, key) && !isAlpha(b1.cell, key)) {
            cell = average(a1.cell, b1.cell);
            a1.flags |= kUsed;
            b1.flags |= kUsed;
            filled = true;
          }
        }
      }

      const Neighbour<Channel> a2 = around.at(second.a);
      const Neighbour<Channel> b2 = around.at(second.b);
      if (a2.settled() && b2.settled() && !isAlpha(a2.cell, key) && !isAlpha(b2.cell, key)) {
        const std::int32_t d2 = colorDistance(a2.cell, b2.cell);
        if (d2 < best) {
          cell = average(a2.cell, b2.cell);
          // Cleared before the second pair's marks are set: a cell in both
          // pairs keeps its mark.
          a1.flags &= std::uint8_t(~kUsed);
          b1.flags &= std::uint8_t(~kUsed);
          a2.flags |= kUsed;
          b2.flags |= kUsed;
          filled = true;
        } else if (d2 == best) {
          // Equally close: blend into what the cell holds, which is the first
          // pair's average or, when that pair wrote nothing, its old colour.
          cell = average(cell, average(a2.cell, b2.cell));
          a2.flags |= kUsed;
          b2.flags |= kUsed;
          filled = true;
        }
      }
      if (filled) grid.flags(r, c) &= std::uint8_t(~kOpen);
    }
  }
}


// Opens every cell again for round 2, keeping its colour, except the source
// cells whose use mark differs from the mode's reference; remembers round 1's
// open flags for the gap closing pass.
template <typename Channel>
void reseed(CellGrid<Channel>& grid, std::int32_t mode) {
  const bool reopenUsed = mode == 0;
  for (int r = 0; r < grid.height(); ++r) {
    std::uint8_t* flags = grid.flagRow(r);
    for (int c = 0; c < grid.width(); ++c) {
      std::uint8_t f = flags[c] & std::uint8_t(~(kWasOpen | kOpen));
      if (flags[c] & kOpen) f |= kWasOpen;
      const bool used = (flags[c] & kUsed) != 0;
      if (!isSourceCell(r, c) || used == reopenUsed) f |= kOpen;
      flags[c] = f;
    }
  }
}

// The gap closing pass tries four lines through the cell with a slope of two
// to one; each has two gate cells, at least one of which must be settled, and
// two partners whose average the cell takes.
struct GapLine {
  Pair gate;
  Pair partners;
};

constexpr GapLine kGapLines[4] = {
    {kHorizontal, {{-2, -1}, {2, 1}}},  // steep: up two and right one, down two and left one
    {kVertical, {{-1, -2}, {1, 2}}},    // shallow: up one and right two, down one and left two
    {kHorizontal, {{-2, 1}, {2, -1}}},  // steep, mirrored
    {kVertical, {{1, -2}, {-1, 2}}},    // shallow, mirrored
};

}  // namespace

template <typename Channel>
void alphaPass(CellGrid<Channel>& grid, const AlphaColor& key) {
  // In place: a cell settled here counts as settled key colour for every cell
  // visited after it, which matters for the last row and column, whose pairs
  // wrap around to cells already visited.
  for (int r = 0; r < grid.height(); ++r) {
    for (int c = 0; c < grid.width(); ++c) {
      if (!grid.isOpen(r, c)) continue;
      const Around<Channel> around(grid, r, c);
      for (const Pair& pair : {kHorizontal, kVertical, kDiagonal, kAntiDiagonal}) {
        const Neighbour<Channel> a = around.at(pair.a);
        const Neighbour<Channel> b = around.at(pair.b);
        if (a.settled() && b.settled() && isAlpha(a.cell, key) && isAlpha(b.cell, key)) {
          grid.flags(r, c) &= std::uint8_t(~kOpen);
          break;
        }
      }
    }
  }
}

template <typename Channel>
void diagonalSweep(CellGrid<Channel>& grid, const AlphaColor& key) {
  refineSweep(grid, key, kDiagonal, kAntiDiagonal);
}

template <typename Channel>
void orthogonalSweep(CellGrid<Channel>& grid, const AlphaColor& key) {
  refineSweep(grid, key, kHorizontal, kVertical);
}

namespace {

template <typename Channel>
void refinementRound(CellGrid<Channel>& grid, const AlphaColor& key) {
  diagonalSweep(grid, key);
  orthogonalSweep(grid, key);
}

}  // namespace

template <typename Channel>
void refinementRounds(CellGrid<Channel>& grid, const AlphaColor& key, std::int32_t mode) {
  refinementRound(grid, key);
  if (mode > 1) return;
  reseed(grid, mode);
  refinementRound(grid, key);
}

template <typename Channel>
void closeGaps(CellGrid<Channel>& grid, const AlphaColor& key, std::int32_t mode) {
  if (mode <= 1) {
    // Judge by round 1's flags: what only round 2 filled may be closed again.
    for (int r = 0; r < grid.height(); ++r) {
      std::uint8_t* flags = grid.flagRow(r);
      for (int c = 0; c < grid.width(); ++c)
        flags[c] = (flags[c] & kWasOpen) ? std::uint8_t(flags[c] | kOpen)
                                         : std::uint8_t(flags[c] & ~kOpen);
    }
  }
  // Every test reads the flags as they stood before the pass, so a cell closed
  // here neither opens a gate nor serves as a partner. Only the colours of
  // open cells are written, and those are never read, so the colours can be
  // written in place; the flags change only after the whole grid is done.
  for (int r = 0; r < grid.height(); ++r) {
    for (int c = 0; c < grid.width(); ++c) {
      if (!grid.isOpen(r, c)) continue;
      const Around<Channel> around(grid, r, c);
      // The highest-numbered line that qualifies decides the colour.
      for (int line = 3; line >= 0; --line) {
        const GapLine& gap = kGapLines[line];
        if (!around.at(gap.gate.a).settled() && !around.at(gap.gate.b).settled()) continue;
        const Neighbour<Channel> a = around.at(gap.partners.a);
        const Neighbour<Channel> b = around.at(gap.partners.b);
        if (!a.settled() || !b.settled() || isAlpha(a.cell, key) || isAlpha(b.cell, key)) continue;
        grid.at(r, c) = average(a.cell, b.cell);
        grid.flags(r, c) |= kClosed;
        break;
      }
    }
  }
  for (int r = 0; r < grid.height(); ++r) {
    std::uint8_t* flags = grid.flagRow(r);
    for (int c = 0; c < grid.width(); ++c)
      if (flags[c] & kClosed) flags[c] = std::uint8_t(flags[c] & ~(kClosed | kOpen));
  }
}

template <typename Channel>
void scaleGrid(CellGrid<Channel>& grid) {
  const AlphaColor key = alphaColor;
  alphaPass(grid, key);
  refinementRounds(grid, key, refineMode);
  closeGaps(grid, key, refineMode);
}

template void scaleGrid(CellGrid<std::uint8_t>&);
template void scaleGrid(CellGrid<std::int16_t>&);
template void alphaPass(CellGrid<std::uint8_t>&, const AlphaColor&);
template void alphaPass(CellGrid<std::int16_t>&, const AlphaColor&);
template void diagonalSweep(CellGrid<std::uint8_t>&, const AlphaColor&);
template void diagonalSweep(CellGrid<std::int16_t>&, const AlphaColor&);
template void orthogonalSweep(CellGrid<std::uint8_t>&, const AlphaColor&);
template void orthogonalSweep(CellGrid<std::int16_t>&, const AlphaColor&);
template void refinementRounds(CellGrid<std::uint8_t>&, const AlphaColor&, std::int32_t);
template void refinementRounds(CellGrid<std::int16_t>&, const AlphaColor&, std::int32_t);
template void closeGaps(CellGrid<std::uint8_t>&, const AlphaColor&, std::int32_t);
template void closeGaps(CellGrid<std::int16_t>&, const AlphaColor&, std::int32_t);

}  // namespace zorpix
