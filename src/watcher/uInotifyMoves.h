// The pairing of moves and renames. The kernel tells a rename as two events side by side with one
// cookie: the first half (IN_MOVED_FROM) in the folder it left, the second (IN_MOVED_TO) in the
// folder it went to. A first half followed by anything else is a move out of the tree; a second
// half alone is a move in from outside. A rename within one folder is told as the old and the new
// name (4 + 5), a move between folders as removed and created (2 + 1), a folder with one record
// (its contents follow it through the parent links, and its polls move with it).
//
// What is found on disk may already be newer than the events: a name taken again, a folder above
// renamed too. So the inode numbers and birth times of what is found are compared with what is
// known before a rename is believed; where the paths are out of date and cannot tell, the rename is
// taken as it reads and checked again after the read (a doubt).
//
// Invariants:
// - At most one first half waits for its second; it waits across the end of a read only as long
//   as the reader's pair wait.
// - A file carried by a rename keeps its size and inode number only where nothing says another
//   file took its place; otherwise its size is learned again, never taken from the wrong file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifyTree.h"

class TEchoMarks;
class TFolderScan;
class TGoneFolder;
class TItemEvents;
class TPolledParts;
class TRecordsOut;
class TTreeFiles;

class TMovePairing {
 public:
  TMovePairing(TFolderTree& tree, const TTreeFiles& files, TEchoMarks& echoes, TPolledParts& polls,
               TFolderScan& scan, TGoneFolder& gone, TItemEvents& items, TRecordsOut& out,
               const TReadTimes& times)
      : tree_(tree),
        files_(files),
        echoes_(echoes),
        polls_(polls),
        scan_(scan),
        gone_(gone),
        items_(items),
        out_(out),
        times_(times) {}

  // Watching begins afresh.
  void Reset();
  // A first half waits for its second.
  bool Waiting() const { return from_.Active; }
  void OnMovedFrom(const TInotifyEvent& event);
  // True when the event is the second half of the first half waiting.
  bool Pairs(const TInotifyEvent& event) const {
    return from_.Active && (event.Mask & IN_MOVED_TO) && event.Cookie == from_.Cookie;
  }
  // Both halves of a rename inside the tree.
  void OnRenamed(const TEventCursor& cursor, int toWd, std::string_view toName);
  // A first half of a rename without its second: the item left the tree.
  void OnMovedOut();
  // The first half waiting is dropped (the events were lost).
  void Drop() { from_.Active = false; }
  // The read is done: files that went on at once are forgotten, unless a first half waits.
  void AfterRead();
  // After each read: the renames taken while the paths could not tell are checked again.
  void CheckDoubts();

 private:
  struct TMoveFrom {
    bool Active = false;
    int Wd = 0;
    uint32_t Cookie = 0;
    bool IsDir = false;
    std::string Name;
  };
  // One rename being handled: where from, where to, and what the old name held.
  struct TRename {
    int FromWd;
    std::string FromName;
    int ToWd;
    std::string ToName;
    bool IsDir;
    uint64_t Value;        // the old name's value
    uint64_t Scanned = 0;  // a file's inode number as the scan of a new folder saw it
    std::string FromPath, ToPath;
  };
  // A rename of a watched folder read while the paths that would show whether the watched folder
  // is the one that moved were out of date (a folder above renamed too): checked again after each
  // read until the paths are known.
  struct TDoubt {
    int Watch;
    int FromWd;
    std::string FromName;
    int ToWd;
    std::string ToName;
  };

  bool FolderStayed(const TEventCursor& cursor, const TRename& rename);
  void ReplaceStayed(const TEventCursor& cursor, TFolder& from, const TRename& rename);
  void TellRename(const TRename& rename, bool echo, bool sameFolder);
  void RenamedFile(const TEventCursor& cursor, TFolder& from, TFolder& to, const TRename& rename,
                   bool echo);
  void RenamedFolder(TFolder& to, const TRename& rename, bool echo);
  bool TakeNewHome(int watch, const std::string& path);
  void TellContents(int watch, const std::string& path);
  bool CheckDoubt(TDoubt& doubt);

  TFolderTree& tree_;
  const TTreeFiles& files_;
  TEchoMarks& echoes_;
  TPolledParts& polls_;
  TFolderScan& scan_;
  TGoneFolder& gone_;
  TItemEvents& items_;
  TRecordsOut& out_;
  const TReadTimes& times_;
  TMoveFrom from_;
  // Files of the read being handled that went on at once from the name a rename gave them, by
  // watch and name.
  std::unordered_set<std::string> passing_;
  std::vector<TDoubt> doubts_;
};
