// The inotify change source: the reader that ties the parts together.
//
// inotify watches single folders, so every folder of the tree gets a watch of its own
// (uInotifyTree.h), and the source keeps what the kernel does not tell: the path of every watched
// folder, and per folder the last known size of each file, so that only a change of size is
// reported as a modification. The kernel's queue is drained into ours as events come (below: by
// whom), and a consumer that will be slow says so first, so it never makes the kernel drop events.
// Each read of the kernel's queue is walked event by event (uInotifyEvents.h) and each event goes
// to the part that owns what it changes: single items (uInotifyArrivals.h), the halves of moves
// and renames (uInotifyMoves.h), new folders (uInotifyScan.h) and their echoes (uInotifyEchoes.h),
// the parts polled instead (uInotifyPolled.h) and the mounts inside the tree (uInotifyMounts.h).
//
// Who reads the kernel's queue: the thread that calls Read, inside Read, while it keeps up — a
// change that comes alone then costs one wake-up, not one for our thread and one for the caller.
// Our own thread reads while the caller is away (it said so with GoingAway) or has not come yet,
// and while the kernel's queue is backed up (a read filled half the buffer), so that in a burst
// the reading goes on beside the caller's work; once the queue is drained it hands the reading
// back. Either way only one of them reads at a time, and only at the end of a step (a wait or a
// read handled) does the reading change hands.
#include "watcher/uDirChangesLinux.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "base/uPlatformText.h"
#include "watcher/uInotifyArrivals.h"
#include "watcher/uInotifyEchoes.h"
#include "watcher/uInotifyEvents.h"
#include "watcher/uInotifyFiles.h"
#include "watcher/uInotifyGone.h"
#include "watcher/uInotifyMounts.h"
#include "watcher/uInotifyMoves.h"
#include "watcher/uInotifyNotices.h"
#include "watcher/uInotifyPolled.h"
#include "watcher/uInotifyRecords.h"
#include "watcher/uInotifyScan.h"
#include "watcher/uInotifyTree.h"

namespace {

// The first half of a rename waits this long at the end of a read for its second half before it
// counts as a move out of the tree.
constexpr int kPairWaitMs = 10;
// A read that follows the last one within kBurstGap waits kGatherTime before the next.
constexpr auto kBurstGap = std::chrono::microseconds(1500);
constexpr auto kGatherTime = std::chrono::microseconds(1000);
constexpr size_t kEventBufferSize = 64 * 1024;
// How often folders that could not be opened for want of descriptors are tried again.
constexpr int kStarvedRetryMs = 500;

void ShiftTime(timespec& time, std::chrono::nanoseconds by) {
  const int64_t nanoseconds = int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec + by.count();
  time.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
  time.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
}

class TInotifyDirChanges final : public TQueuedDirChanges {
 public:
  explicit TInotifyDirChanges(TInotifyHooks hooks);
  ~TInotifyDirChanges() override;
  int Open(const std::string& folder) override;
  void GoingAway() override;

 protected:
  void OnStop() override;
  bool ProduceHere() override;

 private:
  enum class TWait { Readable, TimedOut, Stopped };
  // What the next step of reading is.
  enum class TNext {
    Read,      // read the kernel's queue at once
    PairWait,  // wait a moment for a rename's second half
    Gather,    // let a burst gather before the next read
    Idle,      // wait for the next change
  };
  // Who takes the steps: the thread that calls Read while it keeps up (a trickle costs it one
  // wake-up a change), our own thread while the caller is away or the kernel's queue backs up.
  enum class TRole { Caller, Thread };

  int StartWatching(int rootFd);
  void TellLimit();
  void ReaderLoop();
  // One step of reading; false when reading has to end.
  bool Step();
  bool ReadStep();
  TNext AfterRead();
  // One read of the kernel's queue, handled; false when reading has to end.
  bool ReadOnce(char* buffer);
  TWait WaitReadable(int timeoutMs);
  bool PauseUnlessStopped(std::chrono::microseconds time);
  bool RetryStarvedWhenDue();
  bool ProcessEvents(const char* buffer, size_t size);
  void OnTreeEvent(const TInotifyEvent& event);
  void OnBarrier(int wd);
  bool DeliverPolls();
  bool OnPollLost(int id);
  void CheckMounts();
  void Reattach(const std::string& relative);
  bool Resync();
  void Flush();

  const TInotifyHooks hooks_;
  std::atomic<bool> stop_{false};
  int wakeFd_ = -1;
  int wakeError_ = 0;
  bool opened_ = false;
  // Who reads. Only the role's holder changes it, at the end of a step.
  std::mutex roleMutex_;
  std::condition_variable roleChanged_;
  TRole role_ = TRole::Thread;
  bool callerWants_ = false;     // the caller found nothing to read since it last went away
  bool callerStepping_ = false;  // the caller's thread is in a step
  bool ended_ = false;           // reading has ended
  // Everything below belongs to Open until the reader starts, then to the role's holder.
  TNext next_ = TNext::Read;
  std::chrono::steady_clock::time_point lastBatch_{}, batchBefore_{};
  bool lastFull_ = false;
  bool backedUp_ = false;  // the last step was a read that found the kernel's queue backed up
  std::unique_ptr<char[]> buffer_;
  dev_t rootDevice_ = 0;
  ino_t rootInode_ = 0;
  bool limitTold_ = false;
  bool descriptorsTold_ = false;
  std::chrono::steady_clock::time_point lastStarvedTry_{};
  bool mountsChanged_ = false;
  TReadTimes times_;
  TEventCursor cursor_;  // the read being handled
  TRecordsOut out_;
  TTreeFiles files_;
  TFolderTree tree_{files_, hooks_.WatchLimit, hooks_.AfterWatch};
  TEchoMarks echoes_{tree_, files_};
  TPolledParts polls_{files_, hooks_.Poll, hooks_.BeforePoll};
  TFolderScan scan_{tree_, files_, echoes_, polls_, out_, times_, stop_, hooks_.AfterScan};
  TGoneFolder gone_{tree_, files_, polls_, scan_, out_};
  TItemEvents items_{tree_, files_, echoes_, polls_, scan_, gone_, out_, times_};
  TMovePairing moves_{tree_, files_, echoes_, polls_, scan_, gone_, items_, out_, times_};
  TMountTable mounts_;
  std::thread reader_;
};

TInotifyDirChanges::TInotifyDirChanges(TInotifyHooks hooks) : hooks_(std::move(hooks)) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) wakeError_ = errno;
  SetMaxPending(hooks_.MaxQueued);
}

TInotifyDirChanges::~TInotifyDirChanges() {
  Stop();
  if (reader_.joinable()) reader_.join();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void TInotifyDirChanges::OnStop() {
  {
    std::lock_guard lock(roleMutex_);
    stop_.store(true);
  }
  roleChanged_.notify_all();
  polls_.Shutdown();
  const uint64_t one = 1;
  // The counter cannot overflow from one write; nothing else can fail here.
  if (wakeFd_ >= 0 && write(wakeFd_, &one, sizeof one) < 0) return;
}

int TInotifyDirChanges::Open(const std::string& folder) {
  if (opened_) return EBUSY;
  opened_ = true;
  clock_gettime(CLOCK_REALTIME_COARSE, &times_.Opened);
  if (wakeFd_ < 0) return wakeError_;
  if (polls_.InboxFd() < 0) return polls_.InboxError();
  files_.SetRoot(folder);
  const int rootFd = open(files_.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
    scan_.CountUnwatched(rootFd);
    TellLimit();
    if (polls_.Start(kNoWatch, {}, {}, false) == kNoWatch) {
      PushFailure(ENOSPC);
      failed = true;
    }
  }
  close(rootFd);
  if (failed) return 0;
  if (error != 0 && error != ENOSPC) return error;
  // Stopped while the tree was being read: every read answers Stopped.
  if (stop_.load()) return 0;
  mounts_.Open(files_.Root());
  buffer_.reset(new char[kEventBufferSize]);
  reader_ = std::thread([this] { ReaderLoop(); });
  return 0;
}

// A fresh inotify instance with the root (open on rootFd) and every folder under it watched.
int TInotifyDirChanges::StartWatching(int rootFd) {
  polls_.StopAll();
  scan_.Reset();
  items_.Reset();
  moves_.Reset();
  times_.BeforeFirstRead = true;
  if (const int error = tree_.Start(); error != 0) return error;
  echoes_.Start();
  const int rootWd = tree_.AddWatch(rootFd, {});
  if (rootWd < 0) return errno;
  tree_.SetRoot(rootWd, TFolder{kNoWatch, {}, {}, rootDevice_, rootInode_});
  scan_.ReadTree(rootFd);
  TellLimit();
  return 0;
}

// A limit that leaves part of the tree unwatched is told once per watch.
void TInotifyDirChanges::TellLimit() {
  if (scan_.Unwatched() != 0 && !limitTold_) {
    limitTold_ = true;
    PushNotice(scan_.OutOfWatchMemory() ? WatchMemoryNotice(scan_.Unwatched())
                                        : WatchLimitNotice(scan_.Unwatched()));
  }
  if (scan_.Starved() != 0 && !descriptorsTold_) {
    descriptorsTold_ = true;
    rlimit files{};
    PushNotice(DescriptorNotice(scan_.Starved(),
                                getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 0));
  }
}

// ---- reading ----

// Our own thread takes the steps while it holds the role. Once the kernel's queue is drained and
// the caller has been back, the role goes back to it before the wait for the next change.
void TInotifyDirChanges::ReaderLoop() {
  for (;;) {
    {
      std::unique_lock lock(roleMutex_);
      roleChanged_.wait(lock, [&] {
        return stop_.load() || ended_ || (role_ == TRole::Thread && !callerStepping_);
      });
      if (stop_.load() || ended_) return;
      if (next_ == TNext::Idle && callerWants_) {
        role_ = TRole::Caller;
        lock.unlock();
        NudgeRead();
        continue;
      }
    }
    if (!Step()) {
      {
        std::lock_guard lock(roleMutex_);
        ended_ = true;
      }
      NudgeRead();
      return;
    }
  }
}

// The caller's thread takes a step while it holds the role; it hands the role to our thread when
// the kernel's queue backs up (a read filled half the buffer), so that reading goes on beside the
// caller's work on what was read.
bool TInotifyDirChanges::ProduceHere() {
  {
    std::lock_guard lock(roleMutex_);
    if (ended_) return false;
    callerWants_ = true;
    if (role_ != TRole::Caller) return false;
    callerStepping_ = true;
  }
  const bool more = Step();
  {
    std::lock_guard lock(roleMutex_);
    callerStepping_ = false;
    if (!more) {
      ended_ = true;
    } else if (backedUp_) {
      role_ = TRole::Thread;
    } else if (role_ != TRole::Thread) {
      return true;
    }
  }
  roleChanged_.notify_all();
  return true;
}

// Our thread takes over; should the caller still be in a step (GoingAway from another thread),
// once that step is done.
void TInotifyDirChanges::GoingAway() {
  {
    std::lock_guard lock(roleMutex_);
    callerWants_ = false;
    if (role_ == TRole::Thread || ended_) return;
    role_ = TRole::Thread;
  }
  roleChanged_.notify_all();
}

bool TInotifyDirChanges::Step() {
  backedUp_ = false;
  switch (next_) {
    case TNext::Read:
      return ReadStep();
    case TNext::PairWait: {
      // No second read to find the queue empty: poll answers at once when something is left.
      const TWait wait = WaitReadable(kPairWaitMs);
      if (wait == TWait::Stopped) return false;
      if (wait == TWait::Readable) {
        next_ = TNext::Read;
        return true;
      }
      moves_.OnMovedOut();
      Flush();
      next_ = AfterRead();
      return true;
    }
    case TNext::Gather:
      if (PauseUnlessStopped(kGatherTime)) return false;
      next_ = TNext::Read;
      return true;
    case TNext::Idle:
      if (WaitReadable(scan_.Starved() != 0 ? kStarvedRetryMs : -1) == TWait::Stopped) return false;
      next_ = TNext::Read;
      return true;
  }
  return false;
}

bool TInotifyDirChanges::ReadStep() {
  if (hooks_.BeforeRead) {
    hooks_.BeforeRead();
    if (stop_.load()) return false;
  }
  batchBefore_ = lastBatch_;
  if (!ReadOnce(buffer_.get()) || !DeliverPolls()) return false;
  if (mountsChanged_) {
    mountsChanged_ = false;
    CheckMounts();
  }
  next_ = moves_.Waiting() ? TNext::PairWait : AfterRead();
  return true;
}

// What follows a read once no rename's half waits for its pair.
TInotifyDirChanges::TNext TInotifyDirChanges::AfterRead() {
  // Folders waiting for descriptors are tried again now and then, busy or not.
  if (scan_.Starved() != 0 && RetryStarvedWhenDue()) {
    return TNext::Read;
  }
  // In a burst (this read came hard on the one before), changes gather for a moment before the
  // next read, so that one read and one hand-over to the consumer carry many of them. The pause
  // takes the place of the wait for the next change, so it costs no wake-up of its own; when it
  // brought nothing, the read finds nothing and the next round waits. A change after a quiet
  // spell goes out at once.
  if (lastBatch_ != batchBefore_ && !lastFull_ && lastBatch_ - batchBefore_ < kBurstGap) {
    return TNext::Gather;
  }
  return TNext::Idle;
}

bool TInotifyDirChanges::ReadOnce(char* buffer) {
  clock_gettime(CLOCK_REALTIME_COARSE, &times_.Before);
  times_.BeforeFirstRead = false;
  const ssize_t n = read(tree_.Fd(), buffer, kEventBufferSize);
  if (n > 0) {
    // Whatever the read holds happened before this, by any clock file times are taken from.
    clock_gettime(CLOCK_REALTIME, &times_.After);
    if (hooks_.ReadClockShift.count() != 0) ShiftTime(times_.After, hooks_.ReadClockShift);
    // The next event would have fitted, whatever its name: none was left.
    times_.Drained =
        static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= kEventBufferSize;
    // ProcessEvents delivers what it made of the read.
    if (!ProcessEvents(buffer, static_cast<size_t>(n))) return false;
    lastBatch_ = std::chrono::steady_clock::now();
    lastFull_ = static_cast<size_t>(n) > kEventBufferSize / 2;
    backedUp_ = lastFull_;
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    Flush();
    PushFailure(n == 0 ? EIO : errno);
    return false;
  }
  return true;
}

// True when it was time to try the folders waiting for descriptors again, and they were.
bool TInotifyDirChanges::RetryStarvedWhenDue() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastStarvedTry_ < std::chrono::milliseconds(kStarvedRetryMs)) return false;
  lastStarvedTry_ = now;
  scan_.RetryStarved();
  TellLimit();
  Flush();
  return true;
}

// Sleeps for `time` unless Stop comes first; true when it did.
bool TInotifyDirChanges::PauseUnlessStopped(std::chrono::microseconds time) {
  pollfd fd = {wakeFd_, POLLIN, 0};
  const timespec timeout = {0, static_cast<long>(time.count()) * 1000};
  if (ppoll(&fd, 1, &timeout, nullptr) < 0 && errno != EINTR) return stop_.load();
  return stop_.load() || fd.revents != 0;
}

TInotifyDirChanges::TWait TInotifyDirChanges::WaitReadable(int timeoutMs) {
  pollfd fds[4] = {{tree_.Fd(), POLLIN, 0},
                   {wakeFd_, POLLIN, 0},
                   {polls_.InboxFd(), POLLIN, 0},
                   {mounts_.Fd(), POLLPRI, 0}};  // ignored while -1
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
  for (TInotifyEvent event; cursor_.Next(event);) {
    if (hooks_.BeforeEvent) hooks_.BeforeEvent(event.Mask, event.Name);
    if (echoes_.Watches().Has(event.Wd)) {
      OnBarrier(event.Wd);
      continue;
    }
    if (event.Mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
      echoes_.ForgetTooNew(event.Wd, event.Name);
    }
    // A rename's halves arrive side by side; anything else after the first half means that the
    // item left the tree.
    if (moves_.Waiting()) {
      if (moves_.Pairs(event)) {
        moves_.OnRenamed(cursor_, event.Wd, event.Name);
        continue;
      }
      moves_.OnMovedOut();
    }
    if (event.Mask & IN_Q_OVERFLOW) return Resync();
    if (event.Wd == tree_.RootWd() &&
        (event.Mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT))) {
      // The watched folder itself is gone (or was moved away): the read fails.
      Flush();
      PushFailure(ENOENT);
      return false;
    }
    OnTreeEvent(event);
  }
  items_.SettleFilled();
  moves_.AfterRead();
  gone_.Settle();
  scan_.AfterRead();
  moves_.CheckDoubts();
  items_.LearnSizes();
  TellLimit();
  Flush();
  return true;
}

// An event of a folder of the tree: handed to the part it concerns.
void TInotifyDirChanges::OnTreeEvent(const TInotifyEvent& event) {
  TFolder* folder = tree_.Find(event.Wd);
  if (!folder) {
    // A watch we already dropped, or hold for a folder that left.
    gone_.Away(event.Wd,
               !event.Name.empty() || (event.Mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)));
    return;
  }
  if (event.Mask & IN_IGNORED) {
    polls_.StopIn(*folder);
    tree_.Drop(event.Wd);
    return;
  }
  // A subfolder's own deletion or move is told by its parent's events.
  if (event.Name.empty()) return;
  const int wd = event.Wd;
  const std::string_view name = event.Name;
  const bool isDir = event.IsDir();
  if (event.Mask & IN_CREATE) {
    // A folder that leaves soon, or whose name a later event of the read takes again (so it
    // left), is not looked for under the name: another folder may be there by now.
    items_.OnArrival(
        cursor_, wd, *folder, name, isDir, false,
        isDir && (cursor_.LeavesSoon(wd, name, IN_MOVED_FROM) || cursor_.TakenLater(wd, name)));
  } else if (event.Mask & IN_DELETE) {
    items_.OnDelete(wd, *folder, name, isDir);
  } else if (event.Mask & IN_MODIFY) {
    if (!isDir) items_.OnModify(wd, *folder, name, cursor_.LeavesSoon(wd, name));
  } else if (event.Mask & IN_MOVED_FROM) {
    moves_.OnMovedFrom(event);
  } else if (event.Mask & IN_MOVED_TO) {
    items_.OnArrival(cursor_, wd, *folder, name, isDir, true);
  } else if ((event.Mask & IN_ATTRIB) && isDir) {
    items_.OnAttributes(wd, *folder, name);
  }
}

// One of our barriers came back: a folder left unread as too new under a name that had no news
// since is read now (it was the one that arrived after all).
void TInotifyDirChanges::OnBarrier(int wd) {
  for (const auto& one : echoes_.OnBarrier(wd)) {
    const TFolder* folder = tree_.Find(one.Wd);
    if (!folder) continue;
    const std::optional<uint64_t> value = folder->Items.Find(one.Name);
    if (!value || *value != TooNewValue(one.Report, one.ByBirth)) continue;
    scan_.WatchNew(one.Wd, one.Name, one.Report, one.ByBirth);
  }
}

// Records of polled subtrees go out named from the watched folder, by where the subtree is now.
// False when reading has to end.
bool TInotifyDirChanges::DeliverPolls() {
  for (auto& delivery : polls_.Take()) {
    const TPolled* polled = polls_.Find(delivery.Id);
    if (!polled) continue;  // stopped since
    if (delivery.Error != 0) {
      if (!OnPollLost(delivery.Id)) return false;
      continue;
    }
    std::u16string prefix = NarrowToUtf16(tree_.ItemPath(polled->Parent, polled->Name));
    if (!prefix.empty()) prefix += u'/';  // empty: the whole tree is polled
    for (auto& record : delivery.Records) record.Name.insert(0, prefix);
    if (gone_.Touches() && !delivery.Records.empty()) {
      gone_.Reconcile(delivery.Records);
      gone_.Clear();
    }
    Push(delivery.Records);
  }
  TellLimit();
  return true;
}

// A polled subtree could not be scanned. A share unmounted (the folder on its parent's device
// again) is an ordinary folder from now on. A folder that is gone is told by its parent's events,
// which also end its poll, and one that was only renamed is polled on at its new path, once the
// rename's events arrive; a share that does not answer is polled on.
// With the whole tree polled (not even the watched folder had a watch), the folder's going away
// ends the read with an error. False when reading has to end.
bool TInotifyDirChanges::OnPollLost(int id) {
  const TPolled polled = *polls_.Find(id);
  struct stat st;
  if (polled.Parent == kNoWatch) {
    if (stat(files_.Root().c_str(), &st) == 0 && st.st_dev == rootDevice_ &&
        st.st_ino == rootInode_) {
      return true;
    }
    polls_.Stop(id);
    PushFailure(ENOENT);
    return false;
  }
  const TFolder* parent = tree_.Find(polled.Parent);
  if (!polled.Share || !parent) return true;
  if (!files_.Stat(tree_.ItemPath(polled.Parent, polled.Name), st) || !S_ISDIR(st.st_mode) ||
      st.st_dev != parent->Device) {
    return true;
  }
  polls_.Stop(id);
  scan_.WatchNew(polled.Parent, polled.Name, false);
  return true;
}

// ---- mounts inside the tree ----

// The mount table changed (anywhere in the system): the mount points inside the tree whose mount
// came, went or was replaced are looked at again.
void TInotifyDirChanges::CheckMounts() {
  for (const auto& relative : mounts_.Changed()) Reattach(relative);
  TellLimit();
}

// Makes the folder at `relative` watched or polled as what is there now requires: a share
// mounted there is polled, a local file system mounted there (or the folder a mount left) is
// watched. What a mount shows or uncovers is its contents, not changes: nothing is reported.
void TInotifyDirChanges::Reattach(const std::string& relative) {
  int parentWd = tree_.RootWd();
  size_t start = 0;
  for (size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
    const TFolder* parent = tree_.Find(parentWd);
    if (!parent) return;
    const std::optional<uint64_t> value =
        parent->Items.Find(std::string_view(relative).substr(start, slash - start));
    // Inside a polled subtree (or one that is not looked into) the poll sees the mount itself.
    if (!value || !IsDirValue(*value) || WatchOf(*value) < 0) return;
    parentWd = WatchOf(*value);
  }
  const TFolder* parent = tree_.Find(parentWd);
  if (!parent) return;
  const std::string name = relative.substr(start);
  const std::optional<uint64_t> value = parent->Items.Find(name);
  if (!value || !IsDirValue(*value)) return;  // not a folder of the tree as far as we know
  const int current = WatchOf(*value);
  struct stat st;
  if (!files_.Stat(relative, st) || !S_ISDIR(st.st_mode)) return;
  bool remote = false;
  if (st.st_dev != parent->Device) {
    struct statfs fs;
    remote = statfs(files_.Absolute(relative).c_str(), &fs) == 0 &&
             IsRemoteFileSystemType(static_cast<int64_t>(fs.f_type));
  }
  if (IsPoll(current)) {
    const TPolled* polled = polls_.Find(current);
    if (polled && polled->Share == remote) return;
    polls_.Stop(current);
  } else if (current != kNoWatch) {
    const TFolder* folder = tree_.Find(current);
    if (!remote && folder && folder->Device == st.st_dev) return;
    if (folder) ForgetSubtree(tree_, polls_, current, parentWd);
  }
  scan_.WatchNew(parentWd, name, false);
}

// The kernel dropped events: what we know may be wrong, so watch everything afresh and learn the
// sizes again; then the reader learns that changes were lost.
bool TInotifyDirChanges::Resync() {
  Flush();
  moves_.Drop();
  // The folder may have gone, or been replaced, while events were lost.
  const int rootFd = open(files_.Root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  int error = rootFd < 0 ? errno : 0;
  if (rootFd >= 0 &&
      (fstat(rootFd, &st) != 0 || st.st_dev != rootDevice_ || st.st_ino != rootInode_)) {
    error = ENOENT;
  }
  if (error == 0) error = StartWatching(rootFd);
  if (rootFd >= 0) close(rootFd);
  if (error == ENOSPC) {
    scan_.RootUnwatched();
    TellLimit();
    if (polls_.Start(kNoWatch, {}, {}, false) != kNoWatch) error = 0;
  }
  PushOverflow();
  if (error != 0) {
    PushFailure(error);
    return false;
  }
  return true;
}

void TInotifyDirChanges::Flush() {
  if (!out_.Waiting().empty()) Push(out_.Waiting());
}

}  // namespace

std::string WatchLimitNotice(size_t unwatchedFolders) {
  return WatchLimitNotice(unwatchedFolders, ReadWatchLimits());
}

std::shared_ptr<TDirChanges> MakeInotifyDirChanges(TInotifyHooks hooks) {
  return std::make_shared<TInotifyDirChanges>(std::move(hooks));
}

std::shared_ptr<TDirChanges> MakeInotifyDirChanges() {
  return MakeInotifyDirChanges({});
}
