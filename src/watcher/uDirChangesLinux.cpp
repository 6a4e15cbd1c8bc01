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
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/uPlatformText.h"
#include "watcher/uDirChangesPoll.h"
#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifyItems.h"

namespace {

// IN_ATTRIB: a subfolder that could not be read may become readable.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;

// An item's value in its folder's table: a file's size, or, with the top bit set, the watch of a
// subfolder (kNoWatch when it is not watched: unreadable, or gone while it was read), or the
// number of its poll (below kNoWatch: a share mounted there, or a folder beyond the watch limit).
constexpr uint64_t kDirBit = uint64_t{1} << 63;
constexpr int kNoWatch = -1;
bool IsPoll(int wd) {
  return wd < kNoWatch;
}
// Set on a new folder that went away (or could not be read) before what it held was told: that
// is told once it is found again under another name, or becomes readable.
constexpr uint64_t kUntoldBit = uint64_t{1} << 62;
// A file whose size could not be learned.
constexpr uint64_t kUnknownSize = kUntoldBit - 1;
// A file whose size could not be learned when it arrived (gone on at once, or its folder's path out
// of date): learned where it went, once a rename's events are in, or at its first write, which then
// is no change.
constexpr uint64_t kUnlearnedSize = kUntoldBit - 2;
uint64_t DirValue(int wd) {
  return kDirBit | static_cast<uint32_t>(wd);
}
bool IsDirValue(uint64_t value) {
  return (value & kDirBit) != 0;
}
int WatchOf(uint64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}
void ShiftTime(timespec& time, std::chrono::nanoseconds by) {
  const int64_t nanoseconds = int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec + by.count();
  time.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
  time.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
}
// The entry of a folder left unread as made after the read that brought the arrival under its
// name: a new folder's contents are told where the one that arrived is found.
uint64_t TooNewValue(bool report, bool byBirth) {
  return DirValue(kNoWatch) | (report && !byBirth ? kUntoldBit : 0);
}

// A key for an item by its folder's watch and its name.
std::string NameKey(int wd, std::string_view name) {
  std::string key(reinterpret_cast<const char*>(&wd), sizeof wd);
  key += name;
  return key;
}
// The watch and the name of such a key.
int KeyWatch(const std::string& key) {
  int wd;
  std::memcpy(&wd, key.data(), sizeof wd);
  return wd;
}
std::string_view KeyName(const std::string& key) {
  return std::string_view(key).substr(sizeof(int));
}

// The first half of a rename waits this long at the end of a read for its second half before it
// counts as a move out of the tree.
constexpr int kPairWaitMs = 10;
// A read that follows the last one within kBurstGap waits kGatherTime first.
constexpr auto kBurstGap = std::chrono::milliseconds(4);
constexpr auto kGatherTime = std::chrono::microseconds(1000);
constexpr size_t kEventBufferSize = 64 * 1024;
constexpr size_t kDirentBufferSize = 32 * 1024;
// A scan keeps at most this many folders of its path open; deeper ones are opened again by name
// when the scan comes back to them, so a tree of any depth needs no more descriptors.
constexpr size_t kOpenLevels = 16;
// Renames of folders waiting for their paths to be known again (see CheckDoubts).
constexpr size_t kMaxDoubts = 1024;
// What a folder moved out of the tree held is kept, in case it comes straight back, up to this.
constexpr size_t kMostKeptOut = 4096;

constexpr const char* kLimitFile = "/proc/sys/fs/inotify/max_user_watches";

// Sizes of up to this many files are learned on the scanning thread itself; beyond that a
// second thread learns them, since on a large tree the stat calls are half the work.
constexpr size_t kInlineSizes = 4096;

// Learns file sizes on a thread of its own while the scan goes on watching and listing folders.
class TSizeWorker {
 public:
  // The sizes of one folder's files, in the order of their names; kUnknownSize where a file
  // could not be looked at.
  struct TResult {
    int Wd;
    std::string Names;
    std::vector<uint64_t> Sizes;
    std::vector<uint64_t> Inodes;
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
      for (TJob& job : jobs) {
        if (stop_.load()) break;
        path.assign(rootPrefix_).append(job.Folder);
        const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue;
        TResult result{job.Wd, std::move(job.Names), {}, {}};
        for (size_t at = 0; at < result.Names.size();) {
          const char* name = result.Names.c_str() + at;
          at += std::strlen(name) + 1;
          struct stat st;
          const bool ok = fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
          result.Sizes.push_back(ok ? static_cast<uint64_t>(st.st_size) : kUnknownSize);
          result.Inodes.push_back(ok ? static_cast<uint64_t>(st.st_ino) : 0);
        }
        results.push_back(std::move(result));
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
    ino_t Inode = 0;   // which folder the watch is on, whatever its name now
    timespec Born{};   // its birth time; 0 where the file system keeps none
  };
  // A subfolder met by a scan, being read in turn.
  struct TFrame {
    int Fd;
    bool OwnFd;
    int Wd;
    size_t PathLength;       // of path_ while in this folder
    std::string Subfolders;  // names, each followed by a NUL
    std::vector<uint64_t> Inodes;
    size_t Next = 0, Index = 0;
  };
  struct TAttached {
    int Fd = -1;
    int Wd = kNoWatch;
    bool Descend = false;
  };
  // What the scan of a new folder told: the kernel may still bring the same item's own creation,
  // which is then not told again. Such echoes are all queued before the barrier raised after the
  // scan, so the marks go when it arrives; an item that is not the one the scan saw (another
  // inode) is never taken for an echo.
  struct TMark {
    uint64_t Inode;
    uint64_t Barrier;
    bool Stated;  // the inode number as stat gives it (a listing's may differ, as on overlays)
  };
  // A subtree polled instead of watched, as an item of a watched folder.
  struct TPolled {
    int Parent;
    std::string Name;
    bool Share;  // a share mounted there, rather than a folder beyond the watch limit
    ino_t Inode = 0;
    timespec Born{};  // 0 where the file system keeps no birth times
  };
  // A folder just told gone by a move whose other half was not seen: it may have gone into a
  // polled part of the tree, whose poll then tells it new. Told right after the removal, the two
  // read as one move, which carries what the folder held (here, as told before it moved).
  struct TMovedOut {
    bool Active = false;
    // An inode number freed by a removal may go at once to a new folder: one born later is
    // another folder.
    ino_t Inode = 0;
    timespec Born{};
    std::string Path;                                    // where it was
    std::vector<std::pair<std::string, bool>> Contents;  // relative path, and whether a folder
    // The sizes its polled parts' last scans saw, by relative path: a write there after that scan
    // was not told. (What watched folders hold was told as it was written.) With their inode
    // numbers: a file replaced there since is another file, not a written one.
    std::map<std::string, TFileSize> Sizes;
    // A file rather than a folder, with the size it was known to have.
    bool IsFile = false;
    uint64_t FileSize = 0;
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
  TAttached Attach(int parentWd, int parentFd, std::string_view name, bool report);
  int WatchSubtree(int parentWd, int parentFd, std::string_view name, bool report);
  void WatchNew(int parentWd, std::string_view name, bool report, bool byBirth = false);
  void ScanFolder(int fd, int wd, bool report) { Descend(fd, false, wd, report); }
  void Descend(int fd, bool ownFd, int wd, bool report);
  void ListFolder(int fd, int wd, bool report, TFrame& frame);
  int ReopenFrame(std::vector<TFrame>& stack);
  void ApplySizes(const std::vector<TSizeWorker::TResult>& learned);
  // Echoes of what the scans of new folders told.
  void SetUpBarriers();
  void Mark(int wd, std::string_view name, uint64_t inode, bool stated = false);
  void Unmark(int wd, std::string_view name);
  bool TakeEcho(int wd, std::string_view name, bool movedIn, bool isDir);
  uint64_t ScannedInode(int wd, std::string_view name);
  TBarrierWatches Barriers() const { return {barrierWd_[0], barrierWd_[1]}; }
  bool NothingQueued() const;
  uint64_t MarkedInode(int wd, std::string_view name) const;
  void RaiseBarrier();
  void OnBarrier(int which);
  void ForgetSubtree(int wd, int parentWd);
  void TellLimit();

  // Polled subtrees.
  int StartPoll(int parentWd, std::string_view name, const std::string& relative, bool share,
                TSubtreePolls::TContents* contents = nullptr);
  void StopPoll(int id);
  void StopPollsIn(const TFolder& folder);
  void StopAllPolls();
  bool PollsBeyondLimit() const;
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
  void OnArrival(int wd, TFolder& folder, std::string_view name, bool isDir, bool movedIn,
                 bool movesOn = false);
  void OnDelete(int wd, TFolder& folder, std::string_view name, bool isDir);
  void OnModify(int wd, TFolder& folder, std::string_view name, bool leaving);
  void OnRenamed(int toWd, std::string_view toName);
  void OnMovedOut();
  bool CollectContents(uint64_t value, std::vector<std::pair<std::string, bool>>& out,
                       std::map<std::string, TFileSize>* sizes = nullptr, size_t most = SIZE_MAX);
  void ReconcileMove(std::vector<TChangeRecord>& records);
  void OnAttributes(int wd, TFolder& folder, std::string_view name);
  void SettleFilled();
  bool MadeWhileWatched(const std::string& relative);
  bool StillWhereKnown(int wd);
  uint64_t TrustedInode(const struct stat& st) const;
  void RetryUntold();
  void CheckDoubts();
  bool TakeNewHome(int watch);
  void TellContents(int watch, const std::string& path);
  void LearnSizes();
  bool Resync();

  void FolderPath(int wd, std::string& out);
  void ItemPath(int wd, std::string_view name, std::string& out);
  const char* Absolute(const std::string& relative);
  // The folder at a relative path (O_PATH), walked name by name when its whole path is too long
  // for the system; -1 with errno.
  int OpenFolder(const std::string& relative);
  bool StatItem(const std::string& relative, struct stat& st);
  int StatBirth(const std::string& relative, struct statx& sx);
  bool BornAfter(const std::string& relative, const timespec& time);
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
  std::unordered_map<std::string, TMark> marks_;  // by watch and name
  // Files that came with content during the read being handled (by watch and name): their size
  // and modification time, until the read shows whether writes filled them.
  struct TFilled {
    uint64_t Size;
    timespec Modified;
  };
  std::unordered_map<std::string, TFilled> filled_;
  // Files of the read being handled that went on at once from the name a rename gave them, by
  // watch and name.
  std::unordered_set<std::string> passing_;
  TReadTimes times_;
  bool marked_ = false;  // marks made since the last barrier
  // A folder found under the name of one whose arrival is being read, but made after the read:
  // not that one, which has left (its news, and the later one's, are still to come). It is left
  // unread until then. Should the news not come by the barrier raised after the look (a clock
  // stepped back), it was that one after all, and is read then.
  struct TTooNew {
    uint64_t Barrier;
    bool Report;
    bool ByBirth;
  };
  std::unordered_map<std::string, TTooNew> tooNew_;
  bool checkBirth_ = false;   // the next folder attached is checked for being made after the read
  bool foundTooNew_ = false;  // and was
  // New folders that could not be read because a folder above them was renamed meanwhile: tried
  // again once the rename's events have come in.
  struct TUntold {
    int Wd;
    std::string Name;
    bool Report;
    bool ByBirth;
  };
  std::vector<TUntold> untold_;
  // Renames of watched folders read while the paths that would show whether the watched folder
  // is the one that moved were out of date (a folder above renamed too): checked again after
  // each read until the paths are known.
  struct TDoubt {
    int Watch;
    int FromWd;
    std::string FromName;
    int ToWd;
    std::string ToName;
  };
  std::vector<TDoubt> doubts_;
  // Folders of the tree found in a new folder by its scan before their move's events were read:
  // watch -> the new folder's watch and the name there.
  std::unordered_map<int, std::pair<int, std::string>> newHomes_;
  std::vector<std::pair<int, std::string>> unlearned_;  // files whose size is kUnlearnedSize
  bool folderRenamed_ = false;
  // The read being handled.
  TEventCursor cursor_;
  int barrierRead_[2] = {-1, -1}, barrierWrite_[2] = {-1, -1}, barrierWd_[2] = {-1, -1};
  bool barriers_ = false;
  uint64_t barriersSent_ = 0, barriersSeen_ = 0;
  TMoveFrom moveFrom_;
  TMovedOut movedOut_;
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
  SetMaxPending(hooks_.MaxQueued);
}

TInotifyDirChanges::~TInotifyDirChanges() {
  Stop();
  if (reader_.joinable()) reader_.join();
  CloseFd(inotifyFd_);
  CloseFd(wakeFd_);
  CloseFd(mountsFd_);
  for (int i = 0; i < 2; ++i) {
    CloseFd(barrierRead_[i]);
    CloseFd(barrierWrite_[i]);
  }
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
  clock_gettime(CLOCK_REALTIME_COARSE, &times_.Opened);
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
  untold_.clear();
  doubts_.clear();
  newHomes_.clear();
  unlearned_.clear();
  marks_.clear();
  tooNew_.clear();
  marked_ = false;
  unwatched_ = 0;
  times_.BeforeFirstRead = true;
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ < 0) return errno;
  SetUpBarriers();
  path_.clear();
  rootWd_ = AddWatch(rootFd);
  if (rootWd_ < 0) return errno;
  folders_.emplace(rootWd_, TFolder{kNoWatch, {}, {}, rootDevice_, rootInode_});
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
    // As the kernel does, a folder watched already keeps its watch: only a new one is refused.
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        std::none_of(folders_.begin(), folders_.end(), [&](const auto& folder) {
          return folder.second.Inode == st.st_ino && folder.second.Device == st.st_dev;
        })) {
      errno = ENOSPC;
      return -1;
    }
  }
  int wd = -1;
  if (useProc_) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    wd = inotify_add_watch(inotifyFd_, proc, kWatchMask);
    // Without /proc mounted, fall back to the path.
    if (wd < 0 && errno == ENOENT) useProc_ = false;
  }
  if (!useProc_) {
    std::string full = rootPath_;
    if (!path_.empty()) (full += '/') += path_;
    wd = inotify_add_watch(inotifyFd_, full.c_str(), kWatchMask | IN_DONT_FOLLOW);
  }
  if (wd >= 0 && hooks_.AfterWatch) {
    const int error = errno;
    hooks_.AfterWatch(path_);
    errno = error;
  }
  return wd;
}

// Opens and watches the subfolder `name` of the folder watched as parentWd (kNoWatch when the
// parent is not watched), open on parentFd; on entry path_ holds the parent's relative path.
// Sets the parent's entry. When the subfolder is to be read (Descend), path_ holds its relative
// path and Fd is open on it; a subfolder polled instead is read by its poll.
TInotifyDirChanges::TAttached TInotifyDirChanges::Attach(int parentWd, int parentFd,
                                                         std::string_view name, bool report) {
  const bool checkBirth = std::exchange(checkBirth_, false);
  TFolder* parent = parentWd == kNoWatch ? nullptr : &folders_.at(parentWd);
  const std::string nameText(name);
  const int fd =
      openat(parentFd, nameText.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // Unreadable (or gone, or replaced by a link): it stays an item that is not looked into. What
    // a new folder holds is told when it is found again.
    if (parent) parent->Items.Set(name, DirValue(kNoWatch) | (report ? kUntoldBit : 0));
    return {};
  }
  if (!path_.empty()) path_ += '/';
  path_ += name;

  struct statx sx;
  const bool known =
      statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &sx) == 0;
  const dev_t device = known ? makedev(sx.stx_dev_major, sx.stx_dev_minor) : 0;
  const ino_t inode = known ? sx.stx_ino : 0;
  timespec born{};
  if (known && (sx.stx_mask & STATX_BTIME)) born = {sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
  if (checkBirth && parent &&
      (born.tv_sec > times_.After.tv_sec ||
       (born.tv_sec == times_.After.tv_sec && born.tv_nsec > times_.After.tv_nsec))) {
    close(fd);
    foundTooNew_ = true;
    return {};
  }
  if (parent && device != parent->Device) {
    // A mount point. inotify serves local file systems; a share's changes made elsewhere only
    // polling sees.
    struct statfs fs;
    if (fstatfs(fd, &fs) == 0 && IsRemoteFileSystemType(static_cast<int64_t>(fs.f_type))) {
      const int poll = StartPoll(parentWd, name, path_, true);
      if (poll != kNoWatch) {
        parent->Items.Set(name, DirValue(poll));
        close(fd);
        return {};
      }
    }
  }

  TAttached attached{fd, kNoWatch, true};
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
      attached.Descend = false;
    }
  } else if (const auto it = folders_.find(added);
             it != folders_.end() && report &&
             !(it->second.Parent == parentWd && it->second.Name == name) &&
             !StillWhereKnown(added)) {
    // A folder of the tree moved into a new one before the new one was watched: its move will
    // look like a move out of the tree (the new folder saw nothing arrive). It keeps its watches
    // and its place for the events still queued for it, which happened there; at its move's first
    // half it goes to the new folder, told with what it holds then.
    newHomes_[added] = {parentWd, nameText};
    attached.Descend = false;
  } else if (it != folders_.end()) {
    // Watched already: under this very name (a folder reported both by a scan and by its own
    // event), or under another one (a bind mount of a folder of the tree, or a rename whose
    // events are still on their way, which will bring the entry up to date).
    if (it->second.Parent == parentWd && it->second.Name == name) attached.Wd = added;
    attached.Descend = false;
  } else {
    attached.Wd = added;
    folders_.emplace(added, TFolder{parentWd, nameText, {}, device, inode, born});
  }
  if (parent) parent->Items.Set(name, DirValue(attached.Wd));
  if (poll) {
    // What the folder holds is told from the poll's own first scan, so that nothing made in it
    // meanwhile falls between what is told and what the first poll compares with.
    TSubtreePolls::TContents contents;
    contents.WithRecords = report;
    if (const int id = StartPoll(parentWd, name, path_, false, &contents); id != kNoWatch) {
      parent->Items.Set(name, DirValue(id));
      unwatched_ += contents.Folders - 1;  // the folder itself is counted above
      if (report) {
        for (const auto& record : contents.Records) {
          itemPath_ = path_;
          (itemPath_ += '/') += Utf16ToNarrow(record.Name);
          Emit(kActionAdded, itemPath_, record.IsDir);
        }
      }
    } else if (parent) {
      // Its path went before the poll could read it (renamed on, or removed). What it holds is
      // told when its rename's events bring it back, from that poll's first scan: read here and
      // polled later, what was made in between would be taken in silently.
      parent->Items.Set(name, DirValue(kNoWatch) | (report ? kUntoldBit : 0));
      untold_.push_back({parentWd, nameText, report, false});
    }
    attached.Descend = false;
  }
  if (!attached.Descend) {
    close(fd);
    attached.Fd = -1;
  }
  return attached;
}

// Watches and reads the subfolder `name` of the folder watched as parentWd, open on parentFd, and
// everything under it; on entry path_ holds the parent's relative path, as on return. Returns
// the subfolder's watch, or kNoWatch.
int TInotifyDirChanges::WatchSubtree(int parentWd, int parentFd, std::string_view name,
                                     bool report) {
  const size_t base = path_.size();
  const TAttached child = Attach(parentWd, parentFd, name, report);
  if (child.Descend) Descend(child.Fd, true, child.Wd, report);
  path_.resize(base);
  return child.Wd;
}

// A folder that came into the tree (made, moved in, or found again) under the folder watched as
// parentWd: watched with its subtree; with `report` what it holds is told as created; with
// `byBirth` only when it was made while watched (a folder moved in).
void TInotifyDirChanges::WatchNew(int parentWd, std::string_view name, bool report, bool byBirth) {
  FolderPath(parentWd, path_);
  int parentFd = OpenFolder(path_);
  struct stat st;
  if (parentFd >= 0 && (fstat(parentFd, &st) != 0 || st.st_ino != folders_.at(parentWd).Inode)) {
    // Another folder has the parent's path now: a rename above it is still on its way.
    close(parentFd);
    parentFd = -1;
  }
  if (parentFd >= 0) {
    const bool asked = report;
    if (byBirth) {
      ItemPath(parentWd, name, otherPath_);
      report = MadeWhileWatched(otherPath_);
    }
    WatchSubtree(parentWd, parentFd, name, report);
    close(parentFd);
    if (std::exchange(foundTooNew_, false)) {
      folders_.at(parentWd).Items.Set(name, TooNewValue(asked, byBirth));
      tooNew_[NameKey(parentWd, name)] = {barriersSent_ + 1, asked, byBirth};
      marked_ = true;
      RaiseBarrier();
      return;
    }
    if (hooks_.AfterScan) {
      std::string relative;
      ItemPath(parentWd, name, relative);
      hooks_.AfterScan(relative);
    }
    RaiseBarrier();
  } else {
    // Neither watched nor, for one moved in, known to be new until the rename's events come:
    // tried again then, or it would stay unwatched for good.
    folders_.at(parentWd).Items.Set(name, DirValue(kNoWatch) | (report ? kUntoldBit : 0));
    untold_.push_back({parentWd, std::string(name), report, byBirth});
    return;
  }
  const uint64_t* value = folders_.at(parentWd).Items.Find(name);
  if (report && value && *value == (DirValue(kNoWatch) | kUntoldBit)) {
    untold_.push_back({parentWd, std::string(name), true, false});
  }
}

// Reads the folder open on fd, watched as wd (or kNoWatch), whose relative path is path_, and its
// whole subtree, one folder after another without recursion: files' sizes go into their
// folder's table, subfolders are watched in turn. With `report`, everything found is told as
// created, each folder before its contents. Closes fd when it owns it.
void TInotifyDirChanges::Descend(int fd, bool ownFd, int wd, bool report) {
  const size_t base = path_.size();
  std::vector<TFrame> stack;
  stack.push_back({fd, ownFd, wd, path_.size(), {}, {}});
  ListFolder(fd, wd, report, stack.back());
  while (!stack.empty()) {
    TFrame& top = stack.back();
    if (top.Next >= top.Subfolders.size() || stop_.load()) {
      if (top.OwnFd && top.Fd >= 0) close(top.Fd);
      stack.pop_back();
      continue;
    }
    const char* name = top.Subfolders.c_str() + top.Next;
    const size_t length = std::strlen(name);
    top.Next += length + 1;
    const uint64_t inode = top.Inodes[top.Index++];
    path_.resize(top.PathLength);
    if (top.Fd < 0) top.Fd = ReopenFrame(stack);
    if (report) {
      itemPath_ = path_;
      if (!itemPath_.empty()) itemPath_ += '/';
      itemPath_.append(name, length);
      Emit(kActionAdded, itemPath_, true);
      if (top.Wd != kNoWatch) Mark(top.Wd, {name, length}, inode);
    }
    const TAttached child = Attach(top.Wd, top.Fd, {name, length}, report);
    if (report && top.Wd != kNoWatch) {
      // Marked by its inode number as stat gives it (a listing's may differ, as on overlay file
      // systems), which is what it is compared with.
      uint64_t stated = 0;
      if (child.Wd != kNoWatch) {
        stated = folders_.at(child.Wd).Inode;
      } else if (const uint64_t* value = folders_.at(top.Wd).Items.Find({name, length});
                 value && IsDirValue(*value) && IsPoll(WatchOf(*value))) {
        if (const auto polled = polled_.find(WatchOf(*value)); polled != polled_.end()) {
          stated = polled->second.Inode;
        }
      }
      if (stated != 0) Mark(top.Wd, {name, length}, stated, true);
    }
    if (!child.Descend) continue;
    TFrame frame{child.Fd, true, child.Wd, path_.size(), {}, {}};
    ListFolder(child.Fd, child.Wd, report, frame);
    stack.push_back(std::move(frame));  // `top` is gone from here on
    if (stack.size() > kOpenLevels + 1) {
      TFrame& far = stack[stack.size() - kOpenLevels - 1];
      if (far.OwnFd && far.Fd >= 0) {
        close(far.Fd);
        far.Fd = -1;
      }
    }
  }
  path_.resize(base);
}

// The folder of the top frame again, by name from the nearest folder above it still open.
int TInotifyDirChanges::ReopenFrame(std::vector<TFrame>& stack) {
  size_t open = stack.size() - 1;
  while (open > 0 && stack[open].Fd < 0) --open;
  if (stack[open].Fd < 0) return -1;
  int fd = dup(stack[open].Fd);
  for (size_t i = open + 1; fd >= 0 && i < stack.size(); ++i) {
    const size_t from = stack[i - 1].PathLength + (stack[i - 1].PathLength == 0 ? 0 : 1);
    const std::string name = path_.substr(from, stack[i].PathLength - from);
    const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

// Lists the folder open on fd, watched as wd (or kNoWatch), whose relative path is path_: its
// files' sizes go into its table (with `report` they are told as created), its subfolders into
// the frame.
void TInotifyDirChanges::ListFolder(int fd, int wd, bool report, TFrame& frame) {
  TFolder* folder = wd == kNoWatch ? nullptr : &folders_.at(wd);
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
      if (folder) folder->Items.Set({name, length}, size, haveStat ? TrustedInode(st) : 0);
      if (report) {
        itemPath_ = path_;
        if (!itemPath_.empty()) itemPath_ += '/';
        itemPath_.append(name, length);
        Emit(kActionAdded, itemPath_, false);
        if (folder) Mark(wd, {name, length}, haveStat ? st.st_ino : entry->d_ino, haveStat);
      }
    }
  }
  if (!sizesLater.empty()) {
    if (!sizeWorker_) sizeWorker_ = std::make_unique<TSizeWorker>(rootPrefix_, stop_);
    sizeWorker_->Add(wd, path_, std::move(sizesLater), laterCount);
    if (++sizeJobs_ % 64 == 0) ApplySizes(sizeWorker_->TakeLearned());
  }
}

void TInotifyDirChanges::ApplySizes(const std::vector<TSizeWorker::TResult>& learned) {
  for (const auto& one : learned) {
    const auto it = folders_.find(one.Wd);
    if (it == folders_.end()) continue;
    size_t index = 0;
    for (size_t at = 0; at < one.Names.size(); ++index) {
      const std::string_view name(one.Names.c_str() + at);
      at += name.size() + 1;
      const uint64_t* value = it->second.Items.Find(name);
      if (value && *value == kUnknownSize) {
        it->second.Items.Set(name, one.Sizes[index],
                             times_.BeforeFirstRead ? one.Inodes[index] : 0);
      }
    }
  }
}

// ---- echoes of what the scans of new folders told ----

// Two pipes whose writes our own inotify instance sees: a write queues an event behind everything
// queued before it. (Two, taken in turn, so that the kernel never merges two barriers into one.)
void TInotifyDirChanges::SetUpBarriers() {
  barriers_ = true;
  barriersSent_ = barriersSeen_ = 0;
  for (int i = 0; i < 2 && barriers_; ++i) {
    if (barrierRead_[i] < 0) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        barriers_ = false;
        break;
      }
      barrierRead_[i] = ends[0];
      barrierWrite_[i] = ends[1];
    }
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", barrierWrite_[i]);
    barrierWd_[i] = inotify_add_watch(inotifyFd_, proc, IN_MODIFY);
    barriers_ = barrierWd_[i] >= 0;
  }
  if (!barriers_) return;
  // Does a write show? (Nothing else is watched yet.)
  const char one = 1;
  char buffer[sizeof(inotify_event) + 64];
  barriers_ =
      write(barrierWrite_[0], &one, 1) == 1 &&
      read(inotifyFd_, buffer, sizeof buffer) >= static_cast<ssize_t>(sizeof(inotify_event)) &&
      reinterpret_cast<const inotify_event*>(buffer)->wd == barrierWd_[0];
  char drain[64];
  while (read(barrierRead_[0], drain, sizeof drain) > 0) {
  }
}

void TInotifyDirChanges::Mark(int wd, std::string_view name, uint64_t inode, bool stated) {
  marks_[NameKey(wd, name)] = {inode, barriersSent_ + 1, stated};
  marked_ = true;
}

void TInotifyDirChanges::Unmark(int wd, std::string_view name) {
  if (marks_.empty()) return;
  marks_.erase(NameKey(wd, name));
}

// True when the arrival of `name` is the kernel's own news of an item a scan already told. A
// creation can only be that, or the news of an earlier item of the other kind (a new item under
// the name would have come after the old one's removal, which takes the mark off); an item moved
// in may also have replaced the one told.
bool TInotifyDirChanges::TakeEcho(int wd, std::string_view name, bool movedIn, bool isDir) {
  if (marks_.empty()) return false;
  const auto it = marks_.find(NameKey(wd, name));
  if (it == marks_.end()) return false;
  const uint64_t inode = it->second.Inode;
  const uint64_t barrier = it->second.Barrier;
  if (!movedIn) {
    // Made as the other kind than what the scan found under the name: an earlier item, gone
    // before the scan; the mark waits for the later one's own creation.
    if (const auto folder = folders_.find(wd); folder != folders_.end()) {
      const uint64_t* value = folder->second.Items.Find(name);
      if (value && IsDirValue(*value) != isDir) return true;
    }
    marks_.erase(it);
    return true;
  }
  marks_.erase(it);
  ItemPath(wd, name, itemPath_);
  struct stat st;
  if (StatItem(itemPath_, st)) {
    if (st.st_ino == inode) return true;
    // Another item: the one moved in, which replaced the one told; unless the name was taken
    // since by a later item, the one moved in having gone on: one whose news comes later in the
    // read, or one of the other kind, whose news may not have been read yet.
    if (!cursor_.TakenLater(wd, name) && S_ISDIR(st.st_mode) == isDir) return false;
  }
  // Another item came under the name after this one, before the scan's barrier: the scan found
  // that one there, this one had left already (its departure is handled as news of an item the
  // scan did not see there).
  if (cursor_.ArrivesBefore(wd, name, barrier > barriersSeen_ ? barrier - barriersSeen_ : 0,
                            Barriers())) {
    return true;
  }
  // Gone again since: renamed within the read, it is looked at where it went. Otherwise nothing
  // tells it from the item the scan saw, and telling it twice would have the one item arrive
  // where it already is.
  const auto to = cursor_.RenamedLater(wd, name);
  if (!to || !folders_.count(to->Wd)) return true;
  ItemPath(to->Wd, to->Name, itemPath_);
  return !StatItem(itemPath_, st) || st.st_ino == inode;
}

// The inode number, as stat gives it, of what the scan of a new folder found under the name, while
// its barrier is still to come; 0 when none or not known.
uint64_t TInotifyDirChanges::MarkedInode(int wd, std::string_view name) const {
  if (marks_.empty()) return 0;
  const auto it = marks_.find(NameKey(wd, name));
  return it == marks_.end() || !it->second.Stated ? 0 : it->second.Inode;
}

// True when the kernel holds no news since the read being handled but our own barriers: a change
// seen in the tree now is not one whose news is still to come.
bool TInotifyDirChanges::NothingQueued() const {
  int queued = 0;
  if (ioctl(inotifyFd_, FIONREAD, &queued) != 0) return false;
  uint64_t pending = barriersSent_ - barriersSeen_;
  pending -= cursor_.BarriersAhead(Barriers(), pending);
  return static_cast<uint64_t>(queued) == pending * sizeof(inotify_event);
}

void TInotifyDirChanges::RaiseBarrier() {
  if (!marked_) return;
  marked_ = false;
  const char one = 1;
  if (barriers_ && write(barrierWrite_[(barriersSent_ + 1) % 2], &one, 1) == 1) {
    ++barriersSent_;
    return;
  }
  // Without barriers an echo is told twice rather than a later arrival swallowed.
  marks_.clear();
}

void TInotifyDirChanges::OnBarrier(int which) {
  char drain[64];
  while (read(barrierRead_[which], drain, sizeof drain) > 0) {
  }
  ++barriersSeen_;
  for (auto it = marks_.begin(); it != marks_.end();) {
    if (it->second.Barrier > barriersSeen_) {
      ++it;
      continue;
    }
    // No news of an item coming or going under the name between the folder's watch and the
    // barrier: the item the scan found is the one there, though it was too new to be sure of
    // then. Its inode number shows a file replaced under it unseen later.
    if (const auto folder = folders_.find(KeyWatch(it->first)); folder != folders_.end()) {
      const std::string_view name = KeyName(it->first);
      const uint64_t* value = folder->second.Items.Find(name);
      if (it->second.Stated && value && !IsDirValue(*value) && *value != kUnknownSize &&
          *value != kUnlearnedSize && folder->second.Items.InodeOf(name) == 0) {
        folder->second.Items.Set(name, *value, it->second.Inode);
      }
    }
    it = marks_.erase(it);
  }
  // No news under the name of a folder left unread as too new: it was the one after all.
  std::vector<std::pair<std::string, TTooNew>> due;
  for (auto it = tooNew_.begin(); it != tooNew_.end();) {
    if (it->second.Barrier > barriersSeen_) {
      ++it;
      continue;
    }
    due.emplace_back(it->first, it->second);
    it = tooNew_.erase(it);
  }
  for (const auto& [key, one] : due) {
    const int wd = KeyWatch(key);
    const auto folder = folders_.find(wd);
    if (folder == folders_.end()) continue;
    const std::string_view name = KeyName(key);
    const uint64_t* value = folder->second.Items.Find(name);
    if (!value || *value != TooNewValue(one.Report, one.ByBirth)) continue;
    WatchNew(wd, name, one.Report, one.ByBirth);
    TellLimit();
  }
}

// The inode number of the item the scan of a new folder found under the name, when nothing came
// or went under it from the folder's watch to the barrier after the scan, which is later in the
// read being handled; 0 otherwise.
uint64_t TInotifyDirChanges::ScannedInode(int wd, std::string_view name) {
  if (marks_.empty()) return 0;
  const auto it = marks_.find(NameKey(wd, name));
  if (it == marks_.end()) return 0;
  const uint64_t toGo = it->second.Barrier > barriersSeen_ ? it->second.Barrier - barriersSeen_ : 0;
  const bool passed = cursor_.BarriersAhead(Barriers(), toGo) >= toGo;
  return it->second.Stated && passed && !cursor_.TakenLater(wd, name) ? it->second.Inode : 0;
}

// Drops the watches of a folder that left the tree and of everything under it.
void TInotifyDirChanges::ForgetSubtree(int wd, int parentWd) {
  std::vector<std::pair<int, int>> stack{{wd, parentWd}};
  while (!stack.empty()) {
    const auto [w, parent] = stack.back();
    stack.pop_back();
    const auto it = folders_.find(w);
    if (it == folders_.end() || it->second.Parent != parent) continue;
    it->second.Items.ForEach([&](std::string_view, uint64_t value) {
      if (IsDirValue(value) && WatchOf(value) >= 0) stack.emplace_back(WatchOf(value), w);
    });
    StopPollsIn(it->second);
    inotify_rm_watch(inotifyFd_, w);
    folders_.erase(it);
    newHomes_.erase(w);
  }
}

// ---- polled subtrees ----

// Polls the subfolder `name` of the folder watched as parentWd, whose relative path is `relative`;
// its number, or kNoWatch when it cannot be read.
int TInotifyDirChanges::StartPoll(int parentWd, std::string_view name, const std::string& relative,
                                  bool share, TSubtreePolls::TContents* contents) {
  const int id = nextPoll_--;
  struct stat st;
  TPolled polled{parentWd, std::string(name), share, StatItem(relative, st) ? st.st_ino : ino_t{0}};
  if (struct statx sx; StatBirth(relative, sx) == 1 && (sx.stx_mask & STATX_BTIME)) {
    polled.Born = {sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
  }
  polled_.emplace(id, std::move(polled));
  if (!share && hooks_.BeforePoll) hooks_.BeforePoll(relative);
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
  folder.Items.ForEach([&](std::string_view, uint64_t value) {
    if (IsDirValue(value) && IsPoll(WatchOf(value))) StopPoll(WatchOf(value));
  });
}

bool TInotifyDirChanges::PollsBeyondLimit() const {
  return std::any_of(polled_.begin(), polled_.end(),
                     [](const auto& one) { return !one.second.Share; });
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
    if (movedOut_.Active && !delivery.Records.empty()) {
      ReconcileMove(delivery.Records);
      movedOut_ = {};
    }
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
  WatchNew(polled.Parent, polled.Name, false);
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
        parent->second.Items.Find(std::string_view(relative).substr(start, slash - start));
    // Inside a polled subtree (or one that is not looked into) the poll sees the mount itself.
    if (!value || !IsDirValue(*value) || WatchOf(*value) < 0) return;
    parentWd = WatchOf(*value);
  }
  const auto parent = folders_.find(parentWd);
  if (parent == folders_.end()) return;
  const std::string name = relative.substr(start);
  const uint64_t* value = parent->second.Items.Find(name);
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
  WatchNew(parentWd, name, false);
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
    clock_gettime(CLOCK_REALTIME_COARSE, &times_.Before);
    times_.BeforeFirstRead = false;
    const ssize_t n = read(inotifyFd_, buffer.get(), kEventBufferSize);
    if (n > 0) {
      // Whatever the read holds happened before this, by any clock file times are taken from.
      clock_gettime(CLOCK_REALTIME, &times_.After);
      if (hooks_.ReadClockShift.count() != 0) ShiftTime(times_.After, hooks_.ReadClockShift);
      // The next event would have fitted, whatever its name: none was left.
      times_.Drained =
          static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= kEventBufferSize;
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
  cursor_.Reset(buffer, size);
  for (TInotifyEvent next; cursor_.Next(next);) {
    const TInotifyEvent* event = &next;
    const std::string_view name = next.Name;
    const uint32_t mask = next.Mask;
    const bool isDir = next.IsDir();
    if (hooks_.BeforeEvent) hooks_.BeforeEvent(mask, name);
    if (Barriers().Has(event->Wd)) {
      OnBarrier(event->Wd == barrierWd_[0] ? 0 : 1);
      continue;
    }
    if (!tooNew_.empty() && (mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))) {
      tooNew_.erase(NameKey(event->Wd, name));
    }

    // A rename's halves arrive side by side; anything else after the first half means that the
    // item left the tree.
    if (moveFrom_.Active) {
      if ((mask & IN_MOVED_TO) && event->Cookie == moveFrom_.Cookie) {
        OnRenamed(event->Wd, name);
        continue;
      }
      OnMovedOut();
    }
    if (mask & IN_Q_OVERFLOW) return Resync();
    if (event->Wd == rootWd_ &&
        (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))) {
      // The watched folder itself is gone (or was moved away): the read fails.
      Flush();
      PushFailure(ENOENT);
      return false;
    }
    const auto it = folders_.find(event->Wd);
    if (it == folders_.end()) continue;  // a watch we already dropped
    if (mask & IN_IGNORED) {
      StopPollsIn(it->second);
      folders_.erase(it);
      continue;
    }
    // A subfolder's own deletion or move is told by its parent's events.
    if (name.empty()) continue;
    if (mask & IN_CREATE) {
      // A folder that leaves soon, or whose name a later event of the read takes again (so it
      // left), is not looked for under the name: another folder may be there by now.
      OnArrival(event->Wd, it->second, name, isDir, false,
                isDir && (cursor_.LeavesSoon(event->Wd, name, IN_MOVED_FROM) ||
                          cursor_.TakenLater(event->Wd, name)));
    } else if (mask & IN_DELETE) {
      OnDelete(event->Wd, it->second, name, isDir);
    } else if (mask & IN_MODIFY) {
      if (!isDir) OnModify(event->Wd, it->second, name, cursor_.LeavesSoon(event->Wd, name));
    } else if (mask & IN_MOVED_FROM) {
      moveFrom_.Active = true;
      moveFrom_.Wd = event->Wd;
      moveFrom_.Cookie = event->Cookie;
      moveFrom_.IsDir = isDir;
      moveFrom_.Name.assign(name);
    } else if (mask & IN_MOVED_TO) {
      OnArrival(event->Wd, it->second, name, isDir, true);
    } else if ((mask & IN_ATTRIB) && isDir) {
      OnAttributes(event->Wd, it->second, name);
    }
  }
  SettleFilled();
  if (!moveFrom_.Active) passing_.clear();
  if (folderRenamed_) RetryUntold();
  if (!doubts_.empty()) CheckDoubts();
  if (!unlearned_.empty()) LearnSizes();
  Flush();
  return true;
}

// A creation, or a move into the tree from outside (over an item of the same name or not): the
// item is new here. A new folder is watched at once, then what was made in it before the watch
// took hold is reported; a folder moved in is watched with its subtree, whose contents are not
// reported (they were not created). A file comes with the size it has: a new one is usually
// empty (the writes that fill it arrive as modifications), but one made by a link (a hard link,
// or a nameless file given a name) or moved in is not.
void TInotifyDirChanges::OnArrival(int wd, TFolder& folder, std::string_view name, bool isDir,
                                   bool movedIn, bool movesOn) {
  if (TakeEcho(wd, name, movedIn, isDir)) return;
  ItemPath(wd, name, otherPath_);
  // A folder told gone just before (no record between) that comes back into view at once: the
  // two records read as one move.
  const bool touchesMoveOut = movedOut_.Active;
  Emit(kActionAdded, otherPath_, isDir);
  if (const uint64_t* value = folder.Items.Find(name); value && IsDirValue(*value)) {
    // Over a folder we knew (its removal is still on its way): let go of what was watched there.
    const int old = WatchOf(*value);
    if (IsPoll(old)) StopPoll(old);
    if (old >= 0) ForgetSubtree(old, wd);
  }
  if (isDir && movesOn) {
    // Renamed or moved on in this very read: read where it goes. Read here, what is found under
    // the name may already be another folder that took it since.
    folder.Items.Set(name, DirValue(kNoWatch) | kUntoldBit);
    return;
  }
  if (isDir) {
    // At the watch limit a folder that seems to come from outside may come from a polled part of
    // the tree, whose poll tells it gone with what it held: what it holds is told here.
    const bool maybeFromPolled = movedIn && PollsBeyondLimit();
    struct stat st;
    if (movedIn && touchesMoveOut && !movedOut_.IsFile && StatItem(otherPath_, st) &&
        st.st_ino == movedOut_.Inode && !BornAfter(otherPath_, movedOut_.Born)) {
      // Back right after it was told gone (from a polled part, before its poll saw it, or where
      // the second half of its own rename came too late to be paired): the two records read as
      // one move, so what came with it is not told again, and what it held but holds no more is
      // told gone.
      TMovedOut back = std::move(movedOut_);
      movedOut_ = {};
      const std::string where = otherPath_;
      if (where == back.Path) {
        // Under the very path it was told gone from, the two records do not read as a move:
        // everything it holds is told again.
        WatchNew(wd, name, true, false);
        TellLimit();
        return;
      }
      WatchNew(wd, name, false, false);
      TellLimit();
      std::vector<std::pair<std::string, bool>> now;
      if (const uint64_t* value = folder.Items.Find(name)) CollectContents(*value, now);
      const std::map<std::string, bool> then(back.Contents.begin(), back.Contents.end());
      const std::map<std::string, bool> held(now.begin(), now.end());
      std::string item;
      std::set<std::string> gone;
      for (const auto& [relative, dir] : then) {
        if (held.count(relative)) continue;
        // What lay in a folder told gone went with it.
        bool under = false;
        for (size_t at = relative.find('/'); at != std::string::npos && !under;
             at = relative.find('/', at + 1)) {
          under = gone.count(relative.substr(0, at)) != 0;
        }
        if (under) continue;
        gone.insert(relative);
        ((item = where) += '/') += relative;
        Emit(kActionRemoved, item, dir);
      }
      for (const auto& [relative, dir] : held) {
        if (then.count(relative)) continue;
        ((item = where) += '/') += relative;
        Emit(kActionAdded, item, dir);
      }
      return;
    }
    checkBirth_ = barriers_;
    WatchNew(wd, name, !movedIn || maybeFromPolled, movedIn && !maybeFromPolled);
    checkBirth_ = false;
    TellLimit();
    return;
  }
  struct stat st;
  uint64_t size = 0, inode = 0;
  if (!StatItem(otherPath_, st)) {
    // Renamed or removed already (its size is learned where it went), or, its folder's path out of
    // date, not found where we look (learned once the rename's events are in).
    size = kUnlearnedSize;
    if (!StillWhereKnown(wd)) unlearned_.emplace_back(wd, name);
  } else if (S_ISDIR(st.st_mode) || cursor_.TakenLater(wd, name)) {
    // Another item that took the name since, whose news is still to come: this one is learned
    // where it goes, or quietly at its first write.
    size = kUnlearnedSize;
  } else {
    inode = TrustedInode(st);
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
void TInotifyDirChanges::LearnSizes() {
  for (const auto& [wd, name] : unlearned_) {
    const auto folder = folders_.find(wd);
    if (folder == folders_.end()) continue;
    uint64_t* value = folder->second.Items.Find(name);
    if (!value || *value != kUnlearnedSize) continue;
    ItemPath(wd, name, otherPath_);
    struct stat st;
    if (StatItem(otherPath_, st)) {
      folder->second.Items.Set(name, S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0,
                               TrustedInode(st));
    }
  }
  unlearned_.clear();
}

void TInotifyDirChanges::RetryUntold() {
  folderRenamed_ = false;
  std::vector<TUntold> waiting;
  waiting.swap(untold_);
  for (const auto& one : waiting) {
    const auto folder = folders_.find(one.Wd);
    if (folder == folders_.end()) continue;
    const uint64_t* value = folder->second.Items.Find(one.Name);
    if (!value || *value != (DirValue(kNoWatch) | (one.Report ? kUntoldBit : 0))) continue;
    WatchNew(one.Wd, one.Name, one.Report, one.ByBirth);
  }
  TellLimit();
}

// A watched folder taken for one that moved while the paths were out of date: once the paths are
// known again, the folder found where it went should be the watched one. If it is another (the
// one that really moved; the watched one took the old name after it), what was told there goes,
// and the folder there is told afresh with what it holds; the watched one is read again where it
// came in under the old name.
void TInotifyDirChanges::CheckDoubts() {
  std::vector<TDoubt> doubts;
  doubts.swap(doubts_);
  std::string path;
  for (auto& doubt : doubts) {
    const auto to = folders_.find(doubt.ToWd);
    if (to == folders_.end()) continue;
    const uint64_t* value = to->second.Items.Find(doubt.ToName);
    // Gone or replaced since: its own events told that.
    if (!value || !IsDirValue(*value)) continue;
    ItemPath(doubt.ToWd, doubt.ToName, path);
    struct stat st;
    if (!StatItem(path, st)) {
      // Still out of date (or gone, which its own events tell).
      if (doubts_.size() < kMaxDoubts) doubts_.push_back(std::move(doubt));
      continue;
    }
    const int held = WatchOf(*value);
    const auto watched = folders_.find(held);
    if (!S_ISDIR(st.st_mode) || (watched != folders_.end() && watched->second.Inode == st.st_ino) ||
        (held != doubt.Watch && held != kNoWatch)) {
      continue;
    }
    if (const auto mover = folders_.find(doubt.Watch);
        mover != folders_.end() && BornAfter(path, mover->second.Born)) {
      // Made after the watched folder: not the one that moved, but a later one under the name,
      // after the watched one moved on. The news of both tells the rest.
      continue;
    }
    Emit(kActionRemoved, path, true);
    to->second.Items.Erase(doubt.ToName);
    if (held == doubt.Watch) ForgetSubtree(doubt.Watch, doubt.ToWd);
    Emit(kActionAdded, path, true);
    WatchNew(doubt.ToWd, doubt.ToName, true);
    // Where the watched folder came in under the old name, it was found watched already and not
    // read: it is read now.
    const auto from = folders_.find(doubt.FromWd);
    if (from == folders_.end()) continue;
    if (const uint64_t* old = from->second.Items.Find(doubt.FromName);
        old && IsDirValue(*old) && WatchOf(*old) == kNoWatch) {
      WatchNew(doubt.FromWd, doubt.FromName, true);
    }
  }
  TellLimit();
}

// A folder that arrives by a move whose start we did not see comes from outside the tree, or from
// a part of it not yet watched (a new folder moved on before it was read). Made after watching
// began, it may well be the latter, and then what it holds was made here: it is told, so that
// nothing made in the tree goes untold. Where the file system keeps no birth time it is not.
bool TInotifyDirChanges::MadeWhileWatched(const std::string& relative) {
  struct statx sx;
  const int found = StatBirth(relative, sx);
  if (found < 0) return false;
  // Gone again already (renamed on): told with what it holds where it is found, rather than lost.
  if (found == 0) return true;
  if ((sx.stx_mask & STATX_BTIME) == 0) return false;
  // File times tick like the coarse clock: one made in the tick in which watching began counts
  // as made while watched (told rather than lost).
  return sx.stx_btime.tv_sec > times_.Opened.tv_sec ||
         (sx.stx_btime.tv_sec == times_.Opened.tv_sec &&
          sx.stx_btime.tv_nsec >= times_.Opened.tv_nsec);
}

// True when the watched folder is still at the path we know for it.
// The inode number stat found under a name, when it is the item that the events read so far
// leave there: what was there before the read being handled began (or before any read) has all
// its later news in that read or after it; what came after may be a later item under the name,
// whose news is still to come. 0 when it cannot be told.
uint64_t TInotifyDirChanges::TrustedInode(const struct stat& st) const {
  const bool older =
      st.st_ctim.tv_sec < times_.Before.tv_sec ||
      (st.st_ctim.tv_sec == times_.Before.tv_sec && st.st_ctim.tv_nsec < times_.Before.tv_nsec);
  return times_.BeforeFirstRead || older ? static_cast<uint64_t>(st.st_ino) : 0;
}

bool TInotifyDirChanges::StillWhereKnown(int wd) {
  const auto it = folders_.find(wd);
  if (it == folders_.end()) return false;
  std::string path;
  ItemPath(it->second.Parent, it->second.Name, path);
  struct stat st;
  return StatItem(path, st) && S_ISDIR(st.st_mode) && st.st_ino == it->second.Inode;
}

// Files that came with content and whose writes were not among the events read: when the read
// took everything queued and the content is older than the read, no write of theirs is still
// to come, so the content came with the name (a nameless file linked in) and is no change.
void TInotifyDirChanges::SettleFilled() {
  if (filled_.empty()) return;
  for (const auto& [key, filled] : filled_) {
    const auto folder = folders_.find(KeyWatch(key));
    if (folder == folders_.end() || !times_.Drained) continue;
    const bool older = filled.Modified.tv_sec < times_.Before.tv_sec ||
                       (filled.Modified.tv_sec == times_.Before.tv_sec &&
                        filled.Modified.tv_nsec < times_.Before.tv_nsec);
    uint64_t* value = folder->second.Items.Find(KeyName(key));
    if (older && value && *value == 0) *value = filled.Size;
  }
  filled_.clear();
}

void TInotifyDirChanges::OnDelete(int wd, TFolder& folder, std::string_view name, bool isDir) {
  // A deleted subfolder's poll ends here, and its watch: everything inside it was deleted before
  // it, and should the watch be on a folder that lives on elsewhere (its name was taken again
  // before it was read), that folder is watched afresh when its own news comes.
  const uint64_t* value = folder.Items.Find(name);
  // Another item under the name, of the other kind, found by the scan of a new folder after this
  // one went: this one was never seen, and that one stays.
  if (value && IsDirValue(*value) != isDir) return;
  if (value && IsDirValue(*value)) {
    if (IsPoll(WatchOf(*value))) StopPoll(WatchOf(*value));
    if (WatchOf(*value) >= 0) ForgetSubtree(WatchOf(*value), wd);
    value = folder.Items.Find(name);
  }
  ItemPath(wd, name, otherPath_);
  // An item we never saw was made in a new folder after its watch took hold and went before the
  // folder was read: it was here, so both are told.
  if (!value) Emit(kActionAdded, otherPath_, isDir);
  folder.Items.Erase(name);
  Unmark(wd, name);
  Emit(kActionRemoved, otherPath_, isDir);
}

void TInotifyDirChanges::OnModify(int wd, TFolder& folder, std::string_view name, bool leaving) {
  // Writes that keep the size (and attribute or time changes, which are not even selected) are
  // not reported.
  ItemPath(wd, name, otherPath_);
  struct stat st;
  uint64_t size = kUnknownSize;
  if (!leaving && StatItem(otherPath_, st) && !S_ISDIR(st.st_mode)) {
    if (!S_ISREG(st.st_mode)) return;  // a pipe or the like written: no size to change
    size = static_cast<uint64_t>(st.st_size);
  }
  // Otherwise the file was renamed or deleted right after the write (a folder may hold its name
  // since): its size cannot be learned any more, and the change is reported rather than dropped.
  if (!filled_.empty()) {
    filled_.erase(NameKey(wd, name));
  }
  if (uint64_t* known = folder.Items.Find(name)) {
    if (IsDirValue(*known)) return;  // a folder now under a name a file had: its write is old news
    if (*known == kUnlearnedSize && size != kUnknownSize) {
      folder.Items.Set(name, size, TrustedInode(st));
      return;
    }
    if (*known == size && size != kUnknownSize) return;
    *known = size;
    Emit(kActionModified, otherPath_, false);
  } else {
    // Made in a new folder after its watch took hold, before the folder was read: new to us.
    folder.Items.Set(name, size, size != kUnknownSize ? TrustedInode(st) : 0);
    Emit(kActionAdded, otherPath_, false);
  }
}

// A subfolder's attributes changed: one that could not be read may be readable now.
void TInotifyDirChanges::OnAttributes(int wd, TFolder& folder, std::string_view name) {
  const uint64_t* value = folder.Items.Find(name);
  if (!value || !IsDirValue(*value) || WatchOf(*value) != kNoWatch) return;
  WatchNew(wd, name, (*value & kUntoldBit) != 0);
  TellLimit();
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
  bool hadValue = false;
  uint64_t value = 0;
  uint64_t scanned = 0;
  if (const uint64_t* v = from->second.Items.Find(moveFrom_.Name)) {
    hadValue = true;
    value = *v;
    if (!isDir && from->second.Items.InodeOf(moveFrom_.Name) == 0) {
      scanned = ScannedInode(moveFrom_.Wd, moveFrom_.Name);
    }
  }
  if (hadValue && IsDirValue(value) != isDir) {
    // What the old name holds here is another item, of the other kind, found by the scan of a
    // new folder after this one left: this one was never seen, and that one stays.
    OnArrival(toWd, to->second, toName, isDir, true);
    return;
  }
  Unmark(moveFrom_.Wd, moveFrom_.Name);
  if (!hadValue) {
    // Never seen under its old name (made in a new folder before it was read): it arrives.
    OnArrival(toWd, to->second, toName, isDir, true);
    return;
  }
  ItemPath(moveFrom_.Wd, moveFrom_.Name, itemPath_);
  ItemPath(toWd, toName, otherPath_);
  if (isDir && IsDirValue(value)) {
    const auto watched = folders_.find(WatchOf(value));
    struct stat st;
    bool stayed = false;
    if (watched != folders_.end()) {
      const uint64_t inode = watched->second.Inode;
      // Another folder where it went, or (where it went is no longer there under that path) the
      // watched one still where it was. Neither tells when a later event of the read brings an
      // item under the name, which may be the one there now: a folder made or moved under the
      // name it went to, or the watched folder moved back; nor does another folder made after the
      // watched one, which cannot be the one that left the old name before the watched one came
      // under it, but a later one, whose news may not have been read yet. (A folder made under
      // the old name is new: when the watched folder is there, it is that one, and the watched
      // one stayed.)
      // The scan of a new folder, read after the rename, found another folder where it went:
      // that one moved (the paths may not tell, a folder above them renamed since).
      const uint64_t told = MarkedInode(toWd, toName);
      if (told != 0 && told != inode) {
        stayed = true;
      } else if (StatItem(otherPath_, st) &&
                 (st.st_ino == inode || (!cursor_.TakenLater(toWd, toName) &&
                                         !BornAfter(otherPath_, watched->second.Born)))) {
        stayed = S_ISDIR(st.st_mode) && st.st_ino != inode;
      } else if (StatItem(itemPath_, st) &&
                 (st.st_ino != inode ||
                  !cursor_.TakenLater(moveFrom_.Wd, moveFrom_.Name, IN_MOVED_TO))) {
        stayed = S_ISDIR(st.st_mode) && st.st_ino == inode;
      } else {
        // Neither path tells: a folder above was renamed too, and that rename's events are still
        // to come, or a name was taken again. Taken for the folder that moved, which it nearly
        // always is, and checked once the read is handled.
        doubts_.push_back(
            {watched->first, moveFrom_.Wd, std::string(moveFrom_.Name), toWd, std::string(toName)});
      }
    } else if (const auto polled = polled_.find(WatchOf(value)); polled != polled_.end()) {
      // Likewise for a folder polled (beyond the watch limit) under the old name.
      const uint64_t told = MarkedInode(toWd, toName);
      stayed = told != 0 && polled->second.Inode != 0 && told != polled->second.Inode;
    }
    if (stayed) {
      // The folder watched under the old name is not the one that moved: the old name was taken
      // again before its first folder was read (made, renamed, and made again), and what was
      // told under it is the later folder's. That goes (the later folder is told again when its
      // own news comes); the folder that moved is new to us, unless the scan of the folder it
      // went to told it already.
      // (The removal comes last, so that the two are not read as one move.)
      const std::string gone = itemPath_;
      from->second.Items.Erase(moveFrom_.Name);
      if (watched != folders_.end()) {
        ForgetSubtree(watched->first, moveFrom_.Wd);
      } else {
        StopPoll(WatchOf(value));
      }
      if (!TakeEcho(toWd, toName, true, true)) {
        Emit(kActionAdded, otherPath_, true);
        WatchNew(toWd, toName, true);
      }
      Emit(kActionRemoved, gone, true);
      TellLimit();
      return;
    }
  }
  // The scan of a new folder may have told the item under its new name already: then only its
  // old name goes.
  const bool echo = TakeEcho(toWd, toName, true, isDir);
  ItemPath(moveFrom_.Wd, moveFrom_.Name, itemPath_);
  if (echo) {
    Emit(kActionRemoved, itemPath_, isDir);
  } else if (from == to) {
    Emit(kActionRenamedOld, itemPath_, isDir);
    Emit(kActionRenamedNew, otherPath_, isDir);
  } else {
    Emit(kActionRemoved, itemPath_, isDir);
    Emit(kActionAdded, otherPath_, isDir);
  }
  if (const uint64_t* over = to->second.Items.Find(toName); over && IsDirValue(*over) && !echo) {
    // Over an empty folder: it is gone.
    const int old = WatchOf(*over);
    if (IsPoll(old)) StopPoll(old);
    if (old >= 0 && !(hadValue && old == WatchOf(value))) ForgetSubtree(old, toWd);
  }
  if (!isDir) {
    uint64_t inode = from->second.Items.InodeOf(moveFrom_.Name);
    if (inode == 0) inode = scanned;
    from->second.Items.Erase(moveFrom_.Name);
    uint64_t size = value, nowInode = inode;
    const bool unknown = value == kUnknownSize || value == kUnlearnedSize || IsDirValue(value);
    // Looked at where it went when its size is not known, and when its inode number is: the
    // kernel merges two arrivals under one name queued back to back into one event, so a file
    // moved in over it from outside the tree right after the rename shows only as another inode
    // under the name. That is taken only when this read took all that was queued and nothing
    // later in it names either name: otherwise the other inode may be a later item's, whose news
    // is still to be handled.
    // (Not looked at when it goes again within the next few events: a backlog is mostly such.)
    struct stat st;
    const bool tracked = inode != 0 && !echo;
    const bool leavesSoon = !unknown && tracked && cursor_.LeavesSoon(toWd, toName);
    const bool look = unknown || (tracked && !leavesSoon);
    // (What is there may be a later item under the name, whose news is still to come.)
    const bool found = look && StatItem(otherPath_, st) && !S_ISDIR(st.st_mode) &&
                       !(unknown && cursor_.TakenLater(toWd, toName));
    const bool other = found && tracked && st.st_ino != inode;
    // Carried here by the inode number it had before a rename it went on from at once: another
    // file found where it went may have replaced it at any name on its way.
    const bool passing = !passing_.empty() && passing_.erase(NameKey(moveFrom_.Wd, moveFrom_.Name));
    if (other && !passing && times_.Drained &&
        !cursor_.NamedLater(toWd, toName, IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) &&
        !cursor_.TakenLater(moveFrom_.Wd, moveFrom_.Name) && StillWhereKnown(toWd) &&
        NothingQueued()) {
      // Told arrived there; moved between folders, the rename was told as its arrival already.
      if (from == to) Emit(kActionAdded, otherPath_, false);
      size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
      nowInode = TrustedInode(st);
    } else if (unknown && found) {
      size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
      nowInode = TrustedInode(st);
    } else if (leavesSoon) {
      // Going again at once: it keeps its size and inode number, and is looked at where it
      // stops, so that a write on its way or after is measured against what it was.
      passing_.insert(NameKey(toWd, toName));
    } else if (unknown || other) {
      // Not where its folder's path says (a folder above renamed, its events still to come), or
      // another item there that may be a later one: learned once the events are in, or quietly
      // at its first write. What it was before is not kept: a file that replaced it unseen would
      // be measured by it, and its replacement told at its next rename, under a name where none
      // happened.
      size = kUnlearnedSize;
      nowInode = 0;
      unlearned_.emplace_back(toWd, std::string(toName));
    }
    to->second.Items.Set(toName, size, nowInode);
    return;
  }
  const int movedWd = hadValue && IsDirValue(value) ? WatchOf(value) : kNoWatch;
  const auto polled = polled_.find(movedWd);
  const auto moved = folders_.find(movedWd);
  from->second.Items.Erase(moveFrom_.Name);
  folderRenamed_ = true;
  if (moved != folders_.end()) {
    // The folder keeps its watch; its subtree follows through the parent links.
    moved->second.Parent = toWd;
    moved->second.Name.assign(toName);
    to->second.Items.Set(toName, value);
    // Found by the scan of the folder it went to, which told only the folder itself. (Found in
    // another one, it is on its way there still.)
    if (const auto home = newHomes_.find(movedWd);
        home != newHomes_.end() && home->second.first == toWd && home->second.second == toName) {
      newHomes_.erase(home);
      if (echo) TellContents(movedWd, std::string(otherPath_));
    }
    MovePolls();
  } else if (polled != polled_.end()) {
    polled->second.Parent = toWd;
    polled->second.Name.assign(toName);
    to->second.Items.Set(toName, value);
    MovePolls();
  } else if (!echo) {
    // It was not watched before (unreadable then, a new folder gone before it was read, or one
    // moved in that could not be read where it arrived): try again, and tell what a new one
    // holds, or, for one not known to be new, what one made while watched holds.
    const bool untold = hadValue && (value & kUntoldBit) != 0;
    WatchNew(toWd, toName, untold, !untold);
    TellLimit();
  }
}

// At the first half of its move, a folder whose scan in the new folder it went to found it: told
// gone where it was (otherPath_), then moved there with its watches and told with what it holds.
// False when that place is no longer its (the new folder gone, or the name taken since).
bool TInotifyDirChanges::TakeNewHome(int watch) {
  const auto home = newHomes_.find(watch);
  if (home == newHomes_.end()) return false;
  const auto [parentWd, name] = home->second;
  newHomes_.erase(home);
  const auto folder = folders_.find(watch);
  const auto parent = folders_.find(parentWd);
  if (folder == folders_.end() || parent == folders_.end()) return false;
  uint64_t* placeholder = parent->second.Items.Find(name);
  if (!placeholder || *placeholder != DirValue(kNoWatch)) return false;
  Emit(kActionRemoved, otherPath_, true);
  *placeholder = DirValue(watch);
  folder->second.Parent = parentWd;
  folder->second.Name = name;
  std::string path;
  ItemPath(parentWd, name, path);
  TellContents(watch, path);
  MovePolls();
  // A subfolder made in it just before the move could not be opened under its old path: it is
  // watched and told now that the path is right.
  folderRenamed_ = true;
  return true;
}

// What the watched folder at `path` holds as far as it was told, told as created.
void TInotifyDirChanges::TellContents(int watch, const std::string& path) {
  std::vector<std::pair<std::string, bool>> contents;
  CollectContents(DirValue(watch), contents);
  std::string item;
  for (const auto& [relative, isDir] : contents) {
    ((item = path) += '/') += relative;
    Emit(kActionAdded, item, isDir);
  }
}

// A first half of a rename without its second: the item left the tree.
void TInotifyDirChanges::OnMovedOut() {
  moveFrom_.Active = false;
  const auto it = folders_.find(moveFrom_.Wd);
  if (it == folders_.end()) return;
  ItemPath(moveFrom_.Wd, moveFrom_.Name, otherPath_);
  const uint64_t* value = it->second.Items.Find(moveFrom_.Name);
  if (value && IsDirValue(*value) != moveFrom_.IsDir) {
    // Another item under the name, of the other kind, found by the scan of a new folder after
    // this one left: this one was never seen, and that one stays.
    movedOut_ = {};
    return;
  }
  if (value && IsDirValue(*value) && WatchOf(*value) >= 0 && newHomes_.count(WatchOf(*value))) {
    // Moved into a new folder whose scan found it: it goes there.
    if (TakeNewHome(WatchOf(*value))) {
      it->second.Items.Erase(moveFrom_.Name);
      Unmark(moveFrom_.Wd, moveFrom_.Name);
      movedOut_ = {};
      return;
    }
  }
  // Never seen (made in a new folder before it was read): it was here, so both are told.
  if (!value) Emit(kActionAdded, otherPath_, moveFrom_.IsDir);
  TMovedOut movedOut;
  if (value && IsDirValue(*value)) {
    // Kept in case it comes straight back: from a polled part of the tree at the limit, or, when
    // the second half of its rename came too late to be paired, from the very folder it went
    // from. (Only up to a size: a big folder coming back is told afresh.)
    const int w = WatchOf(*value);
    const auto folder = folders_.find(w);
    const auto polled = polled_.find(w);
    movedOut.Active = folder != folders_.end() || polled != polled_.end();
    movedOut.Inode = folder != folders_.end()  ? folder->second.Inode
                     : polled != polled_.end() ? polled->second.Inode
                                               : 0;
    movedOut.Born = folder != folders_.end()  ? folder->second.Born
                    : polled != polled_.end() ? polled->second.Born
                                              : timespec{};
    if (movedOut.Active) {
      movedOut.Active = CollectContents(*value, movedOut.Contents, &movedOut.Sizes,
                                        polled_.empty() ? kMostKeptOut : SIZE_MAX);
    }
    if (movedOut.Active) {
      movedOut.Path = otherPath_;
    } else {
      movedOut = {};
    }
  } else if (value && !polled_.empty() && *value != kUnknownSize && *value != kUnlearnedSize) {
    // A file kept likewise, in case it went into a polled part: a write on its way is not one
    // the poll tells.
    movedOut.Inode = it->second.Items.InodeOf(moveFrom_.Name);
    movedOut.Active = movedOut.Inode != 0;
    movedOut.IsFile = true;
    movedOut.FileSize = *value;
    movedOut.Path = otherPath_;
  }
  if (value) {
    if (IsDirValue(*value) && IsPoll(WatchOf(*value))) {
      StopPoll(WatchOf(*value));
    } else if (IsDirValue(*value) && WatchOf(*value) != kNoWatch) {
      ForgetSubtree(WatchOf(*value), it->first);
    }
    it->second.Items.Erase(moveFrom_.Name);
  }
  Unmark(moveFrom_.Wd, moveFrom_.Name);
  Emit(kActionRemoved, otherPath_, moveFrom_.IsDir);
  movedOut_ = std::move(movedOut);
}

// What the folder of a table value holds as far as it was told, watched or polled, at any depth;
// false (with `out` cut short) when that is more than `most` items.
bool TInotifyDirChanges::CollectContents(uint64_t value,
                                         std::vector<std::pair<std::string, bool>>& out,
                                         std::map<std::string, TFileSize>* sizes, size_t most) {
  std::vector<std::pair<uint64_t, std::string>> stack{{value, {}}};
  while (!stack.empty()) {
    const auto [v, prefix] = stack.back();
    stack.pop_back();
    const int w = WatchOf(v);
    if (IsPoll(w)) {
      for (const auto& record : polls_.Contents(w)) {
        out.emplace_back(prefix + Utf16ToNarrow(record.Name), record.IsDir);
      }
      if (sizes) {
        for (auto& [path, file] : polls_.FileSizes(w)) sizes->emplace(prefix + path, file);
      }
      continue;
    }
    const auto folder = folders_.find(w);
    if (folder == folders_.end()) continue;
    if (folder->second.Items.Size() > most - std::min(most, out.size())) return false;
    folder->second.Items.ForEach([&](std::string_view name, uint64_t item) {
      std::string path = prefix;
      path += name;
      out.emplace_back(path, IsDirValue(item));
      if (IsDirValue(item)) stack.emplace_back(item, path + '/');
    });
  }
  return out.size() <= most;
}

// A poll's records that begin with the folder told gone just before, arrived in a polled part of
// the tree: what came with it is not told again, what it held but holds no more is told gone, and
// a file of a polled part of it whose size is not what that part's last scan saw (written just
// before the move) is told changed; one replaced since that scan is told gone and arrived.
void TInotifyDirChanges::ReconcileMove(std::vector<TChangeRecord>& records) {
  const TChangeRecord& first = records.front();
  struct stat st;
  if (movedOut_.IsFile) {
    // The file that left, arrived in a polled part with another size: the two records read as
    // one move, so the write is told.
    if (first.Action == kActionAdded && !first.IsDir && StatItem(Utf16ToNarrow(first.Name), st) &&
        S_ISREG(st.st_mode) && st.st_ino == movedOut_.Inode &&
        static_cast<uint64_t>(st.st_size) != movedOut_.FileSize) {
      records.insert(records.begin() + 1, {kActionModified, first.Name, false});
    }
    return;
  }
  if (first.Action != kActionAdded || !first.IsDir) return;
  if (!StatItem(Utf16ToNarrow(first.Name), st) || !S_ISDIR(st.st_mode) ||
      st.st_ino != movedOut_.Inode || BornAfter(Utf16ToNarrow(first.Name), movedOut_.Born)) {
    return;
  }
  std::map<std::string, bool> known(movedOut_.Contents.begin(), movedOut_.Contents.end());
  const std::u16string prefix = first.Name + u'/';
  std::vector<TChangeRecord> out{first};
  std::vector<bool> keep(records.size(), true);
  std::set<std::string> seen;
  for (size_t i = 1; i < records.size(); ++i) {
    const TChangeRecord& r = records[i];
    if (r.Action != kActionAdded || r.Name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rel = Utf16ToNarrow(std::u16string_view(r.Name).substr(prefix.size()));
    const auto it = known.find(rel);
    if (it == known.end() || it->second != r.IsDir) continue;
    // A file of a polled part replaced since its last scan (another inode number there now) is
    // not the one that came with the folder: the one told goes, the other arrives.
    if (const auto file = movedOut_.Sizes.find(rel);
        file != movedOut_.Sizes.end() && file->second.Inode != 0 &&
        StatItem(Utf16ToNarrow(r.Name), st) && st.st_ino != file->second.Inode) {
      continue;
    }
    seen.insert(rel);
    keep[i] = false;
  }
  // Contents before their folder.
  for (auto it = known.rbegin(); it != known.rend(); ++it) {
    if (!seen.count(it->first)) {
      out.push_back({kActionRemoved, prefix + NarrowToUtf16(it->first), it->second});
    }
  }
  for (size_t i = 1; i < records.size(); ++i) {
    if (keep[i]) out.push_back(std::move(records[i]));
  }
  const std::string folder = Utf16ToNarrow(prefix);
  for (const auto& rel : seen) {
    const auto known = movedOut_.Sizes.find(rel);
    if (known == movedOut_.Sizes.end()) continue;
    if (StatItem(folder + rel, st) && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) != known->second.Size) {
      out.push_back({kActionModified, prefix + NarrowToUtf16(rel), false});
    }
  }
  records = std::move(out);
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

int TInotifyDirChanges::OpenFolder(const std::string& relative) {
  if (rootPrefix_.size() + relative.size() < PATH_MAX) {
    return open(Absolute(relative), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  int fd = open(rootPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string name;
  for (size_t start = 0; fd >= 0 && start < relative.size();) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    name.assign(relative, start, slash - start);
    const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    close(fd);
    errno = error;
    fd = next;
    start = slash + 1;
  }
  return fd;
}

bool TInotifyDirChanges::StatItem(const std::string& relative, struct stat& st) {
  if (rootPrefix_.size() + relative.size() < PATH_MAX) {
    return lstat(Absolute(relative), &st) == 0;
  }
  const size_t slash = relative.rfind('/');
  const int dir =
      OpenFolder(slash == std::string::npos ? std::string() : relative.substr(0, slash));
  if (dir < 0) return false;
  const bool ok = fstatat(dir, relative.c_str() + (slash == std::string::npos ? 0 : slash + 1), &st,
                          AT_SYMLINK_NOFOLLOW) == 0;
  close(dir);
  return ok;
}

// The birth time of the item under the path, with the rest statx gives: 1 when found, 0 when the
// item is not there, -1 when its folder could not be opened.
int TInotifyDirChanges::StatBirth(const std::string& relative, struct statx& sx) {
  const size_t slash = relative.rfind('/');
  const int dir =
      OpenFolder(slash == std::string::npos ? std::string() : relative.substr(0, slash));
  if (dir < 0) return -1;
  const bool there = statx(dir, relative.c_str() + (slash == std::string::npos ? 0 : slash + 1),
                           AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0;
  close(dir);
  return there ? 1 : 0;
}

// True when the item under the path was made after `time` (a birth time), both known.
bool TInotifyDirChanges::BornAfter(const std::string& relative, const timespec& time) {
  if (time.tv_sec == 0 && time.tv_nsec == 0) return false;
  struct statx sx;
  if (StatBirth(relative, sx) != 1 || (sx.stx_mask & STATX_BTIME) == 0) return false;
  return sx.stx_btime.tv_sec > time.tv_sec ||
         (sx.stx_btime.tv_sec == time.tv_sec &&
          static_cast<long>(sx.stx_btime.tv_nsec) > time.tv_nsec);
}

void TInotifyDirChanges::Emit(uint32_t action, const std::string& path, bool isDir) {
  movedOut_.Active = false;
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
