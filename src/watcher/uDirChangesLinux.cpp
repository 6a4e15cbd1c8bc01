// The inotify change source.
//
// inotify watches single folders, so every folder of the tree gets a watch of its own, and the
// source keeps what the kernel does not tell: the path of every watched folder (as its name and
// its parent's watch), and per folder the last known size of each file, so that only a change of
// size is reported as a modification. A thread of our own drains the kernel's queue into ours at
// once, so a slow consumer never makes the kernel drop events.
#include "watcher/uDirChangesLinux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "watcher/uDirChangesPoll.h"
#include "watcher/uInotifyItems.h"
#include "watcher/uPlatformText.h"

namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

// An item's value in its folder's table: a file's size, or, with the top bit set, the watch of a
// subfolder (kNoWatch when it is not watched: unreadable, or gone while it was read), or the
// number of its poll (below kNoWatch: a share mounted there, or a folder beyond the watch limit).
constexpr uint64_t kDirBit = uint64_t{1} << 63;
constexpr int kNoWatch = -1;
bool IsPoll(int wd) {
  return wd < kNoWatch;
}
// Set on what the scan of a new folder found and reported: the kernel may still bring the same
// item's own creation, which is then not reported again.
constexpr uint64_t kScanBit = uint64_t{1} << 62;
// A file whose size could not be learned.
constexpr uint64_t kUnknownSize = kScanBit - 1;
uint64_t DirValue(int wd) {
  return kDirBit | static_cast<uint32_t>(wd);
}
bool IsDirValue(uint64_t value) {
  return (value & kDirBit) != 0;
}
int WatchOf(uint64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}
// True, and the mark taken off, when the item was reported by the scan of a new folder.
bool TakeScanEcho(uint64_t* value) {
  if (!value || (*value & kScanBit) == 0) return false;
  *value &= ~kScanBit;
  return true;
}

// The first half of a rename waits this long at the end of a read for its second half before it
// counts as a move out of the tree.
constexpr int kPairWaitMs = 10;
// A read that follows the last one within kBurstGap waits kGatherTime first.
constexpr auto kBurstGap = std::chrono::milliseconds(4);
constexpr auto kGatherTime = std::chrono::microseconds(1000);
constexpr size_t kEventBufferSize = 64 * 1024;
// How far a size change looks ahead in its read for the file's removal.
constexpr int kLookAhead = 16;
constexpr size_t kDirentBufferSize = 32 * 1024;

constexpr const char* kLimitFile = "/proc/sys/fs/inotify/max_user_watches";

// Sizes of up to this many files are learned on the scanning thread itself; beyond that a
// second thread learns them, since on a large tree the stat calls are half the work.
constexpr size_t kInlineSizes = 4096;

// Learns file sizes on a thread of its own while the scan goes on watching and listing folders.
class TSizeWorker {
 public:
  struct TResult {
    int Wd;
    uint64_t Key;
    uint64_t Size;
  };
  TSizeWorker(const std::string& rootPrefix, const std::atomic<bool>& stop)
      : rootPrefix_(rootPrefix), stop_(stop), thread_([this] { Run(); }) {}
  ~TSizeWorker() { Finish(); }

  // The regular files `names` (each followed by a NUL) of the folder watched as wd, whose
  // relative path is `folder`. Folders are handed over in batches, so that the two threads do
  // not meet at every folder.
  void Add(int wd, const std::string& folder, std::string names, size_t count) {
    batch_.push_back({wd, folder, std::move(names)});
    batchFiles_ += count;
    if (batchFiles_ >= kBatchFiles) HandOver();
  }
  // What it learned since the last call; taken as the scan goes, so that little waits here.
  std::vector<TResult> TakeLearned() {
    std::vector<TResult> out;
    std::lock_guard lock(mutex_);
    out.swap(learned_);
    return out;
  }
  // Waits for the work to be done; what it learned since the last TakeLearned.
  std::vector<TResult> Finish() {
    HandOver();
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return TakeLearned();
  }

 private:
  struct TJob {
    int Wd;
    std::string Folder;
    std::string Names;
  };
  static constexpr size_t kBatchFiles = 512;

  void HandOver() {
    if (batch_.empty()) return;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(batch_));
    }
    wake_.notify_one();
    batch_.clear();
    batchFiles_ = 0;
  }

  void Run() {
    std::string path;
    std::vector<TResult> results;
    for (;;) {
      std::vector<TJob> jobs;
      {
        std::unique_lock lock(mutex_);
        learned_.insert(learned_.end(), results.begin(), results.end());
        results.clear();
        wake_.wait(lock, [&] { return closed_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        jobs = std::move(jobs_.front());
        jobs_.pop_front();
      }
      for (const TJob& job : jobs) {
        if (stop_.load()) break;
        path.assign(rootPrefix_).append(job.Folder);
        const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue;
        for (size_t at = 0; at < job.Names.size();) {
          const char* name = job.Names.c_str() + at;
          const size_t length = std::strlen(name);
          at += length + 1;
          struct stat st;
          if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            results.push_back({job.Wd, ItemKey({name, length}), static_cast<uint64_t>(st.st_size)});
          }
        }
        close(fd);
      }
    }
  }

  const std::string& rootPrefix_;
  const std::atomic<bool>& stop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<TJob>> jobs_;
  bool closed_ = false;
  std::vector<TJob> batch_;  // the scanning thread's, until handed over
  size_t batchFiles_ = 0;
  std::vector<TResult> learned_;
  std::thread thread_;
};

// True when one of the next few events of the read deletes or renames the item: a file that has
// already gone cannot tell its size, so it is not asked. (A backlog of changes is mostly such.)
bool LeavesSoon(const char* buffer, size_t size, size_t offset, int wd, std::string_view name) {
  for (int n = 0; n < kLookAhead && offset + sizeof(inotify_event) <= size; ++n) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    offset += sizeof(inotify_event) + event->len;
    if (event->wd != wd || (event->mask & (IN_DELETE | IN_MOVED_FROM)) == 0) continue;
    if (std::string_view(event->name, strnlen(event->name, event->len)) == name) return true;
  }
  return false;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// A mount inside the watched tree: its mount point relative to the tree, and the mount's number.
using TMount = std::pair<std::string, std::string_view>;

// The mounts in a mount table (/proc/self/mountinfo) whose mount points lie strictly inside
// `root` (a path without links), sorted: parents before children. They refer to `table`.
std::vector<TMount> MountsInside(std::string_view table, const std::string& root) {
  const std::string prefix = root == "/" ? root : root + "/";
  std::vector<TMount> inside;
  std::string point;
  for (size_t line = 0; line < table.size();) {
    size_t end = table.find('\n', line);
    if (end == std::string_view::npos) end = table.size();
    const std::string_view text = table.substr(line, end - line);
    line = end + 1;
    // The fifth field; blanks, tabs, line breaks and backslashes in it are written in octal.
    size_t start = 0;
    for (int field = 0; field < 4 && start != std::string_view::npos; ++field) {
      start = text.find(' ', start);
      if (start != std::string_view::npos) ++start;
    }
    if (start == std::string_view::npos) continue;
    const std::string_view escaped = text.substr(start, text.find(' ', start) - start);
    point.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '\\' && i + 3 < escaped.size() &&
          std::all_of(escaped.begin() + i + 1, escaped.begin() + i + 4,
                      [](char c) { return c >= '0' && c <= '7'; })) {
        point += static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 +
                                   (escaped[i + 3] - '0'));
        i += 3;
      } else {
        point += escaped[i];
      }
    }
    if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0) {
      inside.emplace_back(point.substr(prefix.size()), text.substr(0, text.find(' ')));
    }
  }
  std::sort(inside.begin(), inside.end());
  inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
  return inside;
}

// What the polls of subtrees bring, waiting for the reader thread: it alone knows where in the
// tree each subtree is now, and it alone pushes records, so that they form one ordered stream.
class TPollInbox {
 public:
  struct TDelivery {
    int Id;
    std::vector<TChangeRecord> Records;
    int Error;
  };
  TPollInbox() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), error_(fd_ < 0 ? errno : 0) {}
  ~TPollInbox() { CloseFd(fd_); }
  TPollInbox(const TPollInbox&) = delete;
  TPollInbox& operator=(const TPollInbox&) = delete;
  // Readable while deliveries wait.
  int Fd() const { return fd_; }
  int Error() const { return error_; }
  void Deliver(int id, std::vector<TChangeRecord>& records, int error) {
    {
      std::lock_guard lock(mutex_);
      waiting_.push_back({id, std::move(records), error});
    }
    const uint64_t one = 1;
    if (fd_ >= 0 && write(fd_, &one, sizeof one) < 0) return;
  }
  std::vector<TDelivery> Take() {
    uint64_t count;
    if (fd_ >= 0 && read(fd_, &count, sizeof count) < 0) count = 0;
    std::vector<TDelivery> out;
    std::lock_guard lock(mutex_);
    out.swap(waiting_);
    return out;
  }

 private:
  int fd_;
  int error_;
  std::mutex mutex_;
  std::vector<TDelivery> waiting_;
};

class TInotifyDirChanges final : public TQueuedDirChanges {
 public:
  explicit TInotifyDirChanges(TInotifyHooks hooks);
  ~TInotifyDirChanges() override;
  int Open(const std::string& folder) override;

 protected:
  void OnStop() override;

 private:
  struct TFolder {
    int Parent = kNoWatch;  // kNoWatch for the root
    std::string Name;       // the name in the parent
    TInotifyItems Items;
    dev_t Device = 0;  // a subfolder on another device is a mount point
  };
  // A subtree polled instead of watched, as an item of a watched folder.
  struct TPolled {
    int Parent;
    std::string Name;
    bool Share;  // a share mounted there, rather than a folder beyond the watch limit
  };
  struct TMoveFrom {
    bool Active = false;
    int Wd = 0;
    uint32_t Cookie = 0;
    bool IsDir = false;
    std::string Name;
  };
  enum class TWait { Readable, TimedOut, Stopped };

  // Watching.
  int StartWatching(int rootFd);
  int AddWatch(int fd);
  int WatchSubfolder(int parentWd, int dirFd, const char* openPath, std::string_view name,
                     bool report, uint64_t mark);
  void ScanFolder(int fd, int wd, bool report);
  void ApplySizes(const std::vector<TSizeWorker::TResult>& learned);
  void ForgetSubtree(int wd, int parentWd);
  void TellLimit();

  // Polled subtrees.
  int StartPoll(int parentWd, std::string_view name, const std::string& relative, bool share,
                TSubtreePolls::TContents* contents = nullptr);
  void StopPoll(int id);
  void StopPollsIn(const TFolder& folder);
  void StopAllPolls();
  void MovePolls();
  // Mounts and unmounts inside the tree.
  void ReadMounts();
  void CheckMounts();
  void Reattach(const std::string& relative);
  bool DeliverPolls();
  bool OnPollLost(int id);

  // Reading.
  void ReaderLoop();
  TWait WaitReadable(int timeoutMs);
  bool PauseUnlessStopped(std::chrono::microseconds time);
  bool ProcessEvents(const char* buffer, size_t size);
  void OnArrival(int wd, TFolder& folder, std::string_view name, bool isDir, bool movedIn);
  void OnDelete(int wd, TFolder& folder, std::string_view name, bool isDir);
  void OnModify(int wd, TFolder& folder, std::string_view name, bool leaving);
  void OnRenamed(int toWd, std::string_view toName);
  void OnMovedOut();
  bool Resync();

  void FolderPath(int wd, std::string& out);
  void ItemPath(int wd, std::string_view name, std::string& out);
  const char* Absolute(const std::string& relative);
  uint64_t FileSize(const std::string& path);
  void Emit(uint32_t action, const std::string& path, bool isDir);
  void Flush();

  const TInotifyHooks hooks_;
  std::atomic<bool> stop_{false};
  int wakeFd_ = -1;
  int wakeError_ = 0;
  bool opened_ = false;
  // Everything below belongs to Open until the reader starts, then to the reader alone.
  int inotifyFd_ = -1;
  // No descriptor of the root is kept open: it would hold the folder's entry, and the kernel
  // would then tell of the folder's deletion only when we let go of it.
  std::string rootPrefix_;  // the folder text with one separator at the end
  dev_t rootDevice_ = 0;
  ino_t rootInode_ = 0;
  int rootWd_ = kNoWatch;
  std::string rootPath_;
  bool useProc_ = true;
  std::unordered_map<int, TFolder> folders_;
  TMoveFrom moveFrom_;
  std::vector<TChangeRecord> records_;
  std::string path_;  // the relative path of the folder being scanned
  std::string itemPath_, otherPath_, absolute_;
  std::vector<const std::string*> chain_;
  std::unique_ptr<char[]> dirents_;
  // While the whole tree is read: files whose sizes were learned here, and the helper that
  // learns the rest.
  bool sharingSizes_ = false;
  size_t inlineSizes_ = 0;
  size_t sizeJobs_ = 0;
  std::unique_ptr<TSizeWorker> sizeWorker_;
  size_t unwatched_ = 0;  // folders left unwatched at the watch limit
  bool limitTold_ = false;
  const std::shared_ptr<TPollInbox> inbox_ = std::make_shared<TPollInbox>();
  TSubtreePolls polls_;
  std::unordered_map<int, TPolled> polled_;  // by poll number
  int nextPoll_ = kNoWatch - 1;
  // The mount table, which tells of every mount and unmount; the watched folder's path without
  // links, and the mounts inside it as last read (they refer to mountTable_).
  int mountsFd_ = -1;
  bool mountsChanged_ = false;
  std::string rootReal_;
  std::string mountTable_;
  std::vector<TMount> mounts_;
  std::thread reader_;
};

TInotifyDirChanges::TInotifyDirChanges(TInotifyHooks hooks)
    : hooks_(std::move(hooks)),
      dirents_(new char[kDirentBufferSize]),
      polls_(hooks_.Poll, [inbox = inbox_](int id, std::vector<TChangeRecord>& records, int error) {
        inbox->Deliver(id, records, error);
      }) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) wakeError_ = errno;
}

TInotifyDirChanges::~TInotifyDirChanges() {
  Stop();
  if (reader_.joinable()) reader_.join();
  CloseFd(inotifyFd_);
  CloseFd(wakeFd_);
  CloseFd(mountsFd_);
}

void TInotifyDirChanges::OnStop() {
  stop_.store(true);
  polls_.Stop();
  const uint64_t one = 1;
  // The counter cannot overflow from one write; nothing else can fail here.
  if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof one) < 0) return;
}

int TInotifyDirChanges::Open(const std::string& folder) {
  if (opened_) return EBUSY;
  opened_ = true;
  if (wakeFd_ < 0) return wakeError_;
  if (inbox_->Fd() < 0) return inbox_->Error();
  // A hand-edited folder text may lack the trailing separator or have several.
  rootPath_ = folder;
  while (rootPath_.size() > 1 && rootPath_.back() == '/') rootPath_.pop_back();
  rootPrefix_ = rootPath_ == "/" ? rootPath_ : rootPath_ + "/";
  int rootFd = open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return errno;
  struct stat st;
  if (fstat(rootFd, &st) == 0) {
    rootDevice_ = st.st_dev;
    rootInode_ = st.st_ino;
  }
  const int error = StartWatching(rootFd);
  bool failed = false;
  if (error == ENOSPC) {
    // Not even the folder itself could be watched: say which limit it is and how many folders
    // that leaves out, and poll the whole tree; when even that fails, end the watch with the
    // error.
    unwatched_ = 1;
    if (lseek(rootFd, 0, SEEK_SET) == 0) ScanFolder(rootFd, kNoWatch, false);
    TellLimit();
    if (StartPoll(kNoWatch, {}, {}, false) == kNoWatch) {
      PushFailure(ENOSPC);
      failed = true;
    }
  }
  CloseFd(rootFd);
  if (failed) return 0;
  if (error != 0 && error != ENOSPC) return error;
  // Stopped while the tree was being read: every read answers Stopped.
  if (stop_.load()) return 0;
  // A share mounted inside the tree later is polled from then on, a local file system mounted
  // there is watched; without the mount table (no /proc), mounts stay as they were found.
  if (char* real = realpath(rootPath_.c_str(), nullptr)) {
    rootReal_ = real;
    free(real);
    mountsFd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mountsFd_ >= 0) ReadMounts();
  }
  reader_ = std::thread([this] { ReaderLoop(); });
  return 0;
}

// ---- watching ----

// A fresh inotify instance with the root (open on rootFd) and every folder under it watched.
int TInotifyDirChanges::StartWatching(int rootFd) {
  CloseFd(inotifyFd_);
  StopAllPolls();
  folders_.clear();
  unwatched_ = 0;
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return errno;
  path_.clear();
  rootWd_ = AddWatch(rootFd);
  if (rootWd_ < 0) return errno;
  folders_.emplace(rootWd_, TFolder{kNoWatch, {}, {}, rootDevice_});
  sharingSizes_ = true;
  inlineSizes_ = 0;
  ScanFolder(rootFd, rootWd_, false);
  sharingSizes_ = false;
  if (sizeWorker_) {
    ApplySizes(sizeWorker_->Finish());
    sizeWorker_.reset();
  }
  TellLimit();
  return 0;
}

// Watches the folder open on fd (whose relative path is path_). The watch goes through the
// descriptor, so it lands on the folder that was opened without following links, whatever
// happened to its path meanwhile, and no long path is ever built.
int TInotifyDirChanges::AddWatch(int fd) {
  if (folders_.size() >= hooks_.WatchLimit) {
    errno = ENOSPC;
    return -1;
  }
  if (useProc_) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    const int wd = inotify_add_watch(inotifyFd_, proc, kWatchMask);
    if (wd >= 0 || errno != ENOENT) return wd;
    // Without /proc mounted, fall back to the path.
    useProc_ = false;
  }
  std::string full = rootPath_;
  if (!path_.empty()) (full += '/') += path_;
  return inotify_add_watch(inotifyFd_, full.c_str(), kWatchMask | IN_DONT_FOLLOW);
}

// Opens, watches and reads the subfolder `name` of the folder watched as parentWd (kNoWatch when
// the parent is not watched); openPath is relative to dirFd. On entry path_ holds the parent's
// relative path. `mark` goes into the parent's entry. Returns the subfolder's watch or kNoWatch.
int TInotifyDirChanges::WatchSubfolder(int parentWd, int dirFd, const char* openPath,
                                       std::string_view name, bool report, uint64_t mark) {
  TFolder* parent = parentWd == kNoWatch ? nullptr : &folders_.at(parentWd);
  const uint64_t key = ItemKey(name);
  const int fd = openat(dirFd, openPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // Unreadable (or gone, or replaced by a link): it stays an item that is not looked into.
    if (parent) parent->Items.Set(key, DirValue(kNoWatch) | mark);
    return kNoWatch;
  }
  const size_t base = path_.size();
  if (!path_.empty()) path_ += '/';
  path_ += name;

  struct stat st;
  const dev_t device = fstat(fd, &st) == 0 ? st.st_dev : 0;
  if (parent && device != parent->Device) {
    // A mount point. inotify serves local file systems; a share's changes made elsewhere only
    // polling sees.
    struct statfs fs;
    if (fstatfs(fd, &fs) == 0 && IsRemoteFileSystemType(static_cast<int64_t>(fs.f_type))) {
      const int poll = StartPoll(parentWd, name, path_, true);
      if (poll != kNoWatch) {
        folders_.at(parentWd).Items.Set(key, DirValue(poll) | mark);
        path_.resize(base);
        close(fd);
        return kNoWatch;
      }
    }
  }

  int wd = kNoWatch;
  bool descend = true;
  bool poll = false;
  if (!parent) {
    ++unwatched_;  // under a folder that is not watched, which happens only at the limit
  } else if (const int added = AddWatch(fd); added < 0) {
    if (errno == ENOSPC) {
      // Polled with its whole subtree; still read here, to count what the limit leaves out (and,
      // with `report`, to tell what a new folder holds).
      ++unwatched_;
      poll = true;
    } else {
      descend = false;
    }
  } else if (const auto it = folders_.find(added); it != folders_.end()) {
    // Watched already: under this very name (a folder reported both by a scan and by its own
    // event), or under another one (a bind mount of a folder of the tree, or a rename whose
    // events are still on their way, which will bring the entry up to date).
    if (it->second.Parent == parentWd && it->second.Name == name) wd = added;
    descend = false;
  } else {
    wd = added;
    folders_.emplace(wd, TFolder{parentWd, std::string(name), {}, device});
  }
  if (parent) parent->Items.Set(key, DirValue(wd) | mark);
  if (poll) {
    // What the folder holds is told from the poll's own first scan, so that nothing made in it
    // meanwhile falls between what is told and what the first poll compares with.
    TSubtreePolls::TContents contents;
    contents.WithRecords = report;
    if (const int id = StartPoll(parentWd, name, path_, false, &contents); id != kNoWatch) {
      folders_.at(parentWd).Items.Set(key, DirValue(id) | mark);
      unwatched_ += contents.Folders - 1;  // the folder itself is counted above
      if (report) {
        for (const auto& record : contents.Records) {
          itemPath_ = path_;
          (itemPath_ += '/') += Utf16ToNarrow(record.Name);
          Emit(kActionAdded, itemPath_, record.IsDir);
        }
      }
    } else {
      ScanFolder(fd, kNoWatch, report);  // not polled: what it holds is still told and counted
    }
  } else if (descend) {
    ScanFolder(fd, wd, report);
  }
  path_.resize(base);
  close(fd);
  return wd;
}

// Reads the folder open on fd, watched as wd (or kNoWatch), whose relative path is path_: its
// files' sizes go into its table, its subfolders are watched in turn. With `report`, everything
// found is reported as created, each folder before its contents.
void TInotifyDirChanges::ScanFolder(int fd, int wd, bool report) {
  TFolder* folder = wd == kNoWatch ? nullptr : &folders_.at(wd);
  std::string subfolders;  // names, each followed by a NUL
  std::string sizesLater;  // regular files whose sizes the size worker learns
  size_t laterCount = 0;
  char* const buffer = dirents_.get();
  for (;;) {
    const ssize_t n = getdents64(fd, buffer, kDirentBufferSize);
    if (n <= 0) break;
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
        subfolders.append(name, length + 1);
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
        }
      }
      if (folder) folder->Items.Set(ItemKey({name, length}), report ? size | kScanBit : size);
      if (report) {
        itemPath_ = path_;
        if (!itemPath_.empty()) itemPath_ += '/';
        itemPath_.append(name, length);
        Emit(kActionAdded, itemPath_, false);
      }
    }
  }
  if (!sizesLater.empty()) {
    if (!sizeWorker_) sizeWorker_ = std::make_unique<TSizeWorker>(rootPrefix_, stop_);
    sizeWorker_->Add(wd, path_, std::move(sizesLater), laterCount);
    if (++sizeJobs_ % 64 == 0) ApplySizes(sizeWorker_->TakeLearned());
  }
  for (size_t at = 0; at < subfolders.size();) {
    if (stop_.load()) return;
    const char* name = subfolders.c_str() + at;
    const size_t length = std::strlen(name);
    at += length + 1;
    if (report) {
      itemPath_ = path_;
      if (!itemPath_.empty()) itemPath_ += '/';
      itemPath_.append(name, length);
      Emit(kActionAdded, itemPath_, true);
    }
    WatchSubfolder(wd, fd, name, {name, length}, report, report ? kScanBit : 0);
  }
}

void TInotifyDirChanges::ApplySizes(const std::vector<TSizeWorker::TResult>& learned) {
  for (const auto& one : learned) {
    const auto it = folders_.find(one.Wd);
    if (it == folders_.end()) continue;
    uint64_t* value = it->second.Items.Find(one.Key);
    if (value && *value == kUnknownSize) *value = one.Size;
  }
}

// Drops the watches of a folder that left the tree and of everything under it.
void TInotifyDirChanges::ForgetSubtree(int wd, int parentWd) {
  std::vector<std::pair<int, int>> stack{{wd, parentWd}};
  while (!stack.empty()) {
    const auto [w, parent] = stack.back();
    stack.pop_back();
    const auto it = folders_.find(w);
    if (it == folders_.end() || it->second.Parent != parent) continue;
    it->second.Items.ForEach([&](uint64_t, uint64_t value) {
      if (IsDirValue(value) && WatchOf(value) >= 0) stack.emplace_back(WatchOf(value), w);
    });
    StopPollsIn(it->second);
    inotify_rm_watch(inotifyFd_, w);
    folders_.erase(it);
  }
}

// ---- polled subtrees ----

// Polls the subfolder `name` of the folder watched as parentWd, whose relative path is `relative`;
// its number, or kNoWatch when it cannot be read.
int TInotifyDirChanges::StartPoll(int parentWd, std::string_view name, const std::string& relative,
                                  bool share, TSubtreePolls::TContents* contents) {
  const int id = nextPoll_--;
  polled_.emplace(id, TPolled{parentWd, std::string(name), share});
  if (polls_.Add(id, rootPrefix_ + relative, contents) != 0) {
    polled_.erase(id);
    return kNoWatch;
  }
  return id;
}

void TInotifyDirChanges::StopPoll(int id) {
  polls_.Remove(id);
  polled_.erase(id);
}

void TInotifyDirChanges::StopPollsIn(const TFolder& folder) {
  if (polled_.empty()) return;
  folder.Items.ForEach([&](uint64_t, uint64_t value) {
    if (IsDirValue(value) && IsPoll(WatchOf(value))) StopPoll(WatchOf(value));
  });
}

void TInotifyDirChanges::StopAllPolls() {
  for (const auto& [id, polled] : polled_) polls_.Remove(id);
  polled_.clear();
}

// A folder was renamed: the polls under it scan it at its new path.
void TInotifyDirChanges::MovePolls() {
  for (const auto& [id, polled] : polled_) {
    ItemPath(polled.Parent, polled.Name, otherPath_);
    polls_.Move(id, Absolute(otherPath_));
  }
}

// Records of polled subtrees go out named from the watched folder, by where the subtree is now.
// False when reading has to end.
bool TInotifyDirChanges::DeliverPolls() {
  std::u16string prefix;
  for (auto& delivery : inbox_->Take()) {
    const auto it = polled_.find(delivery.Id);
    if (it == polled_.end()) continue;  // stopped since
    if (delivery.Error != 0) {
      if (!OnPollLost(delivery.Id)) return false;
      continue;
    }
    ItemPath(it->second.Parent, it->second.Name, otherPath_);
    prefix = NarrowToUtf16(otherPath_);
    if (!prefix.empty()) prefix += u'/';  // empty: the whole tree is polled
    for (auto& record : delivery.Records) record.Name.insert(0, prefix);
    Push(delivery.Records);
  }
  return true;
}

// A polled subtree could not be scanned. A share unmounted (the folder on its parent's device
// again) is an ordinary folder from now on. A folder that is gone is told by its parent's events,
// which also end its poll, and one that was only renamed is polled on at its new path, once the
// rename's events arrive; a share that does not answer is polled on.
// With the whole tree polled (not even the watched folder had a watch), the folder's going away
// ends the read with an error. False when reading has to end.
bool TInotifyDirChanges::OnPollLost(int id) {
  const TPolled polled = polled_.at(id);
  struct stat st;
  if (polled.Parent == kNoWatch) {
    if (stat(rootPath_.c_str(), &st) == 0 && st.st_dev == rootDevice_ && st.st_ino == rootInode_) {
      return true;
    }
    StopPoll(id);
    PushFailure(ENOENT);
    return false;
  }
  const auto parent = folders_.find(polled.Parent);
  if (!polled.Share || parent == folders_.end()) return true;
  ItemPath(polled.Parent, polled.Name, otherPath_);
  if (lstat(Absolute(otherPath_), &st) != 0 || !S_ISDIR(st.st_mode) ||
      st.st_dev != parent->second.Device) {
    return true;
  }
  StopPoll(id);
  FolderPath(polled.Parent, path_);
  WatchSubfolder(polled.Parent, AT_FDCWD, Absolute(otherPath_), polled.Name, false, 0);
  TellLimit();
  return true;
}

// ---- mounts inside the tree ----

void TInotifyDirChanges::ReadMounts() {
  mountTable_.clear();
  char buffer[16384];
  for (off_t at = 0;;) {
    const ssize_t n = pread(mountsFd_, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    mountTable_.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  mounts_ = MountsInside(mountTable_, rootReal_);
}

// The mount table changed (anywhere in the system): the mount points inside the tree whose mount
// came, went or was replaced are looked at again. Those of mounts that stayed are not touched: a
// share that does not answer would hold up the reader.
void TInotifyDirChanges::CheckMounts() {
  std::vector<std::string> before;
  for (const auto& [point, id] : mounts_) before.push_back(point + '\0' + std::string(id));
  ReadMounts();
  std::vector<std::string> now;
  for (const auto& [point, id] : mounts_) now.push_back(point + '\0' + std::string(id));
  std::sort(before.begin(), before.end());
  std::sort(now.begin(), now.end());
  std::vector<std::string> changed;
  std::set_symmetric_difference(before.begin(), before.end(), now.begin(), now.end(),
                                std::back_inserter(changed));
  for (auto& one : changed) one.resize(one.find('\0'));
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  for (const auto& relative : changed) Reattach(relative);
  TellLimit();
}

// Makes the folder at `relative` watched or polled as what is there now requires: a share
// mounted there is polled, a local file system mounted there (or the folder a mount left) is
// watched. What a mount shows or uncovers is its contents, not changes: nothing is reported.
void TInotifyDirChanges::Reattach(const std::string& relative) {
  int parentWd = rootWd_;
  size_t start = 0;
  for (size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
    const auto parent = folders_.find(parentWd);
    if (parent == folders_.end()) return;
    const uint64_t* value =
        parent->second.Items.Find(ItemKey(std::string_view(relative).substr(start, slash - start)));
    // Inside a polled subtree (or one that is not looked into) the poll sees the mount itself.
    if (!value || !IsDirValue(*value) || WatchOf(*value) < 0) return;
    parentWd = WatchOf(*value);
  }
  const auto parent = folders_.find(parentWd);
  if (parent == folders_.end()) return;
  const std::string name = relative.substr(start);
  const uint64_t* value = parent->second.Items.Find(ItemKey(name));
  if (!value || !IsDirValue(*value)) return;  // not a folder of the tree as far as we know
  const int current = WatchOf(*value);
  struct stat st;
  if (lstat(Absolute(relative), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  bool remote = false;
  if (st.st_dev != parent->second.Device) {
    struct statfs fs;
    remote = statfs(Absolute(relative), &fs) == 0 &&
             IsRemoteFileSystemType(static_cast<int64_t>(fs.f_type));
  }
  if (IsPoll(current)) {
    const auto polled = polled_.find(current);
    if (polled != polled_.end() && polled->second.Share == remote) return;
    StopPoll(current);
  } else if (current != kNoWatch) {
    const auto folder = folders_.find(current);
    if (!remote && folder != folders_.end() && folder->second.Device == st.st_dev) return;
    if (folder != folders_.end()) ForgetSubtree(current, parentWd);
  }
  FolderPath(parentWd, path_);
  WatchSubfolder(parentWd, AT_FDCWD, Absolute(relative), name, false, 0);
}

void TInotifyDirChanges::TellLimit() {
  if (unwatched_ == 0 || limitTold_) return;
  limitTold_ = true;
  PushNotice(WatchLimitNotice(unwatched_));
}

// ---- reading ----

void TInotifyDirChanges::ReaderLoop() {
  std::unique_ptr<char[]> buffer(new char[kEventBufferSize]);
  auto lastBatch = std::chrono::steady_clock::time_point{};
  bool lastFull = false;
  while (!stop_.load()) {
    if (hooks_.BeforeRead) {
      hooks_.BeforeRead();
      if (stop_.load()) break;
    }
    const ssize_t n = read(inotifyFd_, buffer.get(), kEventBufferSize);
    if (n > 0) {
      // ProcessEvents delivers what it made of the read.
      if (!ProcessEvents(buffer.get(), static_cast<size_t>(n))) return;
      lastBatch = std::chrono::steady_clock::now();
      lastFull = static_cast<size_t>(n) > kEventBufferSize / 2;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno != EAGAIN) {
      Flush();
      PushFailure(n == 0 ? EIO : errno);
      return;
    }
    if (!DeliverPolls()) return;
    if (mountsChanged_) {
      mountsChanged_ = false;
      CheckMounts();
    }
    // No second read to find the queue empty: poll answers at once when something is left.
    if (moveFrom_.Active) {
      const TWait wait = WaitReadable(kPairWaitMs);
      if (wait == TWait::Stopped) break;
      if (wait == TWait::Readable) continue;
      OnMovedOut();
      Flush();
    }
    if (WaitReadable(-1) == TWait::Stopped) break;
    // In a burst, let changes gather for a moment, so that one read and one hand-over to the
    // consumer carry many of them; a change after a quiet spell goes out at once.
    if (!lastFull && std::chrono::steady_clock::now() - lastBatch < kBurstGap &&
        PauseUnlessStopped(kGatherTime)) {
      break;
    }
  }
}

// Sleeps for `time` unless Stop comes first; true when it did.
bool TInotifyDirChanges::PauseUnlessStopped(std::chrono::microseconds time) {
  pollfd fd = {wakeFd_, POLLIN, 0};
  const timespec timeout = {0, static_cast<long>(time.count()) * 1000};
  if (ppoll(&fd, 1, &timeout, nullptr) < 0 && errno != EINTR) return stop_.load();
  return stop_.load() || fd.revents != 0;
}

TInotifyDirChanges::TWait TInotifyDirChanges::WaitReadable(int timeoutMs) {
  pollfd fds[4] = {{inotifyFd_, POLLIN, 0},
                   {wakeFd_, POLLIN, 0},
                   {inbox_->Fd(), POLLIN, 0},
                   {mountsFd_, POLLPRI, 0}};  // ignored while -1
  for (;;) {
    const int n = poll(fds, 4, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (stop_.load() || fds[1].revents != 0) return TWait::Stopped;
    if (fds[3].revents != 0) mountsChanged_ = true;
    return n == 0 ? TWait::TimedOut : TWait::Readable;
  }
}

// Handles one read's events; false when reading has to end.
bool TInotifyDirChanges::ProcessEvents(const char* buffer, size_t size) {
  for (size_t offset = 0; offset + sizeof(inotify_event) <= size;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    offset += sizeof(inotify_event) + event->len;
    const std::string_view name(event->name, event->len ? strnlen(event->name, event->len) : 0);
    const uint32_t mask = event->mask;
    const bool isDir = (mask & IN_ISDIR) != 0;

    // A rename's halves arrive side by side; anything else after the first half means that the
    // item left the tree.
    if (moveFrom_.Active) {
      if ((mask & IN_MOVED_TO) && event->cookie == moveFrom_.Cookie) {
        OnRenamed(event->wd, name);
        continue;
      }
      OnMovedOut();
    }
    if (mask & IN_Q_OVERFLOW) return Resync();
    if (event->wd == rootWd_ &&
        (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))) {
      // The watched folder itself is gone (or was moved away): the read fails.
      Flush();
      PushFailure(ENOENT);
      return false;
    }
    const auto it = folders_.find(event->wd);
    if (it == folders_.end()) continue;  // a watch we already dropped
    if (mask & IN_IGNORED) {
      StopPollsIn(it->second);
      folders_.erase(it);
      continue;
    }
    // A subfolder's own deletion or move is told by its parent's events.
    if (name.empty()) continue;
    if (mask & IN_CREATE) {
      OnArrival(event->wd, it->second, name, isDir, false);
    } else if (mask & IN_DELETE) {
      OnDelete(event->wd, it->second, name, isDir);
    } else if (mask & IN_MODIFY) {
      if (!isDir)
        OnModify(event->wd, it->second, name, LeavesSoon(buffer, size, offset, event->wd, name));
    } else if (mask & IN_MOVED_FROM) {
      moveFrom_.Active = true;
      moveFrom_.Wd = event->wd;
      moveFrom_.Cookie = event->cookie;
      moveFrom_.IsDir = isDir;
      moveFrom_.Name.assign(name);
    } else if (mask & IN_MOVED_TO) {
      OnArrival(event->wd, it->second, name, isDir, true);
    }
  }
  Flush();
  return true;
}

// A creation, or a move into the tree from outside (over an item of the same name or not): the
// item is new here. A new folder is watched at once, then what was made in it before the watch
// took hold is reported; a folder moved in is watched with its subtree, whose contents are not
// reported (they were not created). A new file starts empty (the writes that fill it arrive as
// modifications); a file moved in has its size.
void TInotifyDirChanges::OnArrival(int wd, TFolder& folder, std::string_view name, bool isDir,
                                   bool movedIn) {
  const uint64_t key = ItemKey(name);
  if (TakeScanEcho(folder.Items.Find(key))) return;
  ItemPath(wd, name, otherPath_);
  Emit(kActionAdded, otherPath_, isDir);
  if (isDir) {
    FolderPath(wd, path_);
    WatchSubfolder(wd, AT_FDCWD, Absolute(otherPath_), name, !movedIn, 0);
    TellLimit();
  } else {
    folder.Items.Set(key, movedIn ? FileSize(otherPath_) : 0);
  }
}

void TInotifyDirChanges::OnDelete(int wd, TFolder& folder, std::string_view name, bool isDir) {
  // A deleted subfolder's watch goes with its IN_IGNORED; its poll ends here.
  const uint64_t key = ItemKey(name);
  if (const uint64_t* value = folder.Items.Find(key); value && IsDirValue(*value)) {
    if (IsPoll(WatchOf(*value))) StopPoll(WatchOf(*value));
  }
  folder.Items.Erase(key);
  ItemPath(wd, name, otherPath_);
  Emit(kActionRemoved, otherPath_, isDir);
}

void TInotifyDirChanges::OnModify(int wd, TFolder& folder, std::string_view name, bool leaving) {
  // Writes that keep the size (and attribute or time changes, which are not even selected) are
  // not reported.
  ItemPath(wd, name, otherPath_);
  struct stat st;
  uint64_t size = kUnknownSize;
  if (!leaving && lstat(Absolute(otherPath_), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return;
    size = static_cast<uint64_t>(st.st_size);
  }
  // Otherwise the file was renamed or deleted right after the write: its size cannot be learned
  // any more, and the change is reported rather than dropped.
  const uint64_t key = ItemKey(name);
  if (uint64_t* known = folder.Items.Find(key)) {
    if ((*known & ~kScanBit) == size && size != kUnknownSize) return;
    *known = size | (*known & kScanBit);
  } else {
    folder.Items.Set(key, size);
  }
  Emit(kActionModified, otherPath_, false);
}

// Both halves of a rename inside the tree.
void TInotifyDirChanges::OnRenamed(int toWd, std::string_view toName) {
  moveFrom_.Active = false;
  const auto from = folders_.find(moveFrom_.Wd);
  const auto to = folders_.find(toWd);
  if (from == folders_.end() || to == folders_.end()) {
    // One side is a folder we no longer watch.
    if (from != folders_.end()) {
      moveFrom_.Active = true;
      OnMovedOut();
    } else if (to != folders_.end()) {
      OnArrival(toWd, to->second, toName, moveFrom_.IsDir, true);
    }
    return;
  }
  const bool isDir = moveFrom_.IsDir;
  const uint64_t fromKey = ItemKey(moveFrom_.Name);
  const uint64_t toKey = ItemKey(toName);
  bool hadValue = false;
  uint64_t value = 0;
  if (const uint64_t* v = from->second.Items.Find(fromKey)) {
    hadValue = true;
    value = *v & ~kScanBit;
    from->second.Items.Erase(fromKey);
  }
  ItemPath(moveFrom_.Wd, moveFrom_.Name, itemPath_);
  ItemPath(toWd, toName, otherPath_);
  if (from == to) {
    Emit(kActionRenamedOld, itemPath_, isDir);
    Emit(kActionRenamedNew, otherPath_, isDir);
  } else {
    Emit(kActionRemoved, itemPath_, isDir);
    if (!TakeScanEcho(to->second.Items.Find(toKey))) Emit(kActionAdded, otherPath_, isDir);
  }
  if (!isDir) {
    to->second.Items.Set(toKey, hadValue && value != kUnknownSize ? value : FileSize(otherPath_));
    return;
  }
  const int movedWd = hadValue ? WatchOf(value) : kNoWatch;
  const auto polled = polled_.find(movedWd);
  if (const auto moved = folders_.find(movedWd); moved != folders_.end()) {
    // The folder keeps its watch; its subtree follows through the parent links.
    moved->second.Parent = toWd;
    moved->second.Name.assign(toName);
    to->second.Items.Set(toKey, value);
    MovePolls();
  } else if (polled != polled_.end()) {
    polled->second.Parent = toWd;
    polled->second.Name.assign(toName);
    to->second.Items.Set(toKey, value);
    MovePolls();
  } else {
    // It was not watched before (unreadable then): try again.
    FolderPath(toWd, path_);
    WatchSubfolder(toWd, AT_FDCWD, Absolute(otherPath_), toName, false, 0);
    TellLimit();
  }
}

// A first half of a rename without its second: the item left the tree.
void TInotifyDirChanges::OnMovedOut() {
  moveFrom_.Active = false;
  const auto it = folders_.find(moveFrom_.Wd);
  if (it == folders_.end()) return;
  const uint64_t key = ItemKey(moveFrom_.Name);
  if (const uint64_t* value = it->second.Items.Find(key)) {
    if (IsDirValue(*value) && IsPoll(WatchOf(*value))) {
      StopPoll(WatchOf(*value));
    } else if (IsDirValue(*value) && WatchOf(*value) != kNoWatch) {
      ForgetSubtree(WatchOf(*value), it->first);
    }
    it->second.Items.Erase(key);
  }
  ItemPath(moveFrom_.Wd, moveFrom_.Name, otherPath_);
  Emit(kActionRemoved, otherPath_, moveFrom_.IsDir);
}

// The kernel dropped events: what we know may be wrong, so watch everything afresh and learn the
// sizes again; then the reader learns that changes were lost.
bool TInotifyDirChanges::Resync() {
  Flush();
  moveFrom_.Active = false;
  // The folder may have gone, or been replaced, while events were lost.
  int rootFd = open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  int error = rootFd < 0 ? errno : 0;
  if (rootFd >= 0 &&
      (fstat(rootFd, &st) != 0 || st.st_dev != rootDevice_ || st.st_ino != rootInode_)) {
    error = ENOENT;
  }
  if (error == 0) error = StartWatching(rootFd);
  CloseFd(rootFd);
  if (error == ENOSPC) {
    unwatched_ = std::max<size_t>(unwatched_, 1);
    TellLimit();
    if (StartPoll(kNoWatch, {}, {}, false) != kNoWatch) error = 0;
  }
  if (error != 0) {
    PushOverflow();
    PushFailure(error);
    return false;
  }
  PushOverflow();
  return true;
}

// The relative path of a watched folder, from the parent links.
void TInotifyDirChanges::FolderPath(int wd, std::string& out) {
  chain_.clear();
  // The bound guards against a cycle, which a correct tree never has.
  for (size_t steps = 0; steps <= folders_.size(); ++steps) {
    const auto it = folders_.find(wd);
    if (it == folders_.end() || it->second.Parent == kNoWatch) break;
    chain_.push_back(&it->second.Name);
    wd = it->second.Parent;
  }
  out.clear();
  for (auto name = chain_.rbegin(); name != chain_.rend(); ++name) {
    if (!out.empty()) out += '/';
    out += **name;
  }
}

void TInotifyDirChanges::ItemPath(int wd, std::string_view name, std::string& out) {
  FolderPath(wd, out);
  if (!out.empty()) out += '/';
  out += name;
}

const char* TInotifyDirChanges::Absolute(const std::string& relative) {
  absolute_.assign(rootPrefix_).append(relative);
  return absolute_.c_str();
}

uint64_t TInotifyDirChanges::FileSize(const std::string& path) {
  struct stat st;
  if (lstat(Absolute(path), &st) != 0 || !S_ISREG(st.st_mode)) {
    return 0;
  }
  return static_cast<uint64_t>(st.st_size);
}

void TInotifyDirChanges::Emit(uint32_t action, const std::string& path, bool isDir) {
  records_.push_back({action, NarrowToUtf16(path), isDir});
}

void TInotifyDirChanges::Flush() {
  if (!records_.empty()) Push(records_);
}

}  // namespace

std::string WatchLimitNotice(size_t unwatchedFolders) {
  unsigned long long limit = 0;
  if (FILE* f = std::fopen(kLimitFile, "r")) {
    if (std::fscanf(f, "%llu", &limit) != 1) limit = 0;
    std::fclose(f);
  }
  // The usual advice, or twice the present limit when that is already as high.
  const std::string raised = std::to_string(std::max(524288ULL, limit * 2));
  std::string text =
      "Достигнут системный предел числа наблюдаемых папок fs.inotify.max_user_watches";
  if (limit != 0) text += " (сейчас " + std::to_string(limit) + ")";
  text +=
      ". Папки сверх предела проверяются опросом — медленнее, раз в несколько секунд; "
      "таких папок: " +
      std::to_string(unwatchedFolders) +
      ".\nЧтобы поднять предел, выполните:\n"
      "sudo sysctl fs.inotify.max_user_watches=" +
      raised +
      "\nЧтобы он сохранился после перезагрузки, запишите строку "
      "fs.inotify.max_user_watches=" +
      raised + " в файл /etc/sysctl.d/90-inotify-watches.conf. Затем перезапустите мониторинг.";
  return text;
}

std::shared_ptr<TDirChanges> MakeInotifyDirChanges(TInotifyHooks hooks) {
  return std::make_shared<TInotifyDirChanges>(std::move(hooks));
}

std::shared_ptr<TDirChanges> MakeInotifyDirChanges() {
  return MakeInotifyDirChanges({});
}

std::shared_ptr<TDirChanges> MakePlatformDirChanges() {
  // Shares and FUSE folders are polled: the kernel does not report changes made elsewhere.
  return MakeChoosingDirChanges();
}
