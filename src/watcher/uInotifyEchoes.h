// Echoes of what the scans of new folders told. A new folder is watched first and read after, so
// the kernel may still bring the creation of an item the scan found and told already; that item is
// then not told again. Each item the scan told is marked, by its folder's watch and name, with its
// inode number; once the scan is done, a barrier goes into the kernel's queue (a write to a pipe
// our own inotify instance watches), and everything the kernel queued before it is read before the
// barrier comes back. So a mark lives until its barrier is read, and an event for the name before
// then may be the echo.
//
// The same barriers settle the folders left unread as too new (made after the read that brought
// the arrival under their name: the arrival's item left, and the later folder's own news is still
// to come). Should no news come for the name by the barrier raised after the look (a clock stepped
// back), the folder found was the one that arrived after all, and is read then.
//
// Invariants:
// - A mark's barrier is the one raised after the scan that made it (Sent() + 1 while the scan
//   runs); marks go at that barrier, at the name's removal, or at the first echo taken for them.
// - An item that is not the one the scan saw (another inode number) is never taken for an echo.
// - Without working barriers no mark is kept: an echo is told twice rather than a later arrival
//   swallowed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifyTree.h"

class TTreeFiles;

// The entry of a folder left unread as too new: what a new folder holds is told where the one
// that arrived is found.
inline uint64_t TooNewValue(bool report, bool byBirth) {
  return DirValue(kNoWatch) | (report && !byBirth ? kUntoldBit : 0);
}

class TEchoMarks {
 public:
  TEchoMarks(TFolderTree& tree, const TTreeFiles& files) : tree_(tree), files_(files) {}
  ~TEchoMarks();
  TEchoMarks(const TEchoMarks&) = delete;
  TEchoMarks& operator=(const TEchoMarks&) = delete;

  // A fresh inotify instance (the tree's) with nothing else watched yet: the barriers are watched
  // on it and tried once; marks and folders left unread are forgotten.
  void Start();
  TBarrierWatches Watches() const { return {barrierWd_[0], barrierWd_[1]}; }
  // Barriers show in the kernel's queue, so echoes can be told from later arrivals.
  bool Working() const { return working_; }
  uint64_t Sent() const { return sent_; }

  // The scan of a new folder told the item under the name.
  void Mark(int wd, std::string_view name, uint64_t inode, bool stated = false);
  // The item under the name went.
  void Unmark(int wd, std::string_view name);
  // After a scan: the barrier that ends its marks goes into the kernel's queue (when it made any).
  void Raise();

  // True when the arrival of `name` is the kernel's own news of an item a scan already told.
  bool TakeEcho(const TEventCursor& cursor, int wd, std::string_view name, bool movedIn,
                bool isDir);
  // The inode number, as stat gives it, of what the scan of a new folder found under the name,
  // while its barrier is still to come; 0 when none or not known.
  uint64_t MarkedInode(int wd, std::string_view name) const;
  // The same, when nothing came or went under the name from the folder's watch to the barrier
  // after the scan, which is later in the read being handled; 0 otherwise.
  uint64_t ScannedInode(const TEventCursor& cursor, int wd, std::string_view name) const;
  // True when the kernel holds no news since the read being handled but our own barriers: a change
  // seen in the tree now is not one whose news is still to come.
  bool NothingQueued(const TEventCursor& cursor) const;

  // A folder found under the name of one whose arrival is being read, made after the read: left
  // unread until its barrier (raised here).
  void LeaveTooNew(int wd, std::string_view name, bool report, bool byBirth);
  // News under the name came: the folder left unread is read when that news says.
  void ForgetTooNew(int wd, std::string_view name);
  struct TTooNew {
    int Wd;
    std::string Name;
    bool Report;
    bool ByBirth;
  };
  // One of our barriers came back (its watch): the marks it ends go, a file's inode number is
  // learned from its mark, and the folders left unread that are due now are given back to be read.
  std::vector<TTooNew> OnBarrier(int wd);

 private:
  struct TMark {
    uint64_t Inode;
    uint64_t Barrier;
    bool Stated;  // the inode number as stat gives it (a listing's may differ, as on overlays)
  };
  struct TTooNewEntry {
    uint64_t Barrier;
    bool Report;
    bool ByBirth;
  };
  uint64_t BarriersToGo(uint64_t barrier) const { return barrier > seen_ ? barrier - seen_ : 0; }
  void SettleMarks();

  TFolderTree& tree_;
  const TTreeFiles& files_;
  std::unordered_map<std::string, TMark> marks_;  // by watch and name
  std::unordered_map<std::string, TTooNewEntry> tooNew_;
  bool marked_ = false;  // marks made since the last barrier
  // Two pipes whose writes our own inotify instance sees: a write queues an event behind everything
  // queued before it. (Two, taken in turn, so that the kernel never merges two barriers into one.)
  int read_[2] = {-1, -1}, write_[2] = {-1, -1}, barrierWd_[2] = {-1, -1};
  bool working_ = false;
  uint64_t sent_ = 0, seen_ = 0;
};
