// The engine as a library: the programs' per-file pipeline into memory.
#include "frame/pipeline.h"
#include "restorer/restore_grid.h"
#include "scaler/scale_grid.h"
#include "zorpix/zorpix.h"

namespace zorpix {
namespace {

std::optional<FileProblem> intoMemory(const Profile& profile, const std::uint8_t* file,
                                      std::size_t size, const Settings& settings,
                                      std::vector<std::uint8_t>& result) {
  // One worker, the caller's own thread: the call starts no thread and shares
  // nothing, so callers may run several at once.
  Workers workers(1);
  return transformFile(profile, ByteView(file, size), settings, workers, result);
}

}  // namespace

std::optional<FileProblem> doubleBmp(const std::uint8_t* file, std::size_t size,
                                     const Settings& settings, std::vector<std::uint8_t>& result) {
  return intoMemory(kScalerProfile, file, size, settings, result);
}

std::optional<FileProblem> restoreBmp(const std::uint8_t* file, std::size_t size,
                                      const Settings& settings, std::vector<std::uint8_t>& result) {
  return intoMemory(kRestorerProfile, file, size, settings, result);
}

}  // namespace zorpix
