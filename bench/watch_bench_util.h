// Pieces of the watcher benchmark: clocks and resource figures, the generated trees, the change
// generator (a process of its own), inotifywait as a child process, and the accounting that
// compares what a watcher delivered with what was done.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// ---- clocks and resources ----

// CLOCK_MONOTONIC in nanoseconds; the same clock in every process of the machine.
int64_t NowNs();
// User + system CPU time of this process (all its threads), in nanoseconds.
int64_t SelfCpuNs();
// The user part of it.
int64_t SelfUserCpuNs();
// User + system CPU time of another process so far (from /proc/<pid>/stat, in clock ticks), or -1.
int64_t ProcessCpuNs(pid_t pid);
// Context switches (voluntary + involuntary) of this process so far.
int64_t SelfContextSwitches();
// A "Vm…:" field of /proc/<pid>/status (this process's for pid 0) in kB, or -1.
long ProcStatusKb(const char* field, pid_t pid = 0);

double Median(std::vector<double> values);
// The nearest-rank percentile (p in 0..100) of the values; 0 for none.
double Percentile(std::vector<double> values, double p);

// ---- trees ----

// Creates under root `topFolders` folders of `perTop` subfolders each (a tree of depth two), every
// one of them holding `filesPerFolder` empty files f00, f01, …; subfolder k (0-based, in order) is
// SubfolderPath(k). Returns an empty text or what failed.
std::string MakeTree(const std::string& root, size_t topFolders, size_t perTop,
                     size_t filesPerFolder);
// The relative path of subfolder k of a tree made by MakeTree with perTop subfolders per top.
std::string SubfolderPath(size_t k, size_t perTop);
std::string TreeFileName(size_t j);
// Removes a folder and everything under it; links are removed, not followed.
void RemoveTree(const std::string& path);

// ---- records and accounting ----

// One delivered or expected change record: its action (1 created, 2 deleted, 3 size changed,
// 4 renamed from, 5 renamed to, 0 anything else) and its path relative to the watched folder.
struct TRec {
  uint32_t Action = 0;
  std::string Name;
  bool operator==(const TRec&) const = default;
};

// A change line of Vark's log ("<time>   <label>   #<name>") read back; Action 0 when the label
// is not one of the five.
TRec ParseVarkLine(std::string_view line);
// A line of `inotifywait --format '%e %w%f'` under root (given without a trailing "/"); Action 0
// for an event other than CREATE, DELETE, MODIFY, MOVED_FROM and MOVED_TO (an overflow, say).
TRec ParsePeerLine(std::string_view line, std::string_view root);

struct TCompare {
  size_t Expected = 0;
  size_t Delivered = 0;   // every record delivered
  size_t Matched = 0;     // expected records delivered (each counted once)
  size_t Missed = 0;      // expected records never delivered
  size_t Extra = 0;       // delivered records that were not expected, or repeats
  size_t OutOfOrder = 0;  // matched records delivered after a record expected later
  size_t MissedByAction[6] = {};
};
// Compares delivered records with the expected ones; every expected record must be distinct.
TCompare CompareRecords(const std::vector<TRec>& expected, const std::vector<TRec>& delivered);

// ---- the change generator ----

struct TOp {
  enum TKind { Create, Append, Rename, Remove } Kind;
  std::string Path;  // absolute
  std::string To;    // Rename: the new absolute path
};

// Performs operations in a forked child, so that their CPU time is not this process's. The child
// is forked at once and waits for Go(); it touches only what was prepared before the fork. With
// an interval, the operations start that far apart (a writer at a fixed pace: one that falls
// behind goes on from where it is rather than catching up in a burst); without, as fast as the
// file system allows.
class TGenerator {
 public:
  explicit TGenerator(const std::vector<TOp>& ops, int64_t intervalNs = 0);
  ~TGenerator();
  TGenerator(const TGenerator&) = delete;
  TGenerator& operator=(const TGenerator&) = delete;
  bool Started() const { return pid_ > 0; }
  void Go();
  // Waits for the child; the number of operations that failed (255 when it did not run).
  int Wait();

 private:
  pid_t pid_ = -1;
  int goFd_ = -1;
};

// A burst: what to do, and the records a watcher must deliver for it, in order.
struct TBurstPlan {
  std::string Title;
  std::vector<TOp> Ops;
  std::vector<TRec> Expected;
};

// `cycles` files, each created, appended to, renamed in its folder and deleted (four changes,
// five records: a rename is two), spread round-robin over the folders d000, d001, … of root (as
// MakeTree(root, folders, 0, 0) makes them). Every record
// names a different (name, action) pair, so the repeat rule folds none of them. `waves`: every
// file is created, then every file appended to, and so on; otherwise each file goes through its
// four changes before the next one starts (the pattern of a program saving through a temporary
// file).
TBurstPlan PlanBurst(const std::string& root, size_t folders, size_t cycles, bool waves);

// ---- inotifywait ----

// `inotifywait -m -r -e create,modify,delete,move --format '%e %w%f' root`, its output read by
// a thread of ours that timestamps every line as it arrives.
class TPeer {
 public:
  struct TLine {
    int64_t AtNs;
    std::string Text;
  };
  struct TEnd {
    int64_t CpuNs = 0;  // user + system, from wait4
    int64_t UserCpuNs = 0;
    // ru_maxrss from wait4. It is never below the spawning process's RSS at the exec, which the
    // kernel carries over to the new program; PeakRssKb is the program's own.
    long MaxRssKb = 0;
    long PeakRssKb = 0;  // VmHWM just before it was ended
    int64_t ContextSwitches = 0;
  };

  TPeer() = default;
  ~TPeer();
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  // Spawns it; false with `error` when it cannot be started. With an output file its lines go
  // there (through a pipe and `cat`) instead of to our reading thread, so that nothing of this
  // process runs while it works.
  bool Start(const std::string& root, std::string& error, const std::string& outputFile = {});
  // Reads its standard error until "Watches established."; the moment it arrived, or -1 when it
  // ended or timed out first (`error` then holds what it said).
  int64_t WaitEstablished(int timeoutMs, std::string& error);
  // Waits until `count` lines have arrived, or no line arrived for quietMs; the count then.
  size_t WaitLines(size_t count, int quietMs);
  // The same for lines that go to the output file.
  size_t WaitFileLines(size_t count, int quietMs);
  // Ends it (SIGTERM) and collects its resource use; the lines stay readable.
  TEnd Stop();
  // The lines read (AtNs 0 for those of the output file).
  std::vector<TLine> TakeLines();
  pid_t Pid() const { return pid_; }

 private:
  void ReadOutput();

  pid_t pid_ = -1;
  pid_t catPid_ = -1;  // with an output file: the process that writes it
  int outFd_ = -1;
  int errFd_ = -1;
  std::string outputFile_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TLine> lines_;
  size_t wanted_ = 0;  // the reader wakes the waiter only once this many have arrived
  bool ended_ = false;
};
