#include "scaler/scale_grid.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/row_scan.h"
#include "scaler/neighbours.h"
#include "scaler/refine_rules.h"

namespace zorpix {

using namespace refine;

namespace {

// The rows around row r, wrapped, as one stage sees them. Column c+1 lies one
// image column further left than c: the grid is the image mirrored.
struct RowTriple {
  Cell<std::uint8_t>* upCells;
  Cell<std::uint8_t>* cells;
  Cell<std::uint8_t>* downCells;
  std::uint8_t* up;
  std::uint8_t* here;
  std::uint8_t* down;

  RowTriple(CellGrid<std::uint8_t>& grid, int r)
      : upCells(grid.row(wrapRow(r, -1, grid.height()))),
        cells(grid.row(r)),
        downCells(grid.row(wrapRow(r, 1, grid.height()))),
        up(grid.flagRow(wrapRow(r, -1, grid.height()))),
        here(grid.flagRow(r)),
        down(grid.flagRow(wrapRow(r, 1, grid.height()))) {}

  CellRef above(int c) { return {upCells[c], up[c]}; }
  CellRef at(int c) { return {cells[c], here[c]}; }
  CellRef below(int c) { return {downCells[c], down[c]}; }
};

// Flat stretches. Inside an area of one colour, a refinement sweep decides
// every other cell of a row the same way: both pairs are paint of that colour
// (paint is never the key colour, whose cells carry kKey), so the cell takes
// it and all four pair cells are marked used. Such a stretch is recognised and
// done in one go, eight columns at a time, which costs a few word and vector
// operations instead of a decision per cell; everywhere else the cells are
// decided one by one. Eight columns from column c decide the cells c, c+2, c+4
// and c+6; their pair cells lie in columns c-1 to c+7, and no column wraps.
constexpr int kRun = 8;

// A word whose bytes, in memory order, alternate between even and odd.
constexpr std::uint64_t alternating(std::uint8_t even, std::uint8_t odd) {
  return std::bit_cast<std::uint64_t>(
      std::array<std::uint8_t, 8>{even, odd, even, odd, even, odd, even, odd});
}

inline std::uint64_t loadWord(const std::uint8_t* bytes) {
  std::uint64_t w;
  std::memcpy(&w, bytes, sizeof w);
  return w;
}
inline void storeWord(std::uint8_t* bytes, std::uint64_t w) { std::memcpy(bytes, &w, sizeof w); }

// Eight cells of one colour as they lie in memory, three words long; each
// stretch compares its rows against it, and the orthogonal one stores it.
struct EightCells {
  Cell<std::uint8_t> colour;
  std::array<std::uint64_t, 3> words;

  // Built in registers: eight cell stores read back as words would wait for
  // the stores to reach the cache.
  explicit EightCells(const Cell<std::uint8_t>& colour) : colour(colour) {
    // Red in the low byte: the order of memory on a little-endian machine.
    const std::uint64_t v = Colours::load(colour);
    words = {v | v << 24 | v << 48, v >> 16 | v << 8 | v << 32 | v << 56,
             v >> 8 | v << 16 | v << 40};
    if constexpr (std::endian::native == std::endian::big)
      for (std::uint64_t& w : words) w = __builtin_bswap64(w);
  }
};

// Which bytes of eight cells belong to the cells at even offsets.
constexpr std::array<std::uint64_t, 3> kEvenCellBytes = [] {
  std::array<std::uint8_t, 3 * kRun> bytes{};
  for (int i = 0; i < 3 * kRun; ++i) bytes[std::size_t(i)] = (i / 3) % 2 == 0 ? 0xff : 0;
  return std::bit_cast<std::array<std::uint64_t, 3>>(bytes);
}();

// The bytes of eight cells from cells[0] that differ from eight, at even
// offsets or at odd ones, as three words; 0 where they agree.
template <bool odd>
inline std::array<std::uint64_t, 3> differingBytes(const Cell<std::uint8_t>* cells,
                                                   const EightCells& eight) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(cells);
  std::array<std::uint64_t, 3> differs;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint64_t mask = odd ? ~kEvenCellBytes[i] : kEvenCellBytes[i];
    differs[i] = (loadWord(bytes + 8 * i) ^ eight.words[i]) & mask;
  }
  return differs;
}

// How many bytes of w, in memory order, are 0 before the first that isn't.
inline int zeroBytesFirst(std::uint64_t w) {
  if (w == 0) return 8;
  return (std::endian::native == std::endian::little ? std::countr_zero(w) : std::countl_zero(w)) /
         8;
}

// The bytes [0, n) of a word, in memory order, for n of 0 to 8.
inline std::uint64_t firstBytes(int n) {
  if (n >= 8) return ~std::uint64_t{0};
  const std::uint64_t low = (std::uint64_t{1} << (8 * n)) - 1;
  return std::endian::native == std::endian::little ? low : ~(~std::uint64_t{0} >> (8 * n));
}

// How many columns a stretch does: kRun, or where it breaks off, from the
// bytes of its flag words that are not as a stretch needs them and the bytes
// of its cells that differ from the run's colour, the columns before the
// first such byte, rounded down to whole cells decided (two columns each). A
// cell so decided has its own column and the ones on either side as a
// stretch needs them; for the first, column c-1 is the run's.
inline int flatPrefix(std::uint64_t badFlags, const std::array<std::uint64_t, 3>& badCells) {
  if ((badFlags | badCells[0] | badCells[1] | badCells[2]) == 0) return kRun;
  int cell = kRun;
  for (std::size_t i = 0; i < 3; ++i)
    if (badCells[i] != 0) {
      cell = (8 * int(i) + zeroBytesFirst(badCells[i])) / 3;
      break;
    }
  return std::min(zeroBytesFirst(badFlags), cell) & ~1;
}

// f[0..8) := f[0..8) without the bits of clear, with those of set.
inline void updateEight(std::uint8_t* f, std::uint64_t clear, std::uint64_t set) {
  storeWord(f, (loadWord(f) & ~clear) | set);
}

// A stretch from column c takes column c-1 as the run's: paint of its colour,
// as the stretch before found it and marked it used, or, for the first, as
// the run's start looked at it. The flag words all start at column c, so a
// stretch never reads a word that the stretch before it wrote only in part,
// which would wait for that write to reach the cache.

// The diagonal sweep's flat stretch of eight columns from column c: how many
// columns it did, kRun or, where it breaks off, the columns before the break,
// which end the run. Its cells read only the rows above and below, where the
// sweep changes nothing but use marks, and the cells between them take no
// decision: the marks pick every other cell.
int diagonalFlatStretch(RowTriple& rows, const std::uint8_t* active, int c,
                        const EightCells& eight) {
  const std::uint64_t badFlags = (loadWord(active + c) ^ alternating(1, 0)) |
                                 (loadWord(rows.up + c) & alternating(0, kState)) |
                                 (loadWord(rows.down + c) & alternating(0, kState));
  auto badCells = differingBytes<true>(rows.upCells + c, eight);
  const auto below = differingBytes<true>(rows.downCells + c, eight);
  for (std::size_t i = 0; i < 3; ++i) badCells[i] |= below[i];
  const int columns = flatPrefix(badFlags, badCells);
  if (columns == 0) return 0;
  if (columns == kRun) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(rows.cells + c);
    for (std::size_t i = 0; i < 3; ++i)
      updateEight(bytes + 8 * i, kEvenCellBytes[i], eight.words[i] & kEvenCellBytes[i]);
  } else {
    for (int k = 0; k < columns; k += 2) rows.cells[c + k] = eight.colour;
  }
  const std::uint64_t within = firstBytes(columns);
  updateEight(rows.here + c, alternating(kState, 0) & within, 0);
  updateEight(rows.up + c, 0, alternating(0, kUsed) & within);
  updateEight(rows.down + c, 0, alternating(0, kUsed) & within);
  return columns;
}

// The orthogonal sweep's flat stretch of eight columns from column c, done as
// the diagonal one is. The cells between the ones it decides are its pair
// cells: settled, so no decision of the row comes between. They already have
// the colour, so eight cells are stored whole.
int orthogonalFlatStretch(RowTriple& rows, int c, const EightCells& eight) {
  const std::uint64_t badFlags =
      ((loadWord(rows.here + c) & alternating(kOpen, kState)) ^ alternating(kOpen, 0)) |
      (loadWord(rows.up + c) & alternating(kState, 0)) |
      (loadWord(rows.down + c) & alternating(kState, 0));
  auto badCells = differingBytes<true>(rows.cells + c, eight);
  const auto above = differingBytes<false>(rows.upCells + c, eight);
  const auto below = differingBytes<false>(rows.downCells + c, eight);
  for (std::size_t i = 0; i < 3; ++i) badCells[i] |= above[i] | below[i];
  const int columns = flatPrefix(badFlags, badCells);
  if (columns == 0) return 0;
  if (columns == kRun) {
    // Cells c to c+6, the last word from byte 13, which repeats the colour
    // as byte 16 does. Cell c+7 stays unwritten: the decision after a run
    // reads it as a pair cell, and a read that overlaps a word just stored
    // only in part waits for the store to reach the cache. For the same
    // reason a run that breaks off stores its cells one by one.
    auto* bytes = reinterpret_cast<std::uint8_t*>(rows.cells + c);
    storeWord(bytes, eight.words[0]);
    storeWord(bytes + 8, eight.words[1]);
    storeWord(bytes + 13, eight.words[2]);
  } else {
    for (int k = 0; k < columns; k += 2) rows.cells[c + k] = eight.colour;
  }
  const std::uint64_t within = firstBytes(columns);
  updateEight(rows.here + c, alternating(kState, 0) & within, alternating(0, kUsed) & within);
  updateEight(rows.up + c, 0, alternating(kUsed, 0) & within);
  updateEight(rows.down + c, 0, alternating(kUsed, 0) & within);
  return columns;
}

#if defined(__SSE2__)
// Where SSE2 is at hand stretches take sixteen columns at a time, as vectors:
// inside a large area a run goes on for many of them, and the word versions
// above cost about as much for eight columns as these for sixteen. They break
// off exactly where the word versions would, which still do a row's last
// columns.
constexpr int kWideRun = 16;

inline __m128i loadVector(const void* bytes) {
  return _mm_loadu_si128(static_cast<const __m128i*>(bytes));
}
inline void storeVector(void* bytes, __m128i v) {
  _mm_storeu_si128(static_cast<__m128i*>(bytes), v);
}
// Bytes that alternate between even and odd, as alternating() for words.
inline __m128i alternatingVector(std::uint8_t even, std::uint8_t odd) {
  return _mm_set1_epi16(static_cast<short>(even | odd << 8));
}
// One bit per byte of v, set where the byte is 0.
inline std::uint32_t zeroBytes(__m128i v) {
  return std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
}
// The bytes [0, n) of a vector, for n of 0 to 16; most stretches are whole.
inline __m128i firstVectorBytes(int n) {
  if (n >= 16) return _mm_set1_epi8(-1);
  const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  return _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(n)), index);
}

// Sixteen cells of one colour as they lie in memory, three vectors long, and
// which of their bytes belong to the cells at even offsets. Eight cells are
// three words, so sixteen are those words twice over.
struct SixteenCells {
  Cell<std::uint8_t> colour;
  __m128i bytes[3];
  __m128i evenCells[3];

  explicit SixteenCells(const EightCells& eight) : colour(eight.colour) {
    auto spread = [](const std::array<std::uint64_t, 3>& w, __m128i* v) {
      auto pair = [](std::uint64_t low, std::uint64_t high) {
        return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
      };
      v[0] = pair(w[0], w[1]);
      v[1] = pair(w[2], w[0]);
      v[2] = pair(w[1], w[2]);
    };
    spread(eight.words, bytes);
    spread(kEvenCellBytes, evenCells);
  }
};

// Bytes 16i to 16i+15 of the sixteen cells from cells[0] that differ from
// sixteen's, at even offsets (odd false) or at odd ones; 0 where they agree.
template <bool odd>
inline __m128i differingBytes(const Cell<std::uint8_t>* cells, const SixteenCells& sixteen,
                              std::size_t i) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(cells);
  const __m128i differs = _mm_xor_si128(loadVector(bytes + 16 * i), sixteen.bytes[i]);
  return odd ? _mm_andnot_si128(sixteen.evenCells[i], differs)
             : _mm_and_si128(sixteen.evenCells[i], differs);
}

// flatPrefix for sixteen columns, from a vector of their flag bytes and three
// of their cell bytes, each byte not 0 where it is not as a stretch needs it.
// Inside a large area every byte is as needed, which one test finds.
inline int flatPrefix(__m128i badFlags, __m128i badCells0, __m128i badCells1, __m128i badCells2) {
  const __m128i any =
      _mm_or_si128(_mm_or_si128(badFlags, badCells0), _mm_or_si128(badCells1, badCells2));
  if (zeroBytes(any) == 0xffff) return kWideRun;
  const std::uint32_t flags = ~zeroBytes(badFlags) & 0xffffu;
  const std::uint64_t cells = ~(zeroBytes(badCells0) | std::uint64_t{zeroBytes(badCells1)} << 16 |
                                std::uint64_t{zeroBytes(badCells2)} << 32);
  return std::min(std::countr_zero(flags | 1u << kWideRun),
                  std::countr_zero(cells | std::uint64_t{1} << 48) / 3) &
         ~1;
}

// The diagonal sweep's stretch of sixteen columns from column c.
int diagonalFlatStretch(RowTriple& rows, const std::uint8_t* active, int c,
                        const SixteenCells& sixteen) {
  const __m128i flags =
      _mm_or_si128(_mm_xor_si128(loadVector(active + c), alternatingVector(1, 0)),
                   _mm_and_si128(_mm_or_si128(loadVector(rows.up + c), loadVector(rows.down + c)),
                                 alternatingVector(0, kState)));
  auto badCells = [&](std::size_t i) {
    return _mm_or_si128(differingBytes<true>(rows.upCells + c, sixteen, i),
                        differingBytes<true>(rows.downCells + c, sixteen, i));
  };
  const int columns = flatPrefix(flags, badCells(0), badCells(1), badCells(2));
  if (columns == 0) return 0;
  if (columns == kWideRun) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(rows.cells + c);
    for (std::size_t i = 0; i < 3; ++i) {
      const __m128i kept = _mm_andnot_si128(sixteen.evenCells[i], loadVector(bytes + 16 * i));
      storeVector(bytes + 16 * i,
                  _mm_or_si128(kept, _mm_and_si128(sixteen.evenCells[i], sixteen.bytes[i])));
    }
  } else {
    for (int k = 0; k < columns; k += 2) rows.cells[c + k] = sixteen.colour;
  }
  // Each row is read afresh before it is written: with one or two rows the
  // three are the same.
  const __m128i within = firstVectorBytes(columns);
  storeVector(rows.here + c, _mm_andnot_si128(_mm_and_si128(alternatingVector(kState, 0), within),
                                              loadVector(rows.here + c)));
  const __m128i used = _mm_and_si128(alternatingVector(0, kUsed), within);
  storeVector(rows.up + c, _mm_or_si128(loadVector(rows.up + c), used));
  storeVector(rows.down + c, _mm_or_si128(loadVector(rows.down + c), used));
  return columns;
}

// The orthogonal sweep's stretch of sixteen columns from column c.
int orthogonalFlatStretch(RowTriple& rows, int c, const SixteenCells& sixteen) {
  const __m128i flags = _mm_or_si128(
      _mm_xor_si128(_mm_and_si128(loadVector(rows.here + c), alternatingVector(kOpen, kState)),
                    alternatingVector(kOpen, 0)),
      _mm_and_si128(_mm_or_si128(loadVector(rows.up + c), loadVector(rows.down + c)),
                    alternatingVector(kState, 0)));
  auto badCells = [&](std::size_t i) {
    return _mm_or_si128(differingBytes<true>(rows.cells + c, sixteen, i),
                        _mm_or_si128(differingBytes<false>(rows.upCells + c, sixteen, i),
                                     differingBytes<false>(rows.downCells + c, sixteen, i)));
  };
  const int columns = flatPrefix(flags, badCells(0), badCells(1), badCells(2));
  if (columns == 0) return 0;
  if (columns == kWideRun) {
    // Cells c to c+14, the last vector from byte 29, which repeats the
    // colour as byte 32 does; cell c+15 stays unwritten, as cell c+7 of
    // eight columns.
    auto* bytes = reinterpret_cast<std::uint8_t*>(rows.cells + c);
    storeVector(bytes, sixteen.bytes[0]);
    storeVector(bytes + 16, sixteen.bytes[1]);
    storeVector(bytes + 29, sixteen.bytes[2]);
  } else {
    for (int k = 0; k < columns; k += 2) rows.cells[c + k] = sixteen.colour;
  }
  const __m128i within = firstVectorBytes(columns);
  const __m128i decided = _mm_and_si128(alternatingVector(kState, 0), within);
  storeVector(rows.here + c, _mm_or_si128(_mm_andnot_si128(decided, loadVector(rows.here + c)),
                                          _mm_and_si128(alternatingVector(0, kUsed), within)));
  const __m128i used = _mm_and_si128(alternatingVector(kUsed, 0), within);
  storeVector(rows.up + c, _mm_or_si128(loadVector(rows.up + c), used));
  storeVector(rows.down + c, _mm_or_si128(loadVector(rows.down + c), used));
  return columns;
}
#endif

// After a run fails to start at column c, the next is tried at c+2 at the
// earliest, and after a run the same holds from where it ended: starting
// from every cell costs more in tries that fail than it gains.
constexpr int kRetryAfter = 2;

// How many columns from column c make up flat stretches of colour, one after
// another, column c-1 being paint of that colour; 0 where the first breaks
// off at once.
template <typename Stretch>
int flatColumns(int c, int width, const Cell<std::uint8_t>& colour, const Stretch& stretch) {
  const EightCells eight(colour);
  int done = 0;
#if defined(__SSE2__)
  const SixteenCells sixteen(eight);
  while (c + done + kWideRun <= width) {
    const int more = stretch(c + done, sixteen);
    done += more;
    if (more < kWideRun) return done;
  }
#endif
  while (c + done + kRun <= width) {
    const int more = stretch(c + done, eight);
    done += more;
    if (more < kRun) break;
  }
  return done;
}

// Whether any cell of a flag row is paint. A refinement sweep decides only
// between paint pairs, so a row whose pairs lie in rows without paint is
// passed over: with a key outside 0..255 the second round finds most rows so,
// and with a byte key the first finds those between the sprites.
bool hasPaint(const std::uint8_t* flags, int width) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  int c = 0;
#if defined(__SSE2__)
  // The rows between sprites have none and are read to their end, for each
  // row of a sweep twice or three times: 64 bytes a test.
  const __m128i state = _mm_set1_epi8(char(kState));
  const __m128i zero = _mm_setzero_si128();
  auto paint = [&](int at) {
    const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags + at));
    return _mm_cmpeq_epi8(_mm_and_si128(f, state), zero);
  };
  for (; c + 64 <= width; c += 64) {
    const __m128i any = _mm_or_si128(_mm_or_si128(paint(c), paint(c + 16)),
                                     _mm_or_si128(paint(c + 32), paint(c + 48)));
    if (_mm_movemask_epi8(any) != 0) return true;
  }
#endif
  for (; c + 8 <= width; c += 8) {
    // A byte of state is 0 where its cell is paint; kKey's bit is folded
    // onto kOpen's, bit 0, which no other byte's bits reach.
    const std::uint64_t state = loadWord(flags + c) & (kOnes * kState);
    static_assert(kKey == kOpen << 3);
    if (((state | state >> 3) & kOnes) != kOnes) return true;
  }
  for (; c < width; ++c)
    if (isPaint(flags[c])) return true;
  return false;
}

// A rule decides from the flags of a cell's 3 x 3 neighbourhood: up, here
// and down each point at columns c-1, c and c+1 of their row. The first and
// last column see the other end of the row; they are rare, so their call
// stays out of line.
template <typename Rule>
[[gnu::noinline]] std::uint8_t ruleAtWrapped(const RowTriple& rows, int c, int width,
                                             const Rule& rule) {
  const int p = wrapColumn(c, -1, width);
  const int n = wrapColumn(c, 1, width);
  const std::uint8_t up[3] = {rows.up[p], rows.up[c], rows.up[n]};
  const std::uint8_t here[3] = {rows.here[p], rows.here[c], rows.here[n]};
  const std::uint8_t down[3] = {rows.down[p], rows.down[c], rows.down[n]};
  return rule(up, here, down);
}

template <typename Rule>
[[gnu::always_inline]] inline std::uint8_t ruleAt(const RowTriple& rows, int c, int width,
                                                  const Rule& rule) {
  if (c > 0 && c + 1 < width) return rule(rows.up + c - 1, rows.here + c - 1, rows.down + c - 1);
  return ruleAtWrapped(rows, c, width, rule);
}

// active[c] := the rule at c, for a whole row. The inner columns need no
// wrapping, which lets the compiler take many cells at once.
template <typename Rule>
void markRow(const RowTriple& rows, int width, const Rule& rule, std::uint8_t* active) {
  if (width == 0) return;
  const std::uint8_t* u = rows.up;
  const std::uint8_t* h = rows.here;
  const std::uint8_t* d = rows.down;
  for (int c = 1; c + 1 < width; ++c) active[c] = rule(u + c - 1, h + c - 1, d + c - 1);
  active[0] = ruleAt(rows, 0, width, rule);
  active[width - 1] = ruleAt(rows, width - 1, width, rule);
}

// Sweeps whose pairs include the cells left and right of the cell: a cell
// decided in this row changes what the next one sees, and the last column
// sees the first across the wrap. Marks computed at the start of a row are
// exact for every other neighbour, so only those two get looked at again.
template <typename Rule, typename FlatRun, typename Decide>
void sweepRowInPlace(RowTriple& rows, int width, const Rule& rule, std::uint8_t* active,
                     const FlatRun& flatRun, const Decide& decide) {
  markRow(rows, width, rule, active);
  int c = firstMarked(active, 0, width);
  int tryFrom = 0;
  while (c < width) {
    if (c >= tryFrom) {
      if (const int flat = flatRun(c); flat > 0) {
        tryFrom = c + flat + kRetryAfter;
        // The stretches end in a settled cell, so the mark after them is exact.
        c = firstMarked(active, c + flat, width);
        continue;
      }
      tryFrom = c + kRetryAfter;
    }
    if (!decide(c)) {
      c = firstMarked(active, c + 1, width);
      continue;
    }
    if (c == 0 && width > 1) active[width - 1] = ruleAt(rows, width - 1, width, rule);
    // The next cell's mark is worked out afresh here rather than stored and
    // read back, which would stall on every decided cell.
    const int n = c + 1;
    if (n < width && isOpen(rows.here[n]) && ruleAt(rows, n, width, rule)) {
      c = n;
    } else {
      c = firstMarked(active, n + 1, width);
    }
  }
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

// The flag rows r-2, ..., r+2 around a row r of the gap closing pass.
struct GapRows {
  const std::uint8_t* rows[5];
  std::uint8_t at(Offset d, int c) const { return rows[d.row + 2][c + d.column]; }
};

// Which lines qualify at column c, bit i for kGapLines[i], or 0 when the cell
// is settled; columns c-2..c+2 of each row must be readable as they are. No
// branches, so that the compiler takes a row's columns many at a time.
[[gnu::always_inline]] inline std::uint8_t gapLinesAt(const GapRows& rows, int c,
                                                      std::uint8_t openBit) {
  const std::uint8_t paintMask = openBit | kKey;
  auto settled = [&](Offset d) { return std::uint8_t((rows.at(d, c) & openBit) == 0); };
  auto paint = [&](Offset d) { return std::uint8_t((rows.at(d, c) & paintMask) == 0); };
  std::uint8_t lines = 0;
  for (int i = 0; i < 4; ++i) {
    const GapLine& gap = kGapLines[i];
    const std::uint8_t qualifies =
        (settled(gap.gateA) | settled(gap.gateB)) & paint(gap.partnerA) & paint(gap.partnerB);
    lines = std::uint8_t(lines | qualifies << i);
  }
  const std::uint8_t open = std::uint8_t((rows.at({0, 0}, c) & openBit) != 0);
  return std::uint8_t(lines * open);
}

// gapLinesAt for a column within two of either end, whose neighbours wrap.
inline std::uint8_t gapLinesWrapped(const GapRows& rows, int c, int width,
                                    std::uint8_t openBit) {
  std::uint8_t window[5][5];
  GapRows wrapped;
  for (int k = 0; k < 5; ++k) {
    for (int d = -2; d <= 2; ++d) window[k][d + 2] = rows.rows[k][wrapColumn(c, d, width)];
    wrapped.rows[k] = window[k];
  }
  return gapLinesAt(wrapped, 2, openBit);
}

// lines[c] := the lines that qualify at column c, for the whole row.
void markGapRow(const GapRows& rows, int width, std::uint8_t openBit, std::uint8_t* lines) {
  const int inner = std::min(2, width);
  for (int c = 0; c < inner; ++c) lines[c] = gapLinesWrapped(rows, c, width, openBit);
  for (int c = 2; c + 2 < width; ++c) lines[c] = gapLinesAt(rows, c, openBit);
  for (int c = std::max(inner, width - 2); c < width; ++c)
    lines[c] = gapLinesWrapped(rows, c, width, openBit);
}

}  // namespace

void markKeyCells(CellGrid<std::uint8_t>& grid, const AlphaColor& key) {
  for (int r = 0; r < grid.height(); ++r)
    for (int c = 0; c < grid.width(); ++c) {
      std::uint8_t& f = grid.flags(r, c);
      f = std::uint8_t((f & ~kKey) | (isAlpha(grid.at(r, c), key) ? kKey : 0));
    }
}

void alphaPassRows(CellGrid<std::uint8_t>& grid, SweepScratch& scratch, int first, int last) {
  // In place: a cell settled here counts as settled key colour for every cell
  // visited after it. Colours aren't touched, so the marks alone decide. The
  // rows above and below stand still while a row is done; within the row, a
  // cell whose left-hand pair cell (column c-1) settles just before it may
  // settle through that pair, and the last column sees the first one across
  // the wrap.
  const int width = grid.width();
  if (width == 0) return;
  std::uint8_t* s = scratch.marks(width);
  std::uint8_t* chain = scratch.moreMarks(width);
  for (int r = first; r < last; ++r) {
    RowTriple rows(grid, r);
    std::uint8_t* h = rows.here;
    markRow(rows, width, alphaRule, s);
    // Such chains are rare: on a grid as the fill leaves it, no open cell
    // has a settled one on its right. So the row is scanned for them only
    // when the loop that finds them, which the compiler vectorises, saw one.
    std::uint8_t chains = 0;
    for (int c = 1; c + 1 < width; ++c) {
      chain[c] = std::uint8_t((h[c] & kOpen) & ((h[c - 1] & kState) == kState ? 1 : 0) &
                              ((h[c + 1] & kState) == kKey ? 1 : 0));
      chains |= chain[c];
    }
    if (chains != 0)
      for (int c = firstMarked(chain, 1, width); c + 1 < width;
           c = firstMarked(chain, c + 1, width))
        s[c] |= s[c - 1];
    for (int c = 0; c + 1 < width; ++c) h[c] = std::uint8_t(h[c] & ~s[c]);
    if (isOpen(h[width - 1]) && ruleAt(rows, width - 1, width, alphaRule))
      h[width - 1] &= std::uint8_t(~kOpen);
  }
}

void alphaPass(CellGrid<std::uint8_t>& grid) {
  SweepScratch scratch;
  alphaPassRows(grid, scratch, 0, grid.height());
}

void diagonalSweepRows(CellGrid<std::uint8_t>& grid, const AlphaColor& key,
                       SweepScratch& scratch, int first, int last) {
  // In place: row r sees row r-1 as this sweep left it and row r+1 as the one
  // before did. Within a row the cells don't see each other, so the marks of
  // a row stay exact while it is done.
  const int width = grid.width();
  const auto keyValue = Colours::keyValue(key);
  std::uint8_t* active = scratch.marks(width);
  for (int r = first; r < last; ++r) {
    RowTriple rows(grid, r);
    if (!hasPaint(rows.up, width) || !hasPaint(rows.down, width)) continue;
    markRow(rows, width, diagonalRule, active);
    // A run starts at a cell whose pairs are paint of one colour, which
    // a few loads find out, and goes on as far as stretches do from there.
    auto flatRun = [&](int c) {
      if (c < 1 || c + kRun > width || !isPaint(rows.up[c - 1]) || !isPaint(rows.down[c - 1]))
        return 0;
      const auto colour = Colours::load(rows.upCells[c - 1]);
      if (((colour ^ Colours::load(rows.downCells[c - 1])) |
           (colour ^ Colours::load(rows.upCells[c + 1])) |
           (colour ^ Colours::load(rows.downCells[c + 1]))) != 0)
        return 0;
      const int flat = flatColumns(c, width, rows.upCells[c - 1], [&](int from, const auto& run) {
        return diagonalFlatStretch(rows, active, from, run);
      });
      if (flat > 0) {
        rows.up[c - 1] |= kUsed;
        rows.down[c - 1] |= kUsed;
      }
      return flat;
    };
    int tryFrom = 0;
    for (int c = firstMarked(active, 0, width); c < width;) {
      if (c >= tryFrom) {
        if (const int flat = flatRun(c); flat > 0) {
          tryFrom = c + flat + kRetryAfter;
          c = firstMarked(active, c + flat, width);
          continue;
        }
        tryFrom = c + kRetryAfter;
      }
      const int p = wrapColumn(c, -1, width);
      const int n = wrapColumn(c, 1, width);
      refineCell(rows.at(c), rows.above(p), rows.below(n), rows.above(n), rows.below(p), keyValue);
      c = firstMarked(active, c + 1, width);
    }
  }
}

void orthogonalSweepRows(CellGrid<std::uint8_t>& grid, const AlphaColor& key,
                         SweepScratch& scratch, int first, int last) {
  const int width = grid.width();
  const auto keyValue = Colours::keyValue(key);
  std::uint8_t* active = scratch.marks(width);
  for (int r = first; r < last; ++r) {
    RowTriple rows(grid, r);
    // Pairs lie left and right in the row, or above and below; a cell this
    // sweep decides becomes paint itself, but only once one has been decided.
    if (!hasPaint(rows.here, width) && (!hasPaint(rows.up, width) || !hasPaint(rows.down, width)))
      continue;
    auto flatRun = [&](int c) {
      if (c < 1 || c + kRun > width || !isPaint(rows.here[c - 1])) return 0;
      const auto colour = Colours::load(rows.cells[c - 1]);
      if (((colour ^ Colours::load(rows.cells[c + 1])) | (colour ^ Colours::load(rows.upCells[c])) |
           (colour ^ Colours::load(rows.downCells[c]))) != 0)
        return 0;
      const int flat = flatColumns(c, width, rows.cells[c - 1], [&](int from, const auto& run) {
        return orthogonalFlatStretch(rows, from, run);
      });
      if (flat > 0) rows.here[c - 1] |= kUsed;
      return flat;
    };
    sweepRowInPlace(rows, width, orthogonalRule, active, flatRun, [&](int c) {
      const int p = wrapColumn(c, -1, width);
      const int n = wrapColumn(c, 1, width);
      return refineCell(rows.at(c), rows.at(p), rows.at(n), rows.above(c), rows.below(c),
                        keyValue);
    });
  }
}

void diagonalSweep(CellGrid<std::uint8_t>& grid, const AlphaColor& key) {
  SweepScratch scratch;
  diagonalSweepRows(grid, key, scratch, 0, grid.height());
}

void orthogonalSweep(CellGrid<std::uint8_t>& grid, const AlphaColor& key) {
  SweepScratch scratch;
  orthogonalSweepRows(grid, key, scratch, 0, grid.height());
}

void reseedRows(CellGrid<std::uint8_t>& grid, const RefinePlan& plan, int first, int last) {
  static_assert(kWasOpen == kOpen << 2);
  // Locals, because stores through the byte pointer could change anything the
  // compiler can't see is local.
  const int width = grid.width();
  const std::uint8_t reopenedMark = plan.reopenedMark;
  auto reseed = [](std::uint8_t f, std::uint8_t open) {
    return std::uint8_t((f & ~(kOpen | kWasOpen)) | ((f & kOpen) << 2) | open);
  };
  // A source cell opens only when the plan says so; the loops are split by
  // where source cells lie (even rows, odd columns), so that each is the same
  // few operations on every byte, which the compiler takes many at a time.
  auto reseedSource = [&](std::uint8_t f) {
    return reseed(f, (f & kUsed) == reopenedMark ? kOpen : 0);
  };
  for (int r = first; r < last; ++r) {
    std::uint8_t* flags = grid.flagRow(r);
    if (r % 2 != 0) {
      for (int c = 0; c < width; ++c) flags[c] = reseed(flags[c], kOpen);
      continue;
    }
    int c = 0;
    for (; c + 1 < width; c += 2) {
      flags[c] = reseed(flags[c], kOpen);
      flags[c + 1] = reseedSource(flags[c + 1]);
    }
    if (c < width) flags[c] = reseed(flags[c], kOpen);
  }
}

GapMarks::GapMarks(int height, int width)
    : wordsPerRow_((std::size_t(std::max(width, 0)) + 63) / 64),
      bits_(wordsPerRow_ * std::size_t(std::max(height, 0))) {}

void closeGapRows(CellGrid<std::uint8_t>& grid, const RefinePlan& plan, GapMarks& closed, int first,
                  int last) {
  const int height = grid.height();
  const int width = grid.width();
  // Offsets of two need sides of at least two; the scaler's grids are doubled.
  if (height < 2 || width < 2) return;
  const std::uint8_t openBit = plan.gapOpenBit;
  std::vector<std::uint8_t> marks(std::size_t(width), 0);
  std::uint8_t* lines = marks.data();
  for (int r = first; r < last; ++r) {
    // Only open cells are closed. Rows without one are common: with a key
    // outside 0..255, round 1 decides every cell.
    if (!anyMarked(grid.flagRow(r), width, openBit)) continue;
    GapRows flags;
    const Cell<std::uint8_t>* cells[5];
    for (int k = 0; k < 5; ++k) {
      const int row = wrapRow(r, k - 2, height);
      flags.rows[k] = grid.flagRow(row);
      cells[k] = grid.row(row);
    }
    markGapRow(flags, width, openBit, lines);
    for (int c = firstMarked(lines, 0, width); c < width; c = firstMarked(lines, c + 1, width)) {
      // The highest-numbered line that qualifies decides the colour.
      const GapLine& gap = kGapLines[std::bit_width(unsigned(lines[c])) - 1];
      auto partner = [&](Offset d) -> const Cell<std::uint8_t>& {
        return cells[d.row + 2][wrapColumn(c, d.column, width)];
      };
      grid.at(r, c) = average(partner(gap.partnerA), partner(gap.partnerB));
      closed.set(r, c);
    }
  }
}

void settleGapRows(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan,
                   const GapMarks& closed, int first, int last) {
  static_assert(kWasOpen == kOpen << 2);
  const int width = grid.width();
  if (grid.height() < 2 || width < 2) return;
  const bool restoreOpen = plan.gapOpenBit == kWasOpen;
  for (int r = first; r < last; ++r) {
    std::uint8_t* flags = grid.flagRow(r);
    if (restoreOpen) {
      for (int c = 0; c < width; ++c)
        flags[c] = std::uint8_t((flags[c] & ~kOpen) | ((flags[c] >> 2) & kOpen));
    }
    closed.forEachInRow(r, [&](int c) {
      flags[c] = std::uint8_t((flags[c] & ~kState) | (isAlpha(grid.at(r, c), key) ? kKey : 0));
    });
  }
}

namespace {

// One stage of scaleGrid over rows [first, last), and what a schedule must
// know of it.
struct Stage {
  // How many rows it must stay behind the stage before it: the rows below
  // its own that it reads as that stage left them, or from which that stage
  // still reads its row.
  int reach;
  // Its rows may be done in any order, side by side: every row reads only
  // what no other row of the stage writes.
  bool anyRowOrder;
  std::function<void(int first, int last)> run;
};

// What the stages of one grid share while they run.
class StageList {
 public:
  StageList(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan)
      : grid_(grid), key_(key), plan_(plan) {}
  StageList(const StageList&) = delete;
  StageList& operator=(const StageList&) = delete;

  // The pass settles cells between settled key-coloured ones. A key outside
  // 0..255 matches no byte cell, so there are none, and the pass is left out.
  void addAlphaPass() {
    if (!alphaColorFitsBytes(key_)) return;
    add(0, false, [this](int first, int last) { alphaPassRows(grid_, scratch_, first, last); });
  }

  // Round 1, and when the plan says so the re-seed step and round 2.
  void addRounds() {
    addRound();
    if (!plan_.secondRound) return;
    // The re-seed reads the use marks that the row below sets.
    add(1, true, [this](int first, int last) { reseedRows(grid_, plan_, first, last); });
    addRound();
  }

  // Every test of the gap closing pass reads the flags as they stood before
  // the pass, two rows up and down, so a cell closed here neither opens a
  // gate nor serves as a partner, and its rows can be done in any order.
  // Only open cells get colours, and no test reads an open cell's colour; the
  // flags change once the rows two up and down are coloured.
  void addGapPass() {
    closed_.emplace(grid_.height(), grid_.width());
    add(2, true, [this](int first, int last) {
      closeGapRows(grid_, plan_, *closed_, first, last);
    });
    add(2, true, [this](int first, int last) {
      settleGapRows(grid_, key_, plan_, *closed_, first, last);
    });
  }

  // Each stage over the whole grid before the next, as a grid that meets the
  // image's own wrap needs them.
  void runInStageOrder(Workers& workers) const {
    for (const Stage& stage : stages_) {
      if (stage.anyRowOrder) {
        workers.forRows(grid_.height(), stage.run);
      } else {
        stage.run(0, grid_.height());
      }
    }
  }

  // The stages a few rows apart down the grid. Each follows the one before
  // by the rows it reads below, and within a step the earlier stage goes
  // first; the stage after has then not yet reached the row above, which the
  // stage therefore sees as it left it.
  void runAsWavefront() const {
    // A few rows a step, so that each stage's call does enough to matter.
    constexpr int kStep = 4;
    const int height = grid_.height();
    std::vector<int> lags;
    int lag = 0;
    for (const Stage& stage : stages_) lags.push_back(lag += stage.reach);
    for (int start = 0; start < height + lag; start += kStep)
      for (std::size_t i = 0; i < stages_.size(); ++i) {
        const int first = std::max(0, start - lags[i]);
        const int last = std::min(height, start + kStep - lags[i]);
        if (first < last) stages_[i].run(first, last);
      }
  }

 private:
  void add(int reach, bool anyRowOrder, std::function<void(int, int)> run) {
    stages_.push_back({reach, anyRowOrder, std::move(run)});
  }
  void addRound() {
    add(1, false, [this](int first, int last) {
      diagonalSweepRows(grid_, key_, scratch_, first, last);
    });
    add(1, false, [this](int first, int last) {
      orthogonalSweepRows(grid_, key_, scratch_, first, last);
    });
  }

  CellGrid<std::uint8_t>& grid_;
  const AlphaColor& key_;
  const RefinePlan plan_;
  // Only stages that take rows in order use it, one at a time.
  SweepScratch scratch_;
  std::optional<GapMarks> closed_;
  std::vector<Stage> stages_;
};

void addAllStages(StageList& stages) {
  stages.addAlphaPass();
  stages.addRounds();
  stages.addGapPass();
}

}  // namespace

void refinementRounds(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan,
                      Workers& workers) {
  StageList stages(grid, key, plan);
  stages.addRounds();
  stages.runInStageOrder(workers);
}

void closeGaps(CellGrid<std::uint8_t>& grid, const AlphaColor& key, const RefinePlan& plan,
               Workers& workers) {
  StageList stages(grid, key, plan);
  stages.addGapPass();
  stages.runInStageOrder(workers);
}

void scaleGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t mode,
               Workers& workers) {
  StageList stages(grid, key, refinePlan(mode));
  addAllStages(stages);
  stages.runInStageOrder(workers);
}

void scaleBand(CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t mode) {
  StageList stages(grid, key, refinePlan(mode));
  addAllStages(stages);
  stages.runAsWavefront();
}

namespace {

void scaleAnyGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t mode,
                  GridEdges edges, Workers& workers) {
  if (edges == GridEdges::halo) {
    scaleBand(grid, key, mode);
  } else {
    scaleGrid(grid, key, mode, workers);
  }
}

}  // namespace

// Sides up to 16383, so that the doubled counts stay positive in 16 bits.
// The stages work in place row after row, but what one row's result depends
// on stays near it: each of the seven in-place stages looks one grid row up
// and down (the gap pass two), and a change travels no further in a stage
// than that, which makes seven grid rows or four source rows. Only the wrap
// from the bottom row to the top one reaches further, and the pipeline keeps
// that in order. Bands inside the image run as a wavefront, which keeps the
// rows it works on in cache whatever the band's size, so bands can be large
// and their halos a small share; bands of 2^19 source pixels, 128 rows at
// 4096 columns, keep memory near 5 bytes per source pixel.
const Profile kScalerProfile{"zorpix", "scaled", true, 16383, 4, std::int64_t{1} << 19,
                             scaleAnyGrid};

}  // namespace zorpix
