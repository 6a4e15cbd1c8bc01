// The whole-program benchmark's means of watching programs from outside: child processes, what
// /proc says of them (CPU, memory, watches, rest), the lag probe's report, the two programs under
// test, the bursts made at them by another process, and the tables the figures go into.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "watch_bench_util.h"

namespace app_bench {

// ---- stopping on a signal: every wait looks at this and gives up ----

extern volatile sig_atomic_t interrupted;
void SleepMs(int ms);
int64_t WallNs();
double Ms(int64_t ns);

// ---- child processes: ended with us, whatever ends us ----

// Forks and execs `args` with the given environment and its standard input, output and error on
// the given descriptors (input -1: /dev/null; output or error -1: ours). The child is killed when
// we die.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int in,
            int out, int err);
void EndProcess(pid_t& pid);
bool Alive(pid_t pid);
std::vector<std::string> BaseEnvironment();
void SetVariable(std::vector<std::string>& env, const std::string& name, const std::string& value);
void DropVariable(std::vector<std::string>& env, const std::string& name);

// ---- looking at a process from outside ----

// The number of inotify watches the process holds (over all its inotify descriptors); -1 when the
// process is gone.
long CountWatches(pid_t pid);
double RssMb(pid_t pid);

// The running time of a process's threads, summed over every thread seen so far (a thread that
// ends keeps what it ran), from /proc/<pid>/task/<tid>/schedstat in nanoseconds: precise where
// the clock ticks of /proc/<pid>/stat are 10 ms.
class TActivity {
 public:
  explicit TActivity(pid_t pid) : pid_(pid) {}
  // The running time so far, or -1 when the process is gone.
  int64_t Sample() {
    char path[96];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid_));
    DIR* dir = opendir(path);
    if (!dir) return -1;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      char file[320];
      std::snprintf(file, sizeof file, "/proc/%d/task/%s/schedstat", static_cast<int>(pid_),
                    entry->d_name);
      FILE* f = std::fopen(file, "r");
      if (!f) continue;
      unsigned long long ran = 0;
      if (std::fscanf(f, "%llu", &ran) == 1) {
        int64_t& last = threads_[std::atoi(entry->d_name)];
        if (static_cast<int64_t>(ran) > last) {
          total_ += static_cast<int64_t>(ran) - last;
          last = static_cast<int64_t>(ran);
        }
      }
      std::fclose(f);
    }
    closedir(dir);
    return total_;
  }

 private:
  pid_t pid_;
  std::map<int, int64_t> threads_;
  int64_t total_ = 0;
};

struct TSample {
  int64_t AtNs;
  int64_t CpuNs;
  int64_t Voluntary = 0, Involuntary = 0;  // context switches, where they are sampled
};

// The context switches of a process so far, over its threads (/proc/<pid>/task/*/status; the
// process's own status file counts its first thread only): voluntary (it waited) and involuntary
// (it was preempted). A thread that ended takes its count with it.
struct TSwitches {
  int64_t Voluntary = 0, Involuntary = 0;
};
TSwitches ContextSwitches(pid_t pid);

// At rest after start-up (see app_bench_proc.cpp): the sample where the work stopped, or -1.
long RestSample(const std::vector<TSample>& samples, size_t from);

// ---- the lag probe's report ----

struct TLagReport {
  long Reports = -1;
  long Rows = 0;                         // the log's rows on the screen
  int64_t RowsAtNs = 0, PopupAtNs = 0;   // when they and the popup last changed (NowNs's clock)
  std::map<uint64_t, uint64_t> Buckets;  // a bucket's largest value in µs → its count
};

struct TLag {
  uint64_t Count = 0;
  double P50Ms = 0, P99Ms = 0, MaxMs = 0;
};

TLagReport ReadLagReport(const std::string& file);
// The figures of the ticks between two reports of one run.
TLag LagBetween(const TLagReport& from, const TLagReport& to);

// ---- the two programs ----

struct TConfig {
  std::string Vark;  // the executable to copy
  std::string Wav;   // notify.wav to put beside it
  std::string Base;  // our folder: tree, program, settings, output
  std::string Tree;
  size_t Folders = 0;  // watches wanted: every folder of the tree with its root
  int Runs = 3;
  // The X display Vark is shown on (an Xvfb of ours), as on a desktop; empty: Qt's offscreen
  // platform, which draws into memory and has no display connection.
  std::string Display;
};

// Starts an X server with no screen of its own (Xvfb) for the run; the display's name (":N"), or
// empty with `error`. It ends with us.
std::string StartXvfb(pid_t& pid, std::string& error);

class TWatcher {
 public:
  TWatcher(std::string name, bool isVark) : name_(std::move(name)), isVark_(isVark) {}
  ~TWatcher() { Stop(); }
  TWatcher(const TWatcher&) = delete;
  TWatcher& operator=(const TWatcher&) = delete;

  // Starts it; false with `error` when it cannot be started.
  // inotifywait watches `tree`; vark the folder of its option.ini. `lagProbe`: vark runs its lag
  // probe (a timer every 10 ms on its user-interface thread), without which the interface lag
  // cannot be read.
  bool Start(const TConfig& config, const std::string& tree, int serial, std::string& error,
             bool lagProbe = true) {
    Stop();
    log_ = config.Base + "/out/" + name_ + "-" + std::to_string(serial) + ".err";
    const int err = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) {
      error = log_ + ": " + std::strerror(errno);
      return false;
    }
    std::vector<std::string> env = BaseEnvironment();
    if (isVark_) {
      DropVariable(env, "WAYLAND_DISPLAY");
      if (config.Display.empty()) {
        SetVariable(env, "QT_QPA_PLATFORM", "offscreen");
        DropVariable(env, "DISPLAY");
      } else {
        SetVariable(env, "QT_QPA_PLATFORM", "xcb");
        SetVariable(env, "DISPLAY", config.Display);
      }
      // Its autorun entry and anything else of the user's configuration stay in our folder.
      SetVariable(env, "XDG_CONFIG_HOME", config.Base + "/config");
      lagFile_ = config.Base + "/out/lag.txt";
      unlink(lagFile_.c_str());
      if (lagProbe) {
        SetVariable(env, "VARK_LAG_PROBE", lagFile_);
      } else {
        DropVariable(env, "VARK_LAG_PROBE");
      }
      started_ = NowNs();
      pid_ = Spawn({config.Base + "/app/vark"}, env, -1, err, err);
    } else {
      // inotifywait writes to a pipe, as it would for anyone; `cat` empties it into a file.
      int pipeFds[2];
      if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(err);
        return false;
      }
      output_ = config.Base + "/out/" + name_ + "-" + std::to_string(serial) + ".out";
      const int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      catPid_ = Spawn({"cat"}, env, pipeFds[0], out, -1);
      close(out);
      started_ = NowNs();
      startedWall_ = WallNs();
      pid_ = Spawn({"inotifywait", "-m", "-r", "-e", "create,modify,delete,move", "--format",
                    "%e %w%f", tree},
                   env, -1, pipeFds[1], err);
      close(pipeFds[0]);
      close(pipeFds[1]);
    }
    close(err);
    if (pid_ < 0) {
      error = name_ + ": cannot start: " + std::strerror(errno);
      return false;
    }
    return true;
  }

  // Waits until every folder is watched: the time since the start and the CPU used by then, or
  // false when it ended or took longer than a minute.
  // Waits until every folder is watched and the program is at rest: the time from its start to
  // the moment its CPU stopped, and the CPU it had used by then; false when it ended or took
  // longer than a minute. The watches are counted only once it rests: the kernel lists them
  // while holding the lock that adding a watch takes (about 4 µs a watch), so counting them
  // while a program adds them would slow it down.
  bool WaitReady(size_t folders, double& readyMs, double& cpuMs, long& watches,
                 std::string& error) {
    const int64_t deadline = started_ + 60'000'000'000;
    TActivity activity(pid_);
    std::vector<TSample> samples;  // CpuNs: the threads' running time, counted by TActivity
    std::vector<int64_t> cpu;      // the process's CPU from /proc/<pid>/stat, all threads
    size_t from = 0;
    while (!interrupted && NowNs() < deadline) {
      const int64_t at = NowNs();
      const int64_t active = activity.Sample();
      if (active < 0 || !Alive(pid_)) break;
      samples.push_back({at, active});
      cpu.push_back(ProcessCpuNs(pid_));
      const long rest = RestSample(samples, from);
      if (rest >= 0) {
        const int64_t before = NowNs();
        watches = CountWatches(pid_);
        countMs_ = Ms(NowNs() - before);
        if (watches >= 0 && static_cast<size_t>(watches) >= folders) {
          readyMs = Ms(samples[static_cast<size_t>(rest)].AtNs - started_);
          cpuMs = Ms(cpu[static_cast<size_t>(rest)]);
          return true;
        }
        from = samples.size();  // at rest before it was ready: look for the next rest
      }
      SleepMs(5);
    }
    error = name_ + " was not ready within a minute (or ended); its messages: " + log_;
    return false;
  }

  void Stop() {
    EndProcess(pid_);
    if (catPid_ > 0) {
      // cat ends at the end of the pipe, once inotifywait is gone.
      while (waitpid(catPid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      catPid_ = -1;
    }
  }

  // Lines in inotifywait's output so far.
  size_t OutputLines() const {
    std::ifstream in(output_, std::ios::binary);
    return static_cast<size_t>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
  }

  // Asks vark's probe for a report and waits for it (up to `timeoutMs`). A program without the
  // probe has written no report at its start, and is not sent the signal, which would end it.
  bool LagSnapshot(TLagReport& report, int timeoutMs) {
    const long before = ReadLagReport(lagFile_).Reports;
    if (before < 0) return false;
    kill(pid_, SIGUSR1);
    const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1'000'000;
    while (!interrupted && NowNs() < deadline) {
      report = ReadLagReport(lagFile_);
      if (report.Reports > before) return true;
      SleepMs(5);
    }
    return false;
  }
  const std::string& LagFile() const { return lagFile_; }

  pid_t Pid() const { return pid_; }
  const std::string& Name() const { return name_; }
  // inotifywait's own word: when it wrote "Watches established." (the last change of its
  // message file, on the wall clock), in ms from its start; -1 when not known.
  double SaysReadyMs() const {
    struct stat st;
    if (isVark_ || stat(log_.c_str(), &st) != 0 || st.st_size == 0) return -1;
    return Ms(int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec - startedWall_);
  }
  // How long the last count of its watches took.
  double CountMs() const { return countMs_; }

 private:
  std::string name_;
  bool isVark_;
  pid_t pid_ = -1;
  pid_t catPid_ = -1;
  int64_t started_ = 0;
  int64_t startedWall_ = 0;
  double countMs_ = 0;
  std::string log_, output_, lagFile_;
};

// ---- waiting until a process has worked off what it was given ----

// Worked off: the first sample at or after `fromNs` from which the process's CPU rose by at most
// two clock ticks in a whole second; -1 when there is none yet.
long QuietSample(const std::vector<TSample>& samples, int64_t fromNs);
// Waits until all are at rest (up to `timeoutMs`).
bool WaitRest(const std::vector<pid_t>& pids, int timeoutMs);

// ---- bursts ----

struct TBurstResult {
  bool Settled[2] = {false, false};
  double CpuMs[2] = {0, 0};
  TSwitches Switches[2];           // over the same stretch as the CPU
  double WorkedOffMs[2] = {0, 0};  // after the last change was made
  double MakeMs = 0;               // how long the generator took
  int Failed = 0;                  // operations that failed
  TLag Lag;                        // vark's interface thread during the burst
  bool LagRead = false;
  size_t PeerLines = 0;  // inotifywait's lines for the burst
};

// How long after the last change a program may take to work a burst off before the figures are
// taken as they stand (as lower bounds).
extern int64_t workOffLimitNs;

// Makes the changes from another process while Vark (and inotifywait beside it, when `peer` is
// given) watch; [0] of the figures is Vark's, [1] inotifywait's. With an interval, the changes are
// made that far apart (see TGenerator).
TBurstResult RunBurst(const std::vector<TOp>& ops, TWatcher& vark, TWatcher* peer,
                      int64_t intervalNs = 0);
// Files created one by one (empty) in one folder, or removed again.
std::vector<TOp> PlanCreations(const std::string& folder, size_t count, bool remove);

// ---- the tables ----

struct TRow {
  std::string Figure, Vark, Peer, Ratio, Target;
};

std::string Fixed(double v, int digits = 1);
std::string Ratio(double vark, double peer);
std::string Grouped(size_t n);
std::string Verdict(bool met);
// A table whose columns are named by `head` ("| Figure | … |").
void PrintTable(
    const std::string& title, const std::vector<TRow>& rows,
    const std::string& head = "| Figure | Vark | inotifywait | Vark/inotifywait | Target |");

// ---- one setting ----

struct TSetting {
  const char* Title;
  bool Sound;
  bool Popup;
  double CpuTarget;  // CPU per change, as a multiple of inotifywait's
};

bool WriteFile(const std::string& path, const std::string& text);
// The bytes of the text of the lines a plan's records make in vark's log (UTF-8).
double MeanLineText(const std::vector<TRec>& records);

}  // namespace app_bench
