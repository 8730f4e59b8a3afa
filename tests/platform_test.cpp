// How much of a file the batch reads: the headers and the pixel rows they
// describe, never a tail behind them, and always enough that the decoder
// gives the same result as on the whole file. And how a result is written.

#include "frame/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/bmp.h"
#include "support/test_files.h"

namespace zorpix {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes with32(Bytes b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
  return b;
}

Bytes withTail(Bytes b, std::size_t bytes) {
  b.resize(b.size() + bytes, 0xa5);
  return b;
}

// A bottom-up 24-bit image with the 12-byte OS/2 core header: unsigned
// 16-bit sides, pixels at offset.
Bytes coreHeaderFile(const testing::Image& image, std::uint32_t offset) {
  const std::size_t rowBytes = (std::size_t(image.width) * 3 + 3) / 4 * 4;
  Bytes b(offset + rowBytes * std::size_t(image.height), 0);
  b[0] = 'B';
  b[1] = 'M';
  b = with32(b, 2, std::uint32_t(b.size()));
  b = with32(b, 10, offset);
  b = with32(b, 14, 12);
  b = with32(b, 18, std::uint32_t(image.width) | std::uint32_t(image.height) << 16);
  b = with32(b, 22, 1 | 24 << 16);
  for (int k = 0; k < image.height; ++k)
    for (int x = 0; x < image.width; ++x) {
      const testing::Rgb p = image.at(x, image.height - 1 - k);
      const std::size_t at = offset + std::size_t(k) * rowBytes + std::size_t(x) * 3;
      b[at] = std::uint8_t(p.blue);
      b[at + 1] = std::uint8_t(p.green);
      b[at + 2] = std::uint8_t(p.red);
    }
  return b;
}

// Same outcome, and for an image the same pixels at the same place.
void expectSameDecoding(const BmpResult& part, const BmpResult& whole, const std::uint8_t* start) {
  ASSERT_EQ(part.index(), whole.index());
  if (const auto* error = std::get_if<FileProblem>(&whole)) {
    EXPECT_EQ(std::get<FileProblem>(part), *error);
    return;
  }
  const BmpImage& a = std::get<BmpImage>(part);
  const BmpImage& b = std::get<BmpImage>(whole);
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  EXPECT_EQ(a.topDown, b.topDown);
  EXPECT_EQ(a.pixels - start, b.pixels - start);
  EXPECT_EQ(a.resolution, b.resolution);
}

TEST(BmpBytesToRead, StopsAtThePixelRowsAndDecodesAsTheWholeFile) {
  const testing::Image image = testing::patternImage(5, 3);  // rows of 16 bytes
  const Bytes classic = testing::encodeBmp(image);
  auto layout = [](std::uint32_t info, bool topDown, std::uint32_t gap) {
    testing::BmpLayout l;
    l.infoHeaderSize = info;
    l.topDown = topDown;
    l.gapBeforePixels = gap;
    return l;
  };
  struct Case {
    const char* what;
    Bytes file;
    std::uint64_t expected;  // bytes to read; 0 for the whole file
  };
  auto encoded = [&](std::uint32_t info, bool topDown, std::uint32_t gap) {
    return withTail(testing::encodeBmp(image, layout(info, topDown, gap)), 1000);
  };
  const Case cases[] = {
      {"classic header", withTail(classic, 1000), 102},
      {"top-down rows", encoded(40, true, 0), 102},
      {"V4 header", encoded(108, false, 0), 170},
      {"V5 header and a gap", encoded(124, true, 12), 198},
      {"a header longer than any known", encoded(200, false, 0), 262},
      {"OS/2 core header", withTail(coreHeaderFile(image, 26), 1000), 74},
      {"OS/2 core header and a gap", withTail(coreHeaderFile(image, 40), 1000), 88},
      {"pixels far out", withTail(with32(classic, 10, 600), 1000), 648},
      {"side past every limit", withTail(with32(classic, 18, 40000), 1000), 54},
      {"negative width", withTail(with32(classic, 18, std::uint32_t(-5)), 1000), 54},
      {"8 bits", withTail(with32(classic, 28, 8), 1000), 54},
      {"compressed", withTail(with32(classic, 30, 1), 1000), 54},
      {"no signature", withTail(with32(classic, 0, 0), 1000), 54},
      {"header size not understood", withTail(with32(classic, 14, 20), 1000), 0},
      {"header longer than the file", with32(classic, 14, 0xfffffff0u), 0},
      {"pixels past the end", with32(classic, 10, 0xfffffff0u), 0},
      {"pixel rows cut short", Bytes(classic.begin(), classic.end() - 20), 0},
      {"headers cut short", Bytes(classic.begin(), classic.begin() + 30), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ByteView whole(c.file.data(), c.file.size());
    const ByteView head(c.file.data(), std::min(c.file.size(), kBmpHeaderBytes));
    const std::uint64_t toRead = bmpBytesToRead(head, c.file.size(), 32767);
    EXPECT_EQ(toRead, c.expected == 0 ? c.file.size() : c.expected);
    const ByteView part(c.file.data(), std::size_t(std::min<std::uint64_t>(toRead, c.file.size())));
    for (std::int32_t maxSide : {16383, 32767})
      expectSameDecoding(decodeBmp(part, maxSide), decodeBmp(whole, maxSide), c.file.data());
  }
}

// Room asked for ahead of the writes is a hint: a file that ends short of it
// is as long as what was written, whether it is stored or given up.
TEST(ReplacingFile, RoomTakenAheadLeavesTheFileAsWritten) {
  testing::TempFolder folder;
  const Bytes bytes(3000, 0x5a);
  {
    ReplacingFile file(folder.path().string(), "short.bmp");
    file.reserve(std::uint64_t{8} << 20);
    ASSERT_TRUE(file.write(bytes.data(), bytes.size()));
    ASSERT_TRUE(file.commit());
  }
  EXPECT_EQ(testing::readFile(folder / "short.bmp"), bytes);
  {
    ReplacingFile file(folder.path().string(), "given-up.bmp");
    file.reserve(std::uint64_t{8} << 20);
    ASSERT_TRUE(file.write(bytes.data(), bytes.size()));
  }
  EXPECT_EQ(testing::entries(folder.path()), std::vector<std::string>{"short.bmp"});
}

}  // namespace
}  // namespace zorpix
