#include "watcher/uInotifyMoves.h"

#include <sys/stat.h>

#include "watcher/uInotifyArrivals.h"
#include "watcher/uInotifyEchoes.h"
#include "watcher/uInotifyFiles.h"
#include "watcher/uInotifyGone.h"
#include "watcher/uInotifyPolled.h"
#include "watcher/uInotifyRecords.h"
#include "watcher/uInotifyScan.h"

namespace {

// Renames of folders waiting for their paths to be known again (see CheckDoubts).
constexpr size_t kMaxDoubts = 1024;

}  // namespace

void TMovePairing::Reset() {
  doubts_.clear();
}

void TMovePairing::OnMovedFrom(const TInotifyEvent& event) {
  from_.Active = true;
  from_.Wd = event.Wd;
  from_.Cookie = event.Cookie;
  from_.IsDir = event.IsDir();
  from_.Name.assign(event.Name);
}

void TMovePairing::AfterRead() {
  if (!from_.Active) passing_.clear();
}

void TMovePairing::OnRenamed(const TEventCursor& cursor, int toWd, std::string_view toName) {
  from_.Active = false;
  TFolder* from = tree_.Find(from_.Wd);
  TFolder* to = tree_.Find(toWd);
  if (!from || !to) {
    // One side is a folder we no longer watch.
    if (from) {
      from_.Active = true;
      OnMovedOut();
    } else if (to) {
      items_.OnArrival(cursor, toWd, *to, toName, from_.IsDir, true);
    }
    return;
  }
  const std::optional<uint64_t> old = from->Items.Find(from_.Name);
  if (old && IsDirValue(*old) != from_.IsDir) {
    // What the old name holds here is another item, of the other kind, found by the scan of a
    // new folder after this one left: this one was never seen, and that one stays.
    items_.OnArrival(cursor, toWd, *to, toName, from_.IsDir, true);
    return;
  }
  uint64_t scanned = 0;
  if (old && !from_.IsDir && from->Items.InodeOf(from_.Name) == 0) {
    scanned = echoes_.ScannedInode(cursor, from_.Wd, from_.Name);
  }
  echoes_.Unmark(from_.Wd, from_.Name);
  if (!old) {
    // Never seen under its old name (made in a new folder before it was read): it arrives.
    items_.OnArrival(cursor, toWd, *to, toName, from_.IsDir, true);
    return;
  }
  const TRename rename{from_.Wd,
                       from_.Name,
                       toWd,
                       std::string(toName),
                       from_.IsDir,
                       *old,
                       scanned,
                       tree_.ItemPath(from_.Wd, from_.Name),
                       tree_.ItemPath(toWd, toName)};
  if (rename.IsDir && FolderStayed(cursor, rename)) return ReplaceStayed(cursor, *from, rename);
  // The scan of a new folder may have told the item under its new name already: then only its
  // old name goes.
  const bool echo = echoes_.TakeEcho(cursor, toWd, toName, true, rename.IsDir);
  TellRename(rename, echo, from == to);
  if (const std::optional<uint64_t> over = to->Items.Find(toName);
      over && IsDirValue(*over) && !echo) {
    // Over an empty folder: it is gone.
    const int replaced = WatchOf(*over);
    if (IsPoll(replaced)) polls_.Stop(replaced);
    if (replaced >= 0 && replaced != WatchOf(rename.Value)) {
      ForgetSubtree(tree_, polls_, replaced, toWd);
    }
  }
  if (!rename.IsDir) {
    RenamedFile(cursor, *from, *to, rename, echo);
  } else {
    from->Items.Erase(rename.FromName);
    RenamedFolder(*to, rename, echo);
  }
}

// True when the folder watched (or polled) under the old name is not the one that moved.
bool TMovePairing::FolderStayed(const TEventCursor& cursor, const TRename& rename) {
  const int held = WatchOf(rename.Value);
  if (const TPolled* polled = tree_.Find(held) ? nullptr : polls_.Find(held)) {
    // A folder polled (beyond the watch limit) under the old name: another one where it went,
    // found by the scan of a new folder read after the rename, moved.
    const uint64_t told = echoes_.MarkedInode(rename.ToWd, rename.ToName);
    return told != 0 && polled->Inode != 0 && told != polled->Inode;
  }
  const TFolder* watched = tree_.Find(held);
  if (!watched) return false;
  const uint64_t inode = watched->Inode;
  // Another folder where it went, or (where it went is no longer there under that path) the
  // watched one still where it was. Neither tells when a later event of the read brings an item
  // under the name, which may be the one there now: a folder made or moved under the name it went
  // to, or the watched folder moved back; nor does another folder made after the watched one,
  // which cannot be the one that left the old name before the watched one came under it, but a
  // later one, whose news may not have been read yet. (A folder made under the old name is new:
  // when the watched folder is there, it is that one, and the watched one stayed.)
  // The scan of a new folder, read after the rename, found another folder where it went: that one
  // moved (the paths may not tell, a folder above them renamed since).
  const uint64_t told = echoes_.MarkedInode(rename.ToWd, rename.ToName);
  if (told != 0 && told != inode) return true;
  struct stat st;
  if (files_.Stat(rename.ToPath, st) &&
      (st.st_ino == inode || (!cursor.TakenLater(rename.ToWd, rename.ToName) &&
                              !files_.BornAfter(rename.ToPath, watched->Born)))) {
    return S_ISDIR(st.st_mode) && st.st_ino != inode;
  }
  if (files_.Stat(rename.FromPath, st) &&
      (st.st_ino != inode || !cursor.TakenLater(rename.FromWd, rename.FromName, IN_MOVED_TO))) {
    return S_ISDIR(st.st_mode) && st.st_ino == inode;
  }
  // Neither path tells: a folder above was renamed too, and that rename's events are still to
  // come, or a name was taken again. Taken for the folder that moved, which it nearly always is,
  // and checked once the read is handled.
  doubts_.push_back({held, rename.FromWd, rename.FromName, rename.ToWd, rename.ToName});
  return false;
}

// The folder watched under the old name is not the one that moved: the old name was taken again
// before its first folder was read (made, renamed, and made again), and what was told under it is
// the later folder's. That goes (the later folder is told again when its own news comes); the
// folder that moved is new to us, unless the scan of the folder it went to told it already. (The
// removal comes last, so that the two are not read as one move.)
void TMovePairing::ReplaceStayed(const TEventCursor& cursor, TFolder& from, const TRename& rename) {
  from.Items.Erase(rename.FromName);
  ForgetFolder(tree_, polls_, rename.Value, rename.FromWd);
  if (!echoes_.TakeEcho(cursor, rename.ToWd, rename.ToName, true, true)) {
    out_.Emit(kActionAdded, rename.ToPath, true);
    scan_.WatchNew(rename.ToWd, rename.ToName, true);
  }
  out_.Emit(kActionRemoved, rename.FromPath, true);
}

void TMovePairing::TellRename(const TRename& rename, bool echo, bool sameFolder) {
  if (echo) {
    out_.Emit(kActionRemoved, rename.FromPath, rename.IsDir);
  } else if (sameFolder) {
    out_.Emit(kActionRenamedOld, rename.FromPath, rename.IsDir);
    out_.Emit(kActionRenamedNew, rename.ToPath, rename.IsDir);
  } else {
    out_.Emit(kActionRemoved, rename.FromPath, rename.IsDir);
    out_.Emit(kActionAdded, rename.ToPath, rename.IsDir);
  }
}

// A file keeps its size and inode number where it went, unless something says another file took
// its place there.
void TMovePairing::RenamedFile(const TEventCursor& cursor, TFolder& from, TFolder& to,
                               const TRename& rename, bool echo) {
  uint64_t inode = from.Items.InodeOf(rename.FromName);
  if (inode == 0) inode = rename.Scanned;
  from.Items.Erase(rename.FromName);
  const uint64_t value = rename.Value;
  uint64_t size = value, nowInode = inode;
  const bool unknown = value == kUnknownSize || value == kUnlearnedSize || IsDirValue(value);
  // Looked at where it went when its size is not known, and when its inode number is: the kernel
  // merges two arrivals under one name queued back to back into one event, so a file moved in over
  // it from outside the tree right after the rename shows only as another inode under the name.
  // That is taken only when this read took all that was queued and nothing later in it names
  // either name: otherwise the other inode may be a later item's, whose news is still to be
  // handled. (Not looked at when it goes again within the next few events: a backlog is mostly
  // such.)
  struct stat st;
  const bool tracked = inode != 0 && !echo;
  const bool leavesSoon = !unknown && tracked && cursor.LeavesSoon(rename.ToWd, rename.ToName);
  const bool look = unknown || (tracked && !leavesSoon);
  // (What is there may be a later item under the name, whose news is still to come.)
  const bool found = look && files_.Stat(rename.ToPath, st) && !S_ISDIR(st.st_mode) &&
                     !(unknown && cursor.TakenLater(rename.ToWd, rename.ToName));
  const bool other = found && tracked && st.st_ino != inode;
  // Carried here by the inode number it had before a rename it went on from at once: another file
  // found where it went may have replaced it at any name on its way.
  const bool passing = !passing_.empty() && passing_.erase(NameKey(rename.FromWd, rename.FromName));
  if (other && !passing && times_.Drained &&
      !cursor.NamedLater(rename.ToWd, rename.ToName,
                         IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) &&
      !cursor.TakenLater(rename.FromWd, rename.FromName) && tree_.StillWhereKnown(rename.ToWd) &&
      echoes_.NothingQueued(cursor)) {
    // Told arrived there; moved between folders, the rename was told as its arrival already.
    if (&from == &to) out_.Emit(kActionAdded, rename.ToPath, false);
    size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    nowInode = TrustedInode(st, times_);
  } else if (unknown && found) {
    size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    nowInode = TrustedInode(st, times_);
  } else if (leavesSoon) {
    // Going again at once: it keeps its size and inode number, and is looked at where it stops,
    // so that a write on its way or after is measured against what it was.
    passing_.insert(NameKey(rename.ToWd, rename.ToName));
  } else if (unknown || other) {
    // Not where its folder's path says (a folder above renamed, its events still to come), or
    // another item there that may be a later one: learned once the events are in, or quietly at
    // its first write. What it was before is not kept: a file that replaced it unseen would be
    // measured by it, and its replacement told at its next rename, under a name where none
    // happened.
    size = kUnlearnedSize;
    nowInode = 0;
    items_.Unlearned(rename.ToWd, rename.ToName);
  }
  to.Items.Set(rename.ToName, size, nowInode);
}

void TMovePairing::RenamedFolder(TFolder& to, const TRename& rename, bool echo) {
  const int movedWd = IsDirValue(rename.Value) ? WatchOf(rename.Value) : kNoWatch;
  scan_.NoteRenamed();
  if (TFolder* moved = tree_.Find(movedWd)) {
    // The folder keeps its watch; its subtree follows through the parent links.
    moved->Parent = rename.ToWd;
    moved->Name = rename.ToName;
    to.Items.Set(rename.ToName, rename.Value);
    // Found by the scan of the folder it went to, which told only the folder itself. (Found in
    // another one, it is on its way there still.)
    if (const auto* home = tree_.NewHome(movedWd);
        home && home->first == rename.ToWd && home->second == rename.ToName) {
      tree_.DropNewHome(movedWd);
      if (echo) TellContents(movedWd, rename.ToPath);
    }
    polls_.Move(tree_);
  } else if (TPolled* polled = polls_.Find(movedWd)) {
    polled->Parent = rename.ToWd;
    polled->Name = rename.ToName;
    to.Items.Set(rename.ToName, rename.Value);
    polls_.Move(tree_);
  } else if (!echo) {
    // It was not watched before (unreadable then, a new folder gone before it was read, or one
    // moved in that could not be read where it arrived): try again, and tell what a new one
    // holds, or, for one not known to be new, what one made while watched holds.
    const bool untold = (rename.Value & kUntoldBit) != 0;
    scan_.WatchNew(rename.ToWd, rename.ToName, untold, !untold);
  }
}

// At the first half of its move, a folder whose scan in the new folder it went to found it: told
// gone where it was (`path`), then moved there with its watches and told with what it holds.
// False when that place is no longer its (the new folder gone, or the name taken since).
bool TMovePairing::TakeNewHome(int watch, const std::string& path) {
  const auto* found = tree_.NewHome(watch);
  if (!found) return false;
  const auto [parentWd, name] = *found;
  tree_.DropNewHome(watch);
  TFolder* folder = tree_.Find(watch);
  TFolder* parent = tree_.Find(parentWd);
  if (!folder || !parent) return false;
  const std::optional<uint64_t> placeholder = parent->Items.Find(name);
  if (!placeholder || *placeholder != DirValue(kNoWatch)) return false;
  out_.Emit(kActionRemoved, path, true);
  parent->Items.Set(name, DirValue(watch));
  folder->Parent = parentWd;
  folder->Name = name;
  TellContents(watch, tree_.ItemPath(parentWd, name));
  polls_.Move(tree_);
  // A subfolder made in it just before the move could not be opened under its old path: it is
  // watched and told now that the path is right.
  scan_.NoteRenamed();
  return true;
}

// What the watched folder at `path` holds as far as it was told, told as created.
void TMovePairing::TellContents(int watch, const std::string& path) {
  TContentsList contents;
  CollectContents(tree_, polls_, DirValue(watch), contents);
  for (const auto& [relative, isDir] : contents) {
    out_.Emit(kActionAdded, path + '/' + relative, isDir);
  }
}

void TMovePairing::OnMovedOut() {
  from_.Active = false;
  TFolder* folder = tree_.Find(from_.Wd);
  if (!folder) return;
  const std::string path = tree_.ItemPath(from_.Wd, from_.Name);
  const std::optional<uint64_t> value = folder->Items.Find(from_.Name);
  if (value && IsDirValue(*value) != from_.IsDir) {
    // Another item under the name, of the other kind, found by the scan of a new folder after
    // this one left: this one was never seen, and that one stays.
    gone_.Clear();
    return;
  }
  if (value && IsDirValue(*value) && WatchOf(*value) >= 0 && tree_.NewHome(WatchOf(*value)) &&
      TakeNewHome(WatchOf(*value), path)) {
    // Moved into a new folder whose scan found it: it goes there.
    folder->Items.Erase(from_.Name);
    echoes_.Unmark(from_.Wd, from_.Name);
    gone_.Clear();
    return;
  }
  // Never seen (made in a new folder before it was read): it was here, so both are told.
  if (!value) out_.Emit(kActionAdded, path, from_.IsDir);
  TMovedOut moved;
  if (value) {
    moved = gone_.Describe(*folder, from_.Name, *value, path);
    if (IsDirValue(*value)) {
      // Its watches are held while it may come back (not where polls would have to be taken back
      // too).
      const bool hold = moved.Active && !moved.IsFile && polls_.Empty();
      ForgetFolder(tree_, polls_, *value, from_.Wd, hold ? &moved.Held : nullptr);
    }
    folder->Items.Erase(from_.Name);
  }
  echoes_.Unmark(from_.Wd, from_.Name);
  out_.Emit(kActionRemoved, path, from_.IsDir);
  gone_.Keep(std::move(moved));
}

// A watched folder taken for one that moved while the paths were out of date: once the paths are
// known again, the folder found where it went should be the watched one. If it is another (the one
// that really moved; the watched one took the old name after it), what was told there goes, and
// the folder there is told afresh with what it holds; the watched one is read again where it came
// in under the old name.
void TMovePairing::CheckDoubts() {
  if (doubts_.empty()) return;
  std::vector<TDoubt> doubts;
  doubts.swap(doubts_);
  for (auto& doubt : doubts) {
    if (!CheckDoubt(doubt) && doubts_.size() < kMaxDoubts) doubts_.push_back(std::move(doubt));
  }
}

// False while the paths are still out of date.
bool TMovePairing::CheckDoubt(TDoubt& doubt) {
  TFolder* to = tree_.Find(doubt.ToWd);
  if (!to) return true;
  const std::optional<uint64_t> value = to->Items.Find(doubt.ToName);
  // Gone or replaced since: its own events told that.
  if (!value || !IsDirValue(*value)) return true;
  const std::string path = tree_.ItemPath(doubt.ToWd, doubt.ToName);
  struct stat st;
  // Still out of date (or gone, which its own events tell).
  if (!files_.Stat(path, st)) return false;
  const int held = WatchOf(*value);
  const TFolder* watched = tree_.Find(held);
  if (!S_ISDIR(st.st_mode) || (watched && watched->Inode == st.st_ino) ||
      (held != doubt.Watch && held != kNoWatch)) {
    return true;
  }
  if (const TFolder* mover = tree_.Find(doubt.Watch);
      mover && files_.BornAfter(path, mover->Born)) {
    // Made after the watched folder: not the one that moved, but a later one under the name,
    // after the watched one moved on. The news of both tells the rest.
    return true;
  }
  out_.Emit(kActionRemoved, path, true);
  to->Items.Erase(doubt.ToName);
  if (held == doubt.Watch) ForgetSubtree(tree_, polls_, doubt.Watch, doubt.ToWd);
  out_.Emit(kActionAdded, path, true);
  scan_.WatchNew(doubt.ToWd, doubt.ToName, true);
  // Where the watched folder came in under the old name, it was found watched already and not
  // read: it is read now.
  TFolder* from = tree_.Find(doubt.FromWd);
  if (!from) return true;
  if (const std::optional<uint64_t> old = from->Items.Find(doubt.FromName);
      old && IsDirValue(*old) && WatchOf(*old) == kNoWatch) {
    scan_.WatchNew(doubt.FromWd, doubt.FromName, true);
  }
  return true;
}
