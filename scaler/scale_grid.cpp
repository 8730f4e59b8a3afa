#include "scaler/scale_grid.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "frame/parallel.h"
#include "frame/row_scan.h"
#include "scaler/neighbours.h"

namespace zorpix {
namespace {

// Whether a cell can be a pair cell is a question of its flags alone: settled,
// and key-coloured or not. Every stage first finds the cells of a row whose
// neighbourhood could change anything from the flags, a byte per cell, and
// looks at colours only there; most of a sprite sheet is background that no
// stage changes.
constexpr std::uint8_t kState = kOpen | kKey;

constexpr bool isOpen(std::uint8_t f) { return (f & kOpen) != 0; }
constexpr bool isSettled(std::uint8_t f) { return (f & kOpen) == 0; }
// Settled and not key-coloured: a colour that may be averaged into another.
constexpr bool isPaint(std::uint8_t f) { return (f & kState) == 0; }
constexpr bool isSettledKey(std::uint8_t f) { return (f & kState) == kKey; }

// Any pair of channel values that lie in 0..255 is at most 765 apart, so this
// start lets every real first pair set the best distance.
constexpr std::int32_t kNoDistance = 768;

template <typename Channel>
struct CellRef {
  Cell<Channel>& cell;
  std::uint8_t& flags;
};

// The rows around row r, wrapped, as one stage sees them. Column c+1 lies one
// image column further left than c: the grid is the image mirrored.
template <typename Channel>
struct RowTriple {
  Cell<Channel>* upCells;
  Cell<Channel>* cells;
  Cell<Channel>* downCells;
  std::uint8_t* up;
  std::uint8_t* here;
  std::uint8_t* down;

  RowTriple(CellGrid<Channel>& grid, int r)
      : upCells(grid.row(wrapRow(r, -1, grid.height()))),
        cells(grid.row(r)),
        downCells(grid.row(wrapRow(r, 1, grid.height()))),
        up(grid.flagRow(wrapRow(r, -1, grid.height()))),
        here(grid.flagRow(r)),
        down(grid.flagRow(wrapRow(r, 1, grid.height()))) {}

  CellRef<Channel> above(int c) { return {upCells[c], up[c]}; }
  CellRef<Channel> at(int c) { return {cells[c], here[c]}; }
  CellRef<Channel> below(int c) { return {downCells[c], down[c]}; }
};

// A rule decides from the flags of a cell's 3 x 3 neighbourhood: up, here
// and down each point at columns c-1, c and c+1 of their row.
template <typename Channel, typename Rule>
std::uint8_t ruleAt(const RowTriple<Channel>& rows, int c, int width, const Rule& rule) {
  if (c > 0 && c + 1 < width) return rule(rows.up + c - 1, rows.here + c - 1, rows.down + c - 1);
  const int p = wrapColumn(c, -1, width);
  const int n = wrapColumn(c, 1, width);
  const std::uint8_t up[3] = {rows.up[p], rows.up[c], rows.up[n]};
  const std::uint8_t here[3] = {rows.here[p], rows.here[c], rows.here[n]};
  const std::uint8_t down[3] = {rows.down[p], rows.down[c], rows.down[n]};
  return rule(up, here, down);
}

// active[c] := the rule at c, for a whole row. The inner columns need no
// wrapping, which lets the compiler take many cells at once.
template <typename Channel, typename Rule>
void markRow(const RowTriple<Channel>& rows, int width, const Rule& rule, std::uint8_t* active) {
  if (width == 0) return;
  const std::uint8_t* u = rows.up;
  const std::uint8_t* h = rows.here;
  const std::uint8_t* d = rows.down;
  for (int c = 1; c + 1 < width; ++c) active[c] = rule(u + c - 1, h + c - 1, d + c - 1);
  active[0] = ruleAt(rows, 0, width, rule);
  active[width - 1] = ruleAt(rows, width - 1, width, rule);
}

// A scratch row of marks, one per column, reused row after row.
struct ActiveRow {
  explicit ActiveRow(int width) : marks(std::size_t(width), 0) {}
  std::uint8_t* data() { return marks.data(); }
  std::vector<std::uint8_t> marks;
};

// How the sweeps hold, compare and mix colours. Byte channels travel as one
// 32-bit word, red in the low byte, so that a distance or an average is a
// few instructions; wide channels as they are. The results are the same.
template <typename Channel>
struct Colours {
  using Value = Cell<Channel>;
  static Value load(const Cell<Channel>& c) { return c; }
  static void store(Cell<Channel>& c, const Value& v) { c = v; }
  static std::int32_t distance(const Value& a, const Value& b) { return colorDistance(a, b); }
  static Value mix(const Value& a, const Value& b) { return average(a, b); }
  static Value keyValue(const AlphaColor& key) {
    return {Channel(key.red), Channel(key.green), Channel(key.blue)};
  }
  static bool same(const Value& a, const Value& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
  }
};

template <>
struct Colours<std::uint8_t> {
  using Value = std::uint32_t;
  // Reads one byte past the cell, which the grid always has (the next cell,
  // or its spare bytes); only the sweeps, on one thread, read this way.
  static Value load(const Cell<std::uint8_t>& c) {
    std::uint32_t w;
    std::memcpy(&w, &c, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    return w & 0xffffffu;
  }
  static void store(Cell<std::uint8_t>& c, Value v) { c = unpackChannels(v); }
  static std::int32_t distance(Value a, Value b) {
    return colorDistance(unpackChannels(a), unpackChannels(b));
  }
  static Value mix(Value a, Value b) { return (a & b) + (((a ^ b) >> 1) & 0x7f7f7fu); }
  static Value keyValue(const AlphaColor& key) {
    // A key outside 0..255 never matches: no packed colour has its top byte set.
    if (!alphaColorFitsBytes(key)) return 0xffffffffu;
    return std::uint32_t(key.red) | std::uint32_t(key.green) << 8 | std::uint32_t(key.blue) << 16;
  }
  static bool same(Value a, Value b) { return a == b; }
};

// One cell of a refinement sweep; true when it was decided. The pairs are
// given as cells, so the sweeps differ only in where they look.
template <typename Channel>
[[gnu::always_inline]] inline bool refineCell(CellRef<Channel> x, CellRef<Channel> a1,
                                              CellRef<Channel> b1, CellRef<Channel> a2,
                                              CellRef<Channel> b2,
                                              const typename Colours<Channel>::Value& key) {
  using C = Colours<Channel>;
  // Colours are read before any mark is written: a store through a byte
  // reference could otherwise force every colour to be read again.
  const auto colourA1 = C::load(a1.cell), colourB1 = C::load(b1.cell);
  const auto colourA2 = C::load(a2.cell), colourB2 = C::load(b2.cell);
  std::int32_t best = kNoDistance;
  bool filled = false;
  auto colour = C::load(x.cell);
  if (isSettled(a1.flags) && isSettled(b1.flags)) {
    const std::int32_t d1 = C::distance(colourA1, colourB1);
    if (d1 <= kNoDistance) {
      // A key-coloured pair writes nothing but still sets the distance a
      // second pair must beat, so the background never bleeds in.
      best = d1;
      if (isPaint(a1.flags) && isPaint(b1.flags)) {
        colour = C::mix(colourA1, colourB1);
        a1.flags |= kUsed;
        b1.flags |= kUsed;
        filled = true;
      }
    }
  }
  if (isPaint(a2.flags) && isPaint(b2.flags)) {
    const std::int32_t d2 = C::distance(colourA2, colourB2);
    if (d2 < best) {
      colour = C::mix(colourA2, colourB2);
      // Cleared before the second pair's marks are set: a cell in both pairs
      // keeps its mark.
      a1.flags &= std::uint8_t(~kUsed);
      b1.flags &= std::uint8_t(~kUsed);
      a2.flags |= kUsed;
      b2.flags |= kUsed;
      filled = true;
    } else if (d2 == best) {
      // Equally close: blend into what the cell holds, which is the first
      // pair's average or, when that pair wrote nothing, its old colour.
      colour = C::mix(colour, C::mix(colourA2, colourB2));
      a2.flags |= kUsed;
      b2.flags |= kUsed;
      filled = true;
    }
  }
  if (!filled) return false;
  C::store(x.cell, colour);
  x.flags = std::uint8_t((x.flags & ~kState) | (C::same(colour, key) ? kKey : 0));
  return true;
}

constexpr std::uint8_t paintPair(std::uint8_t a, std::uint8_t b) {
  return ((a | b) & kState) == 0 ? 1 : 0;
}
constexpr std::uint8_t keyPair(std::uint8_t a, std::uint8_t b) {
  return isSettledKey(a) && isSettledKey(b) ? 1 : 0;
}

// A refinement cell changes nothing unless one of its pairs can be averaged.
// Index 0 of each row is column c-1, 1 the cell's own column, 2 column c+1.
constexpr auto diagonalRule = [](const std::uint8_t* up, const std::uint8_t* here,
                                 const std::uint8_t* down) -> std::uint8_t {
  return (here[1] & kOpen) & (paintPair(up[0], down[2]) | paintPair(up[2], down[0]));
};
constexpr auto orthogonalRule = [](const std::uint8_t* up, const std::uint8_t* here,
                                   const std::uint8_t* down) -> std::uint8_t {
  return (here[1] & kOpen) & (paintPair(here[0], here[2]) | paintPair(up[1], down[1]));
};
constexpr auto alphaRule = [](const std::uint8_t* up, const std::uint8_t* here,
                              const std::uint8_t* down) -> std::uint8_t {
  return (here[1] & kOpen) & (keyPair(here[0], here[2]) | keyPair(up[1], down[1]) |
                              keyPair(up[0], down[2]) | keyPair(up[2], down[0]));
};

// Sweeps whose pairs include the cells left and right of the cell: a cell
// decided in this row changes what the next one sees, and the last column
// sees the first across the wrap. Marks computed at the start of a row are
// exact for every other neighbour, so only those two get looked at again.
template <typename Channel, typename Rule, typename Decide>
void sweepRowInPlace(RowTriple<Channel>& rows, int width, const Rule& rule, std::uint8_t* active,
                     const Decide& decide) {
  markRow(rows, width, rule, active);
  int c = firstMarked(active, 0, width);
  while (c < width) {
    if (!decide(c)) {
      c = firstMarked(active, c + 1, width);
      continue;
    }
    if (c == 0 && width > 1) active[width - 1] = ruleAt(rows, width - 1, width, rule);
    // The next cell's mark is worked out afresh here rather than stored and
    // read back, which would stall on every decided cell.
    const int n = c + 1;
    if (n < width && ruleAt(rows, n, width, rule)) {
      c = n;
    } else {
      c = firstMarked(active, n + 1, width);
    }
  }
}

template <typename Channel>
void refinementRound(CellGrid<Channel>& grid, const AlphaColor& key) {
  diagonalSweep(grid, key);
  orthogonalSweep(grid, key);
}

// Opens every cell again for round 2, keeping its colour, except the source
// cells whose use mark differs from the mode's reference; remembers round 1's
// open flags for the gap closing pass.
template <typename Channel>
void reseed(CellGrid<Channel>& grid, std::int32_t mode) {
  const std::uint8_t reopenedMark = mode == 0 ? kUsed : 0;
  static_assert(kWasOpen == kOpen << 2);
  parallelRows(grid.height(), [&grid, reopenedMark](int first, int last) {
    // Locals, because stores through the byte pointer could change anything
    // the compiler can't see is local.
    const int width = grid.width();
    for (int r = first; r < last; ++r) {
      std::uint8_t* flags = grid.flagRow(r);
      // Source cells lie at even rows and odd columns.
      const int sourceColumnBit = r % 2 == 0 ? 1 : 0;
      for (int c = 0; c < width; ++c) {
        const std::uint8_t f = flags[c];
        const bool source = (c & sourceColumnBit) != 0;
        const std::uint8_t open = !source || (f & kUsed) == reopenedMark ? kOpen : 0;
        flags[c] = std::uint8_t((f & ~(kOpen | kWasOpen)) | ((f & kOpen) << 2) | open);
      }
    }
  });
}

// The gap closing pass tries four lines through the cell with a slope of two
// to one; each has two gate cells, at least one of which must be settled, and
// two partners whose average the cell takes.
struct Offset {
  int row;
  int column;
};

struct GapLine {
  Offset gateA, gateB;
  Offset partnerA, partnerB;
};

constexpr GapLine kGapLines[4] = {
    // steep: up two and right one, down two and left one
    {{0, -1}, {0, 1}, {-2, -1}, {2, 1}},
    // shallow: up one and right two, down one and left two
    {{-1, 0}, {1, 0}, {-1, -2}, {1, 2}},
    // the two mirrored
    {{0, -1}, {0, 1}, {-2, 1}, {2, -1}},
    {{-1, 0}, {1, 0}, {1, -2}, {-1, 2}},
};

// Which cells the gap closing pass closed, a bit per cell, each row in whole
// words so that threads working on different rows never share one.
class RowBits {
 public:
  RowBits(int height, int width)
      : wordsPerRow_((std::size_t(width) + 63) / 64), bits_(wordsPerRow_ * std::size_t(height)) {}
  void set(int r, int c) { word(r, c) |= std::uint64_t{1} << (c % 64); }
  bool test(int r, int c) const {
    return (bits_[std::size_t(r) * wordsPerRow_ + std::size_t(c) / 64] >> (c % 64)) & 1;
  }
  bool anyInRow(int r) const {
    for (std::size_t i = 0; i < wordsPerRow_; ++i)
      if (bits_[std::size_t(r) * wordsPerRow_ + i] != 0) return true;
    return false;
  }

 private:
  std::uint64_t& word(int r, int c) {
    return bits_[std::size_t(r) * wordsPerRow_ + std::size_t(c) / 64];
  }
  std::size_t wordsPerRow_;
  std::vector<std::uint64_t> bits_;
};

}  // namespace

template <typename Channel>
void markKeyCells(CellGrid<Channel>& grid, const AlphaColor& key) {
  for (int r = 0; r < grid.height(); ++r)
    for (int c = 0; c < grid.width(); ++c) {
      std::uint8_t& f = grid.flags(r, c);
      f = std::uint8_t((f & ~kKey) | (isAlpha(grid.at(r, c), key) ? kKey : 0));
    }
}

template <typename Channel>
void alphaPass(CellGrid<Channel>& grid, const AlphaColor&) {
  // In place: a cell settled here counts as settled key colour for every cell
  // visited after it. Colours aren't touched, so the marks alone decide. The
  // rows above and below stand still while a row is done; within the row, a
  // cell whose left-hand pair cell (column c-1) settles just before it may
  // settle through that pair, and the last column sees the first one across
  // the wrap.
  const int width = grid.width();
  if (width == 0) return;
  ActiveRow settles(width);
  ActiveRow chained(width);
  std::uint8_t* s = settles.data();
  std::uint8_t* chain = chained.data();
  for (int r = 0; r < grid.height(); ++r) {
    RowTriple<Channel> rows(grid, r);
    std::uint8_t* h = rows.here;
    markRow(rows, width, alphaRule, s);
    for (int c = 1; c + 1 < width; ++c)
      chain[c] = std::uint8_t((h[c] & kOpen) & ((h[c - 1] & kState) == kState ? 1 : 0) &
                              ((h[c + 1] & kState) == kKey ? 1 : 0));
    for (int c = firstMarked(chain, 1, width); c + 1 < width; c = firstMarked(chain, c + 1, width))
      s[c] |= s[c - 1];
    for (int c = 0; c + 1 < width; ++c) h[c] = std::uint8_t(h[c] & ~s[c]);
    if (isOpen(h[width - 1]) && ruleAt(rows, width - 1, width, alphaRule))
      h[width - 1] &= std::uint8_t(~kOpen);
  }
}

template <typename Channel>
void diagonalSweep(CellGrid<Channel>& grid, const AlphaColor& key) {
  // In place: row r sees row r-1 as this sweep left it and row r+1 as the one
  // before did. Within a row the cells don't see each other, so the marks of
  // a row stay exact while it is done.
  const int width = grid.width();
  const auto keyValue = Colours<Channel>::keyValue(key);
  ActiveRow active(width);
  for (int r = 0; r < grid.height(); ++r) {
    RowTriple<Channel> rows(grid, r);
    markRow(rows, width, diagonalRule, active.data());
    for (int c = firstMarked(active.data(), 0, width); c < width;
         c = firstMarked(active.data(), c + 1, width)) {
      const int p = wrapColumn(c, -1, width);
      const int n = wrapColumn(c, 1, width);
      refineCell(rows.at(c), rows.above(p), rows.below(n), rows.above(n), rows.below(p), keyValue);
    }
  }
}

template <typename Channel>
void orthogonalSweep(CellGrid<Channel>& grid, const AlphaColor& key) {
  const int width = grid.width();
  const auto keyValue = Colours<Channel>::keyValue(key);
  ActiveRow active(width);
  for (int r = 0; r < grid.height(); ++r) {
    RowTriple<Channel> rows(grid, r);
    sweepRowInPlace(rows, width, orthogonalRule, active.data(), [&](int c) {
      const int p = wrapColumn(c, -1, width);
      const int n = wrapColumn(c, 1, width);
      return refineCell(rows.at(c), rows.at(p), rows.at(n), rows.above(c), rows.below(c),
                        keyValue);
    });
  }
}

template <typename Channel>
void refinementRounds(CellGrid<Channel>& grid, const AlphaColor& key, std::int32_t mode) {
  refinementRound(grid, key);
  if (mode > 1) return;
  reseed(grid, mode);
  refinementRound(grid, key);
}

template <typename Channel>
void closeGaps(CellGrid<Channel>& grid, const AlphaColor& key, std::int32_t mode) {
  const int height = grid.height();
  const int width = grid.width();
  // Offsets of two need sides of at least two; the scaler's grids are doubled.
  if (height < 2 || width < 2) return;
  // After two rounds the pass judges by round 1's flags: what only round 2
  // filled may be closed again.
  const std::uint8_t openBit = mode <= 1 ? kWasOpen : kOpen;
  auto settled = [openBit](std::uint8_t f) { return (f & openBit) == 0; };
  auto paint = [openBit](std::uint8_t f) { return (f & (openBit | kKey)) == 0; };

  // Every test reads the flags as they stood before the pass, so a cell closed
  // here neither opens a gate nor serves as a partner, and rows can be done in
  // any order, by several threads. Only open cells get colours, and no test
  // reads an open cell's colour; the flags change once all rows are done.
  RowBits closed(height, width);
  parallelRows(height, [&](int first, int last) {
    for (int r = first; r < last; ++r) {
      const std::uint8_t* here = grid.flagRow(r);
      for (int c = firstMarked(here, 0, width, openBit); c < width;
           c = firstMarked(here, c + 1, width, openBit)) {
        auto at = [&](Offset d) {
          const int rr = wrapRow(r, d.row, height);
          const int cc = wrapColumn(c, d.column, width);
          return CellRef<Channel>{grid.at(rr, cc), grid.flags(rr, cc)};
        };
        // The highest-numbered line that qualifies decides the colour.
        for (int line = 3; line >= 0; --line) {
          const GapLine& gap = kGapLines[line];
          if (!settled(at(gap.gateA).flags) && !settled(at(gap.gateB).flags)) continue;
          const CellRef<Channel> a = at(gap.partnerA);
          const CellRef<Channel> b = at(gap.partnerB);
          if (!paint(a.flags) || !paint(b.flags)) continue;
          grid.at(r, c) = average(a.cell, b.cell);
          closed.set(r, c);
          break;
        }
      }
    }
  });
  parallelRows(height, [&grid, &closed, &key, width, openBit](int first, int last) {
    static_assert(kWasOpen == kOpen << 2);
    const int shift = openBit == kWasOpen ? 2 : 0;
    for (int r = first; r < last; ++r) {
      std::uint8_t* flags = grid.flagRow(r);
      if (shift != 0) {
        for (int c = 0; c < width; ++c)
          flags[c] = std::uint8_t((flags[c] & ~kOpen) | ((flags[c] >> shift) & kOpen));
      }
      if (!closed.anyInRow(r)) continue;
      for (int c = 0; c < width; ++c)
        if (closed.test(r, c))
          flags[c] = std::uint8_t((flags[c] & ~kState) | (isAlpha(grid.at(r, c), key) ? kKey : 0));
    }
  });
}

template <typename Channel>
void scaleGrid(CellGrid<Channel>& grid) {
  const AlphaColor key = alphaColor;
  alphaPass(grid, key);
  refinementRounds(grid, key, refineMode);
  closeGaps(grid, key, refineMode);
}

#define ZORPIX_SCALER_STAGES(Channel)                                                   \
  template void scaleGrid(CellGrid<Channel>&);                                          \
  template void markKeyCells(CellGrid<Channel>&, const AlphaColor&);                    \
  template void alphaPass(CellGrid<Channel>&, const AlphaColor&);                       \
  template void diagonalSweep(CellGrid<Channel>&, const AlphaColor&);                   \
  template void orthogonalSweep(CellGrid<Channel>&, const AlphaColor&);                 \
  template void refinementRounds(CellGrid<Channel>&, const AlphaColor&, std::int32_t);  \
  template void closeGaps(CellGrid<Channel>&, const AlphaColor&, std::int32_t);

ZORPIX_SCALER_STAGES(std::uint8_t)
ZORPIX_SCALER_STAGES(std::int16_t)

}  // namespace zorpix
