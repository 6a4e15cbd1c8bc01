// A change source that plays what a test tells it to; the stand-in for the real sources in the
// watcher thread's and the windows' tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "watcher/uDirChanges.h"

class TScriptedDirChanges : public TQueuedDirChanges {
 public:
  int Open(const std::string& folder) override;

  void SetOpenError(int error) { openError_ = error; }
  std::string OpenedFolder() const;
  bool Opened() const;
  bool Stopped() const { return StopRequested(); }

  void Play(uint32_t action, const std::u16string& name, bool isDir = false);
  void PlayNarrow(uint32_t action, const std::string& name, bool isDir = false);
  void PlayOverflow() { PushOverflow(); }
  void PlayFailure(int error) { PushFailure(error); }
  void PlayNotice(std::string text) { PushNotice(std::move(text)); }
  // How often the reader said it would be away.
  void GoingAway() override { ++awayCalls; }
  std::atomic<int> awayCalls{0};

 private:
  mutable std::mutex openMutex_;
  int openError_ = 0;
  std::string folder_;
  bool opened_ = false;
};
