#include "watcher/uInotifyArrivals.h"

#include <sys/stat.h>

#include "watcher/uInotifyEchoes.h"
#include "watcher/uInotifyFiles.h"
#include "watcher/uInotifyGone.h"
#include "watcher/uInotifyPolled.h"
#include "watcher/uInotifyRecords.h"
#include "watcher/uInotifyScan.h"

// A new folder is watched at once, then what was made in it before the watch took hold is
// reported; a folder moved in is watched with its subtree, whose contents are not reported (they
// were not created). A file comes with the size it has: a new one is usually empty (the writes
// that fill it arrive as modifications), but one made by a link (a hard link, or a nameless file
// given a name) or moved in is not.
void TItemEvents::OnArrival(const TEventCursor& cursor, int wd, TFolder& folder,
                            std::string_view name, bool isDir, bool movedIn, bool movesOn) {
  if (echoes_.TakeEcho(cursor, wd, name, movedIn, isDir)) return;
  const std::string path = tree_.ItemPath(wd, name);
  // A folder told gone just before (no record between) that comes back into view at once: the
  // two records read as one move.
  const bool touched = gone_.Touches();
  out_.Emit(kActionAdded, path, isDir);
  if (const std::optional<uint64_t> value = folder.Items.Find(name); value && IsDirValue(*value)) {
    // Over a folder we knew (its removal is still on its way): let go of what was watched there.
    ForgetFolder(tree_, polls_, *value, wd);
  }
  if (isDir && movesOn) {
    // Renamed or moved on in this very read: read where it goes. Read here, what is found under
    // the name may already be another folder that took it since.
    folder.Items.Set(name, DirValue(kNoWatch) | kUntoldBit);
  } else if (isDir) {
    FolderArrived(cursor, wd, folder, name, path, movedIn, touched);
  } else {
    FileArrived(cursor, wd, folder, name, path, movedIn);
  }
}

void TItemEvents::FolderArrived(const TEventCursor& cursor, int wd, TFolder& folder,
                                std::string_view name, const std::string& path, bool movedIn,
                                bool touched) {
  // At the watch limit a folder that seems to come from outside may come from a polled part of
  // the tree, whose poll tells it gone with what it held: what it holds is told here.
  const bool maybeFromPolled = movedIn && polls_.BeyondLimit();
  if (movedIn && gone_.ComeBack(cursor, touched, wd, folder, name, path)) return;
  scan_.WatchNew(wd, name, !movedIn || maybeFromPolled, movedIn && !maybeFromPolled,
                 echoes_.Working());
}

void TItemEvents::FileArrived(const TEventCursor& cursor, int wd, TFolder& folder,
                              std::string_view name, const std::string& path, bool movedIn) {
  struct stat st;
  uint64_t size = 0, inode = 0;
  if (!files_.Stat(path, st)) {
    // Renamed or removed already (its size is learned where it went), or, its folder's path out of
    // date, not found where we look (learned once the rename's events are in).
    size = kUnlearnedSize;
    if (!tree_.StillWhereKnown(wd)) unlearned_.emplace_back(wd, name);
  } else if (S_ISDIR(st.st_mode) || cursor.TakenLater(wd, name)) {
    // Another item that took the name since, whose news is still to come: this one is learned
    // where it goes, or quietly at its first write.
    size = kUnlearnedSize;
  } else {
    inode = TrustedInode(st, times_);
    if (S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
  }
  if (!movedIn && size > 0 && size != kUnlearnedSize && st.st_nlink == 1) {
    // Made and written at once (the writes' own events follow), or given a name with its content
    // (a nameless file linked in): the rest of the read tells which.
    filled_[NameKey(wd, name)] = {size, st.st_mtim};
    size = 0;
  }
  folder.Items.Set(name, size, inode);
}

// Sizes of files that arrived under a path out of date, once the read's renames are in; those
// still not found are learned at their first write.
void TItemEvents::LearnSizes() {
  for (const auto& [wd, name] : unlearned_) {
    TFolder* folder = tree_.Find(wd);
    if (!folder) continue;
    const std::optional<uint64_t> value = folder->Items.Find(name);
    if (!value || *value != kUnlearnedSize) continue;
    struct stat st;
    if (files_.Stat(tree_.ItemPath(wd, name), st)) {
      folder->Items.Set(name, S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0,
                        TrustedInode(st, times_));
    }
  }
  unlearned_.clear();
}

// Files that came with content and whose writes were not among the events read: when the read
// took everything queued and the content is older than the read, no write of theirs is still
// to come, so the content came with the name (a nameless file linked in) and is no change.
void TItemEvents::SettleFilled() {
  if (filled_.empty()) return;
  for (const auto& [key, filled] : filled_) {
    TFolder* folder = tree_.Find(KeyWatch(key));
    if (!folder || !times_.Drained) continue;
    const std::optional<uint64_t> value = folder->Items.Find(KeyName(key));
    if (Earlier(filled.Modified, times_.Before) && value && *value == 0) {
      folder->Items.Set(KeyName(key), filled.Size);
    }
  }
  filled_.clear();
}

void TItemEvents::OnDelete(int wd, TFolder& folder, std::string_view name, bool isDir) {
  // A deleted subfolder's poll ends here, and its watch: everything inside it was deleted before
  // it, and should the watch be on a folder that lives on elsewhere (its name was taken again
  // before it was read), that folder is watched afresh when its own news comes.
  const std::optional<uint64_t> value = folder.Items.Find(name);
  // Another item under the name, of the other kind, found by the scan of a new folder after this
  // one went: this one was never seen, and that one stays.
  if (value && IsDirValue(*value) != isDir) return;
  if (value && IsDirValue(*value)) ForgetFolder(tree_, polls_, *value, wd);
  const std::string path = tree_.ItemPath(wd, name);
  // An item we never saw was made in a new folder after its watch took hold and went before the
  // folder was read: it was here, so both are told.
  if (!value) out_.Emit(kActionAdded, path, isDir);
  folder.Items.Erase(name);
  echoes_.Unmark(wd, name);
  out_.Emit(kActionRemoved, path, isDir);
}

void TItemEvents::OnModify(int wd, TFolder& folder, std::string_view name, bool leaving) {
  // Writes that keep the size (and attribute or time changes, which are not even selected) are
  // not reported.
  const std::string path = tree_.ItemPath(wd, name);
  struct stat st;
  uint64_t size = kUnknownSize;
  if (!leaving && files_.Stat(path, st) && !S_ISDIR(st.st_mode)) {
    if (!S_ISREG(st.st_mode)) return;  // a pipe or the like written: no size to change
    size = static_cast<uint64_t>(st.st_size);
  }
  // Otherwise the file was renamed or deleted right after the write (a folder may hold its name
  // since): its size cannot be learned any more, and the change is reported rather than dropped.
  if (!filled_.empty()) filled_.erase(NameKey(wd, name));
  if (const std::optional<uint64_t> known = folder.Items.Find(name)) {
    if (IsDirValue(*known)) return;  // a folder now under a name a file had: its write is old news
    if (*known == kUnlearnedSize && size != kUnknownSize) {
      folder.Items.Set(name, size, TrustedInode(st, times_));
      return;
    }
    if (*known == size && size != kUnknownSize) return;
    folder.Items.Set(name, size);
    out_.Emit(kActionModified, path, false);
  } else {
    // Made in a new folder after its watch took hold, before the folder was read: new to us.
    folder.Items.Set(name, size, size != kUnknownSize ? TrustedInode(st, times_) : 0);
    out_.Emit(kActionAdded, path, false);
  }
}

void TItemEvents::OnAttributes(int wd, TFolder& folder, std::string_view name) {
  const std::optional<uint64_t> value = folder.Items.Find(name);
  if (!value || !IsDirValue(*value) || WatchOf(*value) != kNoWatch) return;
  scan_.WatchNew(wd, name, (*value & kUntoldBit) != 0);
}
