#include "sprite_sheet.h"

#include <algorithm>
#include <cstdlib>

namespace zorpix::bench {
namespace {

// A small fixed generator, so every machine makes the same images.
struct Random {
  std::uint32_t state;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  int below(int n) { return int(next() % std::uint32_t(n)); }
};

struct Colour {
  std::uint8_t red, green, blue;
};

}  // namespace

SpriteSheet makeSpriteSheet(int width, int height, std::uint32_t seed, std::uint8_t keyRed,
                            std::uint8_t keyGreen, std::uint8_t keyBlue) {
  SpriteSheet sheet{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3)};
  auto put = [&](int x, int y, Colour c) {
    std::uint8_t* p = &sheet.bgr[(std::size_t(y) * width + x) * 3];
    p[0] = c.blue;
    p[1] = c.green;
    p[2] = c.red;
  };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) put(x, y, Colour{keyRed, keyGreen, keyBlue});

  Random random{seed | 1};
  const Colour palette[] = {{200, 40, 40}, {240, 200, 60}, {60, 160, 70},  {70, 90, 200},
                            {150, 80, 40}, {230, 230, 230}, {120, 60, 150}, {250, 150, 90}};
  const Colour outline{30, 20, 30};
  // One sprite per 32x32 cell of the sheet, each a shape of its own.
  for (int cy = 0; cy + 32 <= height; cy += 32)
    for (int cx = 0; cx + 32 <= width; cx += 32) {
      const Colour fill = palette[random.below(8)];
      const Colour shade{std::uint8_t(fill.red * 3 / 4), std::uint8_t(fill.green * 3 / 4),
                         std::uint8_t(fill.blue * 3 / 4)};
      const int shape = random.below(3);
      const int r = 8 + random.below(6);
      auto inside = [&](int dx, int dy) {
        switch (shape) {
          case 0: return dx * dx + dy * dy <= r * r;
          case 1: return std::abs(dx) + std::abs(dy) <= r;
          default: return std::abs(dx) <= r && std::abs(dy) <= r * 2 / 3;
        }
      };
      for (int dy = -15; dy <= 15; ++dy)
        for (int dx = -15; dx <= 15; ++dx) {
          if (!inside(dx, dy)) continue;
          const bool edge = !inside(dx - 1, dy) || !inside(dx + 1, dy) || !inside(dx, dy - 1) ||
                            !inside(dx, dy + 1);
          const Colour c = edge ? outline : (dx + dy > r / 2 ? shade : fill);
          put(cx + 16 + dx, cy + 16 + dy, c);
        }
    }
  return sheet;
}

std::vector<std::uint8_t> bmpFile(const SpriteSheet& sheet) {
  const std::uint32_t rowBytes = (std::uint32_t(sheet.width) * 3 + 3) / 4 * 4;
  const std::uint32_t pixelBytes = rowBytes * std::uint32_t(sheet.height);
  std::vector<std::uint8_t> out(54 + std::size_t(pixelBytes), 0);
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
  };
  out[0] = 'B';
  out[1] = 'M';
  put32(2, 54 + pixelBytes);
  put32(10, 54);
  put32(14, 40);
  put32(18, std::uint32_t(sheet.width));
  put32(22, std::uint32_t(sheet.height));
  put32(26, 1 | (24u << 16));
  put32(34, pixelBytes);
  for (int y = 0; y < sheet.height; ++y)
    std::copy_n(&sheet.bgr[std::size_t(y) * sheet.width * 3], std::size_t(sheet.width) * 3,
                &out[54 + std::size_t(sheet.height - 1 - y) * rowBytes]);
  return out;
}

}  // namespace zorpix::bench
