// The watcher benchmark: Vark's inotify source and watcher pipeline side by side with
// `inotifywait -m -r`, on trees made under /tmp, in one run. See bench/README.md.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "watch_bench_util.h"
#include "watcher/uDirChanges.h"
#include "watcher/uDirChangesLinux.h"
#include "watcher/uMonThread2.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// ---- sizes ----

struct TSizes {
  size_t TopFolders = 100;
  size_t PerTop = 99;  // 100 + 100 * 99 = 10,000 folders
  size_t FilesPerFolder = 10;
  size_t BurstFolders = 500;
  size_t BurstCycles = 12'500;  // four changes each: 50,000 changes
  size_t LatencyWrites = 1000;
  int LatencySpacingUs = 2000;
  int Runs = 5;
  size_t Folders() const { return TopFolders * (1 + PerTop); }
  size_t Files() const { return Folders() * FilesPerFolder; }
};

constexpr int kQuietMs = 1000;  // no record for this long: the rest is not coming
constexpr int kReadyTimeoutMs = 120'000;

double Ms(int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

// ---- Vark's pipeline: the watcher thread, a loop thread as the user-interface thread, a sink ----

// Stands in for the user-interface thread: runs queued work in order on a thread of its own.
class TLoopThread : public IMainThreadCaller {
 public:
  TLoopThread() : thread_([this] { Loop(); }) {}
  ~TLoopThread() override {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void RunAndWait(const std::function<void()>& work) override {
    std::exception_ptr error;
    bool done = false;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back([&] {
        try {
          work();
        } catch (...) {
          error = std::current_exception();
        }
        std::lock_guard inner(mutex_);
        done = true;
        finished_.notify_all();
      });
    }
    wake_.notify_all();
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return done; });
    if (error) std::rethrow_exception(error);
  }

 private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return quit_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  std::deque<std::function<void()>> queue_;
  bool quit_ = false;
  std::thread thread_;
};

// The log: every reported change becomes its log line, stamped with the moment it arrived.
class TSinkUi : public IWatcherUi {
 public:
  struct TLine {
    int64_t AtNs;
    std::string Text;
  };
  void AnnounceStart() override {}
  void AnnounceStop() override {}
  void ReportChange(const TMonDirThread& watcher) override {
    std::string line = ChangeLogLine(watcher.OperationText, watcher.RelativeName);
    const int64_t at = NowNs();
    std::lock_guard lock(mutex_);
    lines_.push_back({at, std::move(line)});
    // Wake the waiting bench only when it has what it waits for, so the sink costs the pipeline
    // no more than appending a line.
    if (lines_.size() >= wanted_) changed_.notify_all();
  }
  void ShowWatchError(const std::string& text) override { Note("error: " + text); }
  void ShowWatchNotice(const std::string& text) override { Note("notice: " + text); }

  void Reserve(size_t count) {
    std::lock_guard lock(mutex_);
    lines_.reserve(count);
  }
  // Waits until `count` lines have arrived, or none arrived for quietMs; the count then.
  size_t WaitLines(size_t count, int quietMs) {
    std::unique_lock lock(mutex_);
    wanted_ = count;
    size_t last = lines_.size();
    int64_t lastChange = NowNs();
    while (lines_.size() < count) {
      changed_.wait_for(lock, 50ms);
      if (lines_.size() != last) {
        last = lines_.size();
        lastChange = NowNs();
      } else if (NowNs() - lastChange > int64_t{quietMs} * 1'000'000) {
        break;
      }
    }
    wanted_ = SIZE_MAX;
    return lines_.size();
  }
  std::vector<TLine> TakeLines() {
    std::lock_guard lock(mutex_);
    return std::move(lines_);
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(mutex_);
    return notes_;
  }

 private:
  void Note(std::string text) {
    std::lock_guard lock(mutex_);
    notes_.push_back(std::move(text));
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TLine> lines_;
  std::vector<std::string> notes_;
  size_t wanted_ = SIZE_MAX;
};

// The platform's source, telling the bench when its Open has returned.
class TOpenSignal : public TDirChanges {
 public:
  explicit TOpenSignal(std::shared_ptr<TDirChanges> inner) : inner_(std::move(inner)) {}
  int Open(const std::string& folder) override {
    const int error = inner_->Open(folder);
    std::lock_guard lock(mutex_);
    error_ = error;
    opened_ = true;
    changed_.notify_all();
    return error;
  }
  TReadResult Read(uint8_t* buffer, size_t size, uint32_t notifyFilter) override {
    return inner_->Read(buffer, size, notifyFilter);
  }
  void Stop() override { inner_->Stop(); }
  std::string TakeNotice() override { return inner_->TakeNotice(); }

  // Open's answer, or nullopt when it has not returned within the time.
  std::optional<int> WaitOpened(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return opened_; })) return std::nullopt;
    return error_;
  }

 private:
  std::shared_ptr<TDirChanges> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool opened_ = false;
  int error_ = 0;
};

// One watcher over the whole pipeline, from the inotify source to the sink.
class TVarkWatch {
 public:
  // viaLoop false: the watcher runs its user-interface steps on its own thread (for the cost
  // breakdown only; the program always hands them over).
  explicit TVarkWatch(bool viaLoop = true) : viaLoop_(viaLoop) {}
  ~TVarkWatch() { Stop(); }
  // Starts watching `folder` and waits until the source is open; false with `error` otherwise.
  bool Start(const std::string& folder, std::string& error) {
    TWatcherEnv env;
    env.MainThread = viaLoop_ ? &loop_ : nullptr;
    env.Ui = &sink_;
    env.MakeSource = [this] {
      auto source = std::make_shared<TOpenSignal>(MakeInotifyDirChanges());
      std::lock_guard lock(mutex_);
      source_ = source;
      made_.notify_all();
      return source;
    };
    SetWatcherEnv(env);
    watcher_ = TMonDirThread::Create(folder + "/");
    std::shared_ptr<TOpenSignal> source;
    {
      std::unique_lock lock(mutex_);
      if (!made_.wait_for(lock, 10s, [&] { return source_ != nullptr; })) {
        error = "the watcher made no change source";
        return false;
      }
      source = source_;
    }
    const auto opened = source->WaitOpened(std::chrono::milliseconds(kReadyTimeoutMs));
    if (!opened) {
      error = "the change source did not open in time";
      return false;
    }
    if (*opened != 0) {
      error = std::strerror(*opened);
      return false;
    }
    return true;
  }
  void Stop() {
    if (!watcher_) return;
    StopMonitor(watcher_);
    watcher_.reset();
    WaitForWatchers(30s);
    SetWatcherEnv({});
    std::lock_guard lock(mutex_);
    source_.reset();
  }
  TSinkUi& Sink() { return sink_; }

 private:
  const bool viaLoop_;
  TLoopThread loop_;
  TSinkUi sink_;
  std::mutex mutex_;
  std::condition_variable made_;
  std::shared_ptr<TOpenSignal> source_;
  std::shared_ptr<TMonDirThread> watcher_;
};

// ---- ready time and memory ----

struct TReady {
  std::vector<double> VarkMs, PeerMs;
  std::vector<double> PeerPeakKb, PeerMaxRssKb;       // VmHWM and ru_maxrss on the tree
  double PeerEmptyPeakKb = 0, PeerEmptyMaxRssKb = 0;  // the same on an empty folder
  std::vector<double> VarkGrowthKb;  // VmHWM after Open − VmRSS before, in a fresh process
  std::string Error;
};

// The memory probe: a fresh process that opens the source on the tree and reports VmRSS before
// and VmHWM/VmRSS after, so that nothing the bench did before (its freed heap) hides the growth.
int MemoryProbe(const char* root) {
  const long before = ProcStatusKb("VmRSS");
  auto source = MakeInotifyDirChanges();
  const int error = source->Open(root);
  const long hwm = ProcStatusKb("VmHWM");
  const long after = ProcStatusKb("VmRSS");
  std::printf("%ld %ld %ld %d\n", before, hwm, after, error);
  return error == 0 ? 0 : 1;
}

std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  path[n] = 0;
  return path;
}

// Runs the probe; the growth in kB, or a negative value with `error`.
double RunMemoryProbe(const std::string& root, std::string& error) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  std::string self = SelfPath(), flag = "--memory-probe", folder = root;
  char* argv[] = {self.data(), flag.data(), folder.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  if (spawned == 0) {
    char buffer[256];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    waitpid(pid, nullptr, 0);
  }
  close(out[0]);
  long before = 0, hwm = 0, after = 0;
  int openError = 0;
  if (spawned != 0 ||
      std::sscanf(text.c_str(), "%ld %ld %ld %d", &before, &hwm, &after, &openError) != 4 ||
      openError != 0) {
    error = "the memory probe failed: " + text;
    return -1;
  }
  return static_cast<double>(hwm - before);
}

int64_t VarkOpenNs(const std::string& root, std::string& error) {
  auto source = MakeInotifyDirChanges();
  const int64_t start = NowNs();
  const int openError = source->Open(root);
  const int64_t took = NowNs() - start;
  if (openError != 0) {
    error = std::string("Open: ") + std::strerror(openError);
    return -1;
  }
  return took;
}

// From spawn to "Watches established."; what the peer used goes to `end`.
int64_t PeerReadyNs(const std::string& root, TPeer::TEnd& end, std::string& error) {
  TPeer peer;
  const int64_t start = NowNs();
  if (!peer.Start(root, error)) return -1;
  const int64_t ready = peer.WaitEstablished(kReadyTimeoutMs, error);
  end = peer.Stop();
  return ready < 0 ? -1 : ready - start;
}

TReady MeasureReady(const TSizes& sizes, const std::string& tree, const std::string& empty) {
  TReady ready;
  std::string error;
  TPeer::TEnd end;
  // A warm-up run of each side first, not counted: both then find the tree's folders and inodes
  // in the kernel's caches.
  if (VarkOpenNs(tree, error) < 0 || PeerReadyNs(tree, end, error) < 0) {
    ready.Error = error;
    return ready;
  }
  for (int run = 0; run < sizes.Runs; ++run) {
    // Alternate which side goes first.
    for (int side = 0; side < 2; ++side) {
      std::this_thread::sleep_for(200ms);  // let the kernel free the last run's watches
      if ((side + run) % 2 == 0) {
        const int64_t ns = VarkOpenNs(tree, error);
        if (ns < 0) {
          ready.Error = error;
          return ready;
        }
        ready.VarkMs.push_back(Ms(ns));
      } else {
        const int64_t ns = PeerReadyNs(tree, end, error);
        if (ns < 0) {
          ready.Error = error;
          return ready;
        }
        ready.PeerMs.push_back(Ms(ns));
        ready.PeerPeakKb.push_back(static_cast<double>(end.PeakRssKb));
        ready.PeerMaxRssKb.push_back(static_cast<double>(end.MaxRssKb));
      }
    }
  }
  for (int run = 0; run < std::min(sizes.Runs, 3); ++run) {
    const double growth = RunMemoryProbe(tree, error);
    if (growth < 0) {
      ready.Error = error;
      return ready;
    }
    ready.VarkGrowthKb.push_back(growth);
  }
  if (PeerReadyNs(empty, end, error) < 0) {
    ready.Error = error;
    return ready;
  }
  ready.PeerEmptyPeakKb = static_cast<double>(end.PeakRssKb);
  ready.PeerEmptyMaxRssKb = static_cast<double>(end.MaxRssKb);
  return ready;
}

// ---- what the ready time is made of ----

// Walks the tree the way one of the two sides does, with only some of its system calls, to show
// what each costs: the walk itself (open + getdents per folder), the size of every file
// (fstatat), and the watch per folder (through /proc/self/fd as Vark adds it, or by path).
enum class TWalk { Read, ReadStat, ReadStatWatchFd, ReadStatWatchPath };

void WalkFolder(int fd, const std::string& path, TWalk walk, int inotifyFd, char* buffer,
                size_t size) {
  constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                             IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
  if (walk == TWalk::ReadStatWatchFd) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    inotify_add_watch(inotifyFd, proc, kMask);
  } else if (walk == TWalk::ReadStatWatchPath) {
    inotify_add_watch(inotifyFd, path.c_str(), kMask | IN_DONT_FOLLOW);
  }
  std::vector<std::string> folders;
  for (;;) {
    const ssize_t n = getdents64(fd, buffer, size);
    if (n <= 0) break;
    for (ssize_t offset = 0; offset < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      if (entry->d_type == DT_DIR) {
        folders.emplace_back(name);
      } else if (walk != TWalk::Read) {
        struct stat st;
        fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW);
      }
    }
  }
  for (const auto& name : folders) {
    const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) continue;
    WalkFolder(sub, path + "/" + name, walk, inotifyFd, buffer, size);
    close(sub);
  }
}

double WalkMs(const std::string& root, TWalk walk) {
  std::vector<char> buffer(32 * 1024);
  const int inotifyFd = inotify_init1(IN_CLOEXEC);
  const int64_t start = NowNs();
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    WalkFolder(fd, root, walk, inotifyFd, buffer.data(), buffer.size());
    close(fd);
  }
  const int64_t took = NowNs() - start;
  if (inotifyFd >= 0) close(inotifyFd);
  return Ms(took);
}

// ---- the burst ----

struct TBurstPlan {
  std::string Title;
  std::vector<TOp> Ops;
  std::vector<TRec> Expected;
};

// `cycles` files, each created, appended to, renamed in its folder and deleted (four changes,
// five records: a rename is two), spread round-robin over the burst tree's folders. Every record
// names a different (name, action) pair, so the repeat rule folds none of them. `waves`: every
// file is created, then every file appended to, and so on; otherwise each file goes through its
// four changes before the next one starts (the pattern of a program saving through a temporary
// file).
TBurstPlan PlanBurst(const std::string& root, size_t folders, size_t cycles, bool waves) {
  TBurstPlan plan;
  plan.Title = waves ? "in waves" : "file by file";
  std::vector<std::string> names(cycles), renamed(cycles);
  char text[64];
  for (size_t i = 0; i < cycles; ++i) {
    std::snprintf(text, sizeof text, "d%03zu/n%05zu", i % folders, i);
    names[i] = text;
    std::snprintf(text, sizeof text, "d%03zu/r%05zu", i % folders, i);
    renamed[i] = text;
  }
  auto step = [&](size_t i, int change) {
    switch (change) {
      case 0:
        plan.Ops.push_back({TOp::Create, root + "/" + names[i], {}});
        plan.Expected.push_back({kActionAdded, names[i]});
        break;
      case 1:
        plan.Ops.push_back({TOp::Append, root + "/" + names[i], {}});
        plan.Expected.push_back({kActionModified, names[i]});
        break;
      case 2:
        plan.Ops.push_back({TOp::Rename, root + "/" + names[i], root + "/" + renamed[i]});
        plan.Expected.push_back({kActionRenamedOld, names[i]});
        plan.Expected.push_back({kActionRenamedNew, renamed[i]});
        break;
      default:
        plan.Ops.push_back({TOp::Remove, root + "/" + renamed[i], {}});
        plan.Expected.push_back({kActionRemoved, renamed[i]});
        break;
    }
  };
  if (waves) {
    for (int change = 0; change < 4; ++change) {
      for (size_t i = 0; i < cycles; ++i) step(i, change);
    }
  } else {
    for (size_t i = 0; i < cycles; ++i) {
      for (int change = 0; change < 4; ++change) step(i, change);
    }
  }
  return plan;
}

struct TBurstSide {
  TCompare Counts;
  int64_t CpuNs = 0;
  int64_t ContextSwitches = 0;
  int64_t GenerateNs = 0;  // from Go until the generator ended
  int64_t DeliverNs = 0;   // from Go until the last record arrived
  int GeneratorFailures = 0;
  std::vector<std::string> Notes;
  std::string Error;
  double CpuPerRecordUs() const {
    return Counts.Delivered ? static_cast<double>(CpuNs) / 1e3 / Counts.Delivered : 0;
  }
  double SwitchesPerRecord() const {
    return Counts.Delivered ? static_cast<double>(ContextSwitches) / Counts.Delivered : 0;
  }
};

TBurstSide VarkBurst(const std::string& root, const TBurstPlan& plan, bool viaLoop = true) {
  TBurstSide side;
  TVarkWatch watch(viaLoop);
  watch.Sink().Reserve(plan.Expected.size() + 16);
  if (!watch.Start(root, side.Error)) return side;
  TGenerator generator(plan.Ops);  // forked before the CPU count starts
  if (!generator.Started()) {
    side.Error = "cannot fork the generator";
    return side;
  }
  const int64_t cpu0 = SelfCpuNs(), switches0 = SelfContextSwitches();
  const int64_t t0 = NowNs();
  generator.Go();
  side.GeneratorFailures = generator.Wait();
  side.GenerateNs = NowNs() - t0;
  watch.Sink().WaitLines(plan.Expected.size(), kQuietMs);
  side.CpuNs = SelfCpuNs() - cpu0;
  side.ContextSwitches = SelfContextSwitches() - switches0;
  watch.Stop();
  const auto lines = watch.Sink().TakeLines();
  std::vector<TRec> delivered;
  delivered.reserve(lines.size());
  for (const auto& line : lines) delivered.push_back(ParseVarkLine(line.Text));
  if (!lines.empty()) side.DeliverNs = lines.back().AtNs - t0;
  side.Counts = CompareRecords(plan.Expected, delivered);
  side.Notes = watch.Sink().Notes();
  return side;
}

// The inotify source alone, drained by a thread of the bench that only counts the records: the
// first stage of the cost breakdown.
TBurstSide SourceBurst(const std::string& root, const TBurstPlan& plan) {
  TBurstSide side;
  auto source = MakeInotifyDirChanges();
  if (const int error = source->Open(root + "/"); error != 0) {
    side.Error = std::strerror(error);
    return side;
  }
  std::mutex mutex;
  std::condition_variable changed;
  size_t records = 0;
  const size_t wanted = plan.Expected.size();
  std::thread drain([&] {
    std::vector<uint8_t> buffer(kChangeBufferSize);
    for (;;) {
      std::fill(buffer.begin(), buffer.end(), uint8_t{0});
      const auto result = source->Read(buffer.data(), buffer.size(),
                                       kNotifyFileName | kNotifyDirName | kNotifySize);
      if (result.Status != TDirChanges::TReadStatus::Records) {
        if (result.Status == TDirChanges::TReadStatus::Notice) continue;
        break;
      }
      size_t n = 0;
      for (size_t offset = 0;;) {
        uint32_t next = 0;
        std::memcpy(&next, buffer.data() + offset, sizeof next);
        ++n;
        if (next == 0 || next > buffer.size() - offset) break;
        offset += next;
      }
      std::lock_guard lock(mutex);
      records += n;
      if (records >= wanted) changed.notify_all();
    }
  });
  TGenerator generator(plan.Ops);
  if (generator.Started()) {
    const int64_t cpu0 = SelfCpuNs(), switches0 = SelfContextSwitches();
    const int64_t t0 = NowNs();
    generator.Go();
    side.GeneratorFailures = generator.Wait();
    side.GenerateNs = NowNs() - t0;
    {
      std::unique_lock lock(mutex);
      size_t last = records;
      int64_t lastChange = NowNs();
      while (records < wanted) {
        changed.wait_for(lock, 50ms);
        if (records != last) {
          last = records;
          lastChange = NowNs();
        } else if (NowNs() - lastChange > int64_t{kQuietMs} * 1'000'000) {
          break;
        }
      }
      side.Counts.Delivered = records;
    }
    side.CpuNs = SelfCpuNs() - cpu0;
    side.ContextSwitches = SelfContextSwitches() - switches0;
  } else {
    side.Error = "cannot fork the generator";
  }
  source->Stop();
  drain.join();
  side.Counts.Expected = wanted;
  return side;
}

TBurstSide PeerBurst(const std::string& root, const TBurstPlan& plan) {
  TBurstSide side;
  // Its CPU comes from wait4 after it ends, so a run without the burst gives what setting up the
  // watches and ending cost; that is taken off.
  TPeer::TEnd base;
  {
    TPeer peer;
    if (!peer.Start(root, side.Error) || peer.WaitEstablished(kReadyTimeoutMs, side.Error) < 0) {
      return side;
    }
    base = peer.Stop();
  }
  TPeer peer;
  if (!peer.Start(root, side.Error) || peer.WaitEstablished(kReadyTimeoutMs, side.Error) < 0) {
    return side;
  }
  TGenerator generator(plan.Ops);
  if (!generator.Started()) {
    side.Error = "cannot fork the generator";
    return side;
  }
  const int64_t t0 = NowNs();
  generator.Go();
  side.GeneratorFailures = generator.Wait();
  side.GenerateNs = NowNs() - t0;
  peer.WaitLines(plan.Expected.size(), kQuietMs);
  const TPeer::TEnd end = peer.Stop();
  side.CpuNs = std::max<int64_t>(0, end.CpuNs - base.CpuNs);
  side.ContextSwitches = std::max<int64_t>(0, end.ContextSwitches - base.ContextSwitches);
  const auto lines = peer.TakeLines();
  std::vector<TRec> delivered;
  delivered.reserve(lines.size());
  for (const auto& line : lines) delivered.push_back(ParsePeerLine(line.Text, root));
  if (!lines.empty()) side.DeliverNs = lines.back().AtNs - t0;
  side.Counts = CompareRecords(plan.Expected, delivered);
  return side;
}

// ---- latency ----

struct TLatency {
  std::vector<double> Ms;  // per delivered write
  size_t Writes = 0;
  std::string Error;
};

// Appends one byte to each file in turn, `spacingUs` apart, stamping the moment before each
// write(); the stamps by relative name.
std::unordered_map<std::string, int64_t> PacedWrites(const std::string& root,
                                                     const std::vector<std::string>& names,
                                                     int spacingUs) {
  std::unordered_map<std::string, int64_t> stamps;
  timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (const auto& name : names) {
    next.tv_nsec += spacingUs * 1000L;
    while (next.tv_nsec >= 1'000'000'000) {
      next.tv_nsec -= 1'000'000'000;
      ++next.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
    const int fd = open((root + "/" + name).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) continue;
    const int64_t at = NowNs();
    if (write(fd, "x", 1) == 1) stamps[name] = at;
    close(fd);
  }
  return stamps;
}

std::vector<std::string> LatencyFiles(const TSizes& sizes, size_t fileIndex) {
  std::vector<std::string> names;
  const size_t subfolders = sizes.TopFolders * sizes.PerTop;
  for (size_t i = 0; i < sizes.LatencyWrites; ++i) {
    // Spread over the tree; a different file per side so that each write changes a size.
    const size_t k = (i * 7919) % subfolders;
    names.push_back(SubfolderPath(k, sizes.PerTop) + "/" +
                    TreeFileName((fileIndex + i / subfolders) % sizes.FilesPerFolder));
  }
  return names;
}

TLatency VarkLatency(const TSizes& sizes, const std::string& root) {
  TLatency result;
  TVarkWatch watch;
  if (!watch.Start(root, result.Error)) return result;
  const auto names = LatencyFiles(sizes, 0);
  const auto stamps = PacedWrites(root, names, sizes.LatencySpacingUs);
  result.Writes = stamps.size();
  watch.Sink().WaitLines(stamps.size(), kQuietMs);
  watch.Stop();
  for (const auto& line : watch.Sink().TakeLines()) {
    const TRec rec = ParseVarkLine(line.Text);
    const auto it = stamps.find(rec.Name);
    if (rec.Action == kActionModified && it != stamps.end()) {
      result.Ms.push_back(Ms(line.AtNs - it->second));
    }
  }
  return result;
}

TLatency PeerLatency(const TSizes& sizes, const std::string& root) {
  TLatency result;
  TPeer peer;
  if (!peer.Start(root, result.Error) || peer.WaitEstablished(kReadyTimeoutMs, result.Error) < 0) {
    return result;
  }
  const auto names = LatencyFiles(sizes, 1);
  const auto stamps = PacedWrites(root, names, sizes.LatencySpacingUs);
  result.Writes = stamps.size();
  peer.WaitLines(stamps.size(), kQuietMs);
  peer.Stop();
  for (const auto& line : peer.TakeLines()) {
    const TRec rec = ParsePeerLine(line.Text, root);
    const auto it = stamps.find(rec.Name);
    if (rec.Action == kActionModified && it != stamps.end()) {
      result.Ms.push_back(Ms(line.AtNs - it->second));
    }
  }
  return result;
}

// ---- the table ----

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Ratio(double vark, double peer) {
  if (peer <= 0) return "-";
  return Fixed(vark / peer, 2) + "x";
}

void Row(const std::string& figure, const std::string& vark, const std::string& peer,
         const std::string& ratio, const std::string& target) {
  std::printf("| %s | %s | %s | %s | %s |\n", figure.c_str(), vark.c_str(), peer.c_str(),
              ratio.c_str(), target.c_str());
}

std::string Verdict(bool met) {
  return met ? "met" : "MISSED";
}

std::string Count(size_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

long WatchLimit() {
  FILE* f = std::fopen("/proc/sys/fs/inotify/max_user_watches", "r");
  if (!f) return -1;
  long value = -1;
  if (std::fscanf(f, "%ld", &value) != 1) value = -1;
  std::fclose(f);
  return value;
}

int Usage() {
  std::fprintf(stderr,
               "usage: watch_bench [--quick] [--runs N] [--dir DIR]\n"
               "  --quick   a tenth of the sizes (a trial run)\n"
               "  --runs N  ready-time runs per side (default 5)\n"
               "  --dir D   where the trees are made (default /tmp)\n");
  return 2;
}

int Fail(const std::string& what, const std::string& base) {
  std::fprintf(stderr, "watch_bench: %s\n", what.c_str());
  if (!base.empty()) RemoveTree(base);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--memory-probe") == 0) return MemoryProbe(argv[2]);
  TSizes sizes;
  std::string dir = "/tmp";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      sizes.TopFolders = 10;
      sizes.BurstFolders = 50;
      sizes.BurstCycles = 1250;
      sizes.LatencyWrites = 200;
      sizes.Runs = 3;
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      sizes.Runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      dir = argv[++i];
    } else {
      return Usage();
    }
  }
  // Both sides watch every folder at once during a burst, other programs hold watches too.
  const long limit = WatchLimit();
  const long needed = static_cast<long>(sizes.Folders() + sizes.BurstFolders) + 2 + 8192;
  if (limit >= 0 && limit < needed) {
    std::fprintf(stderr,
                 "watch_bench: fs.inotify.max_user_watches is %ld; the run needs about %ld.\n"
                 "Raise it for the run: sudo sysctl fs.inotify.max_user_watches=%ld\n",
                 limit, needed, std::max(needed, 524288L));
    return 1;
  }

  std::string base = dir + "/vark-watch-bench-XXXXXX";
  if (!mkdtemp(base.data())) return Fail(dir + ": " + std::strerror(errno), {});
  const std::string tree = base + "/tree", burst = base + "/burst", empty = base + "/empty";

  std::printf("Making the trees under %s ...\n", base.c_str());
  std::fflush(stdout);
  const int64_t makeStart = NowNs();
  std::string error = MakeTree(tree, sizes.TopFolders, sizes.PerTop, sizes.FilesPerFolder);
  if (error.empty()) error = MakeTree(burst, sizes.BurstFolders, 0, 0);
  if (error.empty() && mkdir(empty.c_str(), 0755) != 0) {
    error = empty + ": " + std::strerror(errno);
  }
  if (!error.empty()) return Fail(error, base);
  std::printf("  %s folders and %s files in %.1f s; the burst tree has %s empty folders\n",
              Count(sizes.Folders()).c_str(), Count(sizes.Files()).c_str(),
              Ms(NowNs() - makeStart) / 1000, Count(sizes.BurstFolders).c_str());

  std::printf("Ready time and memory (%d runs per side) ...\n", sizes.Runs);
  std::fflush(stdout);
  const TReady ready = MeasureReady(sizes, tree, empty);
  if (!ready.Error.empty()) return Fail(ready.Error, base);

  std::printf("What Vark's ready time is made of ...\n");
  std::fflush(stdout);
  static const char* const kWalkNames[] = {"open + getdents per folder", "+ fstatat per file",
                                           "+ a watch per folder via /proc/self/fd",
                                           "(instead) + a watch per folder by path"};
  double walkMs[4] = {};
  for (int w = 0; w < 4; ++w) {
    std::vector<double> runs;
    for (int run = 0; run < std::min(sizes.Runs, 3); ++run) {
      runs.push_back(WalkMs(tree, static_cast<TWalk>(w)));
    }
    walkMs[w] = Median(runs);
  }

  struct TBurstResult {
    TBurstSide Vark, Peer, Source, Direct;
  };
  std::vector<TBurstResult> bursts;
  std::vector<TBurstPlan> plans;
  for (const bool waves : {true, false}) {
    plans.push_back(PlanBurst(burst, sizes.BurstFolders, sizes.BurstCycles, waves));
    std::printf("Burst %s: %s changes, %s records ...\n", plans.back().Title.c_str(),
                Count(plans.back().Ops.size()).c_str(),
                Count(plans.back().Expected.size()).c_str());
    std::fflush(stdout);
    TBurstResult result;
    result.Vark = VarkBurst(burst, plans.back());
    if (!result.Vark.Error.empty()) return Fail("Vark burst: " + result.Vark.Error, base);
    result.Peer = PeerBurst(burst, plans.back());
    if (!result.Peer.Error.empty()) return Fail("inotifywait burst: " + result.Peer.Error, base);
    // The same burst again through parts of Vark's pipeline, for the cost breakdown.
    result.Source = SourceBurst(burst, plans.back());
    if (!result.Source.Error.empty()) return Fail("source burst: " + result.Source.Error, base);
    result.Direct = VarkBurst(burst, plans.back(), false);
    if (!result.Direct.Error.empty()) return Fail("watcher burst: " + result.Direct.Error, base);
    bursts.push_back(std::move(result));
  }

  std::printf("Latency (%s writes, %d us apart, each side) ...\n",
              Count(sizes.LatencyWrites).c_str(), sizes.LatencySpacingUs);
  std::fflush(stdout);
  const TLatency varkLatency = VarkLatency(sizes, tree);
  if (!varkLatency.Error.empty()) return Fail("Vark latency: " + varkLatency.Error, base);
  const TLatency peerLatency = PeerLatency(sizes, tree);
  if (!peerLatency.Error.empty()) return Fail("inotifywait latency: " + peerLatency.Error, base);

  RemoveTree(base);

  // ---- the report ----
  const double files = static_cast<double>(sizes.Files());
  const double varkReady = Median(ready.VarkMs), peerReady = Median(ready.PeerMs);
  const double varkGrowth = Median(ready.VarkGrowthKb) * 1024;
  const double peerPeak = Median(ready.PeerPeakKb) * 1024;
  const double peerMaxRss = Median(ready.PeerMaxRssKb) * 1024;
  const double peerGrowth = peerPeak - ready.PeerEmptyPeakKb * 1024;

  std::printf(
      "\nTree: %s folders, %s files. Ready times: median of %d runs per side, the sides "
      "alternating, after one uncounted warm-up run of each.\n\n",
      Count(sizes.Folders()).c_str(), Count(sizes.Files()).c_str(), sizes.Runs);
  Row("Figure", "Vark", "inotifywait", "Vark/inotifywait", "Target (Vark)");
  Row("---", "---", "---", "---", "---");
  Row("ready time, ms", Fixed(varkReady, 1), Fixed(peerReady, 1), Ratio(varkReady, peerReady),
      "<= 0.75x: " + Verdict(varkReady <= 0.75 * peerReady));
  for (size_t b = 0; b < bursts.size(); ++b) {
    const TBurstSide &vark = bursts[b].Vark, &peer = bursts[b].Peer;
    const std::string name = "burst " + plans[b].Title;
    const TCompare &v = vark.Counts, &p = peer.Counts;
    Row(name + ": records delivered of " + Count(v.Expected),
        Count(v.Matched) + " (" + Fixed(100.0 * v.Matched / v.Expected, 2) + "%)",
        Count(p.Matched) + " (" + Fixed(100.0 * p.Matched / p.Expected, 2) + "%)",
        Ratio(static_cast<double>(v.Matched), static_cast<double>(p.Matched)),
        "100%: " + Verdict(v.Missed == 0 && v.OutOfOrder == 0 && v.Extra == 0));
    Row(name + ": missed / out of order / extra",
        Count(v.Missed) + " / " + Count(v.OutOfOrder) + " / " + Count(v.Extra),
        Count(p.Missed) + " / " + Count(p.OutOfOrder) + " / " + Count(p.Extra), "-", "0");
    Row(name + ": CPU per delivered record, us", Fixed(vark.CpuPerRecordUs(), 2),
        Fixed(peer.CpuPerRecordUs(), 2), Ratio(vark.CpuPerRecordUs(), peer.CpuPerRecordUs()),
        "<= 1.5x: " + Verdict(vark.CpuPerRecordUs() <= 1.5 * peer.CpuPerRecordUs()));
  }
  const double varkP50 = Median(varkLatency.Ms), peerP50 = Median(peerLatency.Ms);
  const double varkP99 = Percentile(varkLatency.Ms, 99), peerP99 = Percentile(peerLatency.Ms, 99);
  Row("latency, median, ms", Fixed(varkP50, 3), Fixed(peerP50, 3), Ratio(varkP50, peerP50), "-");
  Row("latency, 99th percentile, ms", Fixed(varkP99, 3), Fixed(peerP99, 3), Ratio(varkP99, peerP99),
      "< 5 ms: " + Verdict(varkP99 < 5));
  Row("latency: writes delivered",
      Count(varkLatency.Ms.size()) + " of " + Count(varkLatency.Writes),
      Count(peerLatency.Ms.size()) + " of " + Count(peerLatency.Writes), "-", "-");
  Row("memory beyond baseline per watched file, bytes", Fixed(varkGrowth / files, 1),
      Fixed(peerGrowth / files, 1), Ratio(varkGrowth, peerGrowth),
      "< 100: " + Verdict(varkGrowth / files < 100));
  Row("inotifywait's whole peak RSS (VmHWM) per watched file, bytes", "-",
      Fixed(peerPeak / files, 1), "-", "-");

  std::printf("\nDetails\n");
  std::printf("- ready time runs, ms: Vark");
  for (const double ms : ready.VarkMs) std::printf(" %.1f", ms);
  std::printf("; inotifywait");
  for (const double ms : ready.PeerMs) std::printf(" %.1f", ms);
  std::printf(
      "\n- memory: Vark grows by %.0f kB (VmHWM after Open - VmRSS before, fresh process, "
      "median of %zu); inotifywait's peak RSS (VmHWM) is %.0f kB on the tree, %.0f kB on "
      "an empty folder; its ru_maxrss from wait4 is %.0f kB and %.0f kB\n",
      varkGrowth / 1024, ready.VarkGrowthKb.size(), peerPeak / 1024, ready.PeerEmptyPeakKb,
      peerMaxRss / 1024, ready.PeerEmptyMaxRssKb);
  static const char* const kActionNames[] = {"other",        "created",      "deleted",
                                             "size changed", "renamed from", "renamed to"};
  std::printf("- Vark's ready time, walking the tree with parts of its system calls (median, ms):");
  for (int w = 0; w < 4; ++w) std::printf("%s %s %.1f", w ? ";" : "", kWalkNames[w], walkMs[w]);
  std::printf("\n");
  for (size_t b = 0; b < bursts.size(); ++b) {
    const TBurstSide &vark = bursts[b].Vark, &peer = bursts[b].Peer;
    const TBurstSide &source = bursts[b].Source, &direct = bursts[b].Direct;
    std::printf(
        "- burst %s, CPU per record and context switches per record: source alone "
        "%.2f us, %.2f; + watcher thread (its steps on its own thread) %.2f us, %.2f; + "
        "hand-over to the loop thread (the full pipeline) %.2f us, %.2f; inotifywait "
        "%.2f us, %.2f\n",
        plans[b].Title.c_str(), source.CpuPerRecordUs(), source.SwitchesPerRecord(),
        direct.CpuPerRecordUs(), direct.SwitchesPerRecord(), vark.CpuPerRecordUs(),
        vark.SwitchesPerRecord(), peer.CpuPerRecordUs(), peer.SwitchesPerRecord());
    for (const auto* side : {&vark, &peer}) {
      const bool isVark = side == &vark;
      std::printf(
          "- burst %s, %s: generator %.0f ms (%d failed), last record %.0f ms after the "
          "start, CPU %.0f ms for %s records",
          plans[b].Title.c_str(), isVark ? "Vark" : "inotifywait", Ms(side->GenerateNs),
          side->GeneratorFailures, Ms(side->DeliverNs), Ms(side->CpuNs),
          Count(side->Counts.Delivered).c_str());
      if (side->Counts.Missed) {
        std::printf("; missed:");
        for (int a = 0; a < 6; ++a) {
          if (side->Counts.MissedByAction[a]) {
            std::printf(" %s %s", Count(side->Counts.MissedByAction[a]).c_str(), kActionNames[a]);
          }
        }
      }
      for (const auto& note : side->Notes) std::printf("; %s", note.c_str());
      std::printf("\n");
    }
  }
  std::printf("- latency max, ms: Vark %.3f, inotifywait %.3f\n", Percentile(varkLatency.Ms, 100),
              Percentile(peerLatency.Ms, 100));
  return 0;
}
