#include "watcher/uInotifyEchoes.h"

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "watcher/uInotifyFiles.h"

TEchoMarks::~TEchoMarks() {
  for (int i = 0; i < 2; ++i) {
    if (read_[i] >= 0) close(read_[i]);
    if (write_[i] >= 0) close(write_[i]);
  }
}

void TEchoMarks::Start() {
  marks_.clear();
  tooNew_.clear();
  marked_ = false;
  working_ = true;
  sent_ = seen_ = 0;
  for (int i = 0; i < 2 && working_; ++i) {
    if (read_[i] < 0) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        working_ = false;
        break;
      }
      read_[i] = ends[0];
      write_[i] = ends[1];
    }
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", write_[i]);
    barrierWd_[i] = inotify_add_watch(tree_.Fd(), proc, IN_MODIFY);
    working_ = barrierWd_[i] >= 0;
  }
  if (!working_) return;
  // Does a write show? (Nothing else is watched yet.)
  const char one = 1;
  char buffer[sizeof(inotify_event) + 64];
  working_ =
      write(write_[0], &one, 1) == 1 &&
      read(tree_.Fd(), buffer, sizeof buffer) >= static_cast<ssize_t>(sizeof(inotify_event)) &&
      reinterpret_cast<const inotify_event*>(buffer)->wd == barrierWd_[0];
  char drain[64];
  while (read(read_[0], drain, sizeof drain) > 0) {
  }
}

void TEchoMarks::Mark(int wd, std::string_view name, uint64_t inode, bool stated) {
  marks_[NameKey(wd, name)] = {inode, sent_ + 1, stated};
  marked_ = true;
}

void TEchoMarks::Unmark(int wd, std::string_view name) {
  if (marks_.empty()) return;
  marks_.erase(NameKey(wd, name));
}

void TEchoMarks::Raise() {
  if (!marked_) return;
  marked_ = false;
  const char one = 1;
  if (working_ && write(write_[(sent_ + 1) % 2], &one, 1) == 1) {
    ++sent_;
    return;
  }
  // Without barriers an echo is told twice rather than a later arrival swallowed.
  marks_.clear();
}

// A creation can only be the echo, or the news of an earlier item of the other kind (a new item
// under the name would have come after the old one's removal, which takes the mark off); an item
// moved in may also have replaced the one told.
bool TEchoMarks::TakeEcho(const TEventCursor& cursor, int wd, std::string_view name, bool movedIn,
                          bool isDir) {
  if (marks_.empty()) return false;
  const auto it = marks_.find(NameKey(wd, name));
  if (it == marks_.end()) return false;
  const uint64_t inode = it->second.Inode;
  const uint64_t barrier = it->second.Barrier;
  if (!movedIn) {
    // Made as the other kind than what the scan found under the name: an earlier item, gone
    // before the scan; the mark waits for the later one's own creation.
    if (const TFolder* folder = tree_.Find(wd)) {
      const std::optional<uint64_t> value = folder->Items.Find(name);
      if (value && IsDirValue(*value) != isDir) return true;
    }
    marks_.erase(it);
    return true;
  }
  marks_.erase(it);
  struct stat st;
  if (files_.Stat(tree_.ItemPath(wd, name), st)) {
    if (st.st_ino == inode) return true;
    // Another item: the one moved in, which replaced the one told; unless the name was taken
    // since by a later item, the one moved in having gone on: one whose news comes later in the
    // read, or one of the other kind, whose news may not have been read yet.
    if (!cursor.TakenLater(wd, name) && S_ISDIR(st.st_mode) == isDir) return false;
  }
  // Another item came under the name after this one, before the scan's barrier: the scan found
  // that one there, this one had left already (its departure is handled as news of an item the
  // scan did not see there).
  if (cursor.ArrivesBefore(wd, name, BarriersToGo(barrier), Watches())) return true;
  // Gone again since: renamed within the read, it is looked at where it went. Otherwise nothing
  // tells it from the item the scan saw, and telling it twice would have the one item arrive
  // where it already is.
  const auto to = cursor.RenamedLater(wd, name);
  if (!to || !tree_.Find(to->Wd)) return true;
  return !files_.Stat(tree_.ItemPath(to->Wd, to->Name), st) || st.st_ino == inode;
}

uint64_t TEchoMarks::MarkedInode(int wd, std::string_view name) const {
  if (marks_.empty()) return 0;
  const auto it = marks_.find(NameKey(wd, name));
  return it == marks_.end() || !it->second.Stated ? 0 : it->second.Inode;
}

uint64_t TEchoMarks::ScannedInode(const TEventCursor& cursor, int wd, std::string_view name) const {
  if (marks_.empty()) return 0;
  const auto it = marks_.find(NameKey(wd, name));
  if (it == marks_.end()) return 0;
  const uint64_t toGo = BarriersToGo(it->second.Barrier);
  const bool passed = cursor.BarriersAhead(Watches(), toGo) >= toGo;
  return it->second.Stated && passed && !cursor.TakenLater(wd, name) ? it->second.Inode : 0;
}

bool TEchoMarks::NothingQueued(const TEventCursor& cursor) const {
  int queued = 0;
  if (ioctl(tree_.Fd(), FIONREAD, &queued) != 0) return false;
  uint64_t pending = sent_ - seen_;
  pending -= cursor.BarriersAhead(Watches(), pending);
  return static_cast<uint64_t>(queued) == pending * sizeof(inotify_event);
}

void TEchoMarks::LeaveTooNew(int wd, std::string_view name, bool report, bool byBirth) {
  tooNew_[NameKey(wd, name)] = {sent_ + 1, report, byBirth};
  marked_ = true;
  Raise();
}

void TEchoMarks::ForgetTooNew(int wd, std::string_view name) {
  if (!tooNew_.empty()) tooNew_.erase(NameKey(wd, name));
}

std::vector<TEchoMarks::TTooNew> TEchoMarks::OnBarrier(int wd) {
  char drain[64];
  while (read(read_[wd == barrierWd_[0] ? 0 : 1], drain, sizeof drain) > 0) {
  }
  ++seen_;
  SettleMarks();
  // No news under the name of a folder left unread as too new: it was the one after all.
  std::vector<TTooNew> due;
  for (auto it = tooNew_.begin(); it != tooNew_.end();) {
    if (it->second.Barrier > seen_) {
      ++it;
      continue;
    }
    due.push_back({KeyWatch(it->first), std::string(KeyName(it->first)), it->second.Report,
                   it->second.ByBirth});
    it = tooNew_.erase(it);
  }
  return due;
}

void TEchoMarks::SettleMarks() {
  for (auto it = marks_.begin(); it != marks_.end();) {
    if (it->second.Barrier > seen_) {
      ++it;
      continue;
    }
    // No news of an item coming or going under the name between the folder's watch and the
    // barrier: the item the scan found is the one there, though it was too new to be sure of
    // then. Its inode number shows a file replaced under it unseen later.
    if (TFolder* folder = tree_.Find(KeyWatch(it->first))) {
      const std::string_view name = KeyName(it->first);
      const std::optional<uint64_t> value = folder->Items.Find(name);
      if (it->second.Stated && value && IsKnownSize(*value) && folder->Items.InodeOf(name) == 0) {
        folder->Items.Set(name, *value, it->second.Inode);
      }
    }
    it = marks_.erase(it);
  }
}
