#include "app_bench_proc.h"

#include <dirent.h>
#include <fcntl.h>
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
#include <thread>

#include "watcher/uMonThread2.h"

extern char** environ;

namespace app_bench {

// ---- stopping on a signal: every wait below looks at this and gives up ----

volatile sig_atomic_t interrupted = 0;

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

std::string StartXvfb(pid_t& pid, std::string& error) {
  // -displayfd: it picks a free display and writes its number there once it accepts clients.
  int fds[2];
  if (pipe(fds) != 0) {
    error = std::strerror(errno);
    return {};
  }
  const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid = Spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
              BaseEnvironment(), -1, fds[1], quiet);
  close(fds[1]);
  if (quiet >= 0) close(quiet);
  std::string number;
  char c;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (pid < 0 || number.empty()) {
    error = "Xvfb did not start (is the package xvfb installed?)";
    EndProcess(pid);
    return {};
  }
  return ":" + number;
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

TSwitches ContextSwitches(pid_t pid) {
  TSwitches total;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
  DIR* dir = opendir(path);
  if (!dir) return total;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char file[320];
    std::snprintf(file, sizeof file, "/proc/%d/task/%s/status", static_cast<int>(pid),
                  entry->d_name);
    FILE* f = std::fopen(file, "r");
    if (!f) continue;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      long long n = 0;
      if (std::sscanf(line, "voluntary_ctxt_switches: %lld", &n) == 1) total.Voluntary += n;
      if (std::sscanf(line, "nonvoluntary_ctxt_switches: %lld", &n) == 1) total.Involuntary += n;
    }
    std::fclose(f);
  }
  closedir(dir);
  return total;
}

double RssMb(pid_t pid) {
  return static_cast<double>(ProcStatusKb("VmRSS", pid)) / 1024.0;
}

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

TLagReport ReadLagReport(const std::string& file) {
  TLagReport report;
  std::ifstream in(file);
  std::string key;
  while (in >> key) {
    if (key == "reports") {
      in >> report.Reports;
    } else if (key == "rows") {
      in >> report.Rows;
    } else if (key == "rows_at_ns") {
      in >> report.RowsAtNs;
    } else if (key == "popup_at_ns") {
      in >> report.PopupAtNs;
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

// How long after the last change a program may take to work a burst off before the figures are
// taken as they stand (as lower bounds), so that a run ends in a few minutes whatever it meets.
int64_t workOffLimitNs = 60'000'000'000;

namespace {

// The CPU is the threads' running time in nanoseconds (TActivity): the clock ticks of
// /proc/<pid>/stat are 10 ms, as much as 50 changes cost.
TSample SampleOf(pid_t pid, TActivity& activity) {
  const int64_t at = NowNs(), cpu = activity.Sample();
  const TSwitches switches = ContextSwitches(pid);
  return {at, cpu, switches.Voluntary, switches.Involuntary};
}

// inotifywait's lines once cat, which may still be writing the last of them, is done.
size_t StandingLines(const TWatcher& peer) {
  size_t lines = peer.OutputLines();
  for (int i = 0; i < 50 && !interrupted; ++i) {
    SleepMs(20);
    const size_t now = peer.OutputLines();
    if (now == lines) break;
    lines = now;
  }
  return lines;
}

// The lag of the ticks from `start` to the first report taken once vark had worked the burst off
// (at `end`; 0: the last report); false when there is none.
bool LagUntil(const TLagReport& start, const std::vector<std::pair<int64_t, TLagReport>>& reports,
              int64_t end, TLag& lag) {
  const TLagReport* last = nullptr;
  for (const auto& [at, report] : reports) {
    last = &report;
    if (end && at >= end) break;
  }
  if (last) lag = LagBetween(start, *last);
  return last != nullptr;
}

}  // namespace

TBurstResult RunBurst(const std::vector<TOp>& ops, TWatcher& vark, TWatcher* peer,
                      int64_t intervalNs) {
  TBurstResult result;
  // Vark, and inotifywait beside it when there is one.
  TWatcher* sides[2] = {&vark, peer};
  const int count = peer ? 2 : 1;
  const size_t linesBefore = peer ? peer->OutputLines() : 0;
  TLagReport lagStart;
  result.LagRead = vark.LagSnapshot(lagStart, 5000);

  // Forked before the CPU count starts, and before any thread.
  TGenerator generator(ops, intervalNs);
  if (!generator.Started()) {
    result.Failed = -1;
    return result;
  }
  std::vector<TSample> samples[2];
  TActivity activity[2] = {TActivity(vark.Pid()), TActivity(peer ? peer->Pid() : -1)};
  for (int k = 0; k < count; ++k) samples[k].push_back(SampleOf(sides[k]->Pid(), activity[k]));
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
    for (int k = 0; k < count; ++k) samples[k].push_back(SampleOf(sides[k]->Pid(), activity[k]));
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
    for (int k = 0; k < count; ++k) quiet[k] = QuietSample(samples[k], made);
    if (quiet[0] >= 0 && (!peer || quiet[1] >= 0)) break;
    if (NowNs() - made > workOffLimitNs) break;
  }
  waiter.join();
  result.Failed = failed;
  result.MakeMs = Ms(madeAt - go);
  for (int k = 0; k < count; ++k) {
    // Still working: what it used so far, a lower bound.
    const TSample& at =
        quiet[k] < 0 ? samples[k].back() : samples[k][static_cast<size_t>(quiet[k])];
    result.Settled[k] = quiet[k] >= 0;
    result.CpuMs[k] = Ms(at.CpuNs - samples[k].front().CpuNs);
    result.Switches[k] = {at.Voluntary - samples[k].front().Voluntary,
                          at.Involuntary - samples[k].front().Involuntary};
    result.WorkedOffMs[k] = Ms(std::max<int64_t>(0, at.AtNs - madeAt));
  }
  if (result.LagRead) {
    const int64_t end = result.Settled[0] ? samples[0][static_cast<size_t>(quiet[0])].AtNs : 0;
    result.LagRead = LagUntil(lagStart, lagReports, end, result.Lag);
  }
  if (peer) result.PeerLines = StandingLines(*peer) - linesBefore;
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

std::string Fixed(double v, int digits) {
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

void PrintTable(const std::string& title, const std::vector<TRow>& rows, const std::string& head) {
  std::printf("\n%s\n\n%s\n| --- | --- | --- | --- | --- |\n", title.c_str(), head.c_str());
  for (const auto& row : rows) {
    std::printf("| %s | %s | %s | %s | %s |\n", row.Figure.c_str(), row.Vark.c_str(),
                row.Peer.c_str(), row.Ratio.c_str(), row.Target.c_str());
  }
  std::fflush(stdout);
}

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

}  // namespace app_bench
