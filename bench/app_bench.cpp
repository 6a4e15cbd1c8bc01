// The whole program against `inotifywait -m -r`, both watched from outside: the real vark
// executable on the offscreen platform with an option.ini of its own, once logging only and once
// with sound and popup, beside inotifywait on the same tree in the same run. For each: the ready
// time (every folder watched, counted in /proc/<pid>/fdinfo), the CPU of the whole process to get
// ready and to work off a burst made by another process, resident memory, memory per log line
// and, for vark, how late its user-interface thread answered during a burst (its lag probe).
// Started by bench/run-app-bench, which builds it and the program.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "watch_bench_util.h"
#include "watcher/uMonThread2.h"

extern char** environ;

namespace {

// ---- stopping on a signal: every wait below looks at this and gives up ----

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
  interrupted = 1;
}

void SleepMs(int ms) {
  usleep(static_cast<useconds_t>(ms) * 1000);
}

int64_t WallNs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

double Ms(int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

// ---- child processes: ended with us, whatever ends us ----

// Forks and execs `args` with the given environment and its standard input, output and error on
// the given descriptors (input -1: /dev/null; output or error -1: ours). The child is killed when
// we die.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int in,
            int out, int err) {
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: async-signal-safe calls only until the exec.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  signal(SIGPIPE, SIG_DFL);  // ignored here, and an ignored signal stays ignored across exec
  if (in < 0) in = open("/dev/null", O_RDONLY);
  if (in >= 0) dup2(in, 0);
  if (out >= 0) dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  execvpe(argv[0], argv.data(), envp.data());
  _exit(127);
}

void EndProcess(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
}

bool Alive(pid_t pid) {
  return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0;
}

std::vector<std::string> BaseEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  return env;
}

void SetVariable(std::vector<std::string>& env, const std::string& name, const std::string& value) {
  const std::string prefix = name + "=";
  std::erase_if(env,
                [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
  env.push_back(prefix + value);
}

void DropVariable(std::vector<std::string>& env, const std::string& name) {
  const std::string prefix = name + "=";
  std::erase_if(env,
                [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
}

// ---- looking at a process from outside ----

// The number of inotify watches the process holds (over all its inotify descriptors), from the
// "inotify wd:" lines of /proc/<pid>/fdinfo/<fd>; -1 when the process is gone.
long CountWatches(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd", static_cast<int>(pid));
  DIR* dir = opendir(path);
  if (!dir) return -1;
  long watches = 0;
  static std::vector<char> buffer(4 << 20);
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char link[320], target[64] = {};
    std::snprintf(link, sizeof link, "/proc/%d/fd/%s", static_cast<int>(pid), entry->d_name);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0 || std::strcmp(target, "anon_inode:inotify") != 0) continue;
    std::snprintf(link, sizeof link, "/proc/%d/fdinfo/%s", static_cast<int>(pid), entry->d_name);
    const int fd = open(link, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    // Lines may be cut between two reads: count whole ones, carrying the unfinished tail over.
    size_t kept = 0;
    for (;;) {
      const ssize_t got = read(fd, buffer.data() + kept, buffer.size() - kept);
      if (got <= 0) break;
      const size_t end = kept + static_cast<size_t>(got);
      size_t start = 0;
      for (size_t i = 0; i < end; ++i) {
        if (buffer[i] != '\n') continue;
        if (i - start >= 11 && std::memcmp(buffer.data() + start, "inotify wd:", 11) == 0)
          ++watches;
        start = i + 1;
      }
      kept = end - start;
      std::memmove(buffer.data(), buffer.data() + start, kept);
    }
    close(fd);
  }
  closedir(dir);
  return watches;
}

double RssMb(pid_t pid) {
  return static_cast<double>(ProcStatusKb("VmRSS", pid)) / 1024.0;
}

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
};

// At rest after start-up: the threads ran at most 3 ms in the 150 ms from sample i on (2 % of a
// core: the lag probe's ticks and nothing else), for the first such i from index `from`. What
// they still ran at the start of that stretch is the end of the work: it stopped at the first
// sample after i by which they had run at most 0.5 ms since the one before (a tick of the probe
// takes well under that; a blip later in the stretch does not count). That sample, or -1 when
// there is no rest yet.
long RestSample(const std::vector<TSample>& samples, size_t from) {
  constexpr int64_t kWindowNs = 150'000'000, kBusyNs = 3'000'000, kStepNs = 500'000;
  size_t j = from;
  for (size_t i = from; i < samples.size(); ++i) {
    j = std::max(j, i);
    while (j < samples.size() && samples[j].AtNs - samples[i].AtNs < kWindowNs) ++j;
    if (j == samples.size()) return -1;
    if (samples[j].CpuNs - samples[i].CpuNs > kBusyNs) continue;
    size_t last = i;
    while (last < j && samples[last + 1].CpuNs - samples[last].CpuNs > kStepNs) ++last;
    return static_cast<long>(last);
  }
  return -1;
}

// ---- the lag probe's report ----

struct TLagReport {
  long Reports = -1;
  std::map<uint64_t, uint64_t> Buckets;  // a bucket's largest value in µs → its count
};

TLagReport ReadLagReport(const std::string& file) {
  TLagReport report;
  std::ifstream in(file);
  std::string key;
  while (in >> key) {
    if (key == "reports") {
      in >> report.Reports;
    } else if (key == "bucket") {
      uint64_t top = 0, count = 0;
      in >> top >> count;
      report.Buckets[top] = count;
    } else {
      std::string value;
      in >> value;
    }
  }
  return report;
}

struct TLag {
  uint64_t Count = 0;
  double P50Ms = 0, P99Ms = 0, MaxMs = 0;
};

// The figures of the ticks between two reports of one run.
TLag LagBetween(const TLagReport& from, const TLagReport& to) {
  std::vector<std::pair<uint64_t, uint64_t>> buckets;
  TLag lag;
  for (const auto& [top, count] : to.Buckets) {
    const auto before = from.Buckets.find(top);
    const uint64_t n = count - (before == from.Buckets.end() ? 0 : before->second);
    if (n == 0) continue;
    buckets.emplace_back(top, n);
    lag.Count += n;
  }
  if (lag.Count == 0) return lag;
  auto percentile = [&](double p) {
    const uint64_t rank = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::ceil(p * static_cast<double>(lag.Count) / 100.0)));
    uint64_t seen = 0;
    for (const auto& [top, n] : buckets) {
      seen += n;
      if (seen >= rank) return static_cast<double>(top) / 1000.0;
    }
    return static_cast<double>(buckets.back().first) / 1000.0;
  };
  lag.P50Ms = percentile(50);
  lag.P99Ms = percentile(99);
  lag.MaxMs = static_cast<double>(buckets.back().first) / 1000.0;
  return lag;
}

// ---- the two programs ----

struct TConfig {
  std::string Vark;  // the executable to copy
  std::string Wav;   // notify.wav to put beside it
  std::string Base;  // our folder: tree, program, settings, output
  std::string Tree;
  size_t Folders = 0;  // watches wanted: every folder of the tree with its root
  int Runs = 3;
};

class TWatcher {
 public:
  TWatcher(std::string name, bool isVark) : name_(std::move(name)), isVark_(isVark) {}
  ~TWatcher() { Stop(); }
  TWatcher(const TWatcher&) = delete;
  TWatcher& operator=(const TWatcher&) = delete;

  // Starts it; false with `error` when it cannot be started.
  // inotifywait watches `tree`; vark the folder of its option.ini.
  bool Start(const TConfig& config, const std::string& tree, int serial, std::string& error) {
    Stop();
    log_ = config.Base + "/out/" + name_ + "-" + std::to_string(serial) + ".err";
    const int err = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) {
      error = log_ + ": " + std::strerror(errno);
      return false;
    }
    std::vector<std::string> env = BaseEnvironment();
    if (isVark_) {
      SetVariable(env, "QT_QPA_PLATFORM", "offscreen");
      DropVariable(env, "DISPLAY");
      DropVariable(env, "WAYLAND_DISPLAY");
      // Its autorun entry and anything else of the user's configuration stay in our folder.
      SetVariable(env, "XDG_CONFIG_HOME", config.Base + "/config");
      lagFile_ = config.Base + "/out/lag.txt";
      unlink(lagFile_.c_str());
      SetVariable(env, "VARK_LAG_PROBE", lagFile_);
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

// Worked off: from this sample on, the process's CPU rose by at most two clock ticks (20 ms) in a
// whole second: 2 % of a core, where working a burst off takes a whole core and the lag probe
// alone takes 0.8 %. The first such sample at or after `fromNs`; -1 when there is none yet.
constexpr int64_t kQuietWindowNs = 1'000'000'000;
constexpr int64_t kQuietCpuNs = 20'000'000;

long QuietSample(const std::vector<TSample>& samples, int64_t fromNs) {
  size_t j = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].AtNs < fromNs) continue;
    j = std::max(j, i);
    while (j < samples.size() && samples[j].AtNs - samples[i].AtNs < kQuietWindowNs) ++j;
    if (j == samples.size()) return -1;
    if (samples[j].CpuNs - samples[i].CpuNs <= kQuietCpuNs) return static_cast<long>(i);
  }
  return -1;
}

// Waits until both are at rest (up to `timeoutMs`).
bool WaitRest(const std::vector<pid_t>& pids, int timeoutMs) {
  std::vector<std::vector<TSample>> samples(pids.size());
  const int64_t start = NowNs(), deadline = start + int64_t{timeoutMs} * 1'000'000;
  while (!interrupted && NowNs() < deadline) {
    bool all = true;
    for (size_t k = 0; k < pids.size(); ++k) {
      samples[k].push_back({NowNs(), ProcessCpuNs(pids[k])});
      all = all && QuietSample(samples[k], start) >= 0;
    }
    if (all) return true;
    SleepMs(20);
  }
  return false;
}

// ---- bursts ----

struct TBurstResult {
  bool Settled[2] = {false, false};
  double CpuMs[2] = {0, 0};
  double WorkedOffMs[2] = {0, 0};  // after the last change was made
  double MakeMs = 0;               // how long the generator took
  int Failed = 0;                  // operations that failed
  TLag Lag;                        // vark's interface thread during the burst
  bool LagRead = false;
  size_t PeerLines = 0;  // inotifywait's lines for the burst
};

// How long after the last change a program may take to work a burst off before the figures are
// taken as they stand (as lower bounds), so that a run ends in a few minutes whatever it meets.
int64_t workOffLimitNs = 60'000'000'000;

TBurstResult RunBurst(const std::vector<TOp>& ops, TWatcher& vark, TWatcher& peer) {
  TBurstResult result;
  TWatcher* sides[2] = {&vark, &peer};
  const size_t linesBefore = peer.OutputLines();
  TLagReport lagStart;
  result.LagRead = vark.LagSnapshot(lagStart, 5000);

  TGenerator generator(ops);  // forked before the CPU count starts, and before any thread
  if (!generator.Started()) {
    result.Failed = -1;
    return result;
  }
  std::vector<TSample> samples[2];
  for (int k = 0; k < 2; ++k) samples[k].push_back({NowNs(), ProcessCpuNs(sides[k]->Pid())});
  std::atomic<int64_t> madeAt{0};
  std::atomic<int> failed{0};
  const int64_t go = NowNs();
  generator.Go();
  std::thread waiter([&] {
    failed = generator.Wait();
    madeAt = NowNs();
  });

  // Snapshots of the lag probe, so that the figures can stop where the burst was worked off.
  std::vector<std::pair<int64_t, TLagReport>> lagReports;
  int64_t nextAsk = NowNs();
  long lastReport = lagStart.Reports;
  const int64_t deadline = go + 600'000'000'000;
  long quiet[2] = {-1, -1};
  while (!interrupted && NowNs() < deadline) {
    SleepMs(20);
    for (int k = 0; k < 2; ++k) samples[k].push_back({NowNs(), ProcessCpuNs(sides[k]->Pid())});
    if (result.LagRead) {
      const int64_t now = NowNs();
      if (now >= nextAsk) {
        kill(vark.Pid(), SIGUSR1);
        nextAsk = now + 200'000'000;
      }
      TLagReport report = ReadLagReport(vark.LagFile());
      if (report.Reports > lastReport) {
        lastReport = report.Reports;
        lagReports.emplace_back(now, std::move(report));
      }
    }
    const int64_t made = madeAt.load();
    if (made == 0) continue;
    for (int k = 0; k < 2; ++k) quiet[k] = QuietSample(samples[k], made);
    if (quiet[0] >= 0 && quiet[1] >= 0) break;
    if (NowNs() - made > workOffLimitNs) break;
  }
  waiter.join();
  result.Failed = failed;
  result.MakeMs = Ms(madeAt - go);
  for (int k = 0; k < 2; ++k) {
    // Still working: what it used so far, a lower bound.
    const TSample& at =
        quiet[k] < 0 ? samples[k].back() : samples[k][static_cast<size_t>(quiet[k])];
    result.Settled[k] = quiet[k] >= 0;
    result.CpuMs[k] = Ms(at.CpuNs - samples[k].front().CpuNs);
    result.WorkedOffMs[k] = Ms(std::max<int64_t>(0, at.AtNs - madeAt));
  }
  if (result.LagRead) {
    // The first report taken once vark had worked the burst off.
    const int64_t end = result.Settled[0] ? samples[0][static_cast<size_t>(quiet[0])].AtNs : 0;
    const TLagReport* last = nullptr;
    for (const auto& [at, report] : lagReports) {
      last = &report;
      if (end && at >= end) break;
    }
    if (last) {
      result.Lag = LagBetween(lagStart, *last);
    } else {
      result.LagRead = false;
    }
  }
  // cat may still be writing the last lines: wait until their count stands.
  size_t lines = peer.OutputLines();
  for (int i = 0; i < 50 && !interrupted; ++i) {
    SleepMs(20);
    const size_t now = peer.OutputLines();
    if (now == lines) break;
    lines = now;
  }
  result.PeerLines = lines - linesBefore;
  return result;
}

// 20,000 files created one by one (empty) in one folder.
std::vector<TOp> PlanCreations(const std::string& folder, size_t count, bool remove) {
  std::vector<TOp> ops;
  char name[32];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "/c%06zu", i);
    ops.push_back({remove ? TOp::Remove : TOp::Create, folder + name, {}});
  }
  return ops;
}

// ---- the table ----

struct TRow {
  std::string Figure, Vark, Peer, Ratio, Target;
};

std::string Fixed(double v, int digits = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string Ratio(double vark, double peer) {
  if (peer <= 0) return "—";
  return Fixed(vark / peer, 2) + "x";
}

std::string Grouped(size_t n) {
  std::string digits = std::to_string(n), text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string Verdict(bool met) {
  return met ? ": met" : ": MISSED";
}

void PrintTable(const std::string& title, const std::vector<TRow>& rows) {
  std::printf(
      "\n%s\n\n| Figure | Vark | inotifywait | Vark/inotifywait | Target |\n"
      "| --- | --- | --- | --- | --- |\n",
      title.c_str());
  for (const auto& row : rows) {
    std::printf("| %s | %s | %s | %s | %s |\n", row.Figure.c_str(), row.Vark.c_str(),
                row.Peer.c_str(), row.Ratio.c_str(), row.Target.c_str());
  }
  std::fflush(stdout);
}

// ---- one setting ----

struct TSetting {
  const char* Title;
  bool Sound;
  bool Popup;
  double CpuTarget;  // CPU per change, as a multiple of inotifywait's
};

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// The bytes of the text of the lines a plan's records make in vark's log (UTF-8).
double MeanLineText(const std::vector<TRec>& records) {
  if (records.empty()) return 0;
  double total = 0;
  for (const auto& rec : records) {
    total += static_cast<double>(
        ChangeLogLine("00:00:00   " + ActionLabel(rec.Action) + "   ", rec.Name).size());
  }
  return total / static_cast<double>(records.size());
}

bool RunSetting(const TConfig& config, const TSetting& setting, size_t creations, size_t cycles,
                size_t tops, int& serial) {
  auto settings = [&](const std::string& folder) {
    const std::string ini =
        "[main]\nAutoLoad=0\ntray=0\nsound=" + std::string(setting.Sound ? "1" : "0") +
        "\nAlertWindow=" + (setting.Popup ? "1" : "0") + "\nstart=1\nFolderPath=" + folder + "/\n";
    if (WriteFile(config.Base + "/app/option.ini", ini)) return true;
    std::fprintf(stderr, "app_bench: cannot write %s/app/option.ini\n", config.Base.c_str());
    return false;
  };
  std::printf("\n== %s ==\n", setting.Title);
  std::fflush(stdout);
  TWatcher vark("vark", true), peer("inotifywait", false);
  TWatcher* sides[2] = {&vark, &peer};
  std::vector<double> ready[2], readyCpu[2], empty[2];
  std::string error;
  // What starting costs by itself: ready on an empty folder (for Vark: Qt and the windows).
  const std::string emptyFolder = config.Base + "/empty";
  mkdir(emptyFolder.c_str(), 0755);
  if (!settings(emptyFolder)) return false;
  for (int run = 0; run < config.Runs; ++run) {
    for (int k = 0; k < 2; ++k) {
      double ms = 0, cpu = 0;
      long watches = 0;
      if (!sides[k]->Start(config, emptyFolder, ++serial, error) ||
          !sides[k]->WaitReady(1, ms, cpu, watches, error)) {
        std::fprintf(stderr, "app_bench: %s\n", error.c_str());
        return false;
      }
      empty[k].push_back(ms);
      sides[k]->Stop();
    }
  }
  if (!settings(config.Tree)) return false;
  // The sides start in turns, one at a time, so that neither walks the tree beside the other.
  for (int run = 0; run < config.Runs; ++run) {
    for (int k = 0; k < 2; ++k) {
      double ms = 0, cpu = 0;
      long watches = 0;
      if (!sides[k]->Start(config, config.Tree, ++serial, error) ||
          !sides[k]->WaitReady(config.Folders, ms, cpu, watches, error)) {
        std::fprintf(stderr, "app_bench: %s\n", error.c_str());
        return false;
      }
      ready[k].push_back(ms);
      readyCpu[k].push_back(cpu);
      std::printf("  ready run %d, %s: %.1f ms, CPU %.0f ms, %ld watches (counted in %.1f ms)",
                  run + 1, sides[k]->Name().c_str(), ms, cpu, watches, sides[k]->CountMs());
      if (sides[k]->SaysReadyMs() >= 0) {
        std::printf("; it says \"Watches established.\" at %.1f ms", sides[k]->SaysReadyMs());
      }
      std::printf("\n");
      std::fflush(stdout);
      if (run + 1 < config.Runs) sides[k]->Stop();
    }
  }
  // The last two stay and watch the bursts side by side.
  if (!WaitRest({vark.Pid(), peer.Pid()}, 60'000)) std::printf("  (not at rest after a minute)\n");
  const double rest[2] = {RssMb(vark.Pid()), RssMb(peer.Pid())};

  std::vector<TRow> rows;
  const double readyMs[2] = {Median(ready[0]), Median(ready[1])};
  rows.push_back({"ready time (every folder watched), ms, median of " + std::to_string(config.Runs),
                  Fixed(readyMs[0]), Fixed(readyMs[1]), Ratio(readyMs[0], readyMs[1]),
                  "≤ 0.75x" + Verdict(readyMs[0] <= 0.75 * readyMs[1])});
  const double readyCpuMs[2] = {Median(readyCpu[0]), Median(readyCpu[1])};
  const double emptyMs[2] = {Median(empty[0]), Median(empty[1])};
  rows.push_back(
      {"of which starting: ready on an empty folder, ms, median of " + std::to_string(config.Runs),
       Fixed(emptyMs[0]), Fixed(emptyMs[1]), Ratio(emptyMs[0], emptyMs[1]), "—"});
  rows.push_back({"CPU to get ready, ms", Fixed(readyCpuMs[0], 0), Fixed(readyCpuMs[1], 0),
                  Ratio(readyCpuMs[0], readyCpuMs[1]), "—"});
  rows.push_back({"resident memory at rest, MB", Fixed(rest[0]), Fixed(rest[1], 2),
                  Ratio(rest[0], rest[1]), "—"});

  const std::string folder = config.Tree + "/" + SubfolderPath(0, 99);
  struct TBurst {
    std::string Title;
    std::vector<TOp> Ops;
    size_t Changes;
    size_t Lines;
  };
  TBurstPlan mixed = PlanBurst(config.Tree, tops, cycles, false);
  const double lineText = MeanLineText(mixed.Expected);
  TBurst bursts[2] = {
      {Grouped(creations) + " creations one by one in one folder",
       PlanCreations(folder, creations, false), creations, creations},
      {Grouped(cycles * 4) + " mixed changes (create, write, rename, delete), file by file",
       std::move(mixed.Ops), cycles * 4, mixed.Expected.size()}};
  double rssBeforeMixed[2] = {0, 0};
  bool mixedSettled = false;
  for (int b = 0; b < 2 && !interrupted; ++b) {
    TBurst& burst = bursts[b];
    if (b == 1) {
      if (!WaitRest({vark.Pid(), peer.Pid()}, 60'000))
        std::printf("  (not at rest after a minute)\n");
      rssBeforeMixed[0] = RssMb(vark.Pid());
      rssBeforeMixed[1] = RssMb(peer.Pid());
    }
    std::printf("  burst: %s ...\n", burst.Title.c_str());
    std::fflush(stdout);
    const TBurstResult r = RunBurst(burst.Ops, vark, peer);
    if (r.Failed != 0) std::printf("  (%d operations of the burst failed)\n", r.Failed);
    const std::string head = Grouped(burst.Changes) + (b == 0 ? " creations" : " mixed changes");
    auto perChange = [&](int k) {
      return r.CpuMs[k] * 1000.0 / static_cast<double>(burst.Changes);
    };
    // A side still working at the limit shows what it had used by then, marked "> ".
    auto mark = [&](int k) { return std::string(r.Settled[k] ? "" : "> "); };
    const bool known =
        r.Settled[1] && (r.Settled[0] || perChange(0) > setting.CpuTarget * perChange(1));
    rows.push_back({head + ": CPU per change, µs", mark(0) + Fixed(perChange(0), 1),
                    mark(1) + Fixed(perChange(1), 1),
                    r.Settled[1] ? mark(0) + Ratio(perChange(0), perChange(1)) : "—",
                    "≤ " + Fixed(setting.CpuTarget, 1) + "x" +
                        (known ? Verdict(perChange(0) <= setting.CpuTarget * perChange(1)) : "")});
    rows.push_back(
        {head + ": worked off, s after the last change (changes made in " +
             Fixed(r.MakeMs / 1000.0, 2) + " s)",
         mark(0) + Fixed(r.WorkedOffMs[0] / 1000.0, 2) + (r.Settled[0] ? "" : ", still working"),
         mark(1) + Fixed(r.WorkedOffMs[1] / 1000.0, 2), "—", "—"});
    mixedSettled = r.Settled[0];
    rows.push_back({head + ": lines written by inotifywait", "—",
                    Grouped(r.PeerLines) + " of " + Grouped(burst.Lines), "—", "—"});
    if (r.LagRead) {
      rows.push_back(
          {head + ": interface lag p50 / p99 / max, ms (" + Grouped(r.Lag.Count) + " ticks)",
           Fixed(r.Lag.P50Ms, 2) + " / " + Fixed(r.Lag.P99Ms, 2) + " / " + Fixed(r.Lag.MaxMs, 1),
           "—", "—", "p99 < 50 ms" + Verdict(r.Lag.P99Ms < 50)});
    } else {
      rows.push_back({head + ": interface lag", "not read", "—", "—", "p99 < 50 ms"});
    }
    if (b == 0) {
      // Back to the tree as it was, unmeasured (the deletions are logged too, and counted below).
      TBurstResult cleanup = RunBurst(PlanCreations(folder, creations, true), vark, peer);
      if (cleanup.Failed != 0) std::printf("  (%d deletions failed)\n", cleanup.Failed);
    }
  }
  if (interrupted) return false;
  const double after[2] = {RssMb(vark.Pid()), RssMb(peer.Pid())};
  rows.push_back({"resident memory after the bursts, MB", Fixed(after[0]), Fixed(after[1], 2),
                  Ratio(after[0], after[1]), "—"});
  const double lines = static_cast<double>(bursts[1].Lines);
  double perLine[2];
  for (int k = 0; k < 2; ++k) perLine[k] = (after[k] - rssBeforeMixed[k]) * 1024 * 1024 / lines;
  // Only once every line is in the log.
  const std::string unknown = "— (still working)";
  rows.push_back({"memory per log line over the mixed burst, bytes (growth of resident memory / " +
                      Grouped(bursts[1].Lines) + " lines)",
                  mixedSettled ? Fixed(perLine[0]) : unknown, Fixed(perLine[1]), "—", "—"});
  rows.push_back({"the same beyond the line's text (" + Fixed(lineText) + " bytes of UTF-8 a line)",
                  mixedSettled ? Fixed(perLine[0] - lineText) : unknown, "—", "—",
                  "≤ 48" + (mixedSettled ? Verdict(perLine[0] - lineText <= 48) : std::string())});
  PrintTable(std::string(setting.Title) + " (Vark " +
                 (setting.Sound ? "with sound" : "without sound") + ", " +
                 (setting.Popup ? "with popup" : "without popup") + ")",
             rows);
  return true;
}

constexpr const char* kBasePrefix = "vark-app-bench-";

// A run holds a lock on the file "lock" in its folder for as long as it lives (the kernel lets go
// when the process ends, however it ends), so that another run tells a folder in use from one
// left behind. Several runs may share the machine.
constexpr const char* kLockName = "/lock";

// Locks `base`'s lock file, creating it; the descriptor stays open for the life of the process.
bool LockFolder(const std::string& base) {
  const int fd = open((base + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// True when no live run holds the folder: its lock can be taken, or it has no lock file and has
// not changed for an hour (a run makes its lock file at once).
bool Abandoned(const std::string& base) {
  const int fd = open((base + kLockName).c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
  }
  struct stat st;
  return stat(base.c_str(), &st) == 0 && st.st_mtime < time(nullptr) - 3600;
}

void RemoveStale(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* entry = readdir(d)) {
    if (std::strncmp(entry->d_name, kBasePrefix, std::strlen(kBasePrefix)) == 0) {
      stale.push_back(dir + "/" + entry->d_name);
    }
  }
  closedir(d);
  for (const auto& path : stale) {
    if (!Abandoned(path)) continue;  // another run's, still going
    std::printf("app_bench: removing %s, left by an interrupted run\n", path.c_str());
    RemoveTree(path);
  }
}

bool Copy(const std::string& from, const std::string& to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return in && out.flush() && chmod(to.c_str(), mode) == 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: app_bench --vark EXECUTABLE [--wav notify.wav] [--quick] [--runs N] "
               "[--dir DIR] [--setting log|sound|both] [--work-off-limit SECONDS] [--creations N] "
               "[--mixed N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TConfig config;
  std::string dir = "/tmp", which = "both";
  bool quick = false;
  size_t creations = 0, mixed = 0;  // 0: the default for the size
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--vark") {
      config.Vark = value();
    } else if (arg == "--wav") {
      config.Wav = value();
    } else if (arg == "--quick") {
      quick = true;
    } else if (arg == "--runs") {
      config.Runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--dir") {
      dir = value();
    } else if (arg == "--creations") {
      creations = std::strtoul(value().c_str(), nullptr, 10);
    } else if (arg == "--mixed") {
      mixed = std::strtoul(value().c_str(), nullptr, 10);
    } else if (arg == "--work-off-limit") {
      workOffLimitNs = int64_t{std::max(1, std::atoi(value().c_str()))} * 1'000'000'000;
    } else if (arg == "--setting") {
      which = value();
    } else {
      return Usage();
    }
  }
  if (config.Vark.empty() || (which != "log" && which != "sound" && which != "both"))
    return Usage();

  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const size_t tops = quick ? 10 : 100, perTop = 99, files = 10;
  if (creations == 0) creations = quick ? 2000 : 20000;
  const size_t cycles = mixed ? (mixed + 3) / 4 : quick ? 2500 : 25000;
  config.Folders = tops * (perTop + 1) + 1;

  RemoveStale(dir);
  std::string base = dir + "/" + kBasePrefix + "XXXXXX";
  if (!mkdtemp(base.data())) {
    std::fprintf(stderr, "app_bench: cannot make a folder in %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  if (!LockFolder(base)) {
    std::fprintf(stderr, "app_bench: cannot lock %s%s: %s\n", base.c_str(), kLockName,
                 std::strerror(errno));
    RemoveTree(base);
    return 1;
  }
  config.Base = base;
  config.Tree = base + "/tree";
  int code = 0;
  for (const char* sub : {"/app", "/config", "/out"}) mkdir((base + sub).c_str(), 0755);
  if (!Copy(config.Vark, base + "/app/vark", 0755) ||
      (!config.Wav.empty() && !Copy(config.Wav, base + "/app/notify.wav", 0644))) {
    std::fprintf(stderr, "app_bench: cannot copy the program to %s/app\n", base.c_str());
    code = 1;
  }
  if (code == 0) {
    std::printf("Tree: %s folders, %s files; making it ...\n", Grouped(config.Folders - 1).c_str(),
                Grouped(tops * (perTop + 1) * files).c_str());
    std::fflush(stdout);
    const int64_t start = NowNs();
    const std::string error = MakeTree(config.Tree, tops, perTop, files);
    if (!error.empty()) {
      std::fprintf(stderr, "app_bench: cannot make the tree: %s\n", error.c_str());
      code = 1;
    } else {
      std::printf("  made in %.1f s\n", Ms(NowNs() - start) / 1000.0);
    }
  }
  const TSetting settings[2] = {{"Log only", false, false, 2.0},
                                {"Sound and popup", true, true, 4.0}};
  int serial = 0;
  for (int s = 0; s < 2 && code == 0 && !interrupted; ++s) {
    if ((s == 0 && which == "sound") || (s == 1 && which == "log")) continue;
    if (!RunSetting(config, settings[s], creations, cycles, tops, serial)) code = 1;
  }
  if (interrupted) {
    std::fprintf(stderr, "app_bench: interrupted\n");
    code = 130;
  }
  RemoveTree(base);
  return code;
}
