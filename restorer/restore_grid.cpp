#include "restorer/restore_grid.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "scaler/neighbours.h"

namespace zorpix {
namespace {

using Grid = CellGrid<std::uint8_t>;
using Pixel = Cell<std::uint8_t>;

constexpr int kRounds = 8;

// ---- Bands: the schedule -------------------------------------------------------
//
// A round reads a cell's 3x3 neighbourhood as the round before left it, so
// after k rounds a cell depends on the starting colours of the rows up to k
// away, and on nothing else. The image is therefore restored in bands of
// rows, each taken with kRounds rows either side into a window of its own
// that holds everything the rounds need: the working rows, the candidates and
// the marks, a few megabytes that stay in the cache through all eight rounds
// instead of four candidate grids as large as the image. Round k of a window
// leaves its outer k rows wrong (their neighbours outside were never
// computed), which never reaches the band in the middle.
//
// Windows read the rows beside their band as the image had them at the
// start, so the rows within kRounds of a band's edge are written only once
// every band is done (see EdgeRows); rows further in belong to one band
// alone and are written straight away.
constexpr int kBandRows = 64;
constexpr int kHalo = kRounds;

// ---- Which cells a round must look at ----------------------------------------
//
// A cell's marks and candidates depend on nothing but its 3x3 neighbourhood
// of the working rows. Where none of those nine cells changed in the last
// combine, the sweep would write the very values the candidates already
// hold, and the combine would give the cell the colour it has. So a round
// looks only at the neighbours of the cells the round before changed, and
// combines only the cells that got a candidate: the same result as looking
// at everything, for a fraction of the work once the first rounds have
// settled most of the image.

// One bit per cell of a window. Each row has whole words of its own; a word
// covers one chunk of 64 columns, the unit the vectorised steps work in.
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

  void clear() { std::fill(bits_.begin(), bits_.end(), 0); }
  // Every cell; the bits past the last column stay clear.
  void setAll() {
    const int tail = width_ % kChunk;
    for (int r = 0; r < height_; ++r) {
      std::fill_n(row(r), words_, ~std::uint64_t(0));
      if (tail != 0) row(r)[words_ - 1] = (std::uint64_t(1) << tail) - 1;
    }
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

// The cells of row r next to a cell of `bits` or on one, within the rows of
// the window; `scratch` holds one row of words.
void gatherNear(const BitGrid& bits, int r, std::uint64_t* scratch, std::uint64_t* out) {
  const int words = bits.words();
  std::fill_n(scratch, words, 0);
  const int last = std::min(r + 1, bits.height() - 1);
  for (int row = std::max(r - 1, 0); row <= last; ++row) {
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

// ---- A window ----------------------------------------------------------------

// Each direction keeps its latest candidate for every cell. A direction that
// fails in a round must keep offering what it offered before (or the
// starting colour), so the candidates live through all rounds and are never
// refilled from the working rows. A cell's four candidates lie side by side,
// because the sweep writes them and the combine reads them cell by cell.
enum Direction { kHorizontal, kVertical, kDiagonal, kAntiDiagonal, kDirections };

// What the tests of a sweep need to know of one grid row, with the wrapped
// neighbours at both ends: entry c + 1 is column c, entry 0 the column before
// column 0 and entry width + 1 the column after the last, so no test needs a
// wrap per cell. Brightness is at most 765, so 16 bits hold it exactly.
struct RowSummary {
  std::int16_t* brightness;
  std::uint8_t* keyColoured;
};

// One band's rows and everything its rounds keep, for bands of up to
// `bandRows` rows. A round's sweep reads the working rows and
// `changedBefore` and writes the candidates, `started` and `offered`; its
// combine reads the candidates and `offered` and writes the working rows and
// `changedNow`.
struct Window {
  Window(int bandRows, int width)
      : working(bandRows + 2 * kHalo, width, false),
        candidates(bandRows + 2 * kHalo, kDirections * width, false),
        started(bandRows + 2 * kHalo, width),
        changedBefore(bandRows + 2 * kHalo, width),
        changedNow(bandRows + 2 * kHalo, width),
        offered(bandRows + 2 * kHalo, width),
        brightness(std::size_t(bandRows + 2 * kHalo) * (std::size_t(width) + 2)),
        keyColoured(std::size_t(bandRows + 2 * kHalo) * (std::size_t(width) + 2)),
        marks(std::size_t(offered.words()) * kChunk),
        merged(std::size_t(offered.words())),
        needed(std::size_t(offered.words())) {}

  RowSummary summary(int r) {
    const std::size_t at = std::size_t(r) * (std::size_t(working.width()) + 2);
    return {brightness.data() + at, keyColoured.data() + at};
  }

  int rows = 0;  // in use: the band and the rows beside it
  Grid working;
  Grid candidates;  // kDirections cells for every working cell
  // Cells whose candidates hold their starting colours. The others are filled
  // when a direction first offers a candidate there: until then every combine
  // would give them the colours they had, so their working colours still are
  // the starting ones, and cells that never get a candidate are never
  // touched.
  BitGrid started;
  BitGrid changedBefore;  // cells the last round changed
  BitGrid changedNow;     // cells this round changes
  BitGrid offered;        // cells given a new candidate by this round's sweep

  // A summary of every working row, kept up to date by the combine.
  std::vector<std::int16_t> brightness;
  std::vector<std::uint8_t> keyColoured;
  // Scratch of the sweep: the marks of one row (in whole chunks), rows of
  // cell bits.
  std::vector<std::uint8_t> marks;
  std::vector<std::uint64_t> merged;
  std::vector<std::uint64_t> needed;
};

// ---- Summaries and marks -----------------------------------------------------

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
// by itself, and every row of every window is summarised whole.
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

// Brings the summary up to date with a change of column c, in its own entry
// and in the wrapped one beside the other end of the row.
void resummariseCell(const Pixel* row, int width, std::uint32_t key, RowSummary out, int c) {
  summariseCell(row[c], key, out, c + 1);
  if (c == 0) summariseCell(row[c], key, out, width + 1);
  if (c == width - 1) summariseCell(row[c], key, out, 0);
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

// Replaces a marked direction's candidate. Which directions are marked
// follows no pattern a branch predictor could learn, so an unmarked
// direction's average goes to `discard` instead of being skipped.
void takeIfOffered(std::uint8_t mark, Offer direction, const Pixel& a, const Pixel& b,
                   Pixel& candidate, Pixel& discard) {
  Pixel* target = (mark & direction) ? &candidate : &discard;
  storeCell(*target, averageWords(cellWord(a), cellWord(b)));
}

// ---- The sweep ---------------------------------------------------------------

// The cells of chunk w that have a mark, one bit each.
std::uint64_t markedCells(const std::uint8_t* marks, int w) {
  const std::uint8_t* bytes = marks + std::size_t(w) * kChunk;
  std::uint64_t cells = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < kChunk; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const auto unmarked = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
    cells |= std::uint64_t(~unmarked & 0xffffu) << i;
  }
#else
  for (int i = 0; i < kChunk; ++i) cells |= std::uint64_t(bytes[i] != 0) << i;
#endif
  return cells;
}

// Writes the candidates that row r's marked directions offer in the needed
// cells of columns first .. last - 1, and notes those cells for the combine.
// The marks outside first .. last - 1 are left from other rows, but no cell
// there is needed.
void takeCandidates(Window& window, int r, int first, int last) {
  const int width = window.working.width();
  const Pixel* up = window.working.row(r - 1);
  const Pixel* here = window.working.row(r);
  const Pixel* down = window.working.row(r + 1);
  Pixel* records = window.candidates.row(r);
  std::uint64_t* started = window.started.row(r);
  std::uint64_t* offered = window.offered.row(r);
  const std::uint64_t* needed = window.needed.data();
  Pixel discard;
  for (int w = first / kChunk; w * kChunk < last; ++w) {
    const std::uint64_t cells = markedCells(window.marks.data(), w) & needed[w];
    for (std::uint64_t fresh = cells & ~started[w]; fresh != 0; fresh &= fresh - 1) {
      const int c = w * kChunk + std::countr_zero(fresh);
      std::fill_n(records + kDirections * c, kDirections, here[c]);
    }
    started[w] |= cells;
    offered[w] |= cells;
    for (std::uint64_t left = cells; left != 0; left &= left - 1) {
      const int c = w * kChunk + std::countr_zero(left);
      const std::uint8_t mark = window.marks[std::size_t(c)];
      const int cl = wrapColumn(c, -1, width);
      const int cr = wrapColumn(c, 1, width);
      Pixel* record = records + kDirections * c;
      takeIfOffered(mark, kOffersHorizontal, here[cl], here[cr], record[kHorizontal], discard);
      takeIfOffered(mark, kOffersVertical, up[c], down[c], record[kVertical], discard);
      takeIfOffered(mark, kOffersDiagonal, up[cl], down[cr], record[kDiagonal], discard);
      takeIfOffered(mark, kOffersAntiDiagonal, up[cr], down[cl], record[kAntiDiagonal], discard);
    }
  }
}

// Marks row r's directions and takes their candidates in the cells next to
// the last round's changes. Reads only the working rows and their summaries,
// as the last round left them, and writes only row r's candidates.
void sweepRow(Window& window, int r) {
  const int words = window.offered.words();
  const int width = window.working.width();
  std::fill_n(window.offered.row(r), words, 0);
  gatherNear(window.changedBefore, r, window.merged.data(), window.needed.data());
  forEachBusyRun(window.needed.data(), words, width, [&](int first, int last) {
    markOffers(window.summary(r - 1), window.summary(r), window.summary(r + 1), first, last,
               window.marks.data());
    takeCandidates(window, r, first, last);
  });
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

// Gives row r's cells that got a candidate the mean of their four
// candidates, and notes which changed. Reads only row r's candidates and
// writes only its working cells and their summary.
void combineRow(Window& window, std::uint32_t key, int r) {
  const int words = window.offered.words();
  const int width = window.working.width();
  const std::uint64_t* offered = window.offered.row(r);
  const Pixel* records = window.candidates.row(r);
  std::uint64_t* changed = window.changedNow.row(r);
  Pixel* row = window.working.row(r);
  for (int w = 0; w < words; ++w) {
    std::uint64_t changes = 0;
    for (std::uint64_t left = offered[w]; left != 0; left &= left - 1) {
      const int bit = std::countr_zero(left);
      const int c = w * kChunk + bit;
      changes |= std::uint64_t(combineCell(records + kDirections * c, row[c])) << bit;
    }
    changed[w] = changes;
    for (std::uint64_t left = changes; left != 0; left &= left - 1)
      resummariseCell(row, width, key, window.summary(r), w * kChunk + std::countr_zero(left));
  }
}

// ---- A band ------------------------------------------------------------------

// One round over rows first .. last - 1 of the window. Each row is combined
// as soon as no sweep reads it any more, while its candidates are still in
// the cache: row r - 1 once row r is swept.
void runRound(Window& window, std::uint32_t key, int first, int last) {
  for (int r = first; r < last; ++r) {
    sweepRow(window, r);
    if (r > first) combineRow(window, key, r - 1);
  }
  combineRow(window, key, last - 1);
  std::swap(window.changedBefore, window.changedNow);
}

// The eight rounds over a window whose rows hold the starting colours. Round
// k works on the rows its result is right for: all but the outer k + 1 on
// either side, whose neighbours are outside or already wrong.
void runRounds(Window& window, std::uint32_t key) {
  window.started.clear();
  // The first round looks at everything.
  window.changedBefore.setAll();
  window.changedNow.setAll();
  for (int round = 0; round < kRounds; ++round)
    runRound(window, key, round + 1, window.rows - 1 - round);
}

// ---- Bands of the image ------------------------------------------------------

// Band b holds image rows b * kBandRows up to the next band or the image's
// end. The rows within kHalo of a band's first or last row are its edge
// rows: other windows read them, so their results wait here until every band
// is done. A band of up to 2 * kHalo rows is all edge.
class EdgeRows {
 public:
  EdgeRows(int height, int width)
      : height_(height), rows_(bandCount(height) * 2 * kHalo, width, false) {}

  static int bandCount(int height) { return (height + kBandRows - 1) / kBandRows; }
  int bandLength(int band) const { return std::min(kBandRows, height_ - band * kBandRows); }

  // Where row i of band b waits, or null for a row no other window reads.
  Pixel* slot(int band, int i) {
    const int length = bandLength(band);
    int s = -1;
    if (i < kHalo)
      s = i;
    else if (i >= length - kHalo)
      s = i - (length - kHalo) + kHalo;
    return s < 0 ? nullptr : rows_.row(band * 2 * kHalo + s);
  }

 private:
  int height_;
  Grid rows_;
};

// Fills the window with band b's rows and kHalo rows either side, wrapping
// around the image (more than once on images lower than the window).
void loadWindow(const Grid& image, std::uint32_t key, int firstRow, int length, Window& window) {
  const int height = image.height();
  const int width = image.width();
  window.rows = length + 2 * kHalo;
  for (int i = 0; i < window.rows; ++i) {
    const int row = ((firstRow - kHalo + i) % height + height) % height;
    std::copy_n(image.row(row), std::size_t(width), window.working.row(i));
    summariseColumns(window.working.row(i), width, key, window.summary(i), -1, width + 1);
  }
}

// Restores band b. Reads the image's rows of this band and the edge rows of
// the bands beside it, which stay as they were until every band is done;
// writes only this band's rows.
void restoreBand(Grid& image, std::uint32_t key, int band, EdgeRows& edges, Window& window) {
  const int firstRow = band * kBandRows;
  const int length = edges.bandLength(band);
  loadWindow(image, key, firstRow, length, window);
  runRounds(window, key);
  const auto width = std::size_t(image.width());
  for (int i = 0; i < length; ++i) {
    Pixel* slot = edges.slot(band, i);
    std::copy_n(window.working.row(kHalo + i), width, slot ? slot : image.row(firstRow + i));
  }
}

void writeEdgeRows(EdgeRows& edges, Grid& image, int yFirst, int yLast) {
  const auto width = std::size_t(image.width());
  for (int r = yFirst; r < yLast; ++r)
    if (const Pixel* slot = edges.slot(r / kBandRows, r % kBandRows))
      std::copy_n(slot, width, image.row(r));
}

// One window for every thread that can restore a band at the same time,
// made before any work is shared out, so no worker ever allocates. A band
// never waits for other work, so no thread restores two at once.
class WindowPool {
 public:
  WindowPool(int count, int bandRows, int width) {
    windows_.reserve(std::size_t(count));
    free_.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i) {
      windows_.push_back(std::make_unique<Window>(bandRows, width));
      free_.push_back(windows_.back().get());
    }
  }

  // Holds one window for the life of a slice of bands.
  class Lease {
   public:
    explicit Lease(WindowPool& pool) : pool_(pool) {
      std::lock_guard lock(pool_.mutex_);
      window_ = pool_.free_.back();
      pool_.free_.pop_back();
    }
    ~Lease() {
      std::lock_guard lock(pool_.mutex_);
      pool_.free_.push_back(window_);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Window& operator*() const { return *window_; }

   private:
    WindowPool& pool_;
    Window* window_;
  };

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<Window>> windows_;
  std::vector<Window*> free_;  // never grows past its reserve
};

}  // namespace

void restoreGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, Workers& workers) {
  const int height = grid.height();
  const int width = grid.width();
  if (height <= 0 || width <= 0) return;
  const int bands = EdgeRows::bandCount(height);
  EdgeRows edges(height, width);
  // Only slices that start a band take a window, so no more are ever in use
  // than there are bands.
  WindowPool windows(std::min(workers.count(), bands), std::min(kBandRows, height), width);
  const std::uint32_t keyBytes = packedKey(key);
  // A band belongs to the slice that holds its first row.
  workers.forRows(height, [&](int first, int last) {
    const int firstBand = (first + kBandRows - 1) / kBandRows;
    const int endBand = (last + kBandRows - 1) / kBandRows;
    if (firstBand >= endBand) return;
    const WindowPool::Lease window(windows);
    for (int band = firstBand; band < endBand; ++band)
      restoreBand(grid, keyBytes, band, edges, *window);
  });
  workers.forRows(height, [&](int first, int last) { writeEdgeRows(edges, grid, first, last); });
}

// Every value the smoothing makes is an average of pixels, so byte channels
// always suffice, whatever the key colour.
// Each round reads one row above and below, so after all rounds a row depends
// on kRounds rows either way. The refinement mode is the scaler's alone.
const Profile kRestorerProfile{
    "dezorpix", "restored", false, 32767, kRounds, std::int64_t{1} << 20,
    [](CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t, GridEdges,
       Workers& workers) {
      restoreGrid(grid, key, workers);
    }};

}  // namespace zorpix
