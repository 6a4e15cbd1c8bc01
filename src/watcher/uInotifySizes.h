// File sizes learned on a thread of their own while the scan of a whole tree goes on watching and
// listing folders: on a large tree the stat calls are half the work.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TSizeWorker {
 public:
  // The sizes of one folder's files, in the order of their names; kUnknownSize where a file
  // could not be looked at.
  struct TResult {
    int Wd;
    std::string Names;
    std::vector<uint64_t> Sizes;
    std::vector<uint64_t> Inodes;
  };
  TSizeWorker(const std::string& rootPrefix, const std::atomic<bool>& stop)
      : rootPrefix_(rootPrefix), stop_(stop), thread_([this] { Run(); }) {}
  ~TSizeWorker() { Finish(); }

  // The regular files `names` (each followed by a NUL) of the folder watched as wd, whose
  // relative path is `folder`. Folders are handed over in batches, so that the two threads do
  // not meet at every folder.
  void Add(int wd, const std::string& folder, std::string names, size_t count) {
    batch_.push_back({wd, folder, std::move(names)});
    batchFiles_ += count;
    if (batchFiles_ >= kBatchFiles) HandOver();
  }
  // What it learned since the last call; taken as the scan goes, so that little waits here.
  std::vector<TResult> TakeLearned() {
    std::vector<TResult> out;
    std::lock_guard lock(mutex_);
    out.swap(learned_);
    return out;
  }
  // Waits for the work to be done; what it learned since the last TakeLearned.
  std::vector<TResult> Finish() {
    HandOver();
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return TakeLearned();
  }

 private:
  struct TJob {
    int Wd;
    std::string Folder;
    std::string Names;
  };
  static constexpr size_t kBatchFiles = 512;

  void HandOver() {
    if (batch_.empty()) return;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(batch_));
    }
    wake_.notify_one();
    batch_.clear();
    batchFiles_ = 0;
  }

  void Run();

  const std::string& rootPrefix_;
  const std::atomic<bool>& stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<TJob>> jobs_;
  bool closed_ = false;
  std::vector<TJob> batch_;  // the scanning thread's, until handed over
  size_t batchFiles_ = 0;
  std::vector<TResult> learned_;
  std::thread thread_;
};
