#pragma once

// One file through a program's pipeline into memory, for tests that look at
// result bytes without a folder.

#include <cstdint>
#include <variant>
#include <vector>

#include "frame/pipeline.h"

namespace zorpix::testing {

inline std::variant<FileProblem, std::vector<std::uint8_t>> runPipeline(
    const Profile& profile, const std::vector<std::uint8_t>& file, const Settings& settings,
    Workers& workers) {
  std::vector<std::uint8_t> out;
  const auto problem =
      transformFile(profile, ByteView(file.data(), file.size()), settings, workers, out);
  if (problem) return *problem;
  return out;
}

}  // namespace zorpix::testing
