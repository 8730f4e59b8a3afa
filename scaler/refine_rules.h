#pragma once

// How the refinement sweeps decide one cell, and the flag rules that let them
// skip the cells whose decision can't change anything. The two are kept side
// by side, and a test checks every flag combination against both, because a
// rule that is stricter than its decision silently drops fills.

#include <bit>
#include <cstdint>
#include <cstring>

#include "frame/cell_grid.h"
#include "scaler/neighbours.h"

namespace zorpix::refine {

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

struct CellRef {
  Cell<std::uint8_t>& cell;
  std::uint8_t& flags;
};

// How the sweeps hold, compare and mix colours. Byte channels travel as one
// 32-bit word, red in the low byte, so that a distance or an average is a
// few instructions.
struct Colours {
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
  static Value keyValue(const AlphaColor& key) { return packedKey(key); }
  static bool same(Value a, Value b) { return a == b; }
};

// One cell of a refinement sweep; true when it was decided. The pairs are
// given as cells, so the sweeps differ only in where they look.
[[gnu::always_inline]] inline bool refineCell(CellRef x, CellRef a1, CellRef b1, CellRef a2,
                                              CellRef b2, Colours::Value key) {
  using C = Colours;
  // Colours are read before any mark is written: a store through a byte
  // reference could otherwise force every colour to be read again.
  const auto colourA1 = C::load(a1.cell), colourB1 = C::load(b1.cell);
  const auto colourA2 = C::load(a2.cell), colourB2 = C::load(b2.cell);
  // The marks of a pair, taken together: settled or paint when both are.
  // Use marks don't count here, so those written below don't change them.
  const std::uint8_t flags1 = a1.flags | b1.flags;
  const std::uint8_t flags2 = a2.flags | b2.flags;
  // A settled first pair always sets the distance a second pair must beat:
  // byte colours are at most 765 apart. A key-coloured one writes nothing,
  // so the background never bleeds in.
  const std::int32_t best = isSettled(flags1) ? C::distance(colourA1, colourB1) : kNoDistance;
  bool filled = false;
  auto colour = C::load(x.cell);
  if (isPaint(flags1)) {
    colour = C::mix(colourA1, colourB1);
    a1.flags |= kUsed;
    b1.flags |= kUsed;
    filled = true;
  }
  if (isPaint(flags2)) {
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

}  // namespace zorpix::refine
