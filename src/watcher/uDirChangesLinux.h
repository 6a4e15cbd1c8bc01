// The inotify change source: every folder of the tree watched, the kernel's queue drained by the
// caller of Read while it keeps up and by a thread of its own otherwise, the parts it cannot watch
// polled (uDirChangesPoll.h).
//
// Its promise, beyond the contract of uDirChanges.h (the stream test checks it: random operations
// made at full speed on a real folder, the records replayed over the tree as it was when Open
// returned):
// - Replayed in order, the records give the tree as it is once the source has been quiet a moment:
//   every item there is named by the record that brought it (its creation, its arrival, the rename
//   that gave it its name), and no record names an item that is not there or a change that did
//   not happen.
// - Every item that came into the tree while watched is named under one of its paths; a file that
//   was there from the start and whose size differs is told (3), or told arrived as it is now.
// - A rename within one folder is told as the old and the new name (4 + 5), a move between folders
//   as removed and created side by side (2 + 1); a folder moved is one record, and its contents
//   follow it. A write that keeps a file's size is not told.
// - A folder made while watched is told with what it holds, each folder before its contents; a
//   folder moved in from outside is told alone (its contents were not created) unless it was made
//   while watched, since it may come from a part of the tree not yet read.
// What it may leave out, because what inotify gives cannot tell it (each such sequence of kernel
// events is spelled out in tests/core/uStreamTestSupport.h):
// - an item made and gone again inside a new folder before that folder was read: no watch saw it;
// - a write just before a file was renamed or removed is told although its size may be unchanged:
//   the file cannot be looked at any more where the write was;
// - a nameless file given a name and then rewritten with as many bytes reads exactly as a file made
//   and filled: the write is told.
// Where it cannot keep the promise it says so: an overflow when changes were lost (the kernel's
// queue or ours was full; the tree is then read afresh), a notice when a limit left part of the
// tree polled (the watch limit, memory for watches) or waiting (descriptors).
//
// Invariants of the source (each part states its own at the top of its header):
// - Once Open has returned, the thread that holds the reading (the caller of Read or our own
//   thread, one at a time, handed over under a lock between steps) alone owns the tree and every
//   part; other threads reach the source only through the queue, Stop, and the polls' inbox.
// - The records made while one read is handled are handed to the queue together, in order, when
//   it is done; a polled subtree's records are named by where the subtree is when they come.
// - Every folder of the tree is watched, polled, waiting (for a rename's events or for
//   descriptors), or named in its parent's table as one not looked into (unreadable, or left
//   unread until a barrier); none is dropped without one of these.
// - What the source tells of an item it learned from the item itself (stat, statx) only where the
//   rest of the read cannot have changed it since; otherwise it waits for the events to come.
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

std::shared_ptr<TDirChanges> MakeInotifyDirChanges();

// Seams for tests of what cannot be brought about on demand.
struct TInotifyHooks {
  // Adding a watch fails with ENOSPC, as at the per-user limit, once this many are held.
  size_t WatchLimit = std::numeric_limits<size_t>::max();
  // Runs on the reading thread before every read of the kernel's queue; a test blocks in it to let
  // the kernel's queue fill up.
  std::function<void()> BeforeRead;
  // Runs on the reading thread before each event of a read is handled, with the event's mask and
  // name; a test changes the tree in it at an exact point of the reading.
  std::function<void(uint32_t mask, std::string_view name)> BeforeEvent;
  // Runs on the reading thread before a folder beyond the watch limit is first read for its poll,
  // with the folder's relative path.
  std::function<void(const std::string& relative)> BeforePoll;
  // Runs on the reading thread when a folder's watch was added, before the folder is read, with
  // the folder's relative path.
  std::function<void(const std::string& relative)> AfterWatch;
  // Runs on the reading thread when a new folder was read, before the barrier that follows the
  // reading is raised, with the folder's relative path.
  std::function<void(const std::string& relative)> AfterScan;
  // Added to the time taken after each read, as if the clock had been set back by as much; a test
  // makes the reading's clock and the file times disagree with it.
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
