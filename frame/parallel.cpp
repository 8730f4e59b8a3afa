#include "frame/parallel.h"

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace zorpix {
namespace {

int chosenWorkers = 0;

// Below this many rows a thread costs more than it saves.
constexpr int kMinRowsPerWorker = 64;

}  // namespace

int workerCount() {
  if (chosenWorkers > 0) return chosenWorkers;
  return int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

void setWorkerCount(int workers) { chosenWorkers = std::max(workers, 0); }

void parallelRows(int count, const std::function<void(int first, int last)>& work) {
  const int workers = std::clamp(count / kMinRowsPerWorker, 1, workerCount());
  std::vector<std::thread> threads;
  int first = 0;
  for (int i = 0; i < workers; ++i) {
    const int last = int(std::int64_t(count) * (i + 1) / workers);
    if (i + 1 < workers) {
      try {
        threads.emplace_back(work, first, last);
        first = last;
        continue;
      } catch (const std::system_error&) {
        // No thread to be had: this one does the rest.
      }
    }
    work(first, count);
    break;
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace zorpix
