// The folder tree of the inotify source: every watched folder by its watch, with its parent's
// watch, its name there and its identity, and per folder what is known of its items. Paths are
// computed from the parent links when they are needed and never kept, so that a folder renamed
// changes one name and everything under it follows.
//
// An item's value in its folder's table (uInotifyItems.h) is a file's last known size, or, with the
// top bit set, a subfolder: its watch, kNoWatch when it is not watched (unreadable, gone while it
// was read, or left unread for a reason its owner keeps), or the number of its poll (below
// kNoWatch: a share mounted there, or a folder beyond the watch limit).
//
// Invariants:
// - The root folder's parent is kNoWatch; every other folder's parent is a watched folder.
// - A watched folder is named by its parent's table under its name, with its watch as the value,
//   but for one found inside a new folder before the events of its move were read: it keeps its
//   place until those events come (its "new home" waits here for them).
// - Parent links have no cycle; a folder forgotten takes its whole subtree with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "watcher/uInotifyItems.h"

class TTreeFiles;

// ---- values of the items' tables ----
constexpr uint64_t kDirBit = uint64_t{1} << 63;
constexpr int kNoWatch = -1;
inline bool IsPoll(int wd) {
  return wd < kNoWatch;
}
// Set on a new folder that went away (or could not be read) before what it held was told: that
// is told once it is found again under another name, or becomes readable.
constexpr uint64_t kUntoldBit = uint64_t{1} << 62;
// A file whose size could not be learned.
constexpr uint64_t kUnknownSize = kUntoldBit - 1;
// A file whose size could not be learned when it arrived (gone on at once, or its folder's path out
// of date): learned where it went, once a rename's events are in, or at its first write, which then
// is no change.
constexpr uint64_t kUnlearnedSize = kUntoldBit - 2;
inline uint64_t DirValue(int wd) {
  return kDirBit | static_cast<uint32_t>(wd);
}
inline bool IsDirValue(uint64_t value) {
  return (value & kDirBit) != 0;
}
inline int WatchOf(uint64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}
// A known size, as opposed to a subfolder or a size still to learn.
inline bool IsKnownSize(uint64_t value) {
  return !IsDirValue(value) && value != kUnknownSize && value != kUnlearnedSize;
}

// A key for an item by its folder's watch and its name.
std::string NameKey(int wd, std::string_view name);
int KeyWatch(const std::string& key);
std::string_view KeyName(const std::string& key);

struct TFolder {
  int Parent = kNoWatch;  // kNoWatch for the root
  std::string Name;       // the name in the parent
  TInotifyItems Items;
  dev_t Device = 0;  // a subfolder on another device is a mount point
  ino_t Inode = 0;   // which folder the watch is on, whatever its name now
  timespec Born{};   // its birth time; 0 where the file system keeps none
};

// Folders let go of, each with its watch, whose watches the kernel still keeps.
using THeldFolders = std::vector<std::pair<int, TFolder>>;

class TFolderTree {
 public:
  // `watchLimit`: a test's stand-in for the per-user limit (ENOSPC once that many are held);
  // `afterWatch` runs with the folder's relative path when a watch was added.
  TFolderTree(const TTreeFiles& files, size_t watchLimit,
              std::function<void(const std::string&)> afterWatch);
  ~TFolderTree();
  TFolderTree(const TFolderTree&) = delete;
  TFolderTree& operator=(const TFolderTree&) = delete;

  // A fresh inotify instance with nothing watched; 0 or errno.
  int Start();
  int Fd() const { return fd_; }
  int RootWd() const { return rootWd_; }
  // Watches the folder open on fd, whose relative path is `relative`. The watch goes through the
  // descriptor, so it lands on the folder that was opened without following links, whatever
  // happened to its path meanwhile, and no long path is ever built. -1 with errno.
  int AddWatch(int fd, const std::string& relative);
  void SetRoot(int wd, TFolder folder);

  TFolder* Find(int wd);
  const TFolder* Find(int wd) const;
  TFolder& At(int wd) { return *Find(wd); }
  size_t Count() const { return folders_.size(); }
  void Add(int wd, TFolder folder);
  // The kernel dropped the watch (IN_IGNORED): the folder is no longer known.
  void Drop(int wd);
  // Drops the watches of a folder that left the tree and of everything under it; `onFolder` sees
  // each folder before it goes. With `held`, the kernel's watches stay, and the folders go there,
  // the top one first, in case they come back (TakeBack; else Unwatch).
  void ForgetSubtree(int wd, int parentWd, const std::function<void(const TFolder&)>& onFolder,
                     THeldFolders* held = nullptr);
  // Folders held by ForgetSubtree come back, the top one under `name` of the folder watched as
  // parentWd.
  void TakeBack(THeldFolders held, int parentWd, std::string name);
  // Removes the kernel's watches of folders held by ForgetSubtree, but for those of the tree again.
  void Unwatch(const THeldFolders& held);

  // The relative path of a watched folder, from the parent links.
  std::string Path(int wd) const;
  std::string ItemPath(int wd, std::string_view name) const;
  // True when the watched folder is still at the path we know for it.
  bool StillWhereKnown(int wd) const;

  // A folder of the tree found by the scan of a new folder before its move's events were read:
  // where it went.
  void SetNewHome(int wd, int parentWd, std::string name);
  const std::pair<int, std::string>* NewHome(int wd) const;
  void DropNewHome(int wd) { newHomes_.erase(wd); }

 private:
  const TTreeFiles& files_;
  const size_t watchLimit_;
  const std::function<void(const std::string&)> afterWatch_;
  int fd_ = -1;
  int rootWd_ = kNoWatch;
  bool useProc_ = true;
  std::unordered_map<int, TFolder> folders_;
  std::unordered_map<int, std::pair<int, std::string>> newHomes_;
};
