// The Linux change sources.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "watcher/uDirChanges.h"
#include "watcher/uDirChangesPoll.h"

// The inotify source: every folder of the tree watched, the kernel's queue drained by a thread of
// its own.
std::shared_ptr<TDirChanges> MakeInotifyDirChanges();

// Seams for tests of what cannot be brought about on demand.
struct TInotifyHooks {
  // Adding a watch fails with ENOSPC, as at the per-user limit, once this many are held.
  size_t WatchLimit = std::numeric_limits<size_t>::max();
  // Runs on the reader thread before every read of the kernel's queue; a test blocks in it to let
  // the kernel's queue fill up.
  std::function<void()> BeforeRead;
  // Runs on the reader thread before each event of a read is handled, with the event's mask and
  // name; a test changes the tree in it at an exact point of the reading.
  std::function<void(uint32_t mask, std::string_view name)> BeforeEvent;
  // Runs on the reader thread before a folder beyond the watch limit is first read for its poll,
  // with the folder's relative path.
  std::function<void(const std::string& relative)> BeforePoll;
  // Runs on the reader thread when a folder's watch was added, before the folder is read, with
  // the folder's relative path.
  std::function<void(const std::string& relative)> AfterWatch;
  // Runs on the reader thread when a new folder was read, before the barrier that follows the
  // reading is raised, with the folder's relative path.
  std::function<void(const std::string& relative)> AfterScan;
  // Added to the time taken after each read, as if the clock had been set back by as much; a test
  // makes the reader's clock and the file times disagree with it.
  std::chrono::nanoseconds ReadClockShift{0};
  // How the subtrees that are polled instead (shares mounted inside the tree, folders beyond the
  // watch limit) are polled.
  TPollOptions Poll;
  // How many records may wait for the reader before the rest are dropped for an overflow.
  size_t MaxQueued = TQueuedDirChanges::kDefaultMaxPending;
};
std::shared_ptr<TDirChanges> MakeInotifyDirChanges(TInotifyHooks hooks);

// The text shown once per watcher when the per-user watch limit was reached: the limit's name and
// value, how many folders are polled instead, and how to raise it (see uInotifyNotices.h).
std::string WatchLimitNotice(size_t unwatchedFolders);
