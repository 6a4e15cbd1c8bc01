// Helpers shared by the change-source tests: a temporary tree, file writes, and a reader that
// collects a source's records as "<action> <name>" lines.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "uTempFolder.h"
#include "watcher/uDirChanges.h"
#include "watcher/uMonThread2.h"

namespace dctest {

using TTempTree = test_support::TTempFolder;

inline bool WriteFile(const std::string& path, std::string_view content, bool append = false) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  return close(fd) == 0 && ok;
}

inline bool MakeDirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec;
}

inline std::string Line(uint32_t action, std::string_view name) {
  return std::to_string(action) + " " + std::string(name);
}

// Position of a line in the list, or -1.
inline long IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<long>(i);
  }
  return -1;
}

// Reads a source on a thread of its own until it stops or fails.
class TRecordCollector {
 public:
  TRecordCollector(std::shared_ptr<TDirChanges> source, uint32_t filter)
      : source_(std::move(source)), thread_([this, filter] { ReadAll(filter); }) {}
  ~TRecordCollector() {
    source_->Stop();
    thread_.join();
  }
  TRecordCollector(const TRecordCollector&) = delete;
  TRecordCollector& operator=(const TRecordCollector&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The error of a failed read, 0 while none failed.
  int Failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
  }
  // Waits (at most `limit`) until the condition holds for the lines collected so far.
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(15)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return condition(lines_); });
  }
  bool WaitForLine(const std::string& line) const {
    return WaitFor([&](const auto& lines) { return IndexOf(lines, line) >= 0; });
  }
  bool WaitForFailure(std::chrono::milliseconds limit = std::chrono::seconds(15)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return failure_ != 0; });
  }

 private:
  void ReadAll(uint32_t filter) {
    std::vector<uint8_t> buffer(kChangeBufferSize);
    for (;;) {
      std::fill(buffer.begin(), buffer.end(), uint8_t{0});
      const auto result = source_->Read(buffer.data(), buffer.size(), filter);
      using S = TDirChanges::TReadStatus;
      std::lock_guard lock(mutex_);
      if (result.Status == S::Stopped) return;
      if (result.Status == S::Failed) {
        failure_ = result.Error;
        changed_.notify_all();
        return;
      }
      if (result.Status == S::TooSmall) {
        buffer.resize(result.Bytes);
        continue;
      }
      if (result.Status == S::Overflow) lines_.push_back("overflow");
      if (result.Status == S::Notice) lines_.push_back("notice " + source_->TakeNotice());
      if (result.Status == S::Records) {
        for (const auto& event : DecodeRecords(buffer.data(), buffer.size(), "")) {
          lines_.push_back(Line(event.Action, event.RelativeName));
        }
      }
      changed_.notify_all();
    }
  }

  std::shared_ptr<TDirChanges> source_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  int failure_ = 0;
  std::thread thread_;  // last: starts once everything above exists
};

// The watcher's user interface, writing down what it is told, one line each: "start", "stop",
// the change's log line and its full path, "error: …", "notice: …".
class TRecordingUi : public IWatcherUi {
 public:
  void AnnounceStart() override { Add("start"); }
  void AnnounceStop() override { Add("stop"); }
  void ReportChange(const TMonDirThread& watcher) override {
    Add(ChangeLogLine(watcher.OperationText, watcher.RelativeName) + " | " + watcher.FullPath);
  }
  void ShowWatchError(const std::string& text) override { Add("error: " + text); }
  void ShowWatchNotice(const std::string& text) override { Add("notice: " + text); }

  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(lines_); });
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  void Add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

}  // namespace dctest
