// Both programs run for real in temporary folders on real BMP files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace zorpix::testing {
namespace {

namespace fs = std::filesystem;

std::string banner(const std::string& program) {
  return "Developed by the zorpix developers email zorpix@example.org\n"
         "Place " + program + ".exe in folder that contains 24bit *.BMP files\n";
}

std::string usage(const std::string& program) {
  return "using default alpha color 0 255 255\n"
         "to use other color as alpha run command line\n" +
         program + ".exe r g b\n" +
         "where r,g,b is number from 0 to 255\n"
         "for example\n" +
         program + ".exe 255 0 255\n" +
         "will use purple as alpha\n";
}

std::string outputLine(const std::string& folder, const std::string& name) {
  return folder + outputSeparator() + name + "\n";
}

std::vector<std::string> sortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  std::sort(lines.begin(), lines.end());
  return lines;
}

using Program = ProgramUnderTest;

class BothPrograms : public ::testing::TestWithParam<int> {
 protected:
  Program program() const { return programUnderTest(GetParam()); }
  TempFolder folder_;
};

INSTANTIATE_TEST_SUITE_P(, BothPrograms, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "zorpix" : "dezorpix"; });

TEST_P(BothPrograms, PrintsTheUsageTextWithFewerThanThreeNumbers) {
  const Program p = program();
  for (const auto& args : {std::vector<std::string>{}, {"255"}, {"255", "0"}}) {
    const RunResult run = runProgram(p.command, folder_.path(), args);
    EXPECT_EQ(run.output, banner(p.name) + usage(p.name)) << args.size() << " arguments";
    EXPECT_EQ(run.status, 0);
  }
}

TEST_P(BothPrograms, ConfirmsTheKeyColourWithThreeOrMoreNumbers) {
  const Program p = program();
  struct Case {
    std::vector<std::string> args;
    std::string confirmed;
  };
  const Case cases[] = {
      {{"255", "0", "255"}, "255 0 255"},
      {{"255", "0", "255", "1"}, "255 0 255"},
      {{"255", "0", "255", "1", "extra"}, "255 0 255"},
      {{"300", "0", "0"}, "300 0 0"},
      {{"70000", "65535", "-1"}, "4464 -1 -1"},
      {{"purple", " 12", "7x"}, "0 12 7"},
      {{"99999999999", "-99999999999", "+8"}, "-1 0 8"},
  };
  for (const Case& c : cases) {
    const RunResult run = runProgram(p.command, folder_.path(), c.args);
    EXPECT_EQ(run.output, banner(p.name) + "using " + c.confirmed + " as alpha color\n");
    EXPECT_EQ(run.status, 0);
  }
  EXPECT_TRUE(fs::is_empty(folder_.path())) << "nothing to do makes nothing";
}

TEST_P(BothPrograms, TakesEveryBitmapOfTheFolderInNameOrderAndReportsTheRest) {
  const Program p = program();
  const Image image = patternImage(7, 5);
  writeFile(folder_ / "b.bmp", encodeBmp(image));
  writeFile(folder_ / "A.BMP", encodeBmp(image));
  writeFile(folder_ / "c.Bmp", encodeBmp(image));
  BmpLayout eightBit;
  eightBit.bitCount = 8;
  writeFile(folder_ / "d.bmp", encodeBmp(image, eightBit));
  auto truncated = encodeBmp(image);
  truncated.resize(truncated.size() - 20);
  writeFile(folder_ / "e.bmp", truncated);
  fs::create_directory(folder_ / "x.bmp");
  writeFile(folder_ / "notes.txt", {'h', 'i'});
  writeFile(folder_ / "f.bmp.bak", encodeBmp(image));

  const RunResult run = runProgram(p.command, folder_.path(), {"0", "255", "255", "2"});
  const std::string header = banner(p.name) + "using 0 255 255 as alpha color\n";
  const std::string fileLines = outputLine(p.folder, "A.BMP") + outputLine(p.folder, "b.bmp") +
                                outputLine(p.folder, "c.Bmp") +
                                "Not a 24 bit BitMap file with name d.bmp\n"
                                "Truncated BitMap file with name e.bmp\n"
                                "Cannot read file with name x.bmp\n";
  if (testsWindowsPrograms()) {
    // Windows gives the names in its own order, so only the set of lines counts.
    ASSERT_TRUE(run.output.starts_with(header)) << run.output;
    EXPECT_EQ(sortedLines(run.output.substr(header.size())), sortedLines(fileLines));
  } else {
    EXPECT_EQ(run.output, header + fileLines);
  }
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> written;
  for (const auto& entry : fs::directory_iterator(folder_ / p.folder))
    written.push_back(entry.path().filename().string());
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{"A.BMP", "b.bmp", "c.Bmp"}));
  for (const std::string& name : written) {
    const Image out = decodeBmp(readFile(folder_ / p.folder / name));
    EXPECT_EQ(out.width, 7 * p.scale);
    EXPECT_EQ(out.height, 5 * p.scale);
  }
}

TEST_P(BothPrograms, ReportsManyFilesInNameOrderWhateverFinishesFirst) {
  // Small images are done several at a time; the transcript must not show it.
  const Program p = program();
  std::string fileLines;
  BmpLayout eightBit;
  eightBit.bitCount = 8;
  for (int i = 0; i < 20; ++i) {
    const std::string name = std::to_string(10 + i).insert(0, 1, 'f').append(".bmp");
    // Sizes vary so that later files often finish before earlier ones.
    const Image image = patternImage(1 + (i * 37) % 90, 1 + (i * 53) % 70, unsigned(i));
    if (i % 3 == 2) {
      writeFile(folder_ / name, encodeBmp(image, eightBit));
      fileLines.append("Not a 24 bit BitMap file with name ").append(name).append("\n");
    } else {
      writeFile(folder_ / name, encodeBmp(image));
      fileLines.append(outputLine(p.folder, name));
    }
  }
  const RunResult run = runProgram(p.command, folder_.path());
  const std::string header = banner(p.name) + usage(p.name);
  ASSERT_EQ(run.output.substr(0, header.size()), header);
  if (testsWindowsPrograms()) {
    // Windows lists a folder in an order of its own.
    EXPECT_EQ(sortedLines(run.output.substr(header.size())), sortedLines(fileLines));
  } else {
    EXPECT_EQ(run.output.substr(header.size()), fileLines);
  }
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / p.folder), fs::directory_iterator()), 14);
}

TEST_P(BothPrograms, TakesNamesInAnyScriptAndStoresEachResultUnderItsOwnName) {
  // No single code page holds all three; the emoji takes two UTF-16 units.
  const Program p = program();
  struct Case {
    std::string name;
    Rgb colour;
  };
  const Case cases[] = {
      {"Ωμέγα.BMP", {10, 200, 10}},
      {"スプライト.bmp", {200, 10, 10}},
      {"😀.bmp", {10, 10, 200}},
  };
  std::string fileLines;
  for (const Case& c : cases) {
    writeFile(folder_ / c.name, encodeBmp(filledImage(3, 2, c.colour)));
    fileLines += outputLine(p.folder, c.name);
  }
  writeFile(folder_ / "Ωμέγα.bmp.txt", encodeBmp(filledImage(3, 2, Rgb{1, 2, 3})));

  // Not a console: the names come as UTF-8 bytes on every platform.
  const RunResult run = runProgram(p.command, folder_.path());
  const std::string header = banner(p.name) + usage(p.name);
  ASSERT_TRUE(run.output.starts_with(header)) << run.output;
  if (testsWindowsPrograms()) {
    EXPECT_EQ(sortedLines(run.output.substr(header.size())), sortedLines(fileLines));
  } else {
    EXPECT_EQ(run.output.substr(header.size()), fileLines);
  }
  EXPECT_EQ(run.status, 0);
  std::vector<std::string> written;
  for (const auto& entry : fs::directory_iterator(folder_ / p.folder))
    written.push_back(entry.path().filename().string());
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (std::vector<std::string>{cases[0].name, cases[1].name, cases[2].name}));
  for (const Case& c : cases) {
    const Image out = decodeBmp(readFile(folder_ / p.folder / c.name));
    EXPECT_EQ(out.pixels, filledImage(3 * p.scale, 2 * p.scale, c.colour).pixels) << c.name;
  }
}

TEST_P(BothPrograms, ReplacesAnEarlierResultAndNeverTakesItsOwnOutputAsInput) {
  const Program p = program();
  const Image flat = filledImage(4, 3, Rgb{10, 20, 30});
  writeFile(folder_ / "a.bmp", encodeBmp(flat));
  fs::create_directory(folder_ / p.folder);
  writeFile(folder_ / p.folder / "a.bmp", std::vector<std::uint8_t>(100000, 7));

  for (int run = 0; run < 2; ++run) {
    const RunResult result = runProgram(p.command, folder_.path());
    EXPECT_EQ(result.output, banner(p.name) + usage(p.name) + outputLine(p.folder, "a.bmp"));
    const Image out = decodeBmp(readFile(folder_ / p.folder / "a.bmp"));
    EXPECT_EQ(out.pixels, filledImage(4 * p.scale, 3 * p.scale, flat.at(0, 0)).pixels);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / p.folder), fs::directory_iterator()), 1)
      << "no temporary file left behind";
}

TEST_P(BothPrograms, ReportsAFailedWriteAndKeepsTheEarlierResult) {
  if (testsWindowsPrograms()) GTEST_SKIP() << "no file-size limit to make a write fail with";
  const Program p = program();
  // A result of more than 1 MiB, whose room on disk is taken ahead of the
  // writes: taking it must neither end the run nor hide the failure.
  writeFile(folder_ / "big.bmp", encodeBmp(patternImage(640, 600)));
  writeFile(folder_ / "small.bmp", encodeBmp(filledImage(2, 2, Rgb{1, 2, 3})));
  fs::create_directory(folder_ / p.folder);
  const std::vector<std::uint8_t> earlier(300, 42);
  writeFile(folder_ / p.folder / "big.bmp", earlier);

  // Files may grow to 8 KiB only: the big result can't be stored, the small one can.
  const RunResult run = runProgram(p.command, folder_.path(), {}, "ulimit -f 8");
  EXPECT_EQ(run.output, banner(p.name) + usage(p.name) + outputLine(p.folder, "big.bmp") +
                            "Could not write " + p.folder + outputSeparator() + "big.bmp\n" +
                            outputLine(p.folder, "small.bmp"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(folder_ / p.folder / "big.bmp"), earlier);
  EXPECT_TRUE(fs::exists(folder_ / p.folder / "small.bmp"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_ / p.folder), fs::directory_iterator()), 2);
}

TEST_P(BothPrograms, ReportsAnOutputFolderBlockedByAFile) {
  const Program p = program();
  writeFile(folder_ / "a.bmp", encodeBmp(patternImage(3, 3)));
  writeFile(folder_ / "b.bmp", encodeBmp(patternImage(3, 3)));
  writeFile(folder_ / p.folder, {'x'});
  const RunResult run = runProgram(p.command, folder_.path());
  EXPECT_EQ(run.output, banner(p.name) + usage(p.name) + outputLine(p.folder, "a.bmp") +
                            "Could not write " + p.folder + outputSeparator() + "a.bmp\n" +
                            outputLine(p.folder, "b.bmp") + "Could not write " + p.folder +
                            outputSeparator() + "b.bmp\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(folder_ / p.folder), std::vector<std::uint8_t>{'x'});
}

TEST_P(BothPrograms, WritesAHeaderOnlyFileForAnImageWithoutPixels) {
  const Program p = program();
  writeFile(folder_ / "empty.bmp", encodeBmp(Image{0, 3, {}}));
  const RunResult run = runProgram(p.command, folder_.path());
  EXPECT_EQ(run.status, 0);
  const auto bytes = readFile(folder_ / p.folder / "empty.bmp");
  ASSERT_EQ(bytes.size(), 54u);
  const Image out = decodeBmp(bytes);
  EXPECT_EQ(out.width, 0);
  EXPECT_EQ(out.height, 3 * p.scale);
}

// A result of tens of megabytes is handed to the disk stretch by stretch as
// it is written, and dropped from the cache behind; it must still come out
// whole. One colour all over stays that colour in both programs, so every
// byte of the result is known.
TEST_P(BothPrograms, WritesAResultOfTensOfMegabytesWhole) {
  const Program p = program();
  const int width = p.scale == 2 ? 3000 : 6000;
  const int height = p.scale == 2 ? 1700 : 2000;
  writeFile(folder_ / "big.bmp", encodeBmp(filledImage(width, height, Rgb{9, 8, 7})));
  const RunResult run = runProgram(p.command, folder_.path());
  EXPECT_EQ(run.status, 0);
  const auto bytes = readFile(folder_ / p.folder / "big.bmp");
  const std::size_t pixelBytes = 3 * std::size_t(width * p.scale);
  const std::size_t rowBytes = (pixelBytes + 3) / 4 * 4;
  ASSERT_EQ(bytes.size(), 54 + rowBytes * std::size_t(height * p.scale));
  ASSERT_GT(bytes.size(), std::size_t{32} << 20);
  // Blue, green, red, then the row's zero padding.
  const std::uint8_t pixel[3] = {7, 8, 9};
  std::size_t wrong = 0;
  for (std::size_t at = 54; at < bytes.size(); at += rowBytes)
    for (std::size_t i = 0; i < rowBytes; ++i)
      wrong += bytes[at + i] != (i < pixelBytes ? pixel[i % 3] : 0);
  EXPECT_EQ(wrong, 0u);
}

TEST_P(BothPrograms, ReadsTopDownPaddedAndLongHeaderedFilesAlike) {
  const Program p = program();
  // Small files are read whole; one of more than 3 MiB has its rows read as
  // each band needs them, from the other end of the file when top-down.
  const Image small = filledImage(5, 3, Rgb{200, 100, 50});
  const Image large = patternImage(1030, 1100);
  BmpLayout v5;
  v5.infoHeaderSize = 124;
  v5.topDown = true;
  v5.gapBeforePixels = 12;
  v5.bytesAfterPixels = 100;
  writeFile(folder_ / "plain.bmp", encodeBmp(small));
  writeFile(folder_ / "v5.bmp", encodeBmp(small, v5));
  writeFile(folder_ / "large-plain.bmp", encodeBmp(large));
  writeFile(folder_ / "large-v5.bmp", encodeBmp(large, v5));
  const RunResult run = runProgram(p.command, folder_.path());
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(folder_ / p.folder / "plain.bmp"), readFile(folder_ / p.folder / "v5.bmp"));
  const auto largeResult = readFile(folder_ / p.folder / "large-plain.bmp");
  EXPECT_EQ(largeResult.size(),
            54 + (3 * std::size_t(1030 * p.scale) + 3) / 4 * 4 * std::size_t(1100 * p.scale));
  EXPECT_TRUE(largeResult == readFile(folder_ / p.folder / "large-v5.bmp"));
}

TEST_P(BothPrograms, ReadsCoreHeaderedFilesAsTheirClassicTwins) {
  // The 12-byte OS/2 core header has no resolution fields: the result says 0
  // there, as the result of a classic file storing 0 does.
  const Program p = program();
  BmpLayout classic;
  classic.xPelsPerMeter = 0;
  classic.yPelsPerMeter = 0;
  const int widths[] = {1, 3, 5, 13, 64};
  for (int i = 0; i < 5; ++i) {
    BmpLayout core;
    core.infoHeaderSize = 12;
    core.gapBeforePixels = i % 2 == 0 ? 0 : 6;  // the data offset is followed
    const Image image = patternImage(widths[i], 3 + i, unsigned(i));
    writeFile(folder_ / ("core-" + std::to_string(i) + ".bmp"), encodeBmp(image, core));
    writeFile(folder_ / ("classic-" + std::to_string(i) + ".bmp"), encodeBmp(image, classic));
  }
  const RunResult run = runProgram(p.command, folder_.path());
  EXPECT_EQ(run.status, 0);
  for (int i = 0; i < 5; ++i) {
    const auto core = readFile(folder_ / p.folder / ("core-" + std::to_string(i) + ".bmp"));
    EXPECT_FALSE(core.empty()) << run.output;
    EXPECT_EQ(core, readFile(folder_ / p.folder / ("classic-" + std::to_string(i) + ".bmp")))
        << "width " << widths[i];
  }
}

TEST(Zorpix, PutsEachSourcePixelAtTheTopLeftOfItsBlock) {
  TempFolder folder;
  const Image image = patternImage(9, 4);
  writeFile(folder / "a.bmp", encodeBmp(image));
  // With refinement mode 2 no stage may touch a source pixel.
  const RunResult run = runProgram(zorpixProgram(), folder.path(), {"0", "255", "255", "2"});
  ASSERT_EQ(run.status, 0);
  const Image out = decodeBmp(readFile(folder / "scaled" / "a.bmp"));
  ASSERT_EQ(out.width, 18);
  ASSERT_EQ(out.height, 8);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) EXPECT_EQ(out.at(2 * x, 2 * y), image.at(x, y)) << x << "," << y;
}

TEST(Zorpix, KeepsTheBackgroundExactlyTheKeyColourAroundSprites) {
  // Outlined blobs on cyan. Wherever a pixel and its eight neighbours are all
  // background, its whole 2x2 block must come out cyan, in every mode.
  const Rgb cyan{0, 255, 255};
  Image image = filledImage(40, 30, cyan);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      const int dx = x % 20 - 10, dy = y % 15 - 7;
      const int d = dx * dx + dy * dy;
      if (d <= 20) image.at(x, y) = d >= 13 ? Rgb{30, 20, 30} : Rgb{200, 60 + 4 * dx, 40};
    }
  auto background = [&](int x, int y) {
    for (int j = -1; j <= 1; ++j)
      for (int i = -1; i <= 1; ++i)
        if (image.at((x + i + 40) % 40, (y + j + 30) % 30) != cyan) return false;
    return true;
  };
  for (const char* mode : {"0", "1", "2"}) {
    TempFolder folder;
    writeFile(folder / "a.bmp", encodeBmp(image));
    ASSERT_EQ(runProgram(zorpixProgram(), folder.path(), {"0", "255", "255", mode}).status, 0);
    const Image out = decodeBmp(readFile(folder / "scaled" / "a.bmp"));
    int checked = 0;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x) {
        if (!background(x, y)) continue;
        ++checked;
        for (int j = 0; j < 2; ++j)
          for (int i = 0; i < 2; ++i)
            EXPECT_EQ(out.at(2 * x + i, 2 * y + j), cyan) << "mode " << mode << " at " << x << "," << y;
      }
    EXPECT_GT(checked, 500);
  }
}

// The exceptions the manual and the README tell of, on the images of their
// picture: a line one pixel wide, and sprites in opposite corners.
TEST(Zorpix, HalfKeysTheGapsOfALineDownToTheRightInTheDefaultModeOnly) {
  const Rgb cyan{0, 255, 255}, red{200, 40, 40};
  struct Case {
    const char* mode;
    bool downToTheRight;
    Rgb gap;
  };
  const Case cases[] = {
      {"0", true, Rgb{100, 147, 147}}, {"0", false, red},  {"1", true, cyan},
      {"1", false, cyan},              {"2", true, cyan},  {"2", false, cyan},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    Image image = filledImage(6, 6, cyan);
    for (int i = 1; i <= 3; ++i) image.at(c.downToTheRight ? i : 4 - i, i) = red;
    writeFile(folder / "line.bmp", encodeBmp(image));
    ASSERT_EQ(runProgram(zorpixProgram(), folder.path(), {"0", "255", "255", c.mode}).status, 0);
    const Image out = decodeBmp(readFile(folder / "scaled" / "line.bmp"));
    // The pixel between the line's first two, at the centre of their blocks.
    const Rgb gap = c.downToTheRight ? out.at(3, 3) : out.at(5, 3);
    EXPECT_EQ(gap, c.gap) << "mode " << c.mode << (c.downToTheRight ? ", right" : ", left");
  }
}

TEST(Zorpix, PaintsTheOtherCornersBetweenSpritesInOppositeCorners) {
  const Rgb cyan{0, 255, 255}, red{200, 40, 40}, blue{40, 40, 200};
  Image image = filledImage(8, 6, cyan);
  image.at(0, 0) = image.at(1, 0) = image.at(0, 1) = red;
  image.at(7, 5) = image.at(6, 5) = image.at(7, 4) = blue;
  TempFolder folder;
  writeFile(folder / "corners.bmp", encodeBmp(image));
  ASSERT_EQ(runProgram(zorpixProgram(), folder.path()).status, 0);
  const Image out = decodeBmp(readFile(folder / "scaled" / "corners.bmp"));
  EXPECT_EQ(out.at(15, 0), (Rgb{120, 40, 120})) << "top right";
  EXPECT_EQ(out.at(0, 11), (Rgb{120, 40, 120})) << "bottom left";
}

TEST(Zorpix, RefusesImagesWhoseDoubledSidesTheGridCantCount) {
  TempFolder folder;
  auto header = encodeBmp(Image{0, 1, {}});
  header[18] = 0x00;  // width 16384, nothing behind it
  header[19] = 0x40;
  writeFile(folder / "wide.bmp", header);
  const RunResult run = runProgram(zorpixProgram(), folder.path());
  EXPECT_EQ(run.output, banner("zorpix") + usage("zorpix") +
                            "Image size out of range (zorpix takes at most 16383 x 16383 pixels) "
                            "with name wide.bmp\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fs::exists(folder / "scaled"));
}

}  // namespace
}  // namespace zorpix::testing
