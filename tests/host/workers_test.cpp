// The worker pool's hand-over of finished tasks, built with ThreadSanitizer:
// the ZIP writer destroys each segment task as soon as its wait returns, so
// nothing of the worker that ran it may touch it afterwards; and a pool that
// goes while tasks are queued must not wait for them; a running limit holds
// threads back without losing a task.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/workers.h"

namespace {

class Sum : public arc::Task {
 public:
  explicit Sum(int n) : n(n) {}
  void Run(int) override {
    for (int i = 1; i <= n; ++i) result += i;
  }
  const int n;
  long long result = 0;
};

TEST(WorkerPool, TasksCanGoAsSoonAsTheirWaitReturns) {
  // As the ZIP writer uses it: a few tasks in flight, waited for in order,
  // each destroyed at once; the tasks are short, so the worker that ran one
  // is often still finishing its hand-over when the task goes.
  constexpr int kTasks = 4000;
  for (int threads : {1, 2, 4}) {
    arc::WorkerPool pool(threads);
    std::deque<std::unique_ptr<Sum>> queued;
    for (int i = 0; i < kTasks; ++i) {
      queued.push_back(std::make_unique<Sum>(i % 50));
      pool.Submit(queued.back().get());
      if (queued.size() < 3 && i + 1 < kTasks) continue;
      while (!queued.empty()) {
        std::unique_ptr<Sum> t = std::move(queued.front());
        queued.pop_front();
        pool.Wait(t.get());
        ASSERT_EQ(t->result, static_cast<long long>(t->n) * (t->n + 1) / 2);
      }
    }
  }
}

// Blocks its worker until released.
class Gate : public arc::Task {
 public:
  void Run(int) override {
    std::unique_lock<std::mutex> lock(mutex_);
    started_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  void AwaitStart() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false, open_ = false;
};

TEST(WorkerPool, GoesWithoutRunningQueuedTasks) {
  // A command that fails with segments still queued: the pool finishes the
  // task that runs, drops the rest unrun, and its threads end.
  Gate gate;
  std::vector<std::unique_ptr<Sum>> queued;
  auto pool = std::make_unique<arc::WorkerPool>(1);
  pool->Submit(&gate);
  gate.AwaitStart();
  for (int i = 0; i < 10; ++i) {
    queued.push_back(std::make_unique<Sum>(1000));
    pool->Submit(queued.back().get());
  }
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gate.Open();
  });
  pool.reset();
  opener.join();
  for (const auto& t : queued) EXPECT_EQ(t->result, 0);
}

// Counts how many of its kind run at once.
class Overlap : public arc::Task {
 public:
  Overlap(std::atomic<int>& now, std::atomic<int>& most) : now_(now), most_(most) {}
  void Run(int) override {
    const int n = ++now_;
    int seen = most_.load();
    while (n > seen && !most_.compare_exchange_weak(seen, n)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    --now_;
    ran = true;
  }
  bool ran = false;

 private:
  std::atomic<int>& now_;
  std::atomic<int>& most_;
};

TEST(WorkerPool, RunningLimitHoldsThreadsBackAndRunsEveryTask) {
  std::atomic<int> now{0}, most{0};
  std::vector<std::unique_ptr<Overlap>> tasks;
  arc::RunningLimit() = 2;
  {
    arc::WorkerPool pool(6);
    for (int i = 0; i < 60; ++i) {
      tasks.push_back(std::make_unique<Overlap>(now, most));
      pool.Submit(tasks.back().get());
    }
    for (const auto& t : tasks) pool.Wait(t.get());
  }
  arc::RunningLimit() = 0;
  EXPECT_TRUE(std::all_of(tasks.begin(), tasks.end(), [](const auto& t) { return t->ran; }));
  EXPECT_EQ(most.load(), 2);
}

}  // namespace
