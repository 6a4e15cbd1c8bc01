// Stands in for the user-interface thread in tests and benchmarks: a thread of its own that runs
// queued work in order, and serves the watcher's run-and-wait and run-soon calls.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "watcher/uMonThread2.h"

class TLoopThread : public IMainThreadCaller {
 public:
  TLoopThread() : thread_([this] { Loop(); }) {}
  pthread_t Handle() { return thread_.native_handle(); }
  ~TLoopThread() override {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void RunAndWait(const std::function<void()>& work) override {
    std::exception_ptr error;
    bool done = false;
    {
      std::lock_guard lock(mutex_);
      ++waiting_;
      queue_.push_back([&] {
        try {
          work();
        } catch (...) {
          error = std::current_exception();
        }
        std::lock_guard inner(mutex_);
        done = true;
        finished_.notify_all();
      });
    }
    wake_.notify_all();
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return done; });
    --waiting_;
    if (error) std::rethrow_exception(error);
  }
  // How many callers wait in RunAndWait.
  int Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }
  // The watcher's reports: queued behind everything asked for before, and not waited for.
  void RunSoon(std::function<void()> work) override { Post(std::move(work)); }
  // Runs work on the loop thread, as a click handler would.
  void Post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(work));
    }
    wake_.notify_all();
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return quit_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  std::deque<std::function<void()>> queue_;
  bool quit_ = false;
  int waiting_ = 0;
  std::thread thread_;
};
