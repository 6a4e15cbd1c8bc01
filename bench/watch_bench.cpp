// The watcher benchmark: Vark's inotify source and watcher pipeline side by side with
// `inotifywait -m -r`, on trees made under /tmp, in one run. See bench/README.md.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "watch_bench_util.h"
#include "watch_bench_vark.h"
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
  // Writes this far apart, one series each: the closer spacing meets any gathering of changes
  // into batches, the wider one an idle watcher.
  std::vector<int> LatencySpacingUs = {2000, 10000};
  int Runs = 5;
  int BurstRuns = 3;  // of each burst through the whole pipeline
  size_t Folders() const { return TopFolders * (1 + PerTop); }
  size_t Files() const { return Folders() * FilesPerFolder; }
};

constexpr int kQuietMs = 1000;  // no record for this long: the rest is not coming

double Ms(int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

// ---- ready time and memory ----

struct TReady {
  std::vector<double> VarkMs, PeerMs;
  std::vector<double> VarkCpuMs, PeerCpuMs;           // CPU time spent getting ready
  std::vector<double> PeerPeakKb, PeerMaxRssKb;       // VmHWM and ru_maxrss on the tree
  double PeerEmptyPeakKb = 0, PeerEmptyMaxRssKb = 0;  // the same on an empty folder
  std::vector<double> VarkGrowthKb;
  std::vector<double> VarkSteadyKb;  // VmRSS after Open − VmRSS before  // VmHWM after Open − VmRSS
                                     // before, in a fresh process
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

// Runs the probe; the peak growth in kB, or a negative value with `error`. The growth that stays
// once Open has returned goes to steadyKb.
double RunMemoryProbe(const std::string& root, std::string& error, double& steadyKb) {
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
  steadyKb = static_cast<double>(after - before);
  return static_cast<double>(hwm - before);
}

int64_t VarkOpenNs(const std::string& root, std::string& error, int64_t* cpuNs = nullptr) {
  auto source = MakeInotifyDirChanges();
  const int64_t cpu0 = SelfCpuNs();
  const int64_t start = NowNs();
  const int openError = source->Open(root);
  const int64_t took = NowNs() - start;
  if (cpuNs) *cpuNs = SelfCpuNs() - cpu0;
  if (openError != 0) {
    error = std::string("Open: ") + std::strerror(openError);
    return -1;
  }
  return took;
}

// From spawn to "Watches established."; what the peer used goes to `end`.
int64_t PeerReadyNs(const std::string& root, TPeer::TEnd& end, std::string& error,
                    int64_t* cpuNs = nullptr) {
  TPeer peer;
  const int64_t start = NowNs();
  if (!peer.Start(root, error)) return -1;
  const int64_t ready = peer.WaitEstablished(kReadyTimeoutMs, error);
  if (cpuNs) *cpuNs = ProcessCpuNs(peer.Pid());
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
        int64_t cpu = 0;
        const int64_t ns = VarkOpenNs(tree, error, &cpu);
        if (ns < 0) {
          ready.Error = error;
          return ready;
        }
        ready.VarkMs.push_back(Ms(ns));
        ready.VarkCpuMs.push_back(Ms(cpu));
      } else {
        int64_t cpu = 0;
        const int64_t ns = PeerReadyNs(tree, end, error, &cpu);
        if (ns < 0) {
          ready.Error = error;
          return ready;
        }
        ready.PeerMs.push_back(Ms(ns));
        ready.PeerCpuMs.push_back(Ms(cpu));
        ready.PeerPeakKb.push_back(static_cast<double>(end.PeakRssKb));
        ready.PeerMaxRssKb.push_back(static_cast<double>(end.MaxRssKb));
      }
    }
  }
  for (int run = 0; run < std::min(sizes.Runs, 3); ++run) {
    double steady = 0;
    const double growth = RunMemoryProbe(tree, error, steady);
    if (growth < 0) {
      ready.Error = error;
      return ready;
    }
    ready.VarkGrowthKb.push_back(growth);
    ready.VarkSteadyKb.push_back(steady);
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

// The CPU time of one walk, in ms (the bench runs nothing else meanwhile; CPU time, unlike the
// wall time, barely moves with the machine's load).
double WalkMs(const std::string& root, TWalk walk) {
  std::vector<char> buffer(32 * 1024);
  const int inotifyFd = inotify_init1(IN_CLOEXEC);
  const int64_t start = SelfCpuNs();
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    WalkFolder(fd, root, walk, inotifyFd, buffer.data(), buffer.size());
    close(fd);
  }
  const int64_t took = SelfCpuNs() - start;
  if (inotifyFd >= 0) close(inotifyFd);
  return Ms(took);
}

// ---- the burst ----

struct TBurstSide {
  TCompare Counts;
  int64_t CpuNs = 0;
  int64_t UserCpuNs = 0;
  int64_t ContextSwitches = 0;
  std::array<int64_t, 3> ThreadCpuNs = {};  // Vark's reader, watcher and loop threads
  int64_t GenerateNs = 0;                   // from Go until the generator ended
  int64_t DeliverNs = 0;                    // from Go until the last record arrived
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

// What Vark's side of a burst runs: its whole pipeline (the program's case), the watcher thread
// with its user-interface steps on its own thread, or the source alone.
enum class TStage { Pipeline, Watcher, Source };

struct TBurstRun {
  TBurstSide Vark, Peer;
  std::string Error;
};

// One burst, watched at the same time by Vark (one stage of it) and by inotifywait, so that both
// meet the same changes at the same pace on the same machine. inotifywait writes its lines to a
// file, so that nothing of the bench but Vark runs during the burst: Vark's CPU is the bench's
// rusage from the start of the burst until its last record; inotifywait's is its rusage from
// wait4 less `peerBase` (a run without a burst: setting up the watches and ending). backlog: both
// are held (Vark's reader at its gate, inotifywait by SIGSTOP) until the generator has ended, so
// they meet the whole burst queued in the kernel.
template <class TSide>
TBurstRun RunBurst(TSide& vark, const std::string& root, const TBurstPlan& plan, bool backlog,
                   const TPeer::TEnd& peerBase, const std::string& peerOutput) {
  TBurstRun run;
  TPeer peer;
  std::string error;
  if (!peer.Start(root, error, peerOutput) || peer.WaitEstablished(kReadyTimeoutMs, error) < 0) {
    run.Error = "inotifywait: " + error;
    return run;
  }
  if (!vark.Start(root, error)) {
    run.Error = "Vark: " + error;
    return run;
  }
  TGenerator generator(plan.Ops);  // forked before the CPU count starts
  if (!generator.Started()) {
    run.Error = "cannot fork the generator";
    return run;
  }
  if (backlog) kill(peer.Pid(), SIGSTOP);
  const int64_t cpu0 = SelfCpuNs(), user0 = SelfUserCpuNs();
  const int64_t switches0 = SelfContextSwitches();
  std::array<int64_t, 3> threads0 = {};
  if constexpr (!std::is_same_v<TSide, TSourceDrain>) threads0 = vark.ThreadCpuNs();
  const int64_t t0 = NowNs();
  generator.Go();
  const int failures = generator.Wait();
  const int64_t generated = NowNs() - t0;
  if (backlog) {
    kill(peer.Pid(), SIGCONT);
    vark.OpenGate();
  }
  vark.Wait(plan.Expected.size(), kQuietMs);
  run.Vark.CpuNs = SelfCpuNs() - cpu0;
  run.Vark.UserCpuNs = SelfUserCpuNs() - user0;
  run.Vark.ContextSwitches = SelfContextSwitches() - switches0;
  if constexpr (!std::is_same_v<TSide, TSourceDrain>) {
    const auto threads1 = vark.ThreadCpuNs();
    for (size_t i = 0; i < threads1.size(); ++i) {
      run.Vark.ThreadCpuNs[i] = threads0[i] && threads1[i] ? threads1[i] - threads0[i] : 0;
    }
  }
  vark.Stop();
  peer.WaitFileLines(plan.Expected.size(), kQuietMs);
  const TPeer::TEnd end = peer.Stop();
  run.Peer.CpuNs = std::max<int64_t>(0, end.CpuNs - peerBase.CpuNs);
  run.Peer.UserCpuNs = std::max<int64_t>(0, end.UserCpuNs - peerBase.UserCpuNs);
  run.Peer.ContextSwitches = std::max<int64_t>(0, end.ContextSwitches - peerBase.ContextSwitches);
  for (TBurstSide* side : {&run.Vark, &run.Peer}) {
    side->GenerateNs = generated;
    side->GeneratorFailures = failures;
  }
  if constexpr (std::is_same_v<TSide, TSourceDrain>) {
    run.Vark.Counts = vark.Counts(plan.Expected.size());
  } else {
    run.Vark.Counts = CompareRecords(plan.Expected, vark.Delivered());
  }
  if (const int64_t last = vark.LastAtNs(); last > t0) run.Vark.DeliverNs = last - t0;
  run.Vark.Notes = vark.Notes();
  std::vector<TRec> delivered;
  for (const auto& line : peer.TakeLines()) delivered.push_back(ParsePeerLine(line.Text, root));
  run.Peer.Counts = CompareRecords(plan.Expected, delivered);
  return run;
}

TBurstRun RunBurstStage(TStage stage, const std::string& root, const TBurstPlan& plan, bool backlog,
                        const TPeer::TEnd& peerBase, const std::string& peerOutput) {
  if (stage == TStage::Source) {
    TSourceDrain source;
    return RunBurst(source, root, plan, false, peerBase, peerOutput);
  }
  TVarkWatch watch(stage == TStage::Pipeline, backlog);
  watch.Sink().Reserve(plan.Expected.size() + 16);
  return RunBurst(watch, root, plan, backlog, peerBase, peerOutput);
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

TLatency VarkLatency(const TSizes& sizes, const std::string& root, int spacingUs,
                     size_t fileIndex) {
  TLatency result;
  TVarkWatch watch;
  if (!watch.Start(root, result.Error)) return result;
  const auto names = LatencyFiles(sizes, fileIndex);
  const auto stamps = PacedWrites(root, names, spacingUs);
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

TLatency PeerLatency(const TSizes& sizes, const std::string& root, int spacingUs,
                     size_t fileIndex) {
  TLatency result;
  TPeer peer;
  if (!peer.Start(root, result.Error) || peer.WaitEstablished(kReadyTimeoutMs, result.Error) < 0) {
    return result;
  }
  const auto names = LatencyFiles(sizes, fileIndex);
  const auto stamps = PacedWrites(root, names, spacingUs);
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

constexpr const char* kWatchLimitFile = "/proc/sys/fs/inotify/max_user_watches";
constexpr const char* kQueueLimitFile = "/proc/sys/fs/inotify/max_queued_events";

long ReadLong(const char* path) {
  FILE* f = std::fopen(path, "r");
  if (!f) return -1;
  long value = -1;
  if (std::fscanf(f, "%ld", &value) != 1) value = -1;
  std::fclose(f);
  return value;
}

constexpr const char* kTreePrefix = "vark-watch-bench-";
constexpr const char* kOwnerFile = "owner.pid";

// An interrupted run leaves its trees behind (100,000 files): the next run removes those whose
// process is gone.
void RemoveStaleTrees(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* entry = readdir(d)) {
    if (std::strncmp(entry->d_name, kTreePrefix, std::strlen(kTreePrefix)) != 0) continue;
    const std::string path = dir + "/" + entry->d_name;
    FILE* f = std::fopen((path + "/" + kOwnerFile).c_str(), "r");
    if (!f) continue;
    int pid = 0;
    const bool read = std::fscanf(f, "%d", &pid) == 1;
    std::fclose(f);
    if (read && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(path);
  }
  closedir(d);
  for (const auto& path : stale) {
    std::printf("Removing %s, left by an interrupted run\n", path.c_str());
    RemoveTree(path);
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: watch_bench [--quick] [--runs N] [--ready-only] [--dir DIR]\n"
               "  --quick   a tenth of the sizes (a trial run)\n"
               "  --ready-only  only the ready time and memory\n"
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
  bool readyOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      sizes.TopFolders = 10;
      sizes.BurstFolders = 50;
      sizes.BurstCycles = 1250;
      sizes.LatencyWrites = 200;
      sizes.Runs = 3;
      sizes.BurstRuns = 1;
    } else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      sizes.Runs = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--ready-only") == 0) {
      readyOnly = true;
    } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
      dir = argv[++i];
    } else {
      return Usage();
    }
  }
  // Both sides watch every folder at once during a burst, other programs hold watches too.
  const long limit = ReadLong(kWatchLimitFile);
  const long needed = static_cast<long>(sizes.Folders() + sizes.BurstFolders) + 2 + 8192;
  if (limit >= 0 && limit < needed) {
    std::fprintf(stderr,
                 "watch_bench: fs.inotify.max_user_watches is %ld; the run needs about %ld.\n"
                 "Raise it for the run: sudo sysctl fs.inotify.max_user_watches=%ld\n",
                 limit, needed, std::max(needed, 524288L));
    return 1;
  }

  RemoveStaleTrees(dir);
  std::string base = dir + "/" + kTreePrefix + "XXXXXX";
  if (!mkdtemp(base.data())) return Fail(dir + ": " + std::strerror(errno), {});
  if (FILE* f = std::fopen((base + "/" + kOwnerFile).c_str(), "w")) {
    std::fprintf(f, "%d\n", static_cast<int>(getpid()));
    std::fclose(f);
  }
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
  if (readyOnly) {
    RemoveTree(base);
    std::printf(
        "Ready time, median of %d runs per side, ms: Vark %.1f, inotifywait %.1f (%.2fx); "
        "CPU time: Vark %.1f, inotifywait %.1f\n",
        sizes.Runs, Median(ready.VarkMs), Median(ready.PeerMs),
        Median(ready.VarkMs) / Median(ready.PeerMs), Median(ready.VarkCpuMs),
        Median(ready.PeerCpuMs));
    return 0;
  }

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

  // Runs[0]: Vark's whole pipeline; [1] and [2], for the cost breakdown: the watcher with its
  // steps on its own thread, and the source alone. Each beside its own inotifywait.
  struct TBurstResult {
    TBurstRun Runs[3];
    std::vector<double> Ratios;  // Vark/inotifywait CPU per record of every pipeline run, sorted
    size_t VarkMissedAll = 0, PeerMissedAll = 0;  // missed + out of order + extra, all runs
  };
  std::vector<TBurstResult> bursts;
  std::vector<TBurstPlan> plans;
  const std::string peerOutput = base + "/inotifywait.out";
  TPeer::TEnd peerBase;
  {
    TPeer peer;
    if (!peer.Start(burst, error, peerOutput) || peer.WaitEstablished(kReadyTimeoutMs, error) < 0) {
      return Fail("inotifywait: " + error, base);
    }
    peerBase = peer.Stop();
  }
  // The kernel holds at most this many events per inotify instance; a backlog stays below it.
  const size_t queueLimit = static_cast<size_t>(std::max(0L, ReadLong(kQueueLimitFile)));
  const size_t backlogCycles =
      std::min(sizes.BurstCycles / 4, queueLimit > 64 ? (queueLimit - 64) / 5 : 0);
  for (int kind = 0; kind < 3; ++kind) {
    const bool backlog = kind == 2;
    if (backlog && backlogCycles == 0) break;
    plans.push_back(PlanBurst(burst, sizes.BurstFolders,
                              backlog ? backlogCycles : sizes.BurstCycles, kind != 1));
    TBurstPlan& plan = plans.back();
    if (backlog) plan.Title = "queued first (in waves)";
    std::printf("Burst %s: %s changes, %s records ...\n", plan.Title.c_str(),
                Count(plan.Ops.size()).c_str(), Count(plan.Expected.size()).c_str());
    std::fflush(stdout);
    TBurstResult result;
    // The whole pipeline several times: the pace of the generator, and with it how many changes
    // each wake-up finds, swings with the machine's load. The run of the median ratio stands in
    // the table; what was missed counts over all runs.
    std::vector<TBurstRun> pipeline;
    for (int run = 0; run < sizes.BurstRuns; ++run) {
      pipeline.push_back(
          RunBurstStage(TStage::Pipeline, burst, plan, backlog, peerBase, peerOutput));
      if (!pipeline.back().Error.empty()) return Fail(pipeline.back().Error, base);
    }
    std::vector<std::pair<double, size_t>> ratios;
    for (size_t i = 0; i < pipeline.size(); ++i) {
      const double peer = pipeline[i].Peer.CpuPerRecordUs();
      ratios.emplace_back(peer > 0 ? pipeline[i].Vark.CpuPerRecordUs() / peer : 0, i);
      result.VarkMissedAll += pipeline[i].Vark.Counts.Missed + pipeline[i].Vark.Counts.OutOfOrder +
                              pipeline[i].Vark.Counts.Extra;
      result.PeerMissedAll += pipeline[i].Peer.Counts.Missed + pipeline[i].Peer.Counts.OutOfOrder +
                              pipeline[i].Peer.Counts.Extra;
    }
    std::sort(ratios.begin(), ratios.end());
    for (const auto& [ratio, i] : ratios) result.Ratios.push_back(ratio);
    result.Runs[0] = pipeline[ratios[ratios.size() / 2].second];
    for (int stage = 1; stage < (backlog ? 1 : 3); ++stage) {
      result.Runs[stage] =
          RunBurstStage(static_cast<TStage>(stage), burst, plan, backlog, peerBase, peerOutput);
      if (!result.Runs[stage].Error.empty()) return Fail(result.Runs[stage].Error, base);
    }
    bursts.push_back(std::move(result));
  }

  std::vector<std::pair<TLatency, TLatency>> latencies;
  for (size_t i = 0; i < sizes.LatencySpacingUs.size(); ++i) {
    const int spacing = sizes.LatencySpacingUs[i];
    std::printf("Latency (%s writes, %.0f ms apart, each side) ...\n",
                Count(sizes.LatencyWrites).c_str(), spacing / 1000.0);
    std::fflush(stdout);
    // Each side and series writes to files of its own, so that every write changes a size.
    TLatency vark = VarkLatency(sizes, tree, spacing, 2 * i);
    if (!vark.Error.empty()) return Fail("Vark latency: " + vark.Error, base);
    TLatency peer = PeerLatency(sizes, tree, spacing, 2 * i + 1);
    if (!peer.Error.empty()) return Fail("inotifywait latency: " + peer.Error, base);
    latencies.emplace_back(std::move(vark), std::move(peer));
  }

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
  const double varkReadyCpu = Median(ready.VarkCpuMs), peerReadyCpu = Median(ready.PeerCpuMs);
  Row("CPU time to get ready, ms", Fixed(varkReadyCpu, 1), Fixed(peerReadyCpu, 1),
      Ratio(varkReadyCpu, peerReadyCpu), "-");
  for (size_t b = 0; b < bursts.size(); ++b) {
    const TBurstSide &vark = bursts[b].Runs[0].Vark, &peer = bursts[b].Runs[0].Peer;
    const std::string name = "burst " + plans[b].Title;
    const TCompare &v = vark.Counts, &p = peer.Counts;
    Row(name + ": records delivered of " + Count(v.Expected),
        Count(v.Matched) + " (" + Fixed(100.0 * v.Matched / v.Expected, 2) + "%)",
        Count(p.Matched) + " (" + Fixed(100.0 * p.Matched / p.Expected, 2) + "%)",
        Ratio(static_cast<double>(v.Matched), static_cast<double>(p.Matched)),
        "100%: " + Verdict(bursts[b].VarkMissedAll == 0));
    Row(name + ": missed / out of order / extra",
        Count(v.Missed) + " / " + Count(v.OutOfOrder) + " / " + Count(v.Extra),
        Count(p.Missed) + " / " + Count(p.OutOfOrder) + " / " + Count(p.Extra), "-", "0");
    Row(name + ": CPU per delivered record, us", Fixed(vark.CpuPerRecordUs(), 2),
        Fixed(peer.CpuPerRecordUs(), 2), Ratio(vark.CpuPerRecordUs(), peer.CpuPerRecordUs()),
        "<= 1.5x: " + Verdict(vark.CpuPerRecordUs() <= 1.5 * peer.CpuPerRecordUs()));
  }
  for (size_t i = 0; i < latencies.size(); ++i) {
    const auto& [vark, peer] = latencies[i];
    const std::string name =
        "latency, writes " + Fixed(sizes.LatencySpacingUs[i] / 1000.0, 0) + " ms apart";
    const double varkP50 = Median(vark.Ms), peerP50 = Median(peer.Ms);
    const double varkP99 = Percentile(vark.Ms, 99), peerP99 = Percentile(peer.Ms, 99);
    Row(name + ": median, ms", Fixed(varkP50, 3), Fixed(peerP50, 3), Ratio(varkP50, peerP50), "-");
    Row(name + ": 99th percentile, ms", Fixed(varkP99, 3), Fixed(peerP99, 3),
        Ratio(varkP99, peerP99),
        "< 5 ms: " + Verdict(varkP99 < 5 && vark.Ms.size() == vark.Writes));
    Row(name + ": writes delivered", Count(vark.Ms.size()) + " of " + Count(vark.Writes),
        Count(peer.Ms.size()) + " of " + Count(peer.Writes), "-", "-");
  }
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
  std::printf("; CPU time, ms: Vark");
  for (const double ms : ready.VarkCpuMs) std::printf(" %.1f", ms);
  std::printf("; inotifywait (from /proc, in clock ticks)");
  for (const double ms : ready.PeerCpuMs) std::printf(" %.0f", ms);
  std::printf(
      "\n- memory: Vark grows by %.0f kB at the peak (VmHWM after Open - VmRSS before, fresh "
      "process, median of %zu) and keeps %.0f kB once Open has returned (VmRSS); inotifywait's "
      "peak RSS (VmHWM) is %.0f kB on the tree, %.0f kB on an empty folder; its ru_maxrss from "
      "wait4 is %.0f kB and %.0f kB\n",
      varkGrowth / 1024, ready.VarkGrowthKb.size(), Median(ready.VarkSteadyKb), peerPeak / 1024,
      ready.PeerEmptyPeakKb, peerMaxRss / 1024, ready.PeerEmptyMaxRssKb);
  static const char* const kActionNames[] = {"other",        "created",      "deleted",
                                             "size changed", "renamed from", "renamed to"};
  std::printf(
      "- what getting ready costs: CPU time of walking the tree with parts of Vark's system calls "
      "(median, ms):");
  for (int w = 0; w < 4; ++w) std::printf("%s %s %.1f", w ? ";" : "", kWalkNames[w], walkMs[w]);
  std::printf("\n");
  for (size_t b = 0; b < bursts.size(); ++b) {
    const TBurstSide &vark = bursts[b].Runs[0].Vark, &peer = bursts[b].Runs[0].Peer;
    if (bursts[b].Runs[2].Vark.Counts.Delivered != 0) {
      static const char* const kStages[] = {"whole pipeline", "watcher, steps on its own thread",
                                            "source alone"};
      std::printf(
          "- burst %s, CPU per record, Vark / inotifywait beside it (context switches per "
          "record):",
          plans[b].Title.c_str());
      for (int stage = 2; stage >= 0; --stage) {
        const TBurstRun& run = bursts[b].Runs[stage];
        std::printf("%s %s %.2f us (%.2f) / %.2f us (%.2f) = %s", stage == 2 ? "" : ";",
                    kStages[stage], run.Vark.CpuPerRecordUs(), run.Vark.SwitchesPerRecord(),
                    run.Peer.CpuPerRecordUs(), run.Peer.SwitchesPerRecord(),
                    Ratio(run.Vark.CpuPerRecordUs(), run.Peer.CpuPerRecordUs()).c_str());
      }
      std::printf("\n");
    } else {
      std::printf("- burst %s, context switches per record: Vark %.3f, inotifywait %.3f\n",
                  plans[b].Title.c_str(), vark.SwitchesPerRecord(), peer.SwitchesPerRecord());
    }
    std::printf("- burst %s, whole pipeline, %zu runs: CPU ratios", plans[b].Title.c_str(),
                bursts[b].Ratios.size());
    for (const double ratio : bursts[b].Ratios) std::printf(" %.2fx", ratio);
    std::printf(
        " (the median run is the one shown); records missed, out of order or extra over "
        "all runs: Vark %zu, inotifywait %zu\n",
        bursts[b].VarkMissedAll, bursts[b].PeerMissedAll);
    if (vark.Counts.Delivered) {
      const double n = static_cast<double>(vark.Counts.Delivered);
      const auto& t = vark.ThreadCpuNs;
      const int64_t rest = vark.CpuNs - t[0] - t[1] - t[2];
      std::printf(
          "- burst %s, Vark's CPU per record by thread: inotify reader %.2f us, watcher "
          "%.2f us, loop thread (the user-interface thread's stand-in, with the log) "
          "%.2f us, the rest of the process %.2f us\n",
          plans[b].Title.c_str(), static_cast<double>(t[0]) / 1e3 / n,
          static_cast<double>(t[1]) / 1e3 / n, static_cast<double>(t[2]) / 1e3 / n,
          static_cast<double>(rest) / 1e3 / n);
    }
    for (const auto* side : {&vark, &peer}) {
      const bool isVark = side == &vark;
      std::printf("- burst %s, %s: generator %.0f ms (%d failed)", plans[b].Title.c_str(),
                  isVark ? "Vark" : "inotifywait", Ms(side->GenerateNs), side->GeneratorFailures);
      if (isVark) std::printf(", last record %.0f ms after the start", Ms(side->DeliverNs));
      std::printf(", CPU %.0f ms (%.0f%% in user space) for %s records", Ms(side->CpuNs),
                  side->CpuNs ? 100.0 * static_cast<double>(side->UserCpuNs) / side->CpuNs : 0.0,
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
  for (size_t i = 0; i < latencies.size(); ++i) {
    std::printf("- latency max, writes %.0f ms apart, ms: Vark %.3f, inotifywait %.3f\n",
                sizes.LatencySpacingUs[i] / 1000.0, Percentile(latencies[i].first.Ms, 100),
                Percentile(latencies[i].second.Ms, 100));
  }
  return 0;
}
