// Both programs over one folder of broken, odd and good files: each file the
// programs must turn away gets exactly its one line and no output; each valid
// one, however odd its header, comes out as the same file in standard layout
// would; the run ends with status 0.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace zorpix::testing {
namespace {

namespace fs = std::filesystem;

enum class Outcome { valid, notBitmap, truncated, badOffset, outOfRange };

struct Case {
  std::string name;
  std::vector<std::uint8_t> bytes;
  Outcome zorpix;
  Outcome dezorpix;
  // For a valid file: the pixels it holds. Its result must equal the result
  // for these pixels in a plain file, which the folder holds as "ref-" + name.
  std::optional<Image> pixels;
};

using Program = ProgramUnderTest;


std::string lineFor(const Program& p, Outcome outcome, const std::string& name) {
  switch (outcome) {
    case Outcome::valid:
      return p.folder + outputSeparator() + name;
    case Outcome::notBitmap:
      return "Not a 24 bit BitMap file with name " + name;
    case Outcome::truncated:
      return "Truncated BitMap file with name " + name;
    case Outcome::badOffset:
      return "Bad pixel data offset in BitMap file with name " + name;
    case Outcome::outOfRange:
      return "Image size out of range (" + p.name + " takes at most " + std::to_string(p.maxSide) +
             " x " + std::to_string(p.maxSide) + " pixels) with name " + name;
  }
  return {};
}

std::vector<std::uint8_t> with32(std::vector<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
  return b;
}

std::vector<std::uint8_t> with16(std::vector<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = std::uint8_t(v);
  b[at + 1] = std::uint8_t(v >> 8);
  return b;
}

// The pixels a reader following the format finds in bytes whose header says
// width x height from offset on: rows padded to four bytes, bottom row first
// unless topDown.
Image storedPixels(const std::vector<std::uint8_t>& bytes, std::size_t offset, int width,
                   int height, bool topDown) {
  const std::size_t rowBytes = (std::size_t(width) * 3 + 3) / 4 * 4;
  Image image{width, height, std::vector<Rgb>(std::size_t(width) * std::size_t(height))};
  for (int y = 0; y < height; ++y) {
    const std::size_t row = offset + rowBytes * std::size_t(topDown ? y : height - 1 - y);
    for (int x = 0; x < width; ++x) {
      const std::size_t p = row + 3 * std::size_t(x);
      image.at(x, y) = Rgb{bytes.at(p + 2), bytes.at(p + 1), bytes.at(p)};
    }
  }
  return image;
}

std::string number(long long n, int digits) {
  std::string text = std::to_string(n < 0 ? -n : n);
  if (int(text.size()) < digits) text.insert(0, std::size_t(digits) - text.size(), '0');
  return (n < 0 ? "minus-" : "") + text;
}

std::vector<Case> folderCases() {
  constexpr Outcome valid = Outcome::valid, notBitmap = Outcome::notBitmap,
                    truncated = Outcome::truncated, badOffset = Outcome::badOffset,
                    outOfRange = Outcome::outOfRange;
  // Five pixels make rows of 15 bytes and one padding byte: 54 + 3 x 16 = 102.
  const Image image = patternImage(5, 3, 7);
  const std::vector<std::uint8_t> base = encodeBmp(image);
  std::vector<Case> cases;

  // Cut at every length. Headers first; then the pixels, of which only the
  // last row's padding may be missing.
  for (std::size_t length = 0; length <= base.size(); ++length) {
    const std::vector<std::uint8_t> cut(base.begin(), base.begin() + std::ptrdiff_t(length));
    const Outcome outcome = length < 54 ? notBitmap : length < base.size() - 1 ? truncated : valid;
    cases.push_back({"cut-" + number(long(length), 3) + ".bmp", cut, outcome, outcome,
                     outcome == valid ? std::optional(image) : std::nullopt});
  }

  // Widths and heights, signed 32-bit fields. Up to each program's limit the
  // file is merely too short for them; past it the grid could not count them.
  struct Side {
    std::int64_t value;
    Outcome zorpix;
    Outcome dezorpix;
  };
  const Side sides[] = {
      {16383, truncated, truncated},     {16384, outOfRange, truncated},
      {32767, outOfRange, truncated},    {32768, outOfRange, outOfRange},
      {65535, outOfRange, outOfRange},   {65536, outOfRange, outOfRange},
      {2147483647, outOfRange, outOfRange}, {-2147483648LL, outOfRange, outOfRange},
  };
  for (const Side& s : sides) {
    cases.push_back({"width-" + number(s.value, 5) + ".bmp", with32(base, 18, std::uint32_t(s.value)),
                     s.zorpix, s.dezorpix, std::nullopt});
    cases.push_back({"height-" + number(s.value, 5) + ".bmp",
                     with32(base, 22, std::uint32_t(s.value)), s.zorpix, s.dezorpix, std::nullopt});
  }
  // Negative heights are top-down images, so they have the positive limits.
  for (const Side& s : {Side{-16384, outOfRange, truncated}, Side{-32767, outOfRange, truncated},
                        Side{-32768, outOfRange, outOfRange}, Side{-65536, outOfRange, outOfRange}})
    cases.push_back({"height-" + number(s.value, 5) + ".bmp",
                     with32(base, 22, std::uint32_t(s.value)), s.zorpix, s.dezorpix, std::nullopt});
  cases.push_back({"width-minus-00001.bmp", with32(base, 18, std::uint32_t(-1)), outOfRange,
                   outOfRange, std::nullopt});
  // A side of 0 is an image without pixels, kept as one: a header-only result.
  cases.push_back({"width-00000.bmp", with32(base, 18, 0), valid, valid, Image{0, 3, {}}});
  cases.push_back({"height-00000.bmp", with32(base, 22, 0), valid, valid, Image{5, 0, {}}});
  // Smaller sides than the data holds read the leading rows, padded as the
  // smaller side requires.
  cases.push_back({"width-00001.bmp", with32(base, 18, 1), valid, valid,
                   storedPixels(base, 54, 1, 3, false)});
  cases.push_back({"height-00001.bmp", with32(base, 22, 1), valid, valid,
                   storedPixels(base, 54, 5, 1, false)});
  cases.push_back({"height-minus-00001.bmp", with32(base, 22, std::uint32_t(-1)), valid, valid,
                   storedPixels(base, 54, 5, 1, true)});
  cases.push_back({"height-minus-00003.bmp", with32(base, 22, std::uint32_t(-3)), valid, valid,
                   storedPixels(base, 54, 5, 3, true)});

  // The pixel data offset: inside the headers is no place for pixels; past
  // the end leaves too few of them. One byte later still holds them all, as
  // the last row needs no padding.
  for (std::uint32_t offset : {0u, 14u, 53u})
    cases.push_back({"offset-" + number(offset, 10) + ".bmp", with32(base, 10, offset), badOffset,
                     badOffset, std::nullopt});
  for (std::uint32_t offset : {56u, 102u, 103u, 0x80000000u, 0xffffffffu})
    cases.push_back({"offset-" + number(offset, 10) + ".bmp", with32(base, 10, offset), truncated,
                     truncated, std::nullopt});
  cases.push_back({"offset-0000000055.bmp", with32(base, 10, 55), valid, valid,
                   storedPixels(base, 55, 5, 3, false)});

  // The info header's size: the classic header, or the longer V4 and V5 ones.
  // A size the file can't hold is a header cut short. Read as the 12-byte
  // core header, a classic one has its bit count in the high half of its
  // width: 0.
  for (std::uint32_t size : {0u, 12u, 39u, 108u, 0x80000000u, 0xffffffffu})
    cases.push_back({"info-size-" + number(size, 10) + ".bmp", with32(base, 14, size), notBitmap,
                     notBitmap, std::nullopt});
  // A longer header that the pixel data offset says the pixels overlap.
  cases.push_back({"info-size-0000000041.bmp", with32(base, 14, 41), badOffset, badOffset,
                   std::nullopt});

  for (std::uint16_t bits : {0, 1, 4, 8, 16, 32, 48, 24 + 256})
    cases.push_back({"bits-" + number(bits, 3) + ".bmp", with16(base, 28, bits), notBitmap,
                     notBitmap, std::nullopt});
  for (std::uint32_t compression : {1u, 2u, 3u, 4u, 5u, 6u, 256u})
    cases.push_back({"compression-" + number(compression, 3) + ".bmp",
                     with32(base, 30, compression), notBitmap, notBitmap, std::nullopt});

  // The 12-byte core header: unsigned 16-bit sides, only 24 bits a pixel.
  BmpLayout core;
  core.infoHeaderSize = 12;
  const std::vector<std::uint8_t> coreBase = encodeBmp(image, core);  // 26 + 3 x 16 = 74
  for (std::uint16_t bits : {1, 4, 8, 16, 32})
    cases.push_back({"core-bits-" + number(bits, 3) + ".bmp", with16(coreBase, 24, bits),
                     notBitmap, notBitmap, std::nullopt});
  cases.push_back({"core-offset-0000000025.bmp", with32(coreBase, 10, 25), badOffset, badOffset,
                   std::nullopt});
  cases.push_back({"core-cut-072.bmp", {coreBase.begin(), coreBase.begin() + 72}, truncated,
                   truncated, std::nullopt});
  cases.push_back({"core-cut-025.bmp", {coreBase.begin(), coreBase.begin() + 25}, notBitmap,
                   notBitmap, std::nullopt});
  cases.push_back({"core-width-16384.bmp", with16(coreBase, 18, 16384), outOfRange, truncated,
                   std::nullopt});
  for (std::size_t side : {18u, 20u})  // 65535 is no negative side
    cases.push_back({"core-" + std::string(side == 18 ? "width" : "height") + "-65535.bmp",
                     with16(coreBase, side, 65535), outOfRange, outOfRange, std::nullopt});

  std::vector<std::uint8_t> longer = base;
  longer.resize(base.size() + 100, 0xee);
  cases.push_back({"bytes-after-pixels.bmp", longer, valid, valid, image});
  cases.push_back({"zero-length.bmp", {}, notBitmap, notBitmap, std::nullopt});
  cases.push_back({"signature-only.bmp", {'B', 'M'}, notBitmap, notBitmap, std::nullopt});
  cases.push_back({"signature-BA.bmp", with16(base, 0, 'B' | 'A' << 8), notBitmap, notBitmap,
                   std::nullopt});
  // Fields no reader needs: a wrong file size, planes or image size changes nothing.
  cases.push_back({"file-size-field-0.bmp", with32(base, 2, 0), valid, valid, image});
  cases.push_back({"planes-0.bmp", with16(base, 26, 0), valid, valid, image});
  cases.push_back({"image-size-field-0.bmp", with32(base, 34, 0), valid, valid, image});

  // Good files beside them.
  BmpLayout v5;
  v5.infoHeaderSize = 124;
  v5.topDown = true;
  v5.gapBeforePixels = 12;
  v5.bytesAfterPixels = 3;
  const Image big = patternImage(64, 48, 3);
  cases.push_back({"good-v5-top-down.bmp", encodeBmp(image, v5), valid, valid, image});
  cases.push_back({"good-big.bmp", encodeBmp(big), valid, valid, big});
  BmpLayout v4;
  v4.infoHeaderSize = 108;
  cases.push_back({"good-v4.bmp", encodeBmp(patternImage(4, 4, 9), v4), valid, valid,
                   patternImage(4, 4, 9)});
  BmpLayout os2v2;  // the 64-byte OS/2 2.x header begins as the classic one
  os2v2.infoHeaderSize = 64;
  cases.push_back({"good-os2-v2.bmp", encodeBmp(image, os2v2), valid, valid, image});

  // The plain file each valid case is compared with.
  const std::size_t count = cases.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (!cases[i].pixels) continue;
    cases.push_back({"ref-" + cases[i].name, encodeBmp(*cases[i].pixels), valid, valid,
                     cases[i].pixels});
  }
  return cases;
}

class BadFiles : public ::testing::TestWithParam<int> {
 protected:
  Program program() const { return programUnderTest(GetParam()); }
  TempFolder folder_;
};

INSTANTIATE_TEST_SUITE_P(, BadFiles, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "zorpix" : "dezorpix"; });

TEST_P(BadFiles, EachBadFileGetsItsLineAndEveryGoodFileItsResult) {
  const Program p = program();
  const std::vector<Case> cases = folderCases();
  std::map<std::string, const Case*> byName;
  for (const Case& c : cases) {
    ASSERT_TRUE(byName.emplace(c.name, &c).second) << "two cases named " << c.name;
    writeFile(folder_ / c.name, c.bytes);
  }

  const RunResult run = runProgram(p.command, folder_.path(), {"0", "255", "255"});
  EXPECT_EQ(run.status, 0);

  // One line per file, in name order (std::map's order is the programs' byte order).
  std::string expected;
  for (const auto& [name, c] : byName)
    expected += lineFor(p, p.name == "zorpix" ? c->zorpix : c->dezorpix, name) + "\n";
  const std::string header = "using 0 255 255 as alpha color\n";
  const std::size_t start = run.output.find(header);
  ASSERT_NE(start, std::string::npos) << run.output;
  const std::string lines = run.output.substr(start + header.size());
  if (testsWindowsPrograms()) {
    std::vector<std::string> got, want;
    for (std::size_t a = 0, b; (b = lines.find('\n', a)) != std::string::npos; a = b + 1)
      got.push_back(lines.substr(a, b - a));
    for (std::size_t a = 0, b; (b = expected.find('\n', a)) != std::string::npos; a = b + 1)
      want.push_back(expected.substr(a, b - a));
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
  } else {
    EXPECT_EQ(lines, expected);
  }

  // Results exactly for the valid files, each the same as its plain twin's.
  std::vector<std::string> written;
  for (const auto& entry : fs::directory_iterator(folder_ / p.folder))
    written.push_back(entry.path().filename().string());
  std::sort(written.begin(), written.end());
  std::vector<std::string> validNames;
  for (const auto& [name, c] : byName)
    if ((p.name == "zorpix" ? c->zorpix : c->dezorpix) == Outcome::valid) validNames.push_back(name);
  EXPECT_EQ(written, validNames);

  for (const auto& [name, c] : byName) {
    if ((p.name == "zorpix" ? c->zorpix : c->dezorpix) != Outcome::valid) continue;
    const auto result = readFile(folder_ / p.folder / name);
    if (name.starts_with("ref-")) {
      const Image out = decodeBmp(result);
      EXPECT_EQ(out.width, p.scale * c->pixels->width) << name;
      EXPECT_EQ(out.height, p.scale * c->pixels->height) << name;
    } else {
      EXPECT_EQ(result, readFile(folder_ / p.folder / ("ref-" + name))) << name;
    }
  }
}

}  // namespace
}  // namespace zorpix::testing
