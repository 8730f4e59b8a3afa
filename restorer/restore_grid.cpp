#include "restorer/restore_grid.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "frame/row_scan.h"
#include "scaler/neighbours.h"

namespace zorpix {
namespace {

using Grid = CellGrid<std::uint8_t>;
using Pixel = Cell<std::uint8_t>;

constexpr int kRounds = 8;

// Each direction keeps its latest candidate for every cell in a grid of its
// own. A direction that fails in a round must keep offering what it offered
// before (or the starting colour), so these grids live for the whole call and
// are never refilled from the working grid.
struct DirectionGrids {
  Grid horizontal;
  Grid vertical;
  Grid diagonal;
  Grid antiDiagonal;
};

DirectionGrids makeDirectionGrids(int height, int width) {
  return {Grid(height, width, false), Grid(height, width, false), Grid(height, width, false),
          Grid(height, width, false)};
}

// Every direction starts out offering the cell's own colour, so a cell no
// direction ever qualifies for keeps its colour through every combine.
void copyStartingColours(const Grid& working, DirectionGrids& directions, int yFirst, int yLast) {
  const auto width = std::size_t(working.width());
  for (int r = yFirst; r < yLast; ++r) {
    const Pixel* source = working.row(r);
    std::copy_n(source, width, directions.horizontal.row(r));
    std::copy_n(source, width, directions.vertical.row(r));
    std::copy_n(source, width, directions.diagonal.row(r));
    std::copy_n(source, width, directions.antiDiagonal.row(r));
  }
}

// What the tests of a sweep need to know of one grid row, with the wrapped
// neighbours at both ends: entry c + 1 is column c, entry 0 the column before
// column 0 and entry width + 1 the column after the last, so no test needs a
// wrap per cell. Brightness is at most 765, so 16 bits hold it exactly.
struct RowSummary {
  std::int16_t* brightness;
  std::uint8_t* keyColoured;
};

// Takes the key by value: a copy of its own can't be changed by the stores
// into the summary, so it needn't be read again for every cell.
void summariseRow(const Pixel* row, int width, AlphaColor key, RowSummary out) {
  for (int c = 0; c < width; ++c) {
    out.brightness[c + 1] = std::int16_t(std::int32_t(row[c].red) + std::int32_t(row[c].green) +
                                         std::int32_t(row[c].blue));
    out.keyColoured[c + 1] = isAlpha(row[c], key);
  }
  const int before = wrapColumn(0, -1, width) + 1;
  const int after = wrapColumn(width - 1, 1, width) + 1;
  out.brightness[0] = out.brightness[before];
  out.keyColoured[0] = out.keyColoured[before];
  out.brightness[width + 1] = out.brightness[after];
  out.keyColoured[width + 1] = out.keyColoured[after];
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

// Marks, for each cell of a row, the directions that offer a candidate. Free
// of branches and over plain arrays, so it runs vectorised; inside flat areas
// and the background, most of a sprite sheet, nothing is marked.
void markOffers(const RowSummary& up, const RowSummary& here, const RowSummary& down, int width,
                std::uint8_t* marks) {
  // Column c is entry c + 1 of a summary, its left neighbour entry c and its
  // right neighbour entry c + 2. Plain pointers, so that the stores into the
  // marks can't be taken to change where the summaries are.
  const std::int16_t* upB = up.brightness;
  const std::int16_t* hereB = here.brightness;
  const std::int16_t* downB = down.brightness;
  const std::uint8_t* upK = up.keyColoured;
  const std::uint8_t* hereK = here.keyColoured;
  const std::uint8_t* downK = down.keyColoured;
  for (int c = 0; c < width; ++c) {
    const std::int16_t x = hereB[c + 1];
    marks[c] = std::uint8_t(
        offers(hereB[c], hereK[c], hereB[c + 2], hereK[c + 2], x) * kOffersHorizontal |
        offers(upB[c + 1], upK[c + 1], downB[c + 1], downK[c + 1], x) * kOffersVertical |
        offers(upB[c], upK[c], downB[c + 2], downK[c + 2], x) * kOffersDiagonal |
        offers(upB[c + 2], upK[c + 2], downB[c], downK[c], x) * kOffersAntiDiagonal);
  }
}

void takeIfOffered(std::uint8_t mark, Offer direction, const Pixel& a, const Pixel& b,
                   Pixel& candidate) {
  if (mark & direction) candidate = average(a, b);
}

// Writes the candidates that row r's marked directions offer.
void takeCandidates(const Grid& working, int r, const std::uint8_t* marks,
                    DirectionGrids& directions) {
  const int height = working.height();
  const int width = working.width();
  const Pixel* up = working.row(wrapRow(r, -1, height));
  const Pixel* here = working.row(r);
  const Pixel* down = working.row(wrapRow(r, 1, height));
  Pixel* horizontal = directions.horizontal.row(r);
  Pixel* vertical = directions.vertical.row(r);
  Pixel* diagonal = directions.diagonal.row(r);
  Pixel* antiDiagonal = directions.antiDiagonal.row(r);
  for (int c = firstMarked(marks, 0, width); c < width; c = firstMarked(marks, c + 1, width)) {
    const std::uint8_t mark = marks[c];
    const int cl = wrapColumn(c, -1, width);
    const int cr = wrapColumn(c, 1, width);
    takeIfOffered(mark, kOffersHorizontal, here[cl], here[cr], horizontal[c]);
    takeIfOffered(mark, kOffersVertical, up[c], down[c], vertical[c]);
    takeIfOffered(mark, kOffersDiagonal, up[cl], down[cr], diagonal[c]);
    takeIfOffered(mark, kOffersAntiDiagonal, up[cr], down[cl], antiDiagonal[c]);
  }
}

// Reads only the working grid and writes only the direction grids, so every
// test of a round sees the grid as the previous combine left it, whatever the
// order of cells or the split of rows between callers. Summaries of three
// rows slide down the range, so each row is summarised once; the scratch rows
// belong to the call, so calls on different row ranges share nothing.
void sweepRows(const Grid& working, const AlphaColor key, DirectionGrids& directions, int yFirst,
               int yLast) {
  const int height = working.height();
  const int width = working.width();
  if (width == 0 || yFirst >= yLast) return;
  const std::size_t padded = std::size_t(width) + 2;
  std::vector<std::int16_t> brightness(3 * padded);
  std::vector<std::uint8_t> keyColoured(3 * padded);
  std::vector<std::uint8_t> marks(padded - 2);
  RowSummary up{brightness.data(), keyColoured.data()};
  RowSummary here{up.brightness + padded, up.keyColoured + padded};
  RowSummary down{here.brightness + padded, here.keyColoured + padded};
  summariseRow(working.row(wrapRow(yFirst, -1, height)), width, key, up);
  summariseRow(working.row(yFirst), width, key, here);
  for (int r = yFirst; r < yLast; ++r) {
    if (r > yFirst) {
      std::swap(up, here);
      std::swap(here, down);
    }
    summariseRow(working.row(wrapRow(r, 1, height)), width, key, down);
    markOffers(up, here, down, width, marks.data());
    takeCandidates(working, r, marks.data(), directions);
  }
}

// A row's cells as the bytes red, green, blue, red, ...: every channel is
// combined alike, so the combine can run over plain bytes and be vectorised.
const std::uint8_t* channelBytes(const Pixel* row) {
  return reinterpret_cast<const std::uint8_t*>(row);
}

// Reads only the direction grids and writes only the working grid, the mirror
// of the sweep, so the two never see each other's half-finished work.
void combineRows(const DirectionGrids& directions, Grid& working, int yFirst, int yLast) {
  static_assert(sizeof(Pixel) == 3, "a row of cells must be a row of channel bytes");
  const std::size_t channels = 3 * std::size_t(working.width());
  for (int r = yFirst; r < yLast; ++r) {
    const std::uint8_t* horizontal = channelBytes(directions.horizontal.row(r));
    const std::uint8_t* vertical = channelBytes(directions.vertical.row(r));
    const std::uint8_t* diagonal = channelBytes(directions.diagonal.row(r));
    const std::uint8_t* antiDiagonal = channelBytes(directions.antiDiagonal.row(r));
    auto* out = reinterpret_cast<std::uint8_t*>(working.row(r));
    for (std::size_t i = 0; i < channels; ++i) {
      const std::int32_t sum = std::int32_t(horizontal[i]) + std::int32_t(vertical[i]) +
                               std::int32_t(diagonal[i]) + std::int32_t(antiDiagonal[i]);
      out[i] = std::uint8_t(sum / 4);
    }
  }
}

}  // namespace

void restoreGrid(CellGrid<std::uint8_t>& grid, const AlphaColor& key, Workers& workers) {
  const int height = grid.height();
  DirectionGrids directions = makeDirectionGrids(height, grid.width());
  // Every step reads one side and writes the other, so rows can be shared
  // out among threads without changing a single value.
  workers.forRows(height, [&](int first, int last) {
    copyStartingColours(grid, directions, first, last);
  });
  for (int round = 0; round < kRounds; ++round) {
    workers.forRows(height, [&](int first, int last) {
      sweepRows(grid, key, directions, first, last);
    });
    workers.forRows(height, [&](int first, int last) { combineRows(directions, grid, first, last); });
  }
}

// Every value the smoothing makes is an average of pixels, so byte channels
// always suffice, whatever the key colour.
// Each round reads one row above and below, so after all rounds a row depends
// on kRounds rows either way. The refinement mode is the scaler's alone.
const Profile kRestorerProfile{
    "dezorpix", "restored", false, 32767, kRounds,
    [](CellGrid<std::uint8_t>& grid, const AlphaColor& key, std::int32_t, Workers& workers) {
      restoreGrid(grid, key, workers);
    }};

}  // namespace zorpix
