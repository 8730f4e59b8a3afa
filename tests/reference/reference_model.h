#pragma once

// A plain, slow model of the scaler and the restorer, written cell by cell
// from the algorithms' description rather than from the optimised sources, to
// serve as an oracle in differential tests. It keeps the original's layout on
// purpose: six-field cells, a grid as a vector of rows, the grid size and the
// current position in file-level state that the neighbour functions read, a
// separate scratch grid for the gap closing pass and four direction grids for
// the restorer. Nothing here is meant to be fast; it runs on images of a few
// dozen pixels a side.

#include <cstdint>
#include <ostream>
#include <vector>

#include "frame/cell_grid.h"

namespace zorpix::reference {

struct Rgb8 {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Rgb8&) const = default;
};

struct Rgb16 {
  std::int16_t red = 0;
  std::int16_t green = 0;
  std::int16_t blue = 0;
  bool operator==(const Rgb16&) const = default;
};

inline void PrintTo(const Rgb16& p, std::ostream* os) {
  *os << "(" << p.red << ", " << p.green << ", " << p.blue << ")";
}
inline void PrintTo(const Rgb8& p, std::ostream* os) {
  *os << "(" << int(p.red) << ", " << int(p.green) << ", " << int(p.blue) << ")";
}

struct Cell {
  std::int16_t red = 0;
  std::int16_t green = 0;
  std::int16_t blue = 0;
  std::uint8_t open = 0;
  std::int32_t used = 0;
  std::int32_t wasOpen = 0;
};

// Row r, column c is grid[r][c]; column 0 is the image's rightmost column.
using Grid = std::vector<std::vector<Cell>>;

// The whole scaler on a grid built by the caller (any channel values, any
// open flags). height and width are the grid's own sizes.
void scaleCells(Grid& grid, std::int16_t height, std::int16_t width, AlphaColor key,
                std::int32_t refineMode);

// The whole restorer on a grid built by the caller.
void restoreCells(Grid& grid, std::int16_t height, std::int16_t width, AlphaColor key);

// The doubled grid as the frame builds it from an image, pixels given row by
// row from the image's top-left: rows 2 x height, columns 2 x width.
Grid doubledGrid(const std::vector<Rgb8>& pixels, int width, int height, AlphaColor key);

// The restorer's grid: one cell per pixel, rows height, columns width.
Grid plainGrid(const std::vector<Rgb8>& pixels, int width, int height);

// The grid's colours, row after row.
std::vector<Rgb16> colours(const Grid& grid);

// The scaler's final doubled grid, in grid order (row-major, grid column 0 =
// the image's rightmost column).
std::vector<Rgb16> referenceScale(const std::vector<Rgb8>& pixels, int width, int height,
                                  AlphaColor key, std::int32_t refineMode);

// The restorer's final grid, in grid order.
std::vector<Rgb16> referenceRestore(const std::vector<Rgb8>& pixels, int width, int height,
                                    AlphaColor key);

}  // namespace zorpix::reference
