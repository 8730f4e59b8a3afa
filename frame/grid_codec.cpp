#include "frame/grid_codec.h"

#include <algorithm>
#include <bit>
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

SourceRows wholeImageRows(const BmpImage& image) {
  if (image.width == 0 || image.height == 0) return {};
  const auto rowBytes = std::int64_t(image.rowBytes);
  SourceRows rows;
  rows.firstRun = {image.rowFromTop(0), image.topDown ? rowBytes : -rowBytes};
  return rows;
}

void fillDoubledGrid(const SourceRows& rows, const AlphaColor& key, CellGrid<std::uint8_t>& grid,
                     std::int32_t yFirst, std::int32_t yLast) {
  using Pixel = Cell<std::uint8_t>;
  static_assert(sizeof(Pixel) == 3);
  const int width = grid.width();
  if (width == 0) return;  // no cells, and no memory behind the rows
  const Pixel keyCell{std::uint8_t(key.red), std::uint8_t(key.green), std::uint8_t(key.blue)};
  const std::uint32_t keyMatch = packedKey(key);
  constexpr std::uint8_t kOpenKey = kOpen | kKey;
  // The flag of the cell of pixel p, packed as packChannels packs it; bits
  // above the pixel's three bytes are not looked at.
  auto keyMark = [keyMatch](std::uint64_t p) -> std::uint64_t {
    return (p & 0xffffff) == keyMatch ? kKey : 0;
  };
  // A cell pair (key cell, pixel cell) and its two flags, for pixel p packed
  // as packChannels packs it.
  auto putPair = [&](std::uint8_t* cells, std::uint8_t* flags, std::uint32_t p) {
    std::memcpy(cells, &keyCell, 3);
    cells[3] = std::uint8_t(p);
    cells[4] = std::uint8_t(p >> 8);
    cells[5] = std::uint8_t(p >> 16);
    flags[0] = kOpenKey;
    flags[1] = std::uint8_t(keyMark(p));
  };
  for (std::int32_t y = yFirst; y < yLast; ++y) {
    const std::uint8_t* source = rows(y);
    auto* pixelRow = reinterpret_cast<std::uint8_t*>(grid.row(2 * y));
    std::uint8_t* pixelFlags = grid.flagRow(2 * y);
    // Column 2(W-1-x)+1 holds source pixel x, so walking the grid row from
    // its end walks the source row from its start. The source row's last
    // pixel may end the bytes at hand, so it alone is read byte by byte; the others
    // as one word, the byte after them included.
    const int pixels = width / 2;
    const std::uint8_t* last = source + 3 * std::size_t(pixels - 1);
    putPair(pixelRow, pixelFlags,
            std::uint32_t(last[2]) | std::uint32_t(last[1]) << 8 | std::uint32_t(last[0]) << 16);
    int x = 0;
    if constexpr (std::endian::native == std::endian::little) {
      // Four pixels at a time, in words: their 12 bytes reversed are their
      // cells in grid order, red first, and the key cells go between.
      const std::uint64_t k = packChannels(keyCell);
      auto store = [](std::uint8_t* to, std::uint64_t word) { std::memcpy(to, &word, 8); };
      for (; x + 4 < pixels; x += 4) {
        const std::uint8_t* bgr = source + 3 * std::size_t(x);
        std::uint64_t high;  // pixels x+3 and x+2, and two bytes of x+1, reversed
        std::uint32_t low;   // the last byte of pixel x+1, and pixel x, reversed
        std::memcpy(&high, bgr + 4, sizeof high);
        std::memcpy(&low, bgr, sizeof low);
        high = __builtin_bswap64(high);
        const std::uint64_t rest = __builtin_bswap32(low);
        const std::size_t c = 2 * std::size_t(pixels - 4 - x);
        std::uint8_t* cells = pixelRow + 3 * c;
        store(cells, k | (high & 0xffffff) << 24 | (k & 0xffff) << 48);
        store(cells + 8,
              k >> 16 | (high >> 24 & 0xffffff) << 8 | k << 32 | (high >> 48 & 0xff) << 56);
        store(cells + 16, high >> 56 | (rest & 0xff) << 8 | k << 16 | (rest >> 8 & 0xffffff) << 40);
        store(pixelFlags + c, 0x0001000100010001ull * kOpenKey | std::uint64_t{keyMark(high)} << 8 |
                                  std::uint64_t{keyMark(high >> 24)} << 24 |
                                  std::uint64_t{keyMark(high >> 48 | rest << 16)} << 40 |
                                  std::uint64_t{keyMark(rest >> 8)} << 56);
      }
    }
    for (; x + 1 < pixels; ++x) {
      std::uint32_t bgr;
      std::memcpy(&bgr, source + 3 * std::size_t(x), sizeof bgr);
      if constexpr (std::endian::native == std::endian::big) bgr = __builtin_bswap32(bgr);
      const std::uint32_t p = __builtin_bswap32(bgr) >> 8;  // red, green, blue from the low byte
      const std::size_t c = 2 * std::size_t(pixels - 1 - x);
      putPair(pixelRow + 3 * c, pixelFlags + c, p);
    }
    // The row between: key cells, laid out by copying what is already there.
    auto* keyRow = reinterpret_cast<std::uint8_t*>(grid.row(2 * y + 1));
    const std::size_t bytes = 3 * std::size_t(width);
    std::memcpy(keyRow, &keyCell, 3);
    for (std::size_t done = 3; done < bytes; done *= 2)
      std::memcpy(keyRow + done, keyRow, std::min(done, bytes - done));
    std::memset(grid.flagRow(2 * y + 1), kOpenKey, std::size_t(width));
  }
}

void fillPlainGrid(const SourceRows& rows, CellGrid<std::uint8_t>& grid, std::int32_t yFirst,
                   std::int32_t yLast) {
  const int width = grid.width();
  for (std::int32_t y = yFirst; y < yLast; ++y) {
    const std::uint8_t* px = rows(y);
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
