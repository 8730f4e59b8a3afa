#include "frame/workers.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#if defined(__linux__)
#include <sched.h>
#endif

namespace zorpix {
namespace {

// Below this many rows a slice costs more to hand out than it saves.
constexpr int kMinRowsPerSlice = 64;

}  // namespace

struct Workers::Group {
  int pending = 0;
  std::exception_ptr error;
};

int Workers::coreCount() {
  unsigned cores = std::thread::hardware_concurrency();
#if defined(__linux__)
  // The cores this process may run on (taskset, a container's share), which
  // may be fewer than the machine has.
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
    cores = unsigned(std::max(CPU_COUNT(&allowed), 1));
#endif
  return int(std::clamp(cores, 1u, 8u));
}

Workers::Workers(int count) {
  const int wanted = count > 0 ? count : coreCount();
  for (int i = 1; i < wanted; ++i) {
    try {
      threads_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: fewer do the same work
    }
  }
}

Workers::~Workers() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void Workers::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    runJob(job, lock);
  }
}

void Workers::runJob(Job& job, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::exception_ptr error;
  try {
    job.work();
  } catch (...) {
    error = std::current_exception();
  }
  job.work = nullptr;  // its captures go before the waiter hears it is done
  lock.lock();
  if (error && !job.group->error) job.group->error = error;
  if (--job.group->pending == 0) changed_.notify_all();
}

void Workers::waitFor(Group& group, bool ownWorkOnly) {
  std::unique_lock lock(mutex_);
  while (group.pending > 0) {
    auto next = queue_.begin();
    if (ownWorkOnly)
      next = std::find_if(queue_.begin(), queue_.end(),
                          [&](const Job& job) { return job.group.get() == &group; });
    if (next == queue_.end()) {
      changed_.wait(lock);
      continue;
    }
    Job job = std::move(*next);
    queue_.erase(next);
    runJob(job, lock);
  }
}

Workers::Task Workers::start(std::function<void()> work) {
  auto group = std::make_shared<Group>();
  group->pending = 1;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(Job{std::move(work), group});
  }
  changed_.notify_one();
  return Task(std::move(group));
}

void Workers::wait(const Task& task) {
  if (!task.group_) return;
  waitFor(*task.group_, false);
  if (task.group_->error) std::rethrow_exception(task.group_->error);
}

void Workers::forRows(int rows, const std::function<void(int first, int last)>& work) {
  const int slices = std::clamp(rows / kMinRowsPerSlice, 1, count());
  auto sliceEnd = [&](int i) { return int(std::int64_t(rows) * (i + 1) / slices); };
  if (slices == 1) {
    work(0, rows);
    return;
  }
  auto group = std::make_shared<Group>();
  // Slices 1 and up go to the pool; the caller does slice 0, then helps.
  int queued = 1;
  try {
    std::lock_guard lock(mutex_);
    for (; queued < slices; ++queued) {
      const int first = sliceEnd(queued - 1), last = sliceEnd(queued);
      queue_.push_back(Job{[&work, first, last] { work(first, last); }, group});
      ++group->pending;
    }
  } catch (const std::bad_alloc&) {
    // No room to hand the rest out: the caller does it below.
  }
  changed_.notify_all();
  std::exception_ptr error;
  try {
    work(0, sliceEnd(0));
    if (queued < slices) work(sliceEnd(queued - 1), rows);
  } catch (...) {
    error = std::current_exception();
  }
  // The slices refer to work, so every one must be over before this returns,
  // failed or not.
  // Only the pass's own slices: a thread that took up a whole image or band
  // here would hold up the pass, and with it whatever waits for the pass.
  waitFor(*group, true);
  if (error) std::rethrow_exception(error);
  if (group->error) std::rethrow_exception(group->error);
}

}  // namespace zorpix
