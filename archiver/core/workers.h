// A small pool of worker threads for one command: tasks are taken in the
// order they were queued, each worker keeps state of its own (an encoder)
// across tasks, and the pool is stopped and joined when it goes, skipping
// tasks nobody started. The caller waits for a task through the pool.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace arc {

// Number of threads a -mmt value asks for: 0 means one per processor.
inline int ThreadCount(int requested) {
  if (requested > 0) return requested;
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

// At most this many of a pool's threads run tasks at the same moment; 0 (the
// default) lets all of them run. The work does not change with it: the
// command still plans for its thread count and gives the same archive. The
// native tool's benchmark sets it to 1, so that the CPU time of a run with
// many threads is the work those threads do, not what their sharing of the
// cores costs.
inline std::atomic<int>& RunningLimit() {
  static std::atomic<int> limit{0};
  return limit;
}

// One unit of work for a WorkerPool.
class Task {
 public:
  virtual ~Task() = default;
  // Runs on a worker; `slot` is the worker's index (for per-thread state).
  virtual void Run(int slot) = 0;

 private:
  friend class WorkerPool;
  // Set under the pool's lock once Run has returned. A task holds no lock or
  // condition of its own: the submitter destroys it as soon as its wait
  // returns, which may be before the worker that ran it has let go of
  // anything the task owned.
  bool done_ = false;
};

class WorkerPool {
 public:
  // `threads` >= 1 workers.
  explicit WorkerPool(int threads) : limit_(RunningLimit().load()) {
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { Loop(i); });
  }
  // Tasks still queued are dropped unrun; tasks running are finished first.
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      queue_.clear();
    }
    work_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The task must stay alive until Wait(task) has returned or the pool has
  // gone.
  void Submit(Task* task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task->done_ = false;
      queue_.push_back(task);
    }
    work_.notify_one();
  }

  // Returns once `task`, submitted to this pool, has run. The task may be
  // destroyed at once: no worker touches it after marking it done.
  void Wait(Task* task) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [task] { return task->done_; });
  }

 private:
  void Loop(int slot) {
    for (;;) {
      Task* task = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [this] { return stop_ || (!queue_.empty() && (limit_ <= 0 || running_ < limit_)); });
        if (stop_) return;
        task = queue_.front();
        queue_.pop_front();
        ++running_;
      }
      task->Run(slot);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        task->done_ = true;
        --running_;
      }
      // The pool's own conditions, which outlive every waiter.
      finished_.notify_all();
      if (limit_ > 0) work_.notify_one();  // a thread held back by the limit may run
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;  // a task was queued, or stop_ set
  std::condition_variable finished_;  // a task's done_ was set
  std::deque<Task*> queue_;
  const int limit_;  // RunningLimit() when the pool was made
  int running_ = 0;  // tasks running now
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace arc
