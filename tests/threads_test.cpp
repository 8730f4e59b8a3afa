// The work shared out among workers must give the same bytes as one worker
// does, on images large enough that every pass splits, and a folder of mixed
// sizes must never run more threads than there are workers.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "frame/batch.h"
#include "restorer/restore_grid.h"
#include "scaler/scale_grid.h"
#include "support/pipeline_run.h"
#include "support/test_files.h"

namespace zorpix {
namespace {

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

std::vector<std::uint8_t> resultOf(const Profile& profile, const std::vector<std::uint8_t>& file,
                                   const Settings& settings, int workerCount) {
  Workers workers(workerCount);
  auto result = testing::runPipeline(profile, file, settings, workers);
  return std::get<std::vector<std::uint8_t>>(std::move(result));
}

TEST(Threads, ScalerGivesTheSameBytesOnAnyNumberOfWorkers) {
  const auto file = testing::encodeBmp(spriteImage(150, 260, 3));
  for (int mode : {0, 1, 2}) {
    for (const AlphaColor key : {AlphaColor{}, AlphaColor{300, 0, 0}}) {
      const Settings settings{key, mode};
      const auto one = resultOf(kScalerProfile, file, settings, 1);
      for (int workers : {2, 3, 5})
        EXPECT_EQ(resultOf(kScalerProfile, file, settings, workers), one)
            << "mode " << mode << ", key red " << key.red << ", " << workers << " workers";
    }
  }
}

TEST(Threads, RestorerGivesTheSameBytesOnAnyNumberOfWorkers) {
  const auto file = testing::encodeBmp(spriteImage(170, 400, 4));
  const auto one = resultOf(kRestorerProfile, file, Settings{}, 1);
  for (int workers : {2, 3, 6})
    EXPECT_EQ(resultOf(kRestorerProfile, file, Settings{}, workers), one) << workers;
}

// The restorer takes a tall image in bands, each with the rows around it
// that its rounds reach; the result must be the whole image's, also for the
// rows next to a band's edge and to the image's top and bottom, which see
// each other across the wrap.
TEST(Threads, RestorerInBandsGivesTheBytesOfTheWholeImage) {
  Profile whole = kRestorerProfile;
  whole.rowReach = 0;
  const int width = 1500;  // bands of 699 rows, and 8 more either side
  for (int height : {700, 715, 716, 717, 1398, 1416, 2100}) {
    // Few grey levels and the key colour, at random: brightness edges
    // everywhere, so that every round changes rows and a band that reached
    // one row too few would show.
    testing::Image image = testing::patternImage(width, height, unsigned(height));
    for (testing::Rgb& p : image.pixels) {
      const int level = (p.red + 3 * p.green + 7 * p.blue) % 5;
      p = level == 4 ? testing::Rgb{0, 255, 255} : testing::Rgb{5 * level, 5 * level, 5 * level};
    }
    const auto file = testing::encodeBmp(image);
    for (int workers : {1, 3})
      EXPECT_EQ(resultOf(kRestorerProfile, file, Settings{}, workers),
                resultOf(whole, file, Settings{}, workers))
          << height << " rows, " << workers << " workers";
  }
}

// The scaler's stages work in place row after row, so it takes its bands
// with the rows around them kept in the image's order, and the top band and
// the bottom one go round the wrap; the bands between run their stages as a
// wavefront. Bands as small as they come (64 rows) in narrow images of every
// height up to 7 of them, with few
// colours, the key colour and near-ties everywhere, put band edges and the
// wrap at every distance from the sprites' edges; the result must be the
// whole image's in every mode, for keys inside and outside the byte range.
TEST(Threads, ScalerInBandsGivesTheBytesOfTheWholeImage) {
  Profile whole = kScalerProfile;
  whole.rowReach = 0;
  Profile banded = kScalerProfile;
  banded.bandPixels = 1;  // the fewest rows a band takes
  std::mt19937 random(11);
  for (int n = 0; n < 120; ++n) {
    const int width = 1 + int(random() % 24);
    const int height = 4 * banded.rowReach + int(random() % 420);
    const int colours = 2 + int(random() % 4);
    const int kind = int(random() % 3);
    testing::Image image = testing::filledImage(width, height, {0, 255, 255});
    for (testing::Rgb& p : image.pixels) {
      const int v = int(random() % unsigned(colours + 2));
      const auto level = std::uint8_t(40 * v);
      if (v >= colours) continue;  // the key colour
      if (kind == 0) p = {level, level, level};
      if (kind == 1) p = {std::uint8_t(random()), std::uint8_t(random() % 3), std::uint8_t(v)};
      if (kind == 2) p = {0, std::uint8_t(v == 1 ? 250 : 40), 255};
    }
    const auto file = testing::encodeBmp(image);
    for (int mode : {-1, 0, 1, 2})
      for (const AlphaColor key : {AlphaColor{}, AlphaColor{0, 250, 255}, AlphaColor{300, 0, 0}})
        for (int workers : {1, 3}) {
          const Settings settings{key, mode};
          ASSERT_EQ(resultOf(banded, file, settings, workers), resultOf(whole, file, settings, 1))
              << width << " x " << height << ", mode " << mode << ", key green " << key.green << ", key red "
              << key.red << ", " << workers << " workers";
        }
  }
}

// A result that can't be taken any further while the next band is being
// worked out: the pipeline stops with that answer once the band is done.
TEST(Threads, ABandedResultRefusedHalfWayEndsInOrder) {
  const auto file = testing::encodeBmp(spriteImage(1500, 2100, 5));
  for (int workers : {1, 2, 3}) {
    Workers pool(workers);
    std::size_t taken = 0;
    const auto problem = transformFile(kRestorerProfile, ByteView(file.data(), file.size()),
                                       Settings{}, pool, [&taken](const std::uint8_t*, std::size_t n) {
                                         taken += n;
                                         return taken < 3'000'000;
                                       });
    EXPECT_EQ(problem, FileProblem::notStored) << workers << " workers";
  }
}

int threadsOfThisProcess() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// Runs the batch in folder, the working folder for the while, with the
// thread count sampled all along. Returns the most threads seen, less the
// test's own main and sampling threads.
int mostThreadsDuringBatch(const std::filesystem::path& folder, Workers& workers) {
  const auto home = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::thread sampler([&] {
    while (!done) {
      most = std::max(most.load(), threadsOfThisProcess());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  processFolder(kScalerProfile, Settings{}, workers);
  done = true;
  sampler.join();
  std::filesystem::current_path(home);
  return most - 2;
}

TEST(Threads, AFolderOfSmallAndLargeImagesNeverRunsMoreThreadsThanWorkers) {
  if (threadsOfThisProcess() < 0) GTEST_SKIP() << "no /proc/self/status to count threads with";
  testing::TempFolder folder;
  for (int i = 0; i < 12; ++i)
    testing::writeFile(folder / ("small" + std::to_string(i) + ".bmp"),
                       testing::encodeBmp(spriteImage(40 + i, 30, unsigned(i))));
  // Large enough to be done alone, with its rows shared out.
  for (int i = 0; i < 2; ++i)
    testing::writeFile(folder / ("large" + std::to_string(i) + ".bmp"),
                       testing::encodeBmp(spriteImage(1100, 1000, unsigned(50 + i))));
  for (int count : {1, 2, 3}) {
    Workers workers(count);
    EXPECT_LE(mostThreadsDuringBatch(folder.path(), workers), count) << count << " workers";
    EXPECT_EQ(testing::readFile(folder / "scaled" / "small3.bmp"),
              resultOf(kScalerProfile, testing::readFile(folder / "small3.bmp"), Settings{}, 1));
    EXPECT_EQ(testing::readFile(folder / "scaled" / "large1.bmp"),
              resultOf(kScalerProfile, testing::readFile(folder / "large1.bmp"), Settings{}, 1));
  }
}

}  // namespace
}  // namespace zorpix
