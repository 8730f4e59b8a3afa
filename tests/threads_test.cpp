// The passes that share rows out among threads must give the same bytes as
// one thread does, on images large enough that every pass splits.

#include <gtest/gtest.h>

#include "frame/grid_codec.h"
#include "frame/parallel.h"
#include "restorer/restore_grid.h"
#include "scaler/scale_grid.h"
#include "support/test_files.h"

namespace zorpix {
namespace {

template <typename Channel>
std::vector<std::uint8_t> pixelsOf(const CellGrid<Channel>& grid) {
  std::vector<std::uint8_t> out(std::size_t(*bmpPixelBytes(grid.width(), grid.height())));
  encodeRows(grid, 0, grid.height(), out.data());
  return out;
}

// A sprite-like image: blobs of few colours on the key colour, so that every
// stage has work.
testing::Image spriteImage(int width, int height, unsigned seed) {
  testing::Image image = testing::filledImage(width, height, {0, 255, 255});
  const testing::Image noise = testing::patternImage(width, height, seed);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if ((x / 7 + y / 5) % 3 != 0) image.at(x, y) = {noise.at(x, y).red / 64 * 64, 40, 90};
  return image;
}

template <typename Channel>
std::vector<std::uint8_t> scaled(const std::vector<std::uint8_t>& file, int workers) {
  setWorkerCount(workers);
  const BmpImage image = std::get<BmpImage>(decodeBmp(ByteView(file.data(), file.size()), 16383));
  CellGrid<Channel> grid(2 * image.height, 2 * image.width, true);
  const Cell<Channel> key{Channel(alphaColor.red), Channel(alphaColor.green),
                          Channel(alphaColor.blue)};
  parallelRows(image.height, [&](int a, int b) { fillDoubledGrid(image, key, grid, a, b); });
  scaleGrid(grid);
  return pixelsOf(grid);
}

std::vector<std::uint8_t> restored(const std::vector<std::uint8_t>& file, int workers) {
  setWorkerCount(workers);
  const BmpImage image = std::get<BmpImage>(decodeBmp(ByteView(file.data(), file.size()), 32767));
  CellGrid<std::uint8_t> grid(image.height, image.width, false);
  parallelRows(image.height, [&](int a, int b) { fillPlainGrid(image, grid, a, b); });
  restoreGrid(grid);
  return pixelsOf(grid);
}

class Threads : public ::testing::Test {
 protected:
  void TearDown() override {
    setWorkerCount(0);
    alphaColor = AlphaColor{};
    refineMode = 0;
  }
};

TEST_F(Threads, ScalerGivesTheSameBytesOnAnyNumberOfThreads) {
  const auto file = testing::encodeBmp(spriteImage(150, 260, 3));
  for (int mode : {0, 1, 2}) {
    refineMode = mode;
    const auto one = scaled<std::uint8_t>(file, 1);
    for (int workers : {2, 3, 5}) EXPECT_EQ(scaled<std::uint8_t>(file, workers), one) << mode;
    alphaColor = AlphaColor{300, 0, 0};
    const auto wideOne = scaled<std::int16_t>(file, 1);
    EXPECT_EQ(scaled<std::int16_t>(file, 4), wideOne) << mode;
    alphaColor = AlphaColor{};
  }
}

TEST_F(Threads, RestorerGivesTheSameBytesOnAnyNumberOfThreads) {
  const auto file = testing::encodeBmp(spriteImage(170, 400, 4));
  const auto one = restored(file, 1);
  for (int workers : {2, 3, 6}) EXPECT_EQ(restored(file, workers), one);
}

}  // namespace
}  // namespace zorpix
