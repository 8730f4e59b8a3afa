#include "frame/grid_codec.h"

#include <algorithm>
#include <cstring>

namespace zorpix {

template <typename Channel>
void fillDoubledGrid(const BmpImage& image, const Cell<Channel>& key, CellGrid<Channel>& grid,
                     std::int32_t yFirst, std::int32_t yLast) {
  const int width = grid.width();
  if (width == 0) return;  // no cells, and no memory behind the rows
  for (std::int32_t y = yFirst; y < yLast; ++y) {
    const std::uint8_t* source = image.rowFromTop(y);
    Cell<Channel>* pixelRow = grid.row(2 * y);
    std::uint8_t* pixelFlags = grid.flagRow(2 * y);
    // Column 2(W-1-x)+1 holds source pixel x, so walking the grid row from
    // its end walks the source row from its start.
    for (int c = 0; c < width; c += 2) {
      const std::uint8_t* px = source + 3 * std::size_t((width - 1 - (c + 1)) / 2);
      const Cell<Channel> pixel{Channel(px[2]), Channel(px[1]), Channel(px[0])};
      const bool isKey = pixel.red == key.red && pixel.green == key.green && pixel.blue == key.blue;
      pixelRow[c] = key;
      pixelRow[c + 1] = pixel;
      pixelFlags[c] = kOpen | kKey;
      pixelFlags[c + 1] = isKey ? kKey : 0;
    }
    std::fill_n(grid.row(2 * y + 1), width, key);
    std::memset(grid.flagRow(2 * y + 1), kOpen | kKey, std::size_t(width));
  }
}

template <typename Channel>
void fillPlainGrid(const BmpImage& image, CellGrid<Channel>& grid, std::int32_t yFirst,
                   std::int32_t yLast) {
  const int width = grid.width();
  for (std::int32_t y = yFirst; y < yLast; ++y) {
    const std::uint8_t* px = image.rowFromTop(y);
    Cell<Channel>* row = grid.row(y);
    for (int c = width - 1; c >= 0; --c, px += 3)
      row[c] = Cell<Channel>{Channel(px[2]), Channel(px[1]), Channel(px[0])};
  }
}

template <typename Channel>
void encodeRows(const CellGrid<Channel>& grid, std::int32_t first, std::int32_t count,
                std::uint8_t* dest) {
  const int width = grid.width();
  if (width == 0) return;  // rows of no bytes at all
  const std::size_t pixelBytes = 3 * std::size_t(width);
  const std::size_t rowBytes = bmpRowBytes(width);
  for (std::int32_t k = first; k < first + count; ++k, dest += rowBytes) {
    const Cell<Channel>* row = grid.row(grid.height() - 1 - k);
    if constexpr (sizeof(Channel) == 1) {
      // Red, green, blue from column 0 reversed is blue, green, red from the
      // image's left edge.
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(row);
      std::reverse_copy(bytes, bytes + pixelBytes, dest);
    } else {
      std::uint8_t* out = dest;
      for (int c = width - 1; c >= 0; --c, out += 3) {
        out[0] = std::uint8_t(row[c].blue);
        out[1] = std::uint8_t(row[c].green);
        out[2] = std::uint8_t(row[c].red);
      }
    }
    std::memset(dest + pixelBytes, 0, rowBytes - pixelBytes);
  }
}

template void fillDoubledGrid(const BmpImage&, const Cell<std::uint8_t>&, CellGrid<std::uint8_t>&,
                              std::int32_t, std::int32_t);
template void fillDoubledGrid(const BmpImage&, const Cell<std::int16_t>&, CellGrid<std::int16_t>&,
                              std::int32_t, std::int32_t);
template void fillPlainGrid(const BmpImage&, CellGrid<std::uint8_t>&, std::int32_t, std::int32_t);
template void fillPlainGrid(const BmpImage&, CellGrid<std::int16_t>&, std::int32_t, std::int32_t);
template void encodeRows(const CellGrid<std::uint8_t>&, std::int32_t, std::int32_t, std::uint8_t*);
template void encodeRows(const CellGrid<std::int16_t>&, std::int32_t, std::int32_t, std::uint8_t*);

}  // namespace zorpix
