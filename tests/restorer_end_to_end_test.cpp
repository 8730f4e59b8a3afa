// dezorpix run for real on BMP files whose smoothed pixels were worked out by hand.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace zorpix::testing {
namespace {

namespace fs = std::filesystem;

// Pixels listed as the restorer's grid holds them: rows from the top, each
// from the image's rightmost column leftwards.
Image fromGridRows(const std::vector<std::vector<Rgb>>& rows) {
  const int height = int(rows.size());
  const int width = int(rows[0].size());
  Image image{width, height, std::vector<Rgb>(std::size_t(width) * std::size_t(height))};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.at(x, y) = rows[std::size_t(y)][std::size_t(width - 1 - x)];
  return image;
}

Rgb grey(int v) { return Rgb{v, v, v}; }

struct Case {
  std::string name;
  std::vector<std::string> args;
  std::vector<std::vector<Rgb>> in;
  std::vector<std::vector<Rgb>> out;
};

TEST(Dezorpix, SmoothsEachImageIntoRestoredAtItsOwnSize) {
  const std::vector<Rgb> fiveCells = {
      {1, 2, 3}, {255, 255, 0}, {0, 255, 255}, {10, 10, 10}, {7, 7, 7}};
  const Case cases[] = {
      {"bands.bmp",
       {},
       {{grey(100), grey(100), grey(100)},
        {grey(100), grey(100), grey(100)},
        {grey(10), grey(10), grey(10)},
        {grey(10), grey(10), grey(10)}},
       {{grey(65), grey(65), grey(65)},
        {grey(65), grey(65), grey(65)},
        {grey(43), grey(43), grey(43)},
        {grey(43), grey(43), grey(43)}}},
      // The black bottom-left pixel darkens the two rows above it, the top
      // row through the wrap, and the left column less than the right one.
      {"corner.bmp",
       {},
       {{grey(60), grey(60)}, {grey(60), grey(60)}, {grey(60), grey(0)}},
       {{grey(42), grey(51)}, {grey(42), grey(51)}, {grey(60), grey(0)}}},
      {"cyan-key.bmp",
       {"0", "255", "255"},
       {fiveCells},
       {{{1, 2, 3}, {255, 255, 0}, {99, 162, 67}, {10, 10, 10}, {7, 7, 7}}}},
      // With purple as the key, the cyan pixel no longer shields the yellow one.
      {"purple-key.bmp",
       {"255", "0", "255"},
       {fiveCells},
       {{{1, 2, 3}, {63, 159, 96}, {99, 162, 67}, {10, 10, 10}, {7, 7, 7}}}},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    writeFile(folder / c.name, encodeBmp(fromGridRows(c.in)));
    const RunResult run = runProgram(dezorpixProgram(), folder.path(), c.args);
    EXPECT_EQ(run.status, 0) << c.name;
    EXPECT_NE(run.output.find(std::string("restored") + outputSeparator() + c.name + "\n"),
              std::string::npos)
        << run.output;
    const Image out = decodeBmp(readFile(folder / "restored" / c.name));
    EXPECT_EQ(out.width, int(c.in[0].size())) << c.name;
    EXPECT_EQ(out.height, int(c.in.size())) << c.name;
    EXPECT_EQ(out.pixels, fromGridRows(c.out).pixels) << c.name;
    EXPECT_EQ(readFile(folder / c.name), encodeBmp(fromGridRows(c.in))) << "input untouched";
  }
}

TEST(Dezorpix, KeepsTheSizeOfALargerImage) {
  TempFolder folder;
  writeFile(folder / "a.bmp", encodeBmp(patternImage(301, 123)));
  const RunResult run = runProgram(dezorpixProgram(), folder.path());
  EXPECT_EQ(run.status, 0);
  const Image out = decodeBmp(readFile(folder / "restored" / "a.bmp"));
  EXPECT_EQ(out.width, 301);
  EXPECT_EQ(out.height, 123);
  EXPECT_TRUE(fs::exists(folder / "a.bmp"));
}

}  // namespace
}  // namespace zorpix::testing
