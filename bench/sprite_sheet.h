#pragma once

// Deterministic sprite-like test images for the benchmarks: outlined,
// flat-shaded shapes on a key-colour background, as pixel art comes.

#include <cstdint>
#include <vector>

namespace zorpix::bench {

// Blue, green, red per pixel, rows from the top, no padding.
struct SpriteSheet {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bgr;
};

SpriteSheet makeSpriteSheet(int width, int height, std::uint32_t seed,
                            std::uint8_t keyRed = 0, std::uint8_t keyGreen = 255,
                            std::uint8_t keyBlue = 255);

// The sheet as a complete bottom-up 24-bit BMP file.
std::vector<std::uint8_t> bmpFile(const SpriteSheet& sheet);

}  // namespace zorpix::bench
