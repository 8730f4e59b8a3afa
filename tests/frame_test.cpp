// The frame's pieces without the algorithms: command-line numbers, BMP
// headers, and the round trip from file bytes to grid and back.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <variant>

#include "frame/bmp.h"
#include "frame/command_line.h"
#include "frame/grid_codec.h"
#include "frame/large_buffer.h"
#include "frame/platform.h"
#include "frame/row_scan.h"
#include "support/pipeline_run.h"
#include "support/test_files.h"

namespace zorpix {
namespace {

using testing::BmpLayout;
using testing::Image;
using testing::Rgb;

TEST(ParseNumber, ReadsLikeAtoiAndSaturatesOutOfRange) {
  struct Case {
    const char* text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"255", 255},          {"  \t42", 42},       {"+7", 7},
      {"-1", -1},            {"12abc", 12},        {"abc", 0},
      {"", 0},               {"-", 0},             {" - 5", 0},
      {"0x10", 0},           {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
      {"2147483648", INT_MAX}, {"99999999999999999999", INT_MAX}, {"-99999999999", INT_MIN},
  };
  for (const Case& c : cases) EXPECT_EQ(parseNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseNumber, ColourKeepsTheLowWordAsSigned) {
  EXPECT_EQ(lowWord(300), 300);
  EXPECT_EQ(lowWord(70000), 70000 - 65536);
  EXPECT_EQ(lowWord(65535), -1);
  EXPECT_EQ(lowWord(32768), -32768);
  EXPECT_EQ(lowWord(-1), -1);
  EXPECT_EQ(lowWord(INT_MAX), -1);
  EXPECT_EQ(lowWord(INT_MIN), 0);
}

// Every command line the programs' usage text and confirmation cover.
TEST(ReadCommandLine, GivesTheSettingsAndTheBannerOfEveryArgumentCount) {
  struct Case {
    std::vector<const char*> args;
    AlphaColor key;
    std::int32_t mode;
    std::string confirmation;  // empty: the usage text
  };
  const Case cases[] = {
      {{}, {0, 255, 255}, 0, ""},
      {{"255"}, {0, 255, 255}, 0, ""},
      {{"255", "0"}, {0, 255, 255}, 0, ""},
      {{"255", "0", "255"}, {255, 0, 255}, 0, "using 255 0 255 as alpha color"},
      {{"255", "0", "255", "1"}, {255, 0, 255}, 1, "using 255 0 255 as alpha color"},
      {{"255", "0", "255", "1", "9"}, {255, 0, 255}, 1, "using 255 0 255 as alpha color"},
      {{"300", "0", "0", "-7"}, {300, 0, 0}, -7, "using 300 0 0 as alpha color"},
      {{"70000", "65535", "-1"}, {4464, -1, -1}, 0, "using 4464 -1 -1 as alpha color"},
      {{"purple", " 12", "7x", "two"}, {0, 12, 7}, 0, "using 0 12 7 as alpha color"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"/usr/bin/dezorpix"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandLine line = readCommandLine("dezorpix", int(argv.size()), argv.data());
    const std::string given = std::to_string(c.args.size()) + " arguments";
    EXPECT_EQ(line.settings.alphaColor.red, c.key.red) << given;
    EXPECT_EQ(line.settings.alphaColor.green, c.key.green) << given;
    EXPECT_EQ(line.settings.alphaColor.blue, c.key.blue) << given;
    EXPECT_EQ(line.settings.refineMode, c.mode) << given;
    std::vector<std::string> expected{"Developed by the zorpix developers email zorpix@example.org",
                                      "Place dezorpix.exe in folder that contains 24bit *.BMP files"};
    if (c.confirmation.empty()) {
      expected.insert(expected.end(),
                      {"using default alpha color 0 255 255",
                       "to use other color as alpha run command line", "dezorpix.exe r g b",
                       "where r,g,b is number from 0 to 255", "for example",
                       "dezorpix.exe 255 0 255", "will use purple as alpha"});
    } else {
      expected.push_back(c.confirmation);
    }
    EXPECT_EQ(line.banner, expected) << given;
  }
}

TEST(ByteView, RefusesEveryReadPastTheEnd) {
  const std::uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
  ByteView view(bytes, sizeof bytes);
  EXPECT_EQ(*view.le16(4), 0x0605);
  EXPECT_FALSE(view.le16(5));
  EXPECT_EQ(*view.le32(2), 0x06050403u);
  EXPECT_FALSE(view.le32(3));
  EXPECT_EQ(*view.les32(0), 0x04030201);
  EXPECT_NE(view.span(6, 0), nullptr);
  EXPECT_EQ(view.span(7, 0), nullptr);
  EXPECT_EQ(view.span(1, UINT64_MAX), nullptr);
  EXPECT_EQ(view.span(UINT64_MAX, 2), nullptr);
}

// Rows of flags are scanned in words and vectors; one byte marked anywhere,
// in a row of any length and from any start, must be found, and a byte with
// only other bits must not.
TEST(RowScan, FindsTheOneMarkedByteWhereverItLies) {
  constexpr std::uint8_t kMask = 0x09;
  std::vector<std::uint8_t> row(200 + 16, 0x06);  // other bits everywhere
  for (int end = 0; end <= 200; ++end) {
    EXPECT_EQ(firstMarked(row.data(), 0, end, kMask), end);
    EXPECT_FALSE(anyMarked(row.data(), end, kMask)) << end;
    for (int at = 0; at < end; ++at) {
      for (const std::uint8_t bit : {std::uint8_t(0x01), std::uint8_t(0x08)}) {
        row[std::size_t(at)] = std::uint8_t(0x06 | bit);
        EXPECT_TRUE(anyMarked(row.data(), end, kMask)) << end << " " << at;
        EXPECT_EQ(firstMarked(row.data(), 0, end, kMask), at) << end << " " << at;
        EXPECT_EQ(firstMarked(row.data(), at, end, kMask), at) << end << " " << at;
        EXPECT_EQ(firstMarked(row.data(), at + 1, end, kMask), end) << end << " " << at;
      }
      row[std::size_t(at)] = 0x06;
    }
  }
}

BmpResult decodeBytes(const std::vector<std::uint8_t>& bytes, std::int32_t maxSide = 16383) {
  return zorpix::decodeBmp(ByteView(bytes.data(), bytes.size()), maxSide);
}

std::optional<FileProblem> errorOf(const std::vector<std::uint8_t>& bytes,
                                std::int32_t maxSide = 16383) {
  BmpResult result = decodeBytes(bytes, maxSide);
  if (const auto* error = std::get_if<FileProblem>(&result)) return *error;
  return std::nullopt;
}

void set32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
}

TEST(DecodeBmp, TurnsAwayWhatIsNotAnUncompressed24BitBitmap) {
  const auto good = testing::encodeBmp(testing::patternImage(5, 3));
  ASSERT_FALSE(errorOf(good));

  auto noSignature = good;
  noSignature[1] = 'A';
  EXPECT_EQ(errorOf(noSignature), FileProblem::notBitmap24);
  EXPECT_EQ(errorOf({}), FileProblem::notBitmap24);
  EXPECT_EQ(errorOf({'B', 'M'}), FileProblem::notBitmap24);
  EXPECT_EQ(errorOf(std::vector<std::uint8_t>(good.begin(), good.begin() + 53)),
            FileProblem::notBitmap24);

  for (std::uint32_t infoSize : {0u, 12u, 39u, 0x80000000u}) {
    auto b = good;
    set32(b, 14, infoSize);
    EXPECT_EQ(errorOf(b), FileProblem::notBitmap24) << "info header size " << infoSize;
  }
  for (std::uint16_t bits : {0, 1, 8, 16, 32, 24 + 256}) {
    BmpLayout layout;
    layout.bitCount = bits;
    EXPECT_EQ(errorOf(testing::encodeBmp(testing::patternImage(4, 2), layout)),
              FileProblem::notBitmap24)
        << "bit count " << bits;
  }
  for (std::uint32_t compression = 1; compression <= 6; ++compression) {
    BmpLayout layout;
    layout.compression = compression;
    EXPECT_EQ(errorOf(testing::encodeBmp(testing::patternImage(4, 2), layout)),
              FileProblem::notBitmap24)
        << "compression " << compression;
  }
}

TEST(DecodeBmp, ChecksSidesAndPixelDataBeforeAnythingIsAllocated) {
  const auto good = testing::encodeBmp(testing::patternImage(5, 3));
  auto withSides = [&](std::uint32_t width, std::uint32_t height) {
    auto b = good;
    set32(b, 18, width);
    set32(b, 22, height);
    return b;
  };
  EXPECT_EQ(errorOf(withSides(std::uint32_t(-1), 3)), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(0x80000000u, 3)), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(16384, 1)), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(1, 16384)), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(1, std::uint32_t(-16384))), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(1, 0x80000000u)), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(0x7fffffffu, 1)), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(16384, 1), 32767), FileProblem::truncated);
  EXPECT_EQ(errorOf(withSides(32768, 1), 32767), FileProblem::sizeOutOfRange);
  EXPECT_EQ(errorOf(withSides(16383, 16383)), FileProblem::truncated);

  auto offsetAt = [&](std::uint32_t offset) {
    auto b = good;
    set32(b, 10, offset);
    return b;
  };
  EXPECT_EQ(errorOf(offsetAt(0)), FileProblem::badDataOffset);
  EXPECT_EQ(errorOf(offsetAt(53)), FileProblem::badDataOffset);
  EXPECT_EQ(errorOf(offsetAt(56)), FileProblem::truncated);
  EXPECT_EQ(errorOf(offsetAt(0xffffffffu)), FileProblem::truncated);

  // Cut anywhere inside the pixels; only the last row's padding may be missing.
  for (std::size_t length = 54; length < good.size() - 1; ++length)
    EXPECT_EQ(errorOf(std::vector<std::uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(length))),
              FileProblem::truncated)
        << length;
  EXPECT_FALSE(errorOf(std::vector<std::uint8_t>(good.begin(), good.end() - 1)));
}

// The pipeline with an algorithm that leaves the grid as the frame built it:
// each program's grid, written straight back out.
template <typename Channel>
void leaveAsBuilt(CellGrid<Channel>&, const AlphaColor&, std::int32_t, GridEdges, Workers&) {}

const Profile kAsBuiltDoubled{"test", "out", true, 16383, 0, 0, leaveAsBuilt<std::uint8_t>};
const Profile kAsBuiltPlain{"test", "out", false, 32767, 0, 0, leaveAsBuilt<std::uint8_t>};

std::vector<std::uint8_t> roundTrip(const Profile& profile, const std::vector<std::uint8_t>& file) {
  Workers workers(1);
  auto result = testing::runPipeline(profile, file, Settings{}, workers);
  return std::get<std::vector<std::uint8_t>>(std::move(result));
}

std::vector<std::uint8_t> doubledRoundTrip(const std::vector<std::uint8_t>& file) {
  return roundTrip(kAsBuiltDoubled, file);
}

std::vector<std::uint8_t> plainRoundTrip(const std::vector<std::uint8_t>& file) {
  return roundTrip(kAsBuiltPlain, file);
}

BmpLayout layoutNumber(int n) {
  BmpLayout layout;
  layout.topDown = n % 2 == 1;
  layout.infoHeaderSize = n % 3 == 0 ? 40 : (n % 3 == 1 ? 108 : 124);
  layout.gapBeforePixels = n % 4 == 2 ? 1024 : 0;
  layout.bytesAfterPixels = n % 5 == 3 ? 17 : 0;
  return layout;
}

TEST(RoundTrip, PlainGridGivesBackEveryPixelInAStandardFile) {
  int n = 0;
  for (int width : {1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 64, 127}) {
    for (int height : {1, 2, 3, 7}) {
      const Image image = testing::patternImage(width, height, unsigned(n));
      const BmpLayout layout = layoutNumber(n++);
      const auto out = plainRoundTrip(testing::encodeBmp(image, layout));
      const Image back = testing::decodeBmp(out);
      EXPECT_EQ(back.pixels, image.pixels) << width << "x" << height << " top-down " << layout.topDown;
      // Bottom-up with a 40-byte header, the layout is fixed: byte for byte.
      BmpLayout standard;
      standard.xPelsPerMeter = layout.xPelsPerMeter;
      EXPECT_EQ(out, testing::encodeBmp(image, standard));
    }
  }
}

TEST(RoundTrip, DoubledGridHoldsEachPixelAtTheTopLeftOfItsBlock) {
  int n = 0;
  for (int width : {1, 2, 3, 4, 5, 9, 30}) {
    for (int height : {1, 2, 5}) {
      const Image image = testing::patternImage(width, height, unsigned(100 + n));
      const Image out = testing::decodeBmp(doubledRoundTrip(testing::encodeBmp(image, layoutNumber(n++))));
      ASSERT_EQ(out.width, 2 * width);
      ASSERT_EQ(out.height, 2 * height);
      for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
          const Rgb expected = x % 2 == 0 && y % 2 == 0 ? image.at(x / 2, y / 2) : Rgb{0, 255, 255};
          ASSERT_EQ(out.at(x, y), expected) << "pixel " << x << "," << y << " of " << width << "x" << height;
        }
    }
  }
}

// A key outside 0..255 fills the open cells with its low bytes, which is what
// the result shows for it; a pixel of those very bytes is still no key.
TEST(RoundTrip, DoubledGridSettlesExactlyTheSourceCellsAndMarksOnlyTrueKeyPixels) {
  Image picture = testing::patternImage(3, 2);
  picture.at(0, 0) = Rgb{44, 255, 0};  // the low bytes of 300, -1, 0
  picture.at(1, 1) = Rgb{0, 255, 255};
  const auto file = testing::encodeBmp(picture);
  const BmpImage image = std::get<BmpImage>(decodeBytes(file));
  struct Case {
    AlphaColor key;
    Rgb keyPixel;  // the image's pixel that is key-coloured, if any
  };
  for (const Case& k : {Case{{300, -1, 0}, Rgb{-1, -1, -1}}, Case{{0, 255, 255}, Rgb{0, 255, 255}}}) {
    CellGrid<std::uint8_t> grid(4, 6, true);
    fillDoubledGrid(wholeImageRows(image), k.key, grid, 0, image.height);
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 6; ++c) {
        const bool source = r % 2 == 0 && c % 2 == 1;
        // Grid column c is image column 2 - c / 2: the grid is mirrored.
        const Rgb pixel = source ? picture.at(2 - c / 2, r / 2) : Rgb{};
        const Cell<std::uint8_t>& cell = grid.at(r, c);
        const Rgb held{cell.red, cell.green, cell.blue};
        if (source) {
          EXPECT_EQ(held, pixel) << r << "," << c;
          EXPECT_EQ(grid.flags(r, c), pixel == k.keyPixel ? kKey : 0) << r << "," << c;
        } else {
          EXPECT_EQ(held, (Rgb{std::uint8_t(k.key.red), std::uint8_t(k.key.green),
                               std::uint8_t(k.key.blue)}));
          EXPECT_EQ(grid.flags(r, c), kOpen | kKey) << r << "," << c;
        }
      }
  }
}

// A file's bytes as a file on disk hands them out: copied into the buffer,
// and none of a stretch that can't be read, as of a file changed while it is
// read.
class CopiedBytes final : public FileBytes {
 public:
  CopiedBytes(const std::vector<std::uint8_t>& file, std::size_t unreadFrom, std::size_t unreadTo)
      : file_(file), unreadFrom_(unreadFrom), unreadTo_(unreadTo) {}
  const std::uint8_t* read(std::uint64_t offset, std::size_t count,
                           std::uint8_t* buffer) const override {
    if (offset + count > unreadFrom_ && offset < unreadTo_) return nullptr;
    std::copy_n(file_.begin() + std::ptrdiff_t(offset), count, buffer);
    return buffer;
  }
  bool readsIntoBuffer() const override { return true; }

 private:
  const std::vector<std::uint8_t>& file_;
  std::size_t unreadFrom_, unreadTo_;
};

// The pipeline as the batch runs it on a large file: the headers held, the
// rows read band by band into buffers, the bands at the edges in two runs.
std::variant<FileProblem, std::vector<std::uint8_t>> readAsNeeded(
    const Profile& profile, const std::vector<std::uint8_t>& file, Workers& workers,
    std::size_t unreadFrom = SIZE_MAX, std::size_t unreadTo = SIZE_MAX) {
  const ByteView whole(file.data(), file.size());
  const auto headers = std::size_t(bmpHeadersBytes(whole, file.size()));
  std::vector<std::uint8_t> out;
  const auto problem = transformFile(profile, ByteView(file.data(), headers), file.size(),
                                     CopiedBytes(file, unreadFrom, unreadTo), Settings{}, workers,
                                     [&out](const std::uint8_t* bytes, std::size_t count) {
                                       out.insert(out.end(), bytes, bytes + count);
                                       return true;
                                     });
  if (problem) return *problem;
  return out;
}

TEST(ReadAsNeeded, BandsFindTheirRowsAsInTheWholeFile) {
  // Bands of 32 rows with two around them, the fewest the profile allows.
  Profile plain = kAsBuiltPlain;
  Profile doubled = kAsBuiltDoubled;
  for (Profile* banded : {&plain, &doubled}) {
    banded->rowReach = 2;
    banded->bandPixels = 1;
  }
  Workers one(1), two(2);
  int n = 0;
  for (int width : {1, 5, 13})
    for (int height : {1, 7, 37, 100}) {
      const auto file =
          testing::encodeBmp(testing::patternImage(width, height, unsigned(n)), layoutNumber(n));
      ++n;
      for (const Profile* profile : {&plain, &doubled})
        for (Workers* workers : {&one, &two}) {
          SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " doubled " +
                       std::to_string(profile->doublesImage) + " workers " +
                       std::to_string(workers->count()));
          const auto expected = testing::runPipeline(*profile, file, Settings{}, *workers);
          ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(expected));
          EXPECT_EQ(readAsNeeded(*profile, file, *workers), expected);
          // Changed after the headers were read: the file's last byte gone,
          // which the first band needs across the wrap, or a byte of row 20,
          // which only the bands of the top rows need: with one worker,
          // bands done after the first results were handed on.
          const BmpImage image = std::get<BmpImage>(decodeBytes(file));
          const std::size_t pixelsEnd = std::size_t(
              image.pixelOffset + image.rowBytes * std::uint64_t(height - 1) + 3 * width);
          const std::variant<FileProblem, std::vector<std::uint8_t>> truncated =
              FileProblem::truncated;
          EXPECT_EQ(readAsNeeded(*profile, file, *workers, pixelsEnd - 1), truncated);
          if (height > 20) {
            const auto row20 = std::size_t(image.pixelOffset +
                                           std::uint64_t(image.storedRow(20)) * image.rowBytes);
            EXPECT_EQ(readAsNeeded(*profile, file, *workers, row20, row20 + 1), truncated);
          }
        }
    }
}

TEST(BmpHeader, IsAFreshClassicHeaderWithTheInputsResolution) {
  const std::array<std::uint8_t, 8> resolution{1, 2, 3, 4, 5, 6, 7, 8};
  const auto h = bmpHeader(3, 2, resolution);
  const std::vector<std::uint8_t> bytes(h.begin(), h.end());
  auto get32 = [&](std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
  };
  EXPECT_EQ(get32(2), 54u + 24u);
  EXPECT_EQ(get32(6), 0u);
  EXPECT_EQ(get32(10), 54u);
  EXPECT_EQ(get32(14), 40u);
  EXPECT_EQ(get32(18), 3u);
  EXPECT_EQ(get32(22), 2u);
  EXPECT_EQ(get32(26), 1u | (24u << 16));
  EXPECT_EQ(get32(30), 0u);
  EXPECT_EQ(get32(34), 24u);
  EXPECT_EQ(get32(38), 0x04030201u);
  EXPECT_EQ(get32(42), 0x08070605u);
  EXPECT_EQ(get32(46), 0u);
  EXPECT_EQ(get32(50), 0u);
}

TEST(BmpPixelBytes, KeepsTheLargestOutputsWithin32Bits) {
  EXPECT_EQ(bmpPixelBytes(0, 5), 0u);
  EXPECT_EQ(bmpPixelBytes(32766, 32766), 98300ull * 32766ull);
  EXPECT_EQ(bmpPixelBytes(32767, 32767), 98304ull * 32767ull);
  EXPECT_FALSE(bmpPixelBytes(40000, 40000));
  EXPECT_FALSE(bmpPixelBytes(-1, 1));
}

// Buffers of many sizes, some alive together and some given back and taken
// again, each written whole: a buffer handed out smaller than asked, or one
// handed out twice, shows as another buffer's bytes changing.
TEST(LargeBuffer, GivesEveryRequestItsOwnWholeBytesAsSizesComeAndGo) {
  std::vector<LargeBuffer> alive;
  std::vector<std::uint8_t> marks;
  std::uint32_t state = 12345;
  auto next = [&state] { return state = state * 1103515245u + 12345u; };
  for (int round = 0; round < 60; ++round) {
    if (alive.size() == 5 || (!alive.empty() && next() % 3 == 0)) {
      const std::size_t gone = next() % alive.size();
      alive.erase(alive.begin() + std::ptrdiff_t(gone));
      marks.erase(marks.begin() + std::ptrdiff_t(gone));
    }
    // From a few kilobytes to a few megabytes, around the sizes that change
    // how a buffer is had.
    const std::size_t bytes = 1000 + std::size_t(next() % (std::size_t{3} << 20));
    alive.emplace_back(bytes);
    marks.push_back(std::uint8_t(round));
    std::memset(alive.back().data(), round, bytes);
    for (std::size_t i = 0; i < alive.size(); ++i) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(alive[i].data());
      const std::size_t size = alive[i].size();
      ASSERT_TRUE(data[0] == marks[i] && data[size / 2] == marks[i] && data[size - 1] == marks[i])
          << "round " << round << ", buffer " << i << " of " << size << " bytes";
    }
  }
}

TEST(LoadFile, ReadsRegularFilesWholeAndTurnsAwayTheRestWithoutWaiting) {
  testing::TempFolder folder;
  const auto bytes = testing::encodeBmp(testing::patternImage(3, 2));
  testing::writeFile(folder / "a.bmp", bytes);
  testing::writeFile(folder / "empty.bmp", {});
  std::filesystem::create_directory(folder / "folder.bmp");
  ASSERT_EQ(mkfifo((folder / "pipe.bmp").c_str(), 0644), 0);

  LoadedFile file;
  ASSERT_TRUE(loadFile((folder / "a.bmp").string(), 1 << 20, file));
  ASSERT_EQ(file.size, bytes.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(),
                         reinterpret_cast<const std::uint8_t*>(file.bytes.data())));
  EXPECT_FALSE(file.rest);
  LoadedFile empty;
  EXPECT_TRUE(loadFile((folder / "empty.bmp").string(), 1 << 20, empty));
  EXPECT_EQ(empty.size, 0u);
  for (const char* name : {"folder.bmp", "pipe.bmp", "missing.bmp"}) {
    LoadedFile other;
    EXPECT_FALSE(loadFile((folder / name).string(), 1 << 20, other)) << name;
  }
}

TEST(LoadFile, HoldsOnlyTheHeadersOfALargeFileAndReadsItsRowsAsAsked) {
  testing::TempFolder folder;
  BmpLayout layout;
  layout.infoHeaderSize = 124;
  layout.gapBeforePixels = 10;
  layout.bytesAfterPixels = 5000;
  const auto bytes = testing::encodeBmp(testing::patternImage(101, 30), layout);
  testing::writeFile(folder / "a.bmp", bytes);
  const std::size_t pixelsEnd = bytes.size() - 5000;

  LoadedFile file;
  ASSERT_TRUE(loadFile((folder / "a.bmp").string(), 1000, file));
  ASSERT_TRUE(file.rest);
  EXPECT_EQ(file.size, 14u + 124u);
  EXPECT_EQ(file.fileSize, pixelsEnd) << "the tail is never looked at";
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 138,
                         reinterpret_cast<const std::uint8_t*>(file.bytes.data())));
  std::vector<std::uint8_t> buffer(400);
  const std::uint8_t* row = file.rest->read(pixelsEnd - 400, 400, buffer.data());
  ASSERT_NE(row, nullptr);
  EXPECT_TRUE(std::equal(row, row + 400, bytes.begin() + std::ptrdiff_t(pixelsEnd - 400)));
  // Cut short since it was opened: the rows past the cut are not there.
  std::filesystem::resize_file(folder / "a.bmp", pixelsEnd - 1);
  EXPECT_EQ(file.rest->read(pixelsEnd - 400, 400, buffer.data()), nullptr);

  // Up to the limit, held whole.
  LoadedFile small;
  ASSERT_TRUE(loadFile((folder / "a.bmp").string(), pixelsEnd, small));
  EXPECT_FALSE(small.rest);
  EXPECT_EQ(small.size, pixelsEnd - 1);
}

}  // namespace
}  // namespace zorpix
