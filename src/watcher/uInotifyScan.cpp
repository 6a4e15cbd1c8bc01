#include "watcher/uInotifyScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/uPlatformText.h"
#include "watcher/uDirChangesPoll.h"
#include "watcher/uInotifyEchoes.h"
#include "watcher/uInotifyFiles.h"
#include "watcher/uInotifyPolled.h"
#include "watcher/uInotifyRecords.h"

namespace {

constexpr size_t kDirentBufferSize = 32 * 1024;
// A scan keeps at most this many folders of its path open; deeper ones are opened again by name
// when the scan comes back to them, so a tree of any depth needs no more descriptors.
constexpr size_t kOpenLevels = 16;
// Sizes of up to this many files are learned on the scanning thread itself; beyond that a
// second thread learns them, since on a large tree the stat calls are half the work.
constexpr size_t kInlineSizes = 4096;

// Errors that say the process or the system ran short, not that the folder is unreadable.
bool OutOfDescriptors(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM;
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (!path.empty()) path += '/';
  path += name;
  return path;
}

}  // namespace

TFolderScan::TFolderScan(TFolderTree& tree, const TTreeFiles& files, TEchoMarks& echoes,
                         TPolledParts& polls, TRecordsOut& out, const TReadTimes& times,
                         const std::atomic<bool>& stop,
                         std::function<void(const std::string&)> afterScan)
    : tree_(tree),
      files_(files),
      echoes_(echoes),
      polls_(polls),
      out_(out),
      times_(times),
      stop_(stop),
      afterScan_(std::move(afterScan)),
      dirents_(new char[kDirentBufferSize]) {}

TFolderScan::~TFolderScan() = default;

void TFolderScan::Reset() {
  untold_.clear();
  starved_.clear();
  renamed_ = false;
  unwatched_ = 0;
  watchMemory_ = false;
}

void TFolderScan::ReadTree(int rootFd) {
  sharingSizes_ = true;
  inlineSizes_ = 0;
  std::string path;
  Descend(rootFd, false, tree_.RootWd(), path, false);
  sharingSizes_ = false;
  if (sizeWorker_) {
    ApplySizes(sizeWorker_->Finish());
    sizeWorker_.reset();
  }
}

void TFolderScan::CountUnwatched(int rootFd) {
  unwatched_ = 1;
  std::string path;
  if (lseek(rootFd, 0, SEEK_SET) == 0) Descend(rootFd, false, kNoWatch, path, false);
}

// Opens and watches the subfolder `name` of the folder watched as parentWd (kNoWatch when the
// parent is not watched), open on parentFd, whose relative path is `path`. Sets the parent's entry.
// Once the subfolder is open, `path` is its relative path; when it is to be read (Descend), Fd is
// open on it. A subfolder polled instead is read by its poll.
TFolderScan::TAttached TFolderScan::Attach(int parentWd, int parentFd, std::string& path,
                                           std::string_view name, bool report, bool checkBirth) {
  TFolder* parent = parentWd == kNoWatch ? nullptr : tree_.Find(parentWd);
  const std::string nameText(name);
  const int fd =
      openat(parentFd, nameText.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // Unreadable (or gone, or replaced by a link): it stays an item that is not looked into. What
    // a new folder holds is told when it is found again.
    const bool starved = OutOfDescriptors(errno);
    if (parent) parent->Items.Set(name, DirValue(kNoWatch) | (report ? kUntoldBit : 0));
    return {-1, kNoWatch, false, false, starved};
  }
  if (!path.empty()) path += '/';
  path += name;

  struct statx sx;
  TIdentity identity;
  if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx) == 0) {
    identity = {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino, BirthOf(sx)};
  }
  if (checkBirth && parent && Earlier(times_.After, identity.Born)) {
    close(fd);
    return {-1, kNoWatch, false, true};
  }
  if (parent && identity.Device != parent->Device && PollShare(parentWd, *parent, fd, path, name)) {
    close(fd);
    return {};
  }
  TAttached attached = Watch(parentWd, parent, fd, path, name, identity, report);
  if (!attached.Descend) {
    close(fd);
    attached.Fd = -1;
  }
  return attached;
}

// A mount point: inotify serves local file systems; a share's changes made elsewhere only polling
// sees. True when the share is polled from now on.
bool TFolderScan::PollShare(int parentWd, TFolder& parent, int fd, const std::string& path,
                            std::string_view name) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0 || !IsRemoteFileSystemType(static_cast<int64_t>(fs.f_type))) {
    return false;
  }
  const int poll = polls_.Start(parentWd, name, path, true);
  if (poll == kNoWatch) return false;
  parent.Items.Set(name, DirValue(poll));
  return true;
}

// Adds the watch of the folder open on fd, and decides whether it is read here.
TFolderScan::TAttached TFolderScan::Watch(int parentWd, TFolder* parent, int fd,
                                          const std::string& path, std::string_view name,
                                          const TIdentity& identity, bool report) {
  TAttached attached{fd, kNoWatch, true};
  bool poll = false;
  if (!parent) {
    ++unwatched_;  // under a folder that is not watched, which happens only at the limit
  } else if (const int added = tree_.AddWatch(fd, path); added < 0) {
    if (errno == ENOMEM) watchMemory_ = true;
    if (errno == ENOSPC || errno == ENOMEM) {
      // Polled with its whole subtree; still read here, to count what the limit leaves out (and,
      // with `report`, to tell what a new folder holds).
      ++unwatched_;
      poll = true;
    } else {
      attached.Descend = false;
    }
  } else if (const TFolder* known = tree_.Find(added);
             known && report && !(known->Parent == parentWd && known->Name == name) &&
             !tree_.StillWhereKnown(added)) {
    // A folder of the tree moved into a new one before the new one was watched: its move will
    // look like a move out of the tree (the new folder saw nothing arrive). It keeps its watches
    // and its place for the events still queued for it, which happened there; at its move's first
    // half it goes to the new folder, told with what it holds then.
    tree_.SetNewHome(added, parentWd, std::string(name));
    attached.Descend = false;
  } else if (known) {
    // Watched already: under this very name (a folder reported both by a scan and by its own
    // event), or under another one (a bind mount of a folder of the tree, or a rename whose
    // events are still on their way, which will bring the entry up to date).
    if (known->Parent == parentWd && known->Name == name) attached.Wd = added;
    attached.Descend = false;
  } else {
    attached.Wd = added;
    tree_.Add(
        added,
        TFolder{parentWd, std::string(name), {}, identity.Device, identity.Inode, identity.Born});
  }
  if (parent) parent->Items.Set(name, DirValue(attached.Wd));
  if (poll) {
    PollBeyondLimit(parentWd, parent, path, name, report);
    attached.Descend = false;
  }
  return attached;
}

// What the folder holds is told from the poll's own first scan, so that nothing made in it
// meanwhile falls between what is told and what the first poll compares with.
void TFolderScan::PollBeyondLimit(int parentWd, TFolder* parent, const std::string& path,
                                  std::string_view name, bool report) {
  TSubtreePolls::TContents contents;
  contents.WithRecords = report;
  if (const int id = polls_.Start(parentWd, name, path, false, &contents); id != kNoWatch) {
    parent->Items.Set(name, DirValue(id));
    unwatched_ += contents.Folders - 1;  // the folder itself is counted already
    if (report) {
      for (const auto& record : contents.Records) {
        out_.Emit(kActionAdded, path + '/' + Utf16ToNarrow(record.Name), record.IsDir);
      }
    }
  } else if (parent) {
    // Its path went before the poll could read it (renamed on, or removed). What it holds is
    // told when its rename's events bring it back, from that poll's first scan: read here and
    // polled later, what was made in between would be taken in silently.
    parent->Items.Set(name, DirValue(kNoWatch) | (report ? kUntoldBit : 0));
    untold_.push_back({parentWd, std::string(name), report, false});
  }
}

void TFolderScan::WatchNew(int parentWd, std::string_view name, bool report, bool byBirth,
                           bool checkBirth) {
  TFolder* parent = tree_.Find(parentWd);
  if (!parent) return;
  std::string path = tree_.Path(parentWd);
  int parentFd = files_.OpenFolder(path);
  const bool starved = parentFd < 0 && OutOfDescriptors(errno);
  struct stat st;
  if (parentFd >= 0 && (fstat(parentFd, &st) != 0 || st.st_ino != parent->Inode)) {
    // Another folder has the parent's path now: a rename above it is still on its way.
    close(parentFd);
    parentFd = -1;
  }
  if (parentFd < 0) {
    if (starved) return Wait(starved_, parentWd, name, report, byBirth);
    // Neither watched nor, for one moved in, known to be new until the rename's events come:
    // tried again then, or it would stay unwatched for good.
    Wait(untold_, parentWd, name, report, byBirth);
    return;
  }
  const bool asked = report;
  if (byBirth) {
    struct statx sx;
    const int found = files_.StatBirth(tree_.ItemPath(parentWd, name), sx);
    if (found < 0 && OutOfDescriptors(errno)) {
      close(parentFd);
      return Wait(starved_, parentWd, name, asked, byBirth);
    }
    report = MadeWhileWatched(found, sx);
  }
  const TAttached child = Attach(parentWd, parentFd, path, name, report, checkBirth);
  if (child.Descend) Descend(child.Fd, true, child.Wd, path, report);
  close(parentFd);
  if (child.Starved) return Wait(starved_, parentWd, name, asked, byBirth);
  if (child.TooNew) {
    tree_.At(parentWd).Items.Set(name, TooNewValue(asked, byBirth));
    echoes_.LeaveTooNew(parentWd, name, asked, byBirth);
    return;
  }
  if (afterScan_) afterScan_(tree_.ItemPath(parentWd, name));
  echoes_.Raise();
  const std::optional<uint64_t> value = tree_.At(parentWd).Items.Find(name);
  if (report && value && *value == (DirValue(kNoWatch) | kUntoldBit)) {
    untold_.push_back({parentWd, std::string(name), true, false});
  }
}

// The folder `name` of the folder watched as wd waits in `list` to be tried again, unwatched.
void TFolderScan::Wait(std::vector<TUntold>& list, int wd, std::string_view name, bool report,
                       bool byBirth) {
  tree_.At(wd).Items.Set(name, DirValue(kNoWatch) | (report ? kUntoldBit : 0));
  list.push_back({wd, std::string(name), report, byBirth});
}

// The folders waiting in `list` that nothing has told of since, tried again.
void TFolderScan::TryAgain(std::vector<TUntold>& list) {
  std::vector<TUntold> waiting;
  waiting.swap(list);
  for (const auto& one : waiting) {
    const TFolder* folder = tree_.Find(one.Wd);
    if (!folder) continue;
    const std::optional<uint64_t> value = folder->Items.Find(one.Name);
    if (!value || *value != (DirValue(kNoWatch) | (one.Report ? kUntoldBit : 0))) continue;
    WatchNew(one.Wd, one.Name, one.Report, one.ByBirth);
  }
}

void TFolderScan::RetryStarved() {
  TryAgain(starved_);
}

void TFolderScan::AfterRead() {
  if (!renamed_) return;
  renamed_ = false;
  TryAgain(untold_);
}

// Reads the folder open on fd, watched as wd (or kNoWatch), whose relative path is `path`, and its
// whole subtree, one folder after another without recursion: files' sizes go into their folder's
// table, subfolders are watched in turn. With `report`, everything found is told as created, each
// folder before its contents. Closes fd when it owns it. `path` is as it was on return.
void TFolderScan::Descend(int fd, bool ownFd, int wd, std::string& path, bool report) {
  const size_t base = path.size();
  std::vector<TFrame> stack;
  stack.push_back({fd, ownFd, wd, path.size(), {}, {}});
  ListFolder(fd, wd, path, report, stack.back());
  while (!stack.empty()) {
    TFrame& top = stack.back();
    if (top.Next >= top.Subfolders.size() || stop_.load()) {
      if (top.OwnFd && top.Fd >= 0) close(top.Fd);
      // Listed and its subfolders in: most folders change little from here.
      if (TFolder* done = top.Wd == kNoWatch ? nullptr : tree_.Find(top.Wd)) done->Items.Fit();
      stack.pop_back();
      continue;
    }
    const std::string_view name(top.Subfolders.c_str() + top.Next);
    top.Next += name.size() + 1;
    const uint64_t inode = top.Inodes[top.Index++];
    path.resize(top.PathLength);
    if (report) {
      out_.Emit(kActionAdded, Join(path, name), true);
      if (top.Wd != kNoWatch) echoes_.Mark(top.Wd, name, inode);
    }
    // Short of descriptors, the folders above are let go of (they are opened again by name) and
    // the folder is tried once more; failing that, it waits until descriptors are free.
    TAttached child;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (top.Fd < 0) top.Fd = ReopenFrame(stack, path);
      const bool reopenStarved = top.Fd < 0 && OutOfDescriptors(errno);
      child = Attach(top.Wd, top.Fd, path, name, report, false);
      child.Starved |= reopenStarved;
      if (!child.Starved || !CloseFarFrames(stack)) break;
    }
    if (child.Starved && top.Wd != kNoWatch) Wait(starved_, top.Wd, name, report, false);
    if (report && top.Wd != kNoWatch) MarkStated(top.Wd, name, child.Wd);
    if (!child.Descend) continue;
    TFrame frame{child.Fd, true, child.Wd, path.size(), {}, {}};
    ListFolder(child.Fd, child.Wd, path, report, frame);
    stack.push_back(std::move(frame));  // `top` and `name` are gone from here on
    if (stack.size() > kOpenLevels + 1) {
      TFrame& far = stack[stack.size() - kOpenLevels - 1];
      if (far.OwnFd && far.Fd >= 0) {
        close(far.Fd);
        far.Fd = -1;
      }
    }
  }
  path.resize(base);
}

// A subfolder told by a scan is marked by its inode number as stat gives it (a listing's may
// differ, as on overlay file systems), which is what it is compared with.
void TFolderScan::MarkStated(int wd, std::string_view name, int childWd) {
  uint64_t stated = 0;
  if (childWd != kNoWatch) {
    stated = tree_.At(childWd).Inode;
  } else if (const std::optional<uint64_t> value = tree_.At(wd).Items.Find(name);
             value && IsDirValue(*value) && IsPoll(WatchOf(*value))) {
    if (const TPolled* polled = polls_.Find(WatchOf(*value))) stated = polled->Inode;
  }
  if (stated != 0) echoes_.Mark(wd, name, stated, true);
}

// Lets go of the descriptors of the folders between the first of the path and the one being read;
// true when any was open.
bool TFolderScan::CloseFarFrames(std::vector<TFrame>& stack) {
  bool closed = false;
  // The first stays open: the others are opened again from it.
  for (size_t i = 1; i + 1 < stack.size(); ++i) {
    if (stack[i].OwnFd && stack[i].Fd >= 0) {
      close(stack[i].Fd);
      stack[i].Fd = -1;
      closed = true;
    }
  }
  return closed;
}

// The folder of the top frame again, by name from the nearest folder above it still open.
int TFolderScan::ReopenFrame(const std::vector<TFrame>& stack, const std::string& path) {
  size_t open = stack.size() - 1;
  while (open > 0 && stack[open].Fd < 0) --open;
  if (stack[open].Fd < 0) return -1;
  int fd = dup(stack[open].Fd);
  for (size_t i = open + 1; fd >= 0 && i < stack.size(); ++i) {
    const size_t from = stack[i - 1].PathLength + (stack[i - 1].PathLength == 0 ? 0 : 1);
    const std::string name = path.substr(from, stack[i].PathLength - from);
    const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

// Lists the folder open on fd, watched as wd (or kNoWatch), whose relative path is `path`: its
// files' sizes go into its table (with `report` they are told as created), its subfolders into
// the frame.
void TFolderScan::ListFolder(int fd, int wd, const std::string& path, bool report, TFrame& frame) {
  TFolder* folder = wd == kNoWatch ? nullptr : tree_.Find(wd);
  std::string sizesLater;  // regular files whose sizes the size worker learns
  size_t laterCount = 0;
  char* const buffer = dirents_.get();
  for (ssize_t n; (n = getdents64(fd, buffer, kDirentBufferSize)) > 0;) {
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      unsigned type = entry->d_type;
      struct stat st;
      bool haveStat = false;
      if (type == DT_UNKNOWN) {
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = IFTODT(st.st_mode);
        haveStat = true;
      }
      const size_t length = std::strlen(name);
      if (type == DT_DIR) {
        frame.Subfolders.append(name, length + 1);
        frame.Inodes.push_back(entry->d_ino);
        continue;
      }
      // Links and other special files are items like any other; only regular files have a size
      // that can change.
      uint64_t size = 0;
      if (type == DT_REG && haveStat) {
        size = static_cast<uint64_t>(st.st_size);
      } else if (type == DT_REG && folder) {
        if (sharingSizes_ && !report && inlineSizes_ >= kInlineSizes) {
          sizesLater.append(name, length + 1);
          ++laterCount;
          size = kUnknownSize;
        } else {
          ++inlineSizes_;
          if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
          size = static_cast<uint64_t>(st.st_size);
          haveStat = true;
        }
      }
      // The inode number as stat gives it (a listing's may differ, as on overlay file systems).
      if (folder) folder->Items.Set({name, length}, size, haveStat ? TrustedInode(st, times_) : 0);
      if (report) {
        out_.Emit(kActionAdded, Join(path, {name, length}), false);
        if (folder) echoes_.Mark(wd, {name, length}, haveStat ? st.st_ino : entry->d_ino, haveStat);
      }
    }
  }
  if (!sizesLater.empty()) {
    if (!sizeWorker_) sizeWorker_ = std::make_unique<TSizeWorker>(files_.Prefix(), stop_);
    sizeWorker_->Add(wd, path, std::move(sizesLater), laterCount);
    if (++sizeJobs_ % 64 == 0) ApplySizes(sizeWorker_->TakeLearned());
  }
}

void TFolderScan::ApplySizes(const std::vector<TSizeWorker::TResult>& learned) {
  for (const auto& one : learned) {
    TFolder* folder = tree_.Find(one.Wd);
    if (!folder) continue;
    size_t index = 0;
    for (size_t at = 0; at < one.Names.size(); ++index) {
      const std::string_view name(one.Names.c_str() + at);
      at += name.size() + 1;
      const std::optional<uint64_t> value = folder->Items.Find(name);
      if (value && *value == kUnknownSize) {
        folder->Items.Set(name, one.Sizes[index], times_.BeforeFirstRead ? one.Inodes[index] : 0);
      }
    }
    folder->Items.Fit();
  }
}

// A folder that arrives by a move whose start we did not see comes from outside the tree, or from
// a part of it not yet watched (a new folder moved on before it was read). Made after watching
// began, it may well be the latter, and then what it holds was made here: it is told, so that
// nothing made in the tree goes untold. Where the file system keeps no birth time it is not.
bool TFolderScan::MadeWhileWatched(int found, const struct statx& sx) const {
  if (found < 0) return false;
  // Gone again already (renamed on): told with what it holds where it is found, rather than lost.
  if (found == 0) return true;
  if ((sx.stx_mask & STATX_BTIME) == 0) return false;
  // File times tick like the coarse clock: one made in the tick in which watching began counts
  // as made while watched (told rather than lost).
  return !Earlier(BirthOf(sx), times_.Opened);
}
