#include "restorer/restore_grid.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "frame/row_scan.h"
#include "scaler/neighbours.h"

namespace zorpix {
namespace {

using Grid = CellGrid<std::uint8_t>;
using Pixel = Cell<std::uint8_t>;

constexpr int kRounds = 8;

// ---- Which cells a round must look at ----------------------------------------
//
// A cell's marks and candidates depend on nothing but its 3x3 neighbourhood
// of the working grid. Where none of those nine cells changed in the last
// combine, the sweep would write the very values the direction grids already
// hold, and the combine would give the cell the colour it has. So a round
// looks only at the neighbours of the cells the round before changed, and
// combines only the cells whose candidates changed: the same result as
// looking at everything, for a fraction of the work once the first rounds
// have settled most of the image.

// One bit per cell, for a whole grid. Each row has whole words of its own, so
// workers setting the bits of their own rows never write a word that holds
// another worker's row. A word covers one chunk of 64 columns, the unit the
// vectorised steps work in.
constexpr int kChunk = 64;

class BitGrid {
 public:
  BitGrid(int height, int width)
      : height_(height),
        width_(width),
        words_((width + kChunk - 1) / kChunk),
        bits_(std::size_t(height) * std::size_t(words_), 0) {}

  int height() const { return height_; }
  int width() const { return width_; }
  int words() const { return words_; }
  std::uint64_t* row(int r) { return bits_.data() + std::size_t(r) * std::size_t(words_); }
  const std::uint64_t* row(int r) const {
    return bits_.data() + std::size_t(r) * std::size_t(words_);
  }

  void setAll() {
    for (int r = 0; r < height_; ++r)
      for (int c = 0; c < width_; ++c) set(row(r), c);
  }

  // Indexes are never negative; unsigned, they divide by a shift.
  static void set(std::uint64_t* words, int i) {
    words[unsigned(i) / kChunk] |= std::uint64_t(1) << (unsigned(i) % kChunk);
  }
  static bool has(const std::uint64_t* words, int i) {
    return (words[unsigned(i) / kChunk] >> (unsigned(i) % kChunk)) & 1;
  }

 private:
  int height_;
  int width_;
  int words_;
  std::vector<std::uint64_t> bits_;
};

// Every cell in `in` together with its left and right neighbours, wrapping
// around the row's ends. Bits past the last column stay clear.
void widenByOneColumn(const std::uint64_t* in, int words, int width, std::uint64_t* out) {
  for (int w = 0; w < words; ++w) {
    const std::uint64_t fromLeft = in[w] << 1 | (w > 0 ? in[w - 1] >> 63 : 0);
    const std::uint64_t fromRight = in[w] >> 1 | (w + 1 < words ? in[w + 1] << 63 : 0);
    out[w] = in[w] | fromLeft | fromRight;
  }
  const int last = width - 1;
  if (width % kChunk != 0) out[words - 1] &= (std::uint64_t(1) << (width % kChunk)) - 1;
  if (in[0] & 1) BitGrid::set(out, last);
  if (BitGrid::has(in, last)) out[0] |= 1;
}

// The cells within `reach` rows and one column of a cell of `bits` in row r,
// wrapping at every edge; `scratch` holds one row of words.
void gatherNear(const BitGrid& bits, int r, int reach, std::uint64_t* scratch,
                std::uint64_t* out) {
  const int height = bits.height();
  const int words = bits.words();
  std::fill_n(scratch, words, 0);
  int row = r;
  for (int i = 0; i < reach; ++i) row = wrapRow(row, -1, height);
  for (int i = 0; i <= 2 * reach; ++i, row = wrapRow(row, 1, height)) {
    const std::uint64_t* from = bits.row(row);
    for (int w = 0; w < words; ++w) scratch[w] |= from[w];
  }
  widenByOneColumn(scratch, words, bits.width(), out);
}

// Calls f(first, last) for the columns of every run of chunks that hold a
// bit, so a stretch of work runs as one vectorised loop.
template <typename Columns>
void forEachBusyRun(const std::uint64_t* bits, int words, int width, Columns&& f) {
  for (int w = 0; w < words;) {
    if (bits[w] == 0) {
      ++w;
      continue;
    }
    const int first = w;
    while (w < words && bits[w] != 0) ++w;
    f(first * kChunk, std::min(w * kChunk, width));
  }
}

// ---- The grids of one call -------------------------------------------------

// Each direction keeps its latest candidate for every cell. A direction that
// fails in a round must keep offering what it offered before (or the
// starting colour), so the candidates live for the whole call and are never
// refilled from the working grid. A cell's four candidates lie side by side,
// twelve bytes in one cache line as a rule, because the sweep writes them and
// the combine reads them cell by cell, only where something changed.
enum Direction { kHorizontal, kVertical, kDiagonal, kAntiDiagonal, kDirections };

// What the tests of a sweep need to know of one grid row, with the wrapped
// neighbours at both ends: entry c + 1 is column c, entry 0 the column before
// column 0 and entry width + 1 the column after the last, so no test needs a
// wrap per cell. Brightness is at most 765, so 16 bits hold it exactly.
struct RowSummary {
  std::int16_t* brightness;
  std::uint8_t* keyColoured;
};

// Scratch rows for one slice of a sweep: summaries of three rows, the marks
// of one, and rows of cell bits.
struct SweepScratch {
  SweepScratch(int width, int words)
      : brightness(3 * (std::size_t(width) + 2)),
        keyColoured(3 * (std::size_t(width) + 2)),
        marks(std::size_t(width)),
        merged(std::size_t(words)),
        needed(std::size_t(words)),
        summarised(std::size_t(words)) {}
  std::vector<std::int16_t> brightness;
  std::vector<std::uint8_t> keyColoured;
  std::vector<std::uint8_t> marks;
  std::vector<std::uint64_t> merged;
  std::vector<std::uint64_t> needed;
  std::vector<std::uint64_t> summarised;
};

// One scratch set for every thread that can run a slice at the same time,
// made before any rows are shared out, so no worker ever allocates. A slice
// never waits for other work, so no thread runs two slices at once and
// count() sets always go round.
class ScratchPool {
 public:
  ScratchPool(int count, int width, int words) {
    sets_.reserve(std::size_t(count));
    free_.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
      sets_.emplace_back(width, words);
      free_.push_back(&sets_.back());
    }
  }

  // Holds one set for the life of a slice.
  class Lease {
   public:
    explicit Lease(ScratchPool& pool) : pool_(pool) {
      std::lock_guard lock(pool_.mutex_);
      set_ = pool_.free_.back();
      pool_.free_.pop_back();
    }
    ~Lease() {
      std::lock_guard lock(pool_.mutex_);
      pool_.free_.push_back(set_);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    SweepScratch& operator*() const { return *set_; }

   private:
    ScratchPool& pool_;
    SweepScratch* set_;
  };

 private:
  std::mutex mutex_;
  std::vector<SweepScratch> sets_;
  std::vector<SweepScratch*> free_;  // never grows past its reserve
};

// Everything a call keeps between its rounds. A round's sweep reads the
// working grid and `changedBefore` and writes the candidates, `started` and
// `offered`; its combine reads the candidates and `offered` and writes the
// working grid and `changedNow`. Each writes only the rows of its own slice.
struct Restoration {
  Restoration(int height, int width, int workers)
      : candidates(height, kDirections * width, false),
        started(height, width),
        changedBefore(height, width),
        changedNow(height, width),
        offered(height, width),
        deferred(std::size_t(height), 0),
        scratch(workers, width, offered.words()) {
    // The first round looks at everything.
    changedBefore.setAll();
  }

  Grid candidates;  // kDirections cells for every cell of the working grid
  // Cells whose candidates hold their starting colours. The others are filled
  // when a direction first offers a candidate there: until then every combine
  // would give them the colours they had, so their working colours still are
  // the starting ones, and cells that never get a candidate are never
  // touched.
  BitGrid started;
  BitGrid changedBefore;  // cells the last round changed
  BitGrid changedNow;     // cells this round changes
  BitGrid offered;        // cells given a new candidate by this round's sweep
  // Rows whose combine waits until every slice has swept (see sweepSlice).
  std::vector<std::uint8_t> deferred;
  ScratchPool scratch;
};

// ---- The sweep ---------------------------------------------------------------

// The key as three channels in one word, red in the low byte, the way cells
// are compared with it. A key outside 0..255 gets a word no cell can have.
std::uint32_t keyWord(const AlphaColor& key) {
  if (!alphaColorFitsBytes(key)) return ~std::uint32_t(0);
  return packChannels(Pixel{std::uint8_t(key.red), std::uint8_t(key.green),
                            std::uint8_t(key.blue)});
}

void summariseCell(const Pixel& cell, std::uint32_t key, RowSummary out, int entry) {
  out.brightness[entry] = std::int16_t(cell.red + cell.green + cell.blue);
  out.keyColoured[entry] = packChannels(cell) == key;
}

#if defined(__SSE2__)
// Four cells, one in each 32-bit lane with red in the low byte and a clear
// top byte; reads the twelve bytes of the cells and no more.
__m128i fourCells(const Pixel* cells) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(cells);
  std::int32_t tail;
  std::memcpy(&tail, bytes + 8, sizeof tail);
  const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)),
                                       _mm_cvtsi32_si128(tail));
  const __m128i first = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
  const __m128i second = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
  return _mm_and_si128(_mm_unpacklo_epi64(first, second), _mm_set1_epi32(0xffffff));
}

__m128i laneBrightness(__m128i cells) {
  const __m128i low = _mm_set1_epi32(0xff);
  return _mm_add_epi32(_mm_add_epi32(_mm_and_si128(cells, low),
                                     _mm_and_si128(_mm_srli_epi32(cells, 8), low)),
                       _mm_srli_epi32(cells, 16));
}

// Summarises eight cells into entries entry .. entry + 7. Cells of three
// bytes don't line up with any vector lane, so the compiler can't do this
// by itself, and it is the widest step of every sweep.
void summariseEightCells(const Pixel* cells, __m128i key, RowSummary out, int entry) {
  const __m128i a = fourCells(cells);
  const __m128i b = fourCells(cells + 4);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out.brightness + entry),
                   _mm_packs_epi32(laneBrightness(a), laneBrightness(b)));
  const __m128i keys = _mm_packs_epi32(_mm_cmpeq_epi32(a, key), _mm_cmpeq_epi32(b, key));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out.keyColoured + entry),
                   _mm_and_si128(_mm_packs_epi16(keys, keys), _mm_set1_epi8(1)));
}
#endif

// Summarises columns first .. last - 1, where column -1 is the last column
// and column width the first one.
void summariseColumns(const Pixel* row, int width, std::uint32_t key, RowSummary out, int first,
                      int last) {
  const int end = std::min(last, width);
  int c = std::max(first, 0);
#if defined(__SSE2__)
  const __m128i keyLanes = _mm_set1_epi32(int(key));
  for (; c + 8 <= end; c += 8) summariseEightCells(row + c, keyLanes, out, c + 1);
#endif
  for (; c < end; ++c) summariseCell(row[c], key, out, c + 1);
  if (first < 0) summariseCell(row[width - 1], key, out, 0);
  if (last > width) summariseCell(row[0], key, out, width + 1);
}

// Summarises the chunks that hold a bit of `cells`, with one column either
// side of each run of them: all that the marks of those chunks read of this
// row.
void summariseChunks(const Pixel* row, int width, std::uint32_t key, const std::uint64_t* cells,
                     int words, RowSummary out) {
  forEachBusyRun(cells, words, width, [&](int first, int last) {
    summariseColumns(row, width, key, out, first - 1, last + 1);
  });
}

enum Offer : std::uint8_t {
  kOffersHorizontal = 1,
  kOffersVertical = 2,
  kOffersDiagonal = 4,
  kOffersAntiDiagonal = 8,
};

// A direction offers a candidate only where it crosses a brightness edge
// (exactly one of its two neighbours is as bright as the cell) and neither
// neighbour is key-coloured, so the background never bleeds into a candidate.
// The cell itself may be key-coloured.
std::uint8_t offers(std::int16_t brightnessA, std::uint8_t keyA, std::int16_t brightnessB,
                    std::uint8_t keyB, std::int16_t brightnessX) {
  const bool acrossEdge = (brightnessA == brightnessX) != (brightnessB == brightnessX);
  return std::uint8_t(acrossEdge & !keyA & !keyB);
}

// Marks, for columns first .. last - 1 of a row, the directions that offer a
// candidate. Free of branches and over plain arrays, so it runs vectorised;
// inside flat areas and the background, most of a sprite sheet, nothing is
// marked.
void markOffers(const RowSummary& up, const RowSummary& here, const RowSummary& down, int first,
                int last, std::uint8_t* marks) {
  // Column c is entry c + 1 of a summary, its left neighbour entry c and its
  // right neighbour entry c + 2. Plain pointers, so that the stores into the
  // marks can't be taken to change where the summaries are.
  const std::int16_t* upB = up.brightness;
  const std::int16_t* hereB = here.brightness;
  const std::int16_t* downB = down.brightness;
  const std::uint8_t* upK = up.keyColoured;
  const std::uint8_t* hereK = here.keyColoured;
  const std::uint8_t* downK = down.keyColoured;
  for (int c = first; c < last; ++c) {
    const std::int16_t x = hereB[c + 1];
    marks[c] = std::uint8_t(
        offers(hereB[c], hereK[c], hereB[c + 2], hereK[c + 2], x) * kOffersHorizontal |
        offers(upB[c + 1], upK[c + 1], downB[c + 1], downK[c + 1], x) * kOffersVertical |
        offers(upB[c], upK[c], downB[c + 2], downK[c + 2], x) * kOffersDiagonal |
        offers(upB[c + 2], upK[c + 2], downB[c], downK[c], x) * kOffersAntiDiagonal);
  }
}

// A cell's channel bytes as the first three bytes of a word; the fourth is
// whatever follows the cell. Every grid has spare bytes past its last cell,
// so the read stays inside the grid. Channels are worked on where they lie
// in memory, so this holds on machines of either byte order.
std::uint32_t cellWord(const Pixel& cell) {
  std::uint32_t word;
  std::memcpy(&word, &cell, sizeof word);
  return word;
}

void storeCell(Pixel& cell, std::uint32_t word) { std::memcpy(&cell, &word, sizeof cell); }

bool sameChannels(std::uint32_t x, std::uint32_t y) {
  constexpr std::uint32_t channels =
      std::endian::native == std::endian::little ? 0x00ffffffu : 0xffffff00u;
  return ((x ^ y) & channels) == 0;
}

// The floor of the mean of every byte pair, as average() does it.
std::uint32_t averageWords(std::uint32_t x, std::uint32_t y) {
  return (x & y) + (((x ^ y) >> 1) & 0x7f7f7f7fu);
}

// Replaces a marked direction's candidate. The old one is not read: the
// candidates of a round are rarely in the cache, and a store doesn't wait.
// Which directions are marked follows no pattern a branch predictor could
// learn, so an unmarked direction's average goes to `discard` instead.
void takeIfOffered(std::uint8_t mark, Offer direction, const Pixel& a, const Pixel& b,
                   Pixel& candidate, Pixel& discard) {
  Pixel* target = (mark & direction) ? &candidate : &discard;
  storeCell(*target, averageWords(cellWord(a), cellWord(b)));
}

// Writes the candidates that row r's marked directions offer in the needed
// cells of columns first .. last - 1, and notes those cells for the combine.
void takeCandidates(const Grid& working, int r, const std::uint8_t* marks,
                    const std::uint64_t* needed, int first, int last, Restoration& state) {
  const int height = working.height();
  const int width = working.width();
  const Pixel* up = working.row(wrapRow(r, -1, height));
  const Pixel* here = working.row(r);
  const Pixel* down = working.row(wrapRow(r, 1, height));
  Pixel* records = state.candidates.row(r);
  std::uint64_t* started = state.started.row(r);
  std::uint64_t* offered = state.offered.row(r);
  Pixel discard;
  for (int c = firstMarked(marks, first, last); c < last; c = firstMarked(marks, c + 1, last)) {
    if (!BitGrid::has(needed, c)) continue;
    Pixel* record = records + kDirections * c;
    if (!BitGrid::has(started, c)) {
      std::fill_n(record, kDirections, here[c]);
      BitGrid::set(started, c);
    }
    const std::uint8_t mark = marks[c];
    const int cl = wrapColumn(c, -1, width);
    const int cr = wrapColumn(c, 1, width);
    takeIfOffered(mark, kOffersHorizontal, here[cl], here[cr], record[kHorizontal], discard);
    takeIfOffered(mark, kOffersVertical, up[c], down[c], record[kVertical], discard);
    takeIfOffered(mark, kOffersDiagonal, up[cl], down[cr], record[kDiagonal], discard);
    takeIfOffered(mark, kOffersAntiDiagonal, up[cr], down[cl], record[kAntiDiagonal], discard);
    BitGrid::set(offered, c);
  }
}

// ---- The combine -------------------------------------------------------------

// The floor of a quarter of the sum of four bytes, for every byte of the
// words at once: the even and the odd bytes are summed apart, in 16-bit lanes
// that hold the sum of four bytes with room to spare.
std::uint32_t quarterOfSum(std::uint32_t h, std::uint32_t v, std::uint32_t d, std::uint32_t a) {
  constexpr std::uint32_t even = 0x00ff00ffu;
  const std::uint32_t evenSums = (h & even) + (v & even) + (d & even) + (a & even);
  const std::uint32_t oddSums =
      (h >> 8 & even) + (v >> 8 & even) + (d >> 8 & even) + (a >> 8 & even);
  return (evenSums >> 2 & even) | (oddSums >> 2 & even) << 8;
}

// Gives a cell the mean of its four candidates; true when that changes it.
bool combineCell(const Pixel* record, Pixel& cell) {
  const std::uint32_t next =
      quarterOfSum(cellWord(record[kHorizontal]), cellWord(record[kVertical]),
                   cellWord(record[kDiagonal]), cellWord(record[kAntiDiagonal]));
  const bool changes = !sameChannels(next, cellWord(cell));
  storeCell(cell, next);
  return changes;
}

// Reads only row r's candidates and writes only its working cells. Cells
// whose candidates all stayed keep their colours.
void combineRow(Restoration& state, Grid& working, int r) {
  const int words = state.offered.words();
  const std::uint64_t* offered = state.offered.row(r);
  const Pixel* records = state.candidates.row(r);
  std::uint64_t* changed = state.changedNow.row(r);
  Pixel* row = working.row(r);
  for (int w = 0; w < words; ++w) {
    std::uint64_t changes = 0;
    for (std::uint64_t left = offered[w]; left != 0; left &= left - 1) {
      const int bit = std::countr_zero(left);
      const int c = w * kChunk + bit;
      changes |= std::uint64_t(combineCell(records + kDirections * c, row[c])) << bit;
    }
    changed[w] = changes;
  }
}

// ---- One round ---------------------------------------------------------------

// Sweeps rows yFirst .. yLast - 1 and combines every row as soon as no sweep
// reads it any more, while its candidates are still in the cache: row r - 1
// once row r is swept. Every test of a round so sees the grid as the round
// before left it, whatever the split of rows between callers. The first and
// last rows of the range are read by the sweeps of the rows beside the range,
// which may not have run yet; their combine is left to combineDeferredRows.
// Summaries of three rows slide down the range, each row summarised once, in
// the chunks that it or a row beside it needs.
void sweepSlice(Grid& working, std::uint32_t key, Restoration& state, SweepScratch& scratch,
                int yFirst, int yLast) {
  const int height = working.height();
  const int width = working.width();
  const int words = state.offered.words();
  const std::size_t padded = std::size_t(width) + 2;
  RowSummary up{scratch.brightness.data(), scratch.keyColoured.data()};
  RowSummary here{up.brightness + padded, up.keyColoured + padded};
  RowSummary down{here.brightness + padded, here.keyColoured + padded};
  std::uint64_t* needed = scratch.needed.data();
  auto summarise = [&](int r, RowSummary out) {
    // Row r's summary serves rows r - 1 .. r + 1, which need the cells near
    // the changes of rows r - 2 .. r + 2.
    std::uint64_t* cells = scratch.summarised.data();
    gatherNear(state.changedBefore, r, 2, scratch.merged.data(), cells);
    summariseChunks(working.row(r), width, key, cells, words, out);
  };
  summarise(wrapRow(yFirst, -1, height), up);
  summarise(yFirst, here);
  for (int r = yFirst; r < yLast; ++r) {
    if (r > yFirst) {
      std::swap(up, here);
      std::swap(here, down);
    }
    summarise(wrapRow(r, 1, height), down);
    std::fill_n(state.offered.row(r), words, 0);
    gatherNear(state.changedBefore, r, 1, scratch.merged.data(), needed);
    forEachBusyRun(needed, words, width, [&](int first, int last) {
      markOffers(up, here, down, first, last, scratch.marks.data());
      takeCandidates(working, r, scratch.marks.data(), needed, first, last, state);
    });
    if (r - 1 > yFirst) combineRow(state, working, r - 1);
  }
  state.deferred[std::size_t(yFirst)] = 1;
  state.deferred[std::size_t(yLast - 1)] = 1;
}

void combineDeferredRows(Restoration& state, Grid& working, int yFirst, int yLast) {
  for (int r = yFirst; r < yLast; ++r) {
    if (!state.deferred[std::size_t(r)]) continue;
    combineRow(state, working, r);
    state.deferred[std::size_t(r)] = 0;
  }
}

}  // namespace

void restoreGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, Workers& workers) {
  const int height = grid.height();
  const int width = grid.width();
  if (height <= 0 || width <= 0) return;
  Restoration state(height, width, workers.count());
  const std::uint32_t keyBytes = keyWord(key);
  for (int round = 0; round < kRounds; ++round) {
    workers.forRows(height, [&](int first, int last) {
      const ScratchPool::Lease scratch(state.scratch);
      sweepSlice(grid, keyBytes, state, *scratch, first, last);
    });
    workers.forRows(height, [&](int first, int last) {
      combineDeferredRows(state, grid, first, last);
    });
    std::swap(state.changedBefore, state.changedNow);
  }
}

// Every value the smoothing makes is an average of pixels, so byte channels
// always suffice, whatever the key colour.
// The refinement mode is the scaler's alone.
const Profile kRestorerProfile{
    "dezorpix", "restored", false, 32767,
    [](CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t, Workers& workers) {
      restoreGrid(grid, key, workers);
    }};

}  // namespace zorpix
