// The fuzzers' per-file path, built with the ordinary compiler: the seeds and
// every input the fuzzers ever found fault with go through it again.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz/per_file_path.h"
#include "support/test_files.h"

namespace zorpix::fuzzing {
namespace {

namespace fs = std::filesystem;

std::string programName(Program program) {
  return program == Program::zorpix ? "zorpix" : "dezorpix";
}

class PerFilePath : public ::testing::TestWithParam<Program> {};

INSTANTIATE_TEST_SUITE_P(, PerFilePath, ::testing::Values(Program::zorpix, Program::dezorpix),
                         [](const auto& info) { return programName(info.param); });

TEST_P(PerFilePath, KeepsItsPromisesForEverySeed) {
  for (const NamedInput& input : seedInputs(GetParam()))
    EXPECT_EQ(checkInput(GetParam(), input.bytes.data(), input.bytes.size()), "") << input.name;
}

// Findings are kept as fuzz/regressions/<program>/<libFuzzer's artifact name>.
// A folder without findings passes: there is nothing the path has failed on.
TEST_P(PerFilePath, KeepsItsPromisesForEveryEarlierFinding) {
  const fs::path folder = fs::path(ZORPIX_FUZZ_REGRESSIONS) / programName(GetParam());
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.path().filename().string().starts_with('.')) continue;
    const auto bytes = testing::readFile(entry.path());
    EXPECT_EQ(checkInput(GetParam(), bytes.data(), bytes.size()), "") << entry.path();
  }
}

}  // namespace
}  // namespace zorpix::fuzzing
