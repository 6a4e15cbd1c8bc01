// Vark's side of the watcher benchmark: the program's own watcher pipeline (the inotify source,
// the watcher thread, a loop thread standing in for the user-interface thread, a log sink), and
// the source alone, each able to start, wait for what a burst should bring, and stop.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "uLoopThread.h"
#include "watch_bench_util.h"
#include "watcher/uChangeRecords.h"
#include "watcher/uDirChanges.h"
#include "watcher/uDirChangesLinux.h"
#include "watcher/uMonThread2.h"

// How long opening a change source on the big tree may take.
inline constexpr int kReadyTimeoutMs = 120'000;

// The log: every reported change becomes its log line, stamped with the moment it arrived.
class TSinkUi : public IWatcherUi {
 public:
  struct TLine {
    int64_t AtNs;
    std::string Text;
  };
  void AnnounceStart() override {}
  void AnnounceStop() override {}
  void ReportChange(const TMonDirThread& watcher) override {
    std::string line = ChangeLogLine(watcher.OperationText, watcher.RelativeName);
    const int64_t at = NowNs();
    std::lock_guard lock(mutex_);
    lines_.push_back({at, std::move(line)});
    // Wake the waiting bench only when it has what it waits for, so the sink costs the pipeline
    // no more than appending a line.
    if (lines_.size() >= wanted_) changed_.notify_all();
  }
  void ShowWatchError(const std::string& text) override { Note("error: " + text); }
  void ShowWatchNotice(const std::string& text) override { Note("notice: " + text); }

  void Reserve(size_t count) {
    std::lock_guard lock(mutex_);
    lines_.reserve(count);
  }
  // Waits until `count` lines have arrived, or none arrived for quietMs; the count then.
  size_t WaitLines(size_t count, int quietMs) {
    std::unique_lock lock(mutex_);
    wanted_ = count;
    size_t last = lines_.size();
    int64_t lastChange = NowNs();
    while (lines_.size() < count) {
      changed_.wait_for(lock, std::chrono::milliseconds(50));
      if (lines_.size() != last) {
        last = lines_.size();
        lastChange = NowNs();
      } else if (NowNs() - lastChange > int64_t{quietMs} * 1'000'000) {
        break;
      }
    }
    wanted_ = SIZE_MAX;
    return lines_.size();
  }
  std::vector<TLine> TakeLines() {
    std::lock_guard lock(mutex_);
    return std::move(lines_);
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(mutex_);
    return notes_;
  }

 private:
  void Note(std::string text) {
    std::lock_guard lock(mutex_);
    notes_.push_back(std::move(text));
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TLine> lines_;
  std::vector<std::string> notes_;
  size_t wanted_ = SIZE_MAX;
};

// The platform's source, telling the bench when its Open has returned.
class TOpenSignal : public TDirChanges {
 public:
  explicit TOpenSignal(std::shared_ptr<TDirChanges> inner) : inner_(std::move(inner)) {}
  int Open(const std::string& folder) override {
    const int error = inner_->Open(folder);
    std::lock_guard lock(mutex_);
    error_ = error;
    opened_ = true;
    changed_.notify_all();
    return error;
  }
  TReadResult Read(uint8_t* buffer, size_t size, uint32_t notifyFilter) override {
    return inner_->Read(buffer, size, notifyFilter);
  }
  void Stop() override { inner_->Stop(); }
  std::string TakeNotice() override { return inner_->TakeNotice(); }
  void GoingAway() override { inner_->GoingAway(); }

  // Open's answer, or nullopt when it has not returned within the time.
  std::optional<int> WaitOpened(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return opened_; })) return std::nullopt;
    return error_;
  }

 private:
  std::shared_ptr<TDirChanges> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool opened_ = false;
  int error_ = 0;
};

// Holds the inotify source's reader before each read while closed: the kernel then queues the
// changes, and the reader meets them as one backlog.
class TGate {
 public:
  void Pass() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void Close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
};

// One watcher over the whole pipeline, from the inotify source to the sink.
class TVarkWatch {
 public:
  // viaLoop false: the watcher runs its user-interface steps on its own thread (for the cost
  // breakdown only; the program always hands them over). closed: the source's reader waits for
  // OpenGate() before it reads anything.
  explicit TVarkWatch(bool viaLoop = true, bool closed = false) : viaLoop_(viaLoop) {
    if (closed) gate_.Close();
  }
  ~TVarkWatch() {
    gate_.Open();
    Stop();
  }
  void OpenGate() { gate_.Open(); }
  // Starts watching `folder` and waits until the source is open; false with `error` otherwise.
  bool Start(const std::string& folder, std::string& error) {
    TWatcherEnv env;
    env.MainThread = viaLoop_ ? &loop_ : nullptr;
    env.Ui = &sink_;
    env.BeforeRun = [this] {
      watcherThread_ = pthread_self();
      watcherKnown_.store(true, std::memory_order_release);
    };
    env.MakeSource = [this] {
      TInotifyHooks hooks;
      hooks.BeforeRead = [this] {
        if (!readerKnown_.load(std::memory_order_acquire)) {
          readerThread_ = pthread_self();
          readerKnown_.store(true, std::memory_order_release);
        }
        gate_.Pass();
      };
      auto source = std::make_shared<TOpenSignal>(MakeInotifyDirChanges(std::move(hooks)));
      std::lock_guard lock(mutex_);
      source_ = source;
      made_.notify_all();
      return source;
    };
    SetWatcherEnv(env);
    watcher_ = TMonDirThread::Create(folder + "/");
    std::shared_ptr<TOpenSignal> source;
    {
      std::unique_lock lock(mutex_);
      if (!made_.wait_for(lock, std::chrono::seconds(10), [&] { return source_ != nullptr; })) {
        error = "the watcher made no change source";
        return false;
      }
      source = source_;
    }
    const auto opened = source->WaitOpened(std::chrono::milliseconds(kReadyTimeoutMs));
    if (!opened) {
      error = "the change source did not open in time";
      return false;
    }
    if (*opened != 0) {
      error = std::strerror(*opened);
      return false;
    }
    // The reader thread starts at the end of Open; its CPU is counted from its first read on.
    for (int i = 0; i < 5000 && !readerKnown_.load(std::memory_order_acquire); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void Stop() {
    if (!watcher_) return;
    gate_.Open();
    StopMonitor(watcher_);
    watcher_.reset();
    WaitForWatchers(std::chrono::seconds(30));
    SetWatcherEnv({});
    std::lock_guard lock(mutex_);
    source_.reset();
  }
  TSinkUi& Sink() { return sink_; }
  size_t Wait(size_t count, int quietMs) { return sink_.WaitLines(count, quietMs); }
  // The records of the log lines, read back; the moment of the last one.
  std::vector<TRec> Delivered() {
    std::vector<TRec> records;
    lines_ = sink_.TakeLines();
    records.reserve(lines_.size());
    for (const auto& line : lines_) records.push_back(ParseVarkLine(line.Text));
    return records;
  }
  int64_t LastAtNs() const { return lines_.empty() ? 0 : lines_.back().AtNs; }
  std::vector<std::string> Notes() { return sink_.Notes(); }
  // CPU time so far of the source's reader thread, the watcher thread and the loop thread (0 for
  // one not known yet).
  std::array<int64_t, 3> ThreadCpuNs() {
    std::array<int64_t, 3> cpu = {};
    if (readerKnown_.load(std::memory_order_acquire)) cpu[0] = ThreadCpu(readerThread_);
    if (watcherKnown_.load(std::memory_order_acquire)) cpu[1] = ThreadCpu(watcherThread_);
    cpu[2] = ThreadCpu(loop_.Handle());
    return cpu;
  }

 private:
  static int64_t ThreadCpu(pthread_t thread) {
    clockid_t clock;
    timespec ts;
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
  }

  std::vector<TSinkUi::TLine> lines_;
  std::atomic<bool> readerKnown_{false}, watcherKnown_{false};
  pthread_t readerThread_{}, watcherThread_{};
  const bool viaLoop_;
  TGate gate_;
  TLoopThread loop_;
  TSinkUi sink_;
  std::mutex mutex_;
  std::condition_variable made_;
  std::shared_ptr<TOpenSignal> source_;
  std::shared_ptr<TMonDirThread> watcher_;
};

// The inotify source alone, drained by a thread of the bench that only counts the records: the
// first stage of the cost breakdown.
class TSourceDrain {
 public:
  ~TSourceDrain() { Stop(); }
  bool Start(const std::string& root, std::string& error) {
    source_ = MakeInotifyDirChanges();
    if (const int openError = source_->Open(root + "/"); openError != 0) {
      error = std::strerror(openError);
      return false;
    }
    drain_ = std::thread([this] { Drain(); });
    return true;
  }
  void OpenGate() {}
  size_t Wait(size_t count, int quietMs) {
    std::unique_lock lock(mutex_);
    wanted_ = count;
    size_t last = records_;
    int64_t lastChange = NowNs();
    while (records_ < count) {
      changed_.wait_for(lock, std::chrono::milliseconds(50));
      if (records_ != last) {
        last = records_;
        lastChange = NowNs();
      } else if (NowNs() - lastChange > int64_t{quietMs} * 1'000'000) {
        break;
      }
    }
    return records_;
  }
  void Stop() {
    if (!source_) return;
    source_->Stop();
    if (drain_.joinable()) drain_.join();
  }
  // Only counted: decoding the names is the watcher's work.
  TCompare Counts(size_t expected) {
    std::lock_guard lock(mutex_);
    TCompare counts;
    counts.Expected = expected;
    counts.Delivered = counts.Matched = std::min(records_, expected);
    counts.Missed = expected - counts.Matched;
    counts.Extra = records_ - counts.Matched;
    return counts;
  }
  int64_t LastAtNs() {
    std::lock_guard lock(mutex_);
    return lastAt_;
  }
  std::vector<std::string> Notes() { return {}; }

 private:
  void Drain() {
    std::vector<uint8_t> buffer(kChangeBufferSize);
    for (;;) {
      std::fill(buffer.begin(), buffer.end(), uint8_t{0});
      const auto result = source_->Read(buffer.data(), buffer.size(),
                                        kNotifyFileName | kNotifyDirName | kNotifySize);
      if (result.Status == TDirChanges::TReadStatus::Notice) continue;
      if (result.Status == TDirChanges::TReadStatus::TooSmall) {
        buffer.resize(result.Bytes);
        continue;
      }
      if (result.Status != TDirChanges::TReadStatus::Records) break;
      size_t n = 0;
      TRecordWalk walk(buffer.data(), buffer.size());
      for (size_t offset; walk.Next(offset);) ++n;
      const int64_t at = NowNs();
      std::lock_guard lock(mutex_);
      records_ += n;
      lastAt_ = at;
      if (records_ >= wanted_) changed_.notify_all();
    }
  }
  std::shared_ptr<TDirChanges> source_;
  std::thread drain_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t records_ = 0;
  size_t wanted_ = SIZE_MAX;
  int64_t lastAt_ = 0;
};
