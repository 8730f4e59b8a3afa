// libFuzzer entry: dezorpix's whole per-file path, from file bytes to result bytes.
#include <cstdio>
#include <cstdlib>

#include "fuzz/per_file_path.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem =
      zorpix::fuzzing::checkInput(zorpix::fuzzing::Program::dezorpix, data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "dezorpix: %s\n", problem.c_str());
    std::abort();  // a finding like any crash, so libFuzzer keeps the input
  }
  return 0;
}
