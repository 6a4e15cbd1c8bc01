// The scan of folders that come into the tree (and of the whole tree when watching begins): each
// folder is watched first and read after, so that nothing made in it falls between the reading and
// the watch; files' sizes go into the folder's table, subfolders are watched in turn, one after
// another without recursion, keeping at most a few folders of the path open. With `report`, what a
// new folder holds is told as created (each folder before its contents), and each item told is
// marked as an echo (uInotifyEchoes.h). A subfolder that cannot be watched at the watch limit, or a
// share mounted inside the tree, is polled instead (uInotifyPolled.h).
//
// Invariants:
// - A folder the scan could not read yet (its path out of date while a rename above it is on its
//   way) stays in the parent's table as an unwatched folder and waits in `untold` until the
//   rename's events are in; it is never left unwatched for good.
// - A folder whose birth is after the read that brought the arrival under its name is not the one
//   that arrived: it is left unread (too new) until its barrier.
// - A folder that could not be opened for want of descriptors (or memory) waits in `starved` and
//   is tried again until it is watched, then told with what it holds as a new folder would be.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifySizes.h"
#include "watcher/uInotifyTree.h"

class TEchoMarks;
class TPolledParts;
class TRecordsOut;
class TTreeFiles;

class TFolderScan {
 public:
  TFolderScan(TFolderTree& tree, const TTreeFiles& files, TEchoMarks& echoes, TPolledParts& polls,
              TRecordsOut& out, const TReadTimes& times, const std::atomic<bool>& stop,
              std::function<void(const std::string&)> afterScan);
  ~TFolderScan();

  // Watching begins afresh: nothing is waiting, nothing is unwatched.
  void Reset();
  // Reads the whole tree below the watched root, open on rootFd, telling nothing.
  void ReadTree(int rootFd);
  // Reads the tree below a root that could not be watched, only to count its folders.
  void CountUnwatched(int rootFd);
  // The root itself could not be watched (again).
  void RootUnwatched() { unwatched_ = std::max<size_t>(unwatched_, 1); }

  // A folder that came into the tree (made, moved in, or found again) under the folder watched as
  // parentWd: watched with its subtree; with `report` what it holds is told as created; with
  // `byBirth` only when it was made while watched (a folder moved in). With `checkBirth`, a folder
  // born after the read being handled is left unread as too new.
  void WatchNew(int parentWd, std::string_view name, bool report, bool byBirth = false,
                bool checkBirth = false);
  // A folder above was renamed: folders waiting for their path are tried again after the read.
  void NoteRenamed() { renamed_ = true; }
  void AfterRead();
  // Folders left unwatched at the watch limit (or under an unwatched root), and whether the kernel
  // refused a watch for want of memory rather than at the limit.
  size_t Unwatched() const { return unwatched_; }
  bool OutOfWatchMemory() const { return watchMemory_; }
  // Folders waiting for descriptors; they are tried again here.
  size_t Starved() const { return starved_.size(); }
  void RetryStarved();

 private:
  struct TAttached {
    int Fd = -1;
    int Wd = kNoWatch;
    bool Descend = false;
    bool TooNew = false;
    bool Starved = false;  // it could not be opened for want of descriptors or memory
  };
  struct TIdentity {
    dev_t Device = 0;
    ino_t Inode = 0;
    timespec Born{};
  };
  // A subfolder met by a scan, being read in turn.
  struct TFrame {
    int Fd;
    bool OwnFd;
    int Wd;
    size_t PathLength;       // of the path while in this folder
    std::string Subfolders;  // names, each followed by a NUL
    std::vector<uint64_t> Inodes;
    size_t Next = 0, Index = 0;
  };
  struct TUntold {
    int Wd;
    std::string Name;
    bool Report;
    bool ByBirth;
  };

  TAttached Attach(int parentWd, int parentFd, std::string& path, std::string_view name,
                   bool report, bool checkBirth);
  TAttached Watch(int parentWd, TFolder* parent, int fd, const std::string& path,
                  std::string_view name, const TIdentity& identity, bool report);
  bool PollShare(int parentWd, TFolder& parent, int fd, const std::string& path,
                 std::string_view name);
  void PollBeyondLimit(int parentWd, TFolder* parent, const std::string& path,
                       std::string_view name, bool report);
  void Descend(int fd, bool ownFd, int wd, std::string& path, bool report);
  void MarkStated(int wd, std::string_view name, int childWd);
  void ListFolder(int fd, int wd, const std::string& path, bool report, TFrame& frame);
  int ReopenFrame(const std::vector<TFrame>& stack, const std::string& path);
  static bool CloseFarFrames(std::vector<TFrame>& stack);
  void Wait(std::vector<TUntold>& list, int wd, std::string_view name, bool report, bool byBirth);
  void TryAgain(std::vector<TUntold>& list);
  void ApplySizes(const std::vector<TSizeWorker::TResult>& learned);
  // `found` and `sx`: what TTreeFiles::StatBirth gave for the folder.
  bool MadeWhileWatched(int found, const struct statx& sx) const;

  TFolderTree& tree_;
  const TTreeFiles& files_;
  TEchoMarks& echoes_;
  TPolledParts& polls_;
  TRecordsOut& out_;
  const TReadTimes& times_;
  const std::atomic<bool>& stop_;
  const std::function<void(const std::string&)> afterScan_;
  std::unique_ptr<char[]> dirents_;
  // New folders that could not be read because a folder above them was renamed meanwhile: tried
  // again once the rename's events have come in.
  std::vector<TUntold> untold_;
  bool renamed_ = false;
  std::vector<TUntold> starved_;
  size_t unwatched_ = 0;
  bool watchMemory_ = false;
  // While the whole tree is read: files whose sizes were learned here, and the helper that
  // learns the rest.
  bool sharingSizes_ = false;
  size_t inlineSizes_ = 0;
  size_t sizeJobs_ = 0;
  std::unique_ptr<TSizeWorker> sizeWorker_;
};
