// A small pool of worker threads for one command: tasks are taken in the
// order they were queued, each worker keeps state of its own (an encoder)
// across tasks, and the pool is stopped and joined when it goes, skipping
// tasks nobody started. The caller waits for a task through its own flag.
#pragma once

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

// One unit of work with a completion flag the submitter can wait on.
class Task {
 public:
  virtual ~Task() = default;
  // Runs on a worker; `slot` is the worker's index (for per-thread state).
  virtual void Run(int slot) = 0;

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_cv_.wait(lock, [this] { return done_; });
  }
  void MarkDone() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
};

class WorkerPool {
 public:
  // `threads` >= 1 workers.
  explicit WorkerPool(int threads) {
    for (int i = 0; i < threads; ++i) workers_.emplace_back([this, i] { Loop(i); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      for (Task* t : queue_) t->MarkDone();  // never started: release waiters
      queue_.clear();
    }
    cv_.notify_all();
    for (std::thread& t : workers_) t.join();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The task must outlive its run (the caller waits for it or destroys the
  // pool first).
  void Submit(Task* task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(task);
    }
    cv_.notify_one();
  }

 private:
  void Loop(int slot) {
    for (;;) {
      Task* task = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        task = queue_.front();
        queue_.pop_front();
      }
      task->Run(slot);
      task->MarkDone();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Task*> queue_;
  bool stop_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace arc
