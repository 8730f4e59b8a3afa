#include "frame/grid_codec.h"

#include <algorithm>
#include <cstring>

namespace zorpix {
namespace {

// dest := the count bytes of source in reverse order, eight at a time.
void reverseBytes(const std::uint8_t* source, std::size_t count, std::uint8_t* dest) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, source + count - i - 8, sizeof word);
    word = __builtin_bswap64(word);  // reverses the bytes as they lie in memory
    std::memcpy(dest + i, &word, sizeof word);
  }
  for (; i < count; ++i) dest[i] = source[count - 1 - i];
}

}  // namespace

void fillDoubledGrid(const BmpImage& image, const AlphaColor& key, CellGrid<std::uint8_t>& grid,
                     const ImageRows& rows, std::int32_t yFirst, std::int32_t yLast) {
  using Pixel = Cell<std::uint8_t>;
  const int width = grid.width();
  if (width == 0) return;  // no cells, and no memory behind the rows
  const Pixel keyCell{std::uint8_t(key.red), std::uint8_t(key.green), std::uint8_t(key.blue)};
  const bool keyIsByte = alphaColorFitsBytes(key);
  for (std::int32_t y = yFirst; y < yLast; ++y) {
    const std::uint8_t* source = image.rowFromTop(rows(y));
    Pixel* pixelRow = grid.row(2 * y);
    std::uint8_t* pixelFlags = grid.flagRow(2 * y);
    // Column 2(W-1-x)+1 holds source pixel x, so walking the grid row from
    // its end walks the source row from its start.
    for (int c = 0; c < width; c += 2) {
      const std::uint8_t* px = source + 3 * std::size_t((width - 1 - (c + 1)) / 2);
      const Pixel pixel{px[2], px[1], px[0]};
      const bool isKey = keyIsByte && pixel.red == keyCell.red && pixel.green == keyCell.green &&
                         pixel.blue == keyCell.blue;
      pixelRow[c] = keyCell;
      pixelRow[c + 1] = pixel;
      pixelFlags[c] = kOpen | kKey;
      pixelFlags[c + 1] = isKey ? kKey : 0;
    }
    std::fill_n(grid.row(2 * y + 1), width, keyCell);
    std::memset(grid.flagRow(2 * y + 1), kOpen | kKey, std::size_t(width));
  }
}

void fillPlainGrid(const BmpImage& image, CellGrid<std::uint8_t>& grid, const ImageRows& rows,
                   std::int32_t yFirst, std::int32_t yLast) {
  const int width = grid.width();
  for (std::int32_t y = yFirst; y < yLast; ++y) {
    const std::uint8_t* px = image.rowFromTop(rows(y));
    Cell<std::uint8_t>* row = grid.row(y);
    for (int c = width - 1; c >= 0; --c, px += 3) row[c] = Cell<std::uint8_t>{px[2], px[1], px[0]};
  }
}

void encodeRows(const CellGrid<std::uint8_t>& grid, std::int32_t bottomRow, std::int32_t count,
                std::uint8_t* dest) {
  const int width = grid.width();
  if (width == 0) return;  // rows of no bytes at all
  const std::size_t pixelBytes = 3 * std::size_t(width);
  const std::size_t rowBytes = bmpRowBytes(width);
  for (std::int32_t k = 0; k < count; ++k, dest += rowBytes) {
    // Red, green, blue from column 0 reversed is blue, green, red from the
    // image's left edge.
    reverseBytes(reinterpret_cast<const std::uint8_t*>(grid.row(bottomRow - k)), pixelBytes,
                 dest);
    std::memset(dest + pixelBytes, 0, rowBytes - pixelBytes);
  }
}

}  // namespace zorpix
