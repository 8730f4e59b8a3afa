#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zorpix {

// One pool of threads for a whole run, shared by the folder batch (small
// images side by side) and the passes that split an image's rows, so that no
// mix of file sizes runs more threads than count(). A thread that waits for
// work it handed out runs queued work meanwhile, so work may hand out work of
// its own without tying up a thread; one that waits for a pass of forRows runs
// only that pass's slices. An exception thrown by a piece of work
// (std::bad_alloc above all) reaches the thread that waits for it.
class Workers {
 public:
  // count threads in all, the caller's included; 0 means one per core.
  explicit Workers(int count = 0);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  int count() const { return int(threads_.size()) + 1; }

  // Runs work(first, last) over the rows [0, rows) in contiguous slices and
  // returns when all are done. Only for passes whose result doesn't depend on
  // the order rows are visited in: each slice must write only its own rows
  // and read only what no other slice writes.
  void forRows(int rows, const std::function<void(int first, int last)>& work);

  struct Group;
  // Work started on the pool; wait() for it before using what it made.
  class Task {
   public:
    Task() = default;

   private:
    friend class Workers;
    explicit Task(std::shared_ptr<Group> group) : group_(std::move(group)) {}
    std::shared_ptr<Group> group_;
  };
  Task start(std::function<void()> work);
  // Returns once the task has run; rethrows what it threw.
  void wait(const Task& task);

  static int coreCount();

 private:
  struct Job {
    std::function<void()> work;
    std::shared_ptr<Group> group;
  };
  void serve();
  void runJob(Job& job, std::unique_lock<std::mutex>& lock);
  void waitFor(Group& group, bool ownWorkOnly);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zorpix
