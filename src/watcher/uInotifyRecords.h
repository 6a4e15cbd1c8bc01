// What the inotify source has to tell, gathered while a read is handled and handed to the queue
// when the read is done, in order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/uPlatformText.h"
#include "watcher/uDirChanges.h"

class TRecordsOut {
 public:
  void Emit(uint32_t action, const std::string& path, bool isDir) {
    records_.push_back({action, NarrowToUtf16(path), isDir});
    ++count_;
  }
  // How many records were told in all: a part that must know whether anything was told since a
  // moment compares counts.
  uint64_t Count() const { return count_; }
  // What waits to be handed over; the caller empties it.
  std::vector<TChangeRecord>& Waiting() { return records_; }

 private:
  std::vector<TChangeRecord> records_;
  uint64_t count_ = 0;
};
