// The polling change source, for folders whose changes the kernel does not report: network shares
// (NFS, SMB/CIFS), FUSE file systems such as sshfs, 9p and the like only see the changes made on
// this machine, never those made by another machine on the share.
//
// The source keeps a snapshot of the tree and compares a fresh scan with it at each interval. Its
// records mean what the kernel source's mean: 1 created, 2 removed, 3 size changed, 4 + 5 renamed
// within one folder, 2 + 1 moved between folders (the two records next to each other); a renamed or
// moved folder is one record (pair), not its contents; a removed folder's contents come before the
// folder, a created folder comes before its contents. An item moved out of a removed folder, or
// whose old name another item took in the meantime (a swap of two names), is told removed and
// created again, a folder with its contents: replayed in order, the records always give the new
// tree. Attribute and time changes and rewrites of the same size report nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "watcher/uDirChanges.h"

// When a folder's listing is read again. Every change of a folder's entries (a creation, a removal,
// a rename) moves the folder's change time, so a folder whose change time has not moved keeps its
// listing and only its items are looked at again: that spares reading the folder, the dearest part
// of a scan after the items themselves.
struct TListingReuse {
  // A change time is trusted once it has stood for this long: a change made within the same tick of
  // the file system's clock would not move it, and the coarsest clocks of the file systems met on
  // shares tick every 2 s (FAT).
  std::chrono::milliseconds Settle{3000};
  // Every folder is still read at least once in this many scans. Should a listing then differ
  // while the change time stood, the file system does not keep change times and listings are
  // read at every scan from then on.
  unsigned ReadEvery = 10;
  bool Enabled = true;
  // A FUSE file system's daemon may keep its listings and its times apart (a listing cached
  // longer than the folder's times): there listings are read at every scan, unless this is set.
  bool OnFuse = false;
};

// A file as a poll's last scan saw it.
struct TFileSize {
  uint64_t Size = 0;
  uint64_t Inode = 0;  // 0 where not known
};

struct TPollOptions {
  // The pause between two scans follows what a scan costs (a few per cent of one core, and a
  // share kept busy a fifth of the time at most), within these bounds.
  std::chrono::milliseconds MinInterval{2000}, MaxInterval{60000};
  // How long a folder that stopped answering (server down, share unmounted) is waited for before
  // the watch ends with the system's error.
  std::chrono::milliseconds GiveUpAfter{std::chrono::minutes(10)};
  // Tests: called on the polling thread after every scan with 0, or with the error that made the
  // watched folder unreachable (for polled subtrees: after every round, with 0).
  std::function<void(int error)> AfterScan;
  TListingReuse Listings;
};

// The polling source.
std::shared_ptr<TDirChanges> MakePollDirChanges(TPollOptions options = {});

// True when the folder lies on a file system whose changes made elsewhere the kernel does not
// report to us: NFS, SMB/CIFS, FUSE, 9p, AFS, Ceph, cluster and virtual-machine shares.
bool IsRemoteFileSystem(const std::string& folder);
// The same for a file system type (statfs f_type).
bool IsRemoteFileSystemType(int64_t fsType);

// Polls subtrees of a tree that another source watches (mount points of shares inside it, folders
// beyond the inotify watch limit), all on one thread of its own. Each scan's records, named
// relative to the subtree, go to the sink on that thread; a subtree that cannot be scanned (gone,
// unmounted: another file system type, a share that does not answer) is told with its error, and
// is polled on and compared with its last good scan when it answers again.
class TSubtreePolls {
 public:
  using TSink = std::function<void(int id, std::vector<TChangeRecord>& records, int error)>;
  TSubtreePolls(TPollOptions options, TSink sink);
  ~TSubtreePolls();  // stops
  TSubtreePolls(const TSubtreePolls&) = delete;
  TSubtreePolls& operator=(const TSubtreePolls&) = delete;

  // Takes the subtree's first snapshot on the calling thread, then polls it; 0 or the error of
  // that scan (nothing is polled then). With `contents`, what that snapshot holds, as records of
  // creation (parents first), and how many folders it has, the subtree's own included.
  struct TContents {
    bool WithRecords = true;  // false: only the count of folders
    std::vector<TChangeRecord> Records;
    size_t Folders = 0;
  };
  int Add(int id, const std::string& folder, TContents* contents = nullptr);
  // What the subtree held at its last scan, as records of creation named relative to it
  // (parents first); none for a subtree not polled.
  std::vector<TChangeRecord> Contents(int id) const;
  // The size and inode number of every file the subtree held at its last scan, by its path
  // relative to it.
  std::vector<std::pair<std::string, TFileSize>> FileSizes(int id) const;
  // The subtree's folder has a new path (it or a folder above it was renamed).
  void Move(int id, const std::string& folder);
  void Remove(int id);
  // Any thread; the polling thread ends soon after, and Add does nothing from then on.
  void Stop();
  size_t Count() const;

 private:
  struct TState;
  std::shared_ptr<TState> state_;
};

// How many polling threads still run; a stopped source's thread ends at once unless it is inside
// a system call that blocks (a share that does not answer).
size_t LivePollThreads();
bool WaitForPollThreads(std::chrono::milliseconds timeout);

// A snapshot of a folder's tree: per folder a vector of its items sorted by name, each with its
// kind, size, device, inode and birth time; the names of one folder share one string.
class TTreeSnapshot {
 public:
  enum class TKind : uint8_t { File, Dir, Link, Other };

  // Scans `folder`. Folders that cannot be read now (no permission, a transient error) keep what
  // `previous` knew of them. Answers 0, or the error that makes the folder itself unreachable
  // (ECANCELED when `cancelled` answered true).
  // A folder whose change time has stood since `previous` was taken keeps the listing `previous`
  // has of it (see TListingReuse).
  int Scan(const std::string& folder, const TTreeSnapshot* previous = nullptr,
           const std::function<bool()>& cancelled = {}, const TListingReuse& reuse = {});

  // The records that lead from `before` to this snapshot, in the order they are delivered.
  std::vector<TChangeRecord> ChangesSince(const TTreeSnapshot& before) const;
  // Everything in this snapshot as records of creation, in the order they are delivered.
  std::vector<TChangeRecord> Contents() const;
  // The size and inode number of every file in this snapshot, by its path relative to the
  // scanned folder.
  std::vector<std::pair<std::string, TFileSize>> FileSizes() const;

  size_t Items() const;
  size_t Folders() const { return folders_.size(); }
  // Memory held, names included.
  size_t MemoryBytes() const;
  // The file system type (statfs f_type) of the scanned folder.
  int64_t FsType() const { return fsType_; }
  // Folders whose listing the last Scan took over from the previous snapshot.
  size_t FoldersReused() const { return reused_; }
  // A listing was found changed while its folder's change time stood: listings are no longer
  // taken over.
  bool ChangeTimesUnreliable() const { return changeTimesUnreliable_; }

  static constexpr uint32_t kNoFolder = 0xFFFFFFFFu;

  struct TItem {
    uint64_t Dev = 0;
    uint64_t Ino = 0;
    uint64_t Size = 0;
    uint64_t Stamp = 0;  // birth time, or modification time where there is none (ns)
    uint32_t NameOff = 0;
    uint16_t NameLen = 0;
    TKind Kind = TKind::File;
    bool StampIsBirth = false;
    uint32_t Folder = kNoFolder;  // a folder's contents: index into folders_
  };
  struct TFolder {
    std::string Names;
    std::vector<TItem> Items;  // sorted by name, bytewise
    uint32_t Parent = kNoFolder;
    bool Unknown = false;  // never read: its contents are not known
    // The listing may be taken over while the folder's identity and change time stay (above).
    bool Trusted = false;
    uint8_t ScansSinceRead = 0;
    uint64_t Dev = 0, Ino = 0, ChangeTime = 0;  // as seen when the folder was opened
    int64_t ChangeTimeSeen = 0;  // steady clock (ns): end of the scan that first saw ChangeTime
    std::string_view Name(const TItem& item) const {
      return std::string_view(Names).substr(item.NameOff, item.NameLen);
    }
  };

 private:
  friend class TSnapshotScanner;
  friend class TSnapshotDiffer;
  std::vector<TFolder> folders_;  // [0] is the watched folder
  int64_t fsType_ = 0;
  size_t reused_ = 0;
  bool changeTimesUnreliable_ = false;
};
