// An item just told gone by a move whose other half was not seen. It may not have left the tree:
// it may have gone into a polled part of it (whose poll then tells it new), or the second half of
// its own rename may have come too late to be paired. Told right after the removal, with no record
// between, the two read as one move, which carries what the folder held (here, as told before it
// moved): so what it held is kept, and when it comes straight back, what came with it is not told
// again, what it held but holds no more is told gone, and a write on its way is told.
//
// A watched folder's watches stay with the kernel while it may come back, and what was known of it
// is held: when it comes back with no news of it between, it takes them back, and what happens in
// it right after its return, news of which may already wait behind the return, is read as usual.
//
// Invariants: what is kept is only ever compared with the item found under the same inode number
// and not born after it (a freed inode number may go at once to a new item); it counts only while
// no other record was told after its removal; the watches held for it are removed once it can no
// longer come back as one move, but for those watching a folder of the tree again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "watcher/uDirChanges.h"
#include "watcher/uDirChangesPoll.h"
#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifyRecords.h"
#include "watcher/uInotifyTree.h"

class TFolderScan;
class TPolledParts;
class TTreeFiles;

// Relative paths, each with whether it is a folder.
using TContentsList = std::vector<std::pair<std::string, bool>>;

// What the folder of a table value holds as far as it was told, watched or polled, at any depth;
// false (with `out` cut short) when that is more than `most` items. With `sizes`, the sizes the
// polled parts' last scans saw.
bool CollectContents(const TFolderTree& tree, const TPolledParts& polls, uint64_t value,
                     TContentsList& out, std::map<std::string, TFileSize>* sizes = nullptr,
                     size_t most = SIZE_MAX);

struct TMovedOut {
  bool Active = false;
  uint64_t ToldAt = 0;  // how many records were told when its removal was
  // An inode number freed by a removal may go at once to a new folder: one born later is
  // another folder.
  ino_t Inode = 0;
  timespec Born{};
  std::string Path;  // where it was
  TContentsList Contents;
  THeldFolders Held;         // its watched folders, their watches kept while it may come back
  bool ChangedAway = false;  // news of them came while it was away
  // The sizes its polled parts' last scans saw, by relative path: a write there after that scan
  // was not told. (What watched folders hold was told as it was written.) With their inode
  // numbers: a file replaced there since is another file, not a written one.
  std::map<std::string, TFileSize> Sizes;
  // A file rather than a folder, with the size it was known to have.
  bool IsFile = false;
  uint64_t FileSize = 0;
};

class TGoneFolder {
 public:
  TGoneFolder(TFolderTree& tree, const TTreeFiles& files, TPolledParts& polls, TFolderScan& scan,
              TRecordsOut& out)
      : tree_(tree), files_(files), polls_(polls), scan_(scan), out_(out) {}

  // What to keep of the item under `name` of `folder` (its value `value`, at `path`), about to be
  // told gone; nothing (not Active) when it cannot come back as one move.
  TMovedOut Describe(const TFolder& folder, std::string_view name, uint64_t value,
                     const std::string& path) const;
  // Its removal was the last record told: kept from now.
  void Keep(TMovedOut moved);
  void Clear() { Keep({}); }
  // After each read: once it can no longer come back as one move, its watches go.
  void Settle();
  // News of a watch no folder of the tree has (`change`: of something in it, or of its end): if
  // it is held for what is kept, that changed while away.
  void Away(int wd, bool change);
  // True while no record was told since the removal of what is kept.
  bool Touches() const { return kept_.Active && kept_.ToldAt == out_.Count(); }

  // A folder moved in at `where`, under `name` of the folder watched as wd; `touched` tells whether
  // it came right after the removal of what is kept. True when it is that folder coming back, which
  // is then watched and told as one move.
  bool ComeBack(const TEventCursor& cursor, bool touched, int wd, TFolder& folder,
                std::string_view name, const std::string& where);
  // A poll's records that begin with what is kept, arrived in a polled part of the tree.
  void Reconcile(std::vector<TChangeRecord>& records);

 private:
  void ReconcileFile(std::vector<TChangeRecord>& records) const;
  bool MovedOnAtOnce(const TEventCursor& cursor) const;

  TFolderTree& tree_;
  const TTreeFiles& files_;
  TPolledParts& polls_;
  TFolderScan& scan_;
  TRecordsOut& out_;
  TMovedOut kept_;
};
