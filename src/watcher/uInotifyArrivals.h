// The news of single items in a watched folder: an arrival (a creation, or a move in from outside
// the tree), a deletion, a write, a folder's attributes. A new folder is watched at once and what
// was made in it before the watch took hold is told (uInotifyScan.h); a file comes with the size it
// has, so that later only a change of size is told.
//
// Invariants:
// - A file's size in its folder's table is the size last told (or found when watching began); a
//   write that keeps it is not told.
// - A file that came with content during a read (made and written at once, or a nameless file given
//   a name) waits in `filled` until the read shows which: its writes' own events, or none.
// - A file whose size could not be learned where it arrived waits in `unlearned` until the read's
//   renames are in; still not found then, it is learned quietly at its first write.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifyTree.h"

class TEchoMarks;
class TFolderScan;
class TGoneFolder;
class TPolledParts;
class TRecordsOut;
class TTreeFiles;

class TItemEvents {
 public:
  TItemEvents(TFolderTree& tree, const TTreeFiles& files, TEchoMarks& echoes, TPolledParts& polls,
              TFolderScan& scan, TGoneFolder& gone, TRecordsOut& out, const TReadTimes& times)
      : tree_(tree),
        files_(files),
        echoes_(echoes),
        polls_(polls),
        scan_(scan),
        gone_(gone),
        out_(out),
        times_(times) {}

  // A creation, or a move into the tree from outside (over an item of the same name or not): the
  // item is new here. `movesOn`: a folder renamed or moved on in this very read.
  void OnArrival(const TEventCursor& cursor, int wd, TFolder& folder, std::string_view name,
                 bool isDir, bool movedIn, bool movesOn = false);
  void OnDelete(int wd, TFolder& folder, std::string_view name, bool isDir);
  // `leaving`: the file is deleted or renamed within the next few events.
  void OnModify(int wd, TFolder& folder, std::string_view name, bool leaving);
  // A subfolder's attributes changed: one that could not be read may be readable now.
  void OnAttributes(int wd, TFolder& folder, std::string_view name);
  // Watching begins afresh: what waited for a read of the old watches is dropped.
  void Reset() {
    filled_.clear();
    unlearned_.clear();
  }
  // A file whose size is to be learned once the read's renames are in.
  void Unlearned(int wd, std::string_view name) { unlearned_.emplace_back(wd, name); }
  // The read is done: the files filled during it are settled, the sizes still to learn learned.
  void SettleFilled();
  void LearnSizes();

 private:
  void FolderArrived(const TEventCursor& cursor, int wd, TFolder& folder, std::string_view name,
                     const std::string& path, bool movedIn, bool touched);
  void FileArrived(const TEventCursor& cursor, int wd, TFolder& folder, std::string_view name,
                   const std::string& path, bool movedIn);

  struct TFilled {
    uint64_t Size;
    timespec Modified;
  };
  TFolderTree& tree_;
  const TTreeFiles& files_;
  TEchoMarks& echoes_;
  TPolledParts& polls_;
  TFolderScan& scan_;
  TGoneFolder& gone_;
  TRecordsOut& out_;
  const TReadTimes& times_;
  // Files that came with content during the read being handled (by watch and name): their size
  // and modification time, until the read shows whether writes filled them.
  std::unordered_map<std::string, TFilled> filled_;
  std::vector<std::pair<int, std::string>> unlearned_;  // files whose size is kUnlearnedSize
};
