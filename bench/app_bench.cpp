// The whole program against `inotifywait -m -r`, both watched from outside: the real vark
// executable on the offscreen platform with an option.ini of its own, once logging only and once
// with sound and popup, beside inotifywait on the same tree in the same run. For each: the ready
// time (every folder watched, counted in /proc/<pid>/fdinfo), the CPU of the whole process to get
// ready and to work off a burst made by another process, resident memory, memory per log line
// and, for vark, how late its user-interface thread answered during a burst (its lag probe).
// With --log-lines N, Vark alone on a log that already holds N lines (app_bench_log.cpp).
// Started by bench/run-app-bench, which builds it and the program.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app_bench_log.h"
#include "app_bench_proc.h"

using namespace app_bench;

namespace {

void OnInterrupt(int) {
  interrupted = 1;
}

// What one setting's run is asked to do.
struct TPlan {
  size_t Creations = 0;          // in one folder, at each pace
  std::vector<int64_t> PacesUs;  // 0: as fast as the file system allows
  size_t Cycles = 0;             // files of the mixed burst (four changes each); 0: none
  size_t Tops = 0;
  size_t Items = 0;  // folders and files of the tree
};

std::string PaceText(int64_t us) {
  if (us == 0) return "as fast as they can be made";
  if (us % 1000 == 0) return std::to_string(us / 1000) + " ms apart";
  return std::to_string(us) + " µs apart";
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five;
  in >> one >> five;
  return one + " " + five;
}

// Starts each side on the empty folder and then on the tree, in turns, and adds the ready rows;
// the sides are left running on the tree. False when a side could not be run.
bool ReadyRows(const TConfig& config, const TPlan& plan, TWatcher* sides[2],
               const std::function<bool(const std::string&)>& settings, int& serial,
               std::vector<TRow>& rows) {
  std::vector<double> ready[2], readyCpu[2], empty[2], emptyRss[2], treeRss[2];
  std::string error;
  const std::string emptyFolder = config.Base + "/empty";
  mkdir(emptyFolder.c_str(), 0755);
  for (const bool tree : {false, true}) {
    if (!settings(tree ? config.Tree : emptyFolder)) return false;
    for (int run = 0; run < config.Runs; ++run) {
      for (int k = 0; k < 2; ++k) {
        double ms = 0, cpu = 0;
        long watches = 0;
        // As a user runs it: without the lag probe, whose ticks would wake it 100 times a second.
        if (!sides[k]->Start(config, tree ? config.Tree : emptyFolder, ++serial, error, false) ||
            !sides[k]->WaitReady(tree ? config.Folders : 1, ms, cpu, watches, error)) {
          std::fprintf(stderr, "app_bench: %s\n", error.c_str());
          return false;
        }
        (tree ? treeRss : emptyRss)[k].push_back(RssMb(sides[k]->Pid()));
        if (!tree) {
          empty[k].push_back(ms);
          sides[k]->Stop();
          continue;
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
        // The last two stay and watch the bursts side by side.
        if (run + 1 < config.Runs) sides[k]->Stop();
      }
    }
  }
  const std::string runs = std::to_string(config.Runs);
  const double readyMs[2] = {Median(ready[0]), Median(ready[1])};
  rows.push_back({"ready time (every folder watched), ms, median of " + runs, Fixed(readyMs[0]),
                  Fixed(readyMs[1]), Ratio(readyMs[0], readyMs[1]),
                  "≤ 0.75x" + Verdict(readyMs[0] <= 0.75 * readyMs[1])});
  const double readyCpuMs[2] = {Median(readyCpu[0]), Median(readyCpu[1])};
  const double emptyMs[2] = {Median(empty[0]), Median(empty[1])};
  rows.push_back({"of which starting: ready on an empty folder, ms, median of " + runs,
                  Fixed(emptyMs[0]), Fixed(emptyMs[1]), Ratio(emptyMs[0], emptyMs[1]), "—"});
  rows.push_back({"CPU to get ready, ms", Fixed(readyCpuMs[0], 0), Fixed(readyCpuMs[1], 0),
                  Ratio(readyCpuMs[0], readyCpuMs[1]), "—"});
  // What the tree's state costs seen from outside: resident memory once ready on the tree, less
  // the same on an empty folder, per folder and file of the tree.
  double perItem[2];
  for (int k = 0; k < 2; ++k) {
    perItem[k] =
        (Median(treeRss[k]) - Median(emptyRss[k])) * 1024 * 1024 / static_cast<double>(plan.Items);
  }
  rows.push_back(
      {"resident memory once ready: on an empty folder / on the tree, MB, median of " + runs,
       Fixed(Median(emptyRss[0])) + " / " + Fixed(Median(treeRss[0])),
       Fixed(Median(emptyRss[1]), 2) + " / " + Fixed(Median(treeRss[1]), 2), "—", "—"});
  rows.push_back({"memory per watched item (the difference / " + Grouped(plan.Items) +
                      " folders and files), bytes",
                  Fixed(perItem[0]), Fixed(perItem[1]), Ratio(perItem[0], perItem[1]),
                  "≤ 40" + Verdict(perItem[0] <= 40)});
  return true;
}

// The rows of one burst: CPU and context switches per change, when it was worked off, the lines
// inotifywait wrote and the interface lag.
void BurstRows(const TSetting& setting, const std::string& head, size_t changes, size_t lines,
               const TBurstResult& r, std::vector<TRow>& rows) {
  auto perChange = [&](int k) { return r.CpuMs[k] * 1000.0 / static_cast<double>(changes); };
  // A side still working at the limit shows what it had used by then, marked "> ".
  auto mark = [&](int k) { return std::string(r.Settled[k] ? "" : "> "); };
  const bool known =
      r.Settled[1] && (r.Settled[0] || perChange(0) > setting.CpuTarget * perChange(1));
  rows.push_back({head + ": CPU per change, µs", mark(0) + Fixed(perChange(0), 1),
                  mark(1) + Fixed(perChange(1), 1),
                  r.Settled[1] ? mark(0) + Ratio(perChange(0), perChange(1)) : "—",
                  "≤ " + Fixed(setting.CpuTarget, 1) + "x" +
                      (known ? Verdict(perChange(0) <= setting.CpuTarget * perChange(1)) : "")});
  auto switches = [&](int k) {
    const double n = static_cast<double>(changes);
    return Fixed(static_cast<double>(r.Switches[k].Voluntary) / n, 2) + " / " +
           Fixed(static_cast<double>(r.Switches[k].Involuntary) / n, 2);
  };
  const auto all = [&](int k) {
    return static_cast<double>(r.Switches[k].Voluntary + r.Switches[k].Involuntary);
  };
  rows.push_back({head + ": context switches per change, voluntary / involuntary", switches(0),
                  switches(1), Ratio(all(0), all(1)), "—"});
  rows.push_back(
      {head + ": worked off, s after the last change (changes made in " +
           Fixed(r.MakeMs / 1000.0, 2) + " s)",
       mark(0) + Fixed(r.WorkedOffMs[0] / 1000.0, 2) + (r.Settled[0] ? "" : ", still working"),
       mark(1) + Fixed(r.WorkedOffMs[1] / 1000.0, 2), "—", "—"});
  rows.push_back({head + ": lines written by inotifywait", "—",
                  Grouped(r.PeerLines) + " of " + Grouped(lines), "—", "—"});
  if (r.LagRead) {
    rows.push_back(
        {head + ": interface lag p50 / p99 / max, ms (" + Grouped(r.Lag.Count) + " ticks)",
         Fixed(r.Lag.P50Ms, 2) + " / " + Fixed(r.Lag.P99Ms, 2) + " / " + Fixed(r.Lag.MaxMs, 1), "—",
         "—", "p99 < 50 ms" + Verdict(r.Lag.P99Ms < 50)});
  }
}

// The creations in one folder at each pace, each burst removed again (unmeasured) after it.
bool CreationBursts(const TConfig& config, const TSetting& setting, const TPlan& plan,
                    TWatcher& vark, TWatcher& peer, std::vector<TRow>& rows) {
  const std::string folder = config.Tree + "/" + SubfolderPath(0, 99);
  for (const int64_t us : plan.PacesUs) {
    if (interrupted) return false;
    if (!WaitRest({vark.Pid(), peer.Pid()}, 60'000))
      std::printf("  (not at rest after a minute)\n");
    const std::string head = Grouped(plan.Creations) + " creations, " + PaceText(us);
    std::printf("  burst: %s in one folder (load average %s) ...\n", head.c_str(),
                LoadAverage().c_str());
    std::fflush(stdout);
    const TBurstResult r =
        RunBurst(PlanCreations(folder, plan.Creations, false), vark, &peer, us * 1000);
    if (r.Failed != 0) std::printf("  (%d operations of the burst failed)\n", r.Failed);
    BurstRows(setting, head, plan.Creations, plan.Creations, r, rows);
    TBurstResult cleanup = RunBurst(PlanCreations(folder, plan.Creations, true), vark, &peer);
    if (cleanup.Failed != 0) std::printf("  (%d deletions failed)\n", cleanup.Failed);
  }
  return !interrupted;
}

// The mixed burst, and the memory its log lines took.
bool MixedBurst(const TConfig& config, const TSetting& setting, const TPlan& plan, TWatcher& vark,
                TWatcher& peer, int& serial, std::vector<TRow>& rows) {
  TBurstPlan mixed = PlanBurst(config.Tree, plan.Tops, plan.Cycles, false);
  const double lineText = MeanLineText(mixed.Expected);
  const size_t changes = plan.Cycles * 4, lines = mixed.Expected.size();
  // Vark again, with its lag probe this time: the interface lag is read during this burst.
  std::string error;
  double ms = 0, cpu = 0;
  long watches = 0;
  if (!vark.Start(config, config.Tree, ++serial, error, true) ||
      !vark.WaitReady(config.Folders, ms, cpu, watches, error)) {
    std::fprintf(stderr, "app_bench: %s\n", error.c_str());
    return false;
  }
  if (!WaitRest({vark.Pid(), peer.Pid()}, 60'000)) std::printf("  (not at rest after a minute)\n");
  const double before[2] = {RssMb(vark.Pid()), RssMb(peer.Pid())};
  const std::string head = Grouped(changes) + " mixed changes";
  std::printf("  burst: %s (create, write, rename, delete), file by file (load average %s) ...\n",
              head.c_str(), LoadAverage().c_str());
  std::fflush(stdout);
  const TBurstResult r = RunBurst(mixed.Ops, vark, &peer);
  if (r.Failed != 0) std::printf("  (%d operations of the burst failed)\n", r.Failed);
  BurstRows(setting, head, changes, lines, r, rows);
  if (interrupted) return false;
  const double after[2] = {RssMb(vark.Pid()), RssMb(peer.Pid())};
  rows.push_back({"resident memory after the mixed burst, MB", Fixed(after[0]), Fixed(after[1], 2),
                  Ratio(after[0], after[1]), "—"});
  double perLine[2];
  for (int k = 0; k < 2; ++k) {
    perLine[k] = (after[k] - before[k]) * 1024 * 1024 / static_cast<double>(lines);
  }
  // Only once every line is in the log.
  const std::string unknown = "— (still working)";
  rows.push_back({"memory per log line over the mixed burst, bytes (growth of resident memory / " +
                      Grouped(lines) + " lines)",
                  r.Settled[0] ? Fixed(perLine[0]) : unknown, Fixed(perLine[1]), "—", "—"});
  rows.push_back({"the same beyond the line's text (" + Fixed(lineText) + " bytes of UTF-8 a line)",
                  r.Settled[0] ? Fixed(perLine[0] - lineText) : unknown, "—", "—",
                  "≤ 48" + (r.Settled[0] ? Verdict(perLine[0] - lineText <= 48) : std::string())});
  return true;
}

bool RunSetting(const TConfig& config, const TSetting& setting, const TPlan& plan, int& serial) {
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
  std::vector<TRow> rows;
  if (!ReadyRows(config, plan, sides, settings, serial, rows)) return false;
  if (!WaitRest({vark.Pid(), peer.Pid()}, 60'000)) std::printf("  (not at rest after a minute)\n");
  const double rest[2] = {RssMb(vark.Pid()), RssMb(peer.Pid())};
  rows.push_back({"resident memory at rest, MB", Fixed(rest[0]), Fixed(rest[1], 2),
                  Ratio(rest[0], rest[1]), "—"});
  if (!CreationBursts(config, setting, plan, vark, peer, rows)) return false;
  if (plan.Cycles > 0 && !MixedBurst(config, setting, plan, vark, peer, serial, rows)) return false;
  PrintTable(std::string(setting.Title) + " (Vark " +
                 (setting.Sound ? "with sound" : "without sound") + ", " +
                 (setting.Popup ? "with popup" : "without popup") + ", " +
                 (config.Display.empty() ? "offscreen" : "on an X display") + ")",
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
               "[--paces MICROSECONDS,...] [--mixed N] [--log-lines N] [--display xvfb|offscreen] "
               "[--load N]\n");
  return 2;
}

struct TOptions {
  TConfig Config;
  std::string Dir = "/tmp", Which = "both", DisplayKind = "xvfb";
  bool Quick = false;
  size_t Creations = 0, Mixed = 0;  // 0: the default for the size
  size_t LogLines = 0;              // 0: the comparison with inotifywait
  std::vector<int64_t> PacesUs = {0, 200, 1000, 5000};
  int Load = 0;  // busy loops beside the run
};

std::vector<int64_t> ParsePaces(const std::string& text) {
  std::vector<int64_t> paces;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start)
      paces.push_back(std::strtoll(text.substr(start, comma - start).c_str(), nullptr, 10));
    start = comma + 1;
  }
  return paces;
}

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    auto count = [&] { return std::strtoul(value().c_str(), nullptr, 10); };
    if (arg == "--vark") {
      o.Config.Vark = value();
    } else if (arg == "--wav") {
      o.Config.Wav = value();
    } else if (arg == "--quick") {
      o.Quick = true;
    } else if (arg == "--runs") {
      o.Config.Runs = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--dir") {
      o.Dir = value();
    } else if (arg == "--creations") {
      o.Creations = count();
    } else if (arg == "--paces") {
      o.PacesUs = ParsePaces(value());
    } else if (arg == "--log-lines") {
      o.LogLines = count();
    } else if (arg == "--mixed") {
      o.Mixed = count();
      if (o.Mixed == 0) o.Mixed = SIZE_MAX;  // none
    } else if (arg == "--work-off-limit") {
      workOffLimitNs = int64_t{std::max(1, std::atoi(value().c_str()))} * 1'000'000'000;
    } else if (arg == "--setting") {
      o.Which = value();
    } else if (arg == "--display") {
      o.DisplayKind = value();
    } else if (arg == "--load") {
      o.Load = std::atoi(value().c_str());
    } else {
      return false;
    }
  }
  return !o.Config.Vark.empty() && (o.Which == "log" || o.Which == "sound" || o.Which == "both") &&
         (o.DisplayKind == "xvfb" || o.DisplayKind == "offscreen");
}

// Busy loops that load the machine for the whole run, ended with us.
std::vector<pid_t> StartLoad(int count) {
  std::vector<pid_t> loops;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      volatile uint64_t n = 0;
      for (;;) n = n + 1;
    }
    if (pid > 0) loops.push_back(pid);
  }
  return loops;
}

// Makes the folder of the run, the program's copy and the tree; false with a message when one of
// them could not be made.
bool Prepare(TOptions& o, size_t tops, size_t perTop, size_t files) {
  RemoveStale(o.Dir);
  std::string base = o.Dir + "/" + kBasePrefix + "XXXXXX";
  if (!mkdtemp(base.data())) {
    std::fprintf(stderr, "app_bench: cannot make a folder in %s: %s\n", o.Dir.c_str(),
                 std::strerror(errno));
    return false;
  }
  o.Config.Base = base;
  o.Config.Tree = base + "/tree";
  if (!LockFolder(base)) {
    std::fprintf(stderr, "app_bench: cannot lock %s%s: %s\n", base.c_str(), kLockName,
                 std::strerror(errno));
    return false;
  }
  for (const char* sub : {"/app", "/config", "/out"}) mkdir((base + sub).c_str(), 0755);
  if (!Copy(o.Config.Vark, base + "/app/vark", 0755) ||
      (!o.Config.Wav.empty() && !Copy(o.Config.Wav, base + "/app/notify.wav", 0644))) {
    std::fprintf(stderr, "app_bench: cannot copy the program to %s/app\n", base.c_str());
    return false;
  }
  std::printf("Tree: %s folders, %s files; making it ...\n", Grouped(o.Config.Folders - 1).c_str(),
              Grouped(tops * (perTop + 1) * files).c_str());
  std::fflush(stdout);
  const int64_t start = NowNs();
  const std::string error = MakeTree(o.Config.Tree, tops, perTop, files);
  if (!error.empty()) {
    std::fprintf(stderr, "app_bench: cannot make the tree: %s\n", error.c_str());
    return false;
  }
  std::printf("  made in %.1f s\n", Ms(NowNs() - start) / 1000.0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (!ParseOptions(argc, argv, o)) return Usage();

  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const size_t tops = o.Quick ? 10 : 100, perTop = 99, files = 10;
  TPlan plan;
  plan.Creations = o.Creations ? o.Creations : o.Quick ? 2000 : 20000;
  plan.PacesUs = o.PacesUs;
  plan.Cycles = o.Mixed == SIZE_MAX ? 0 : o.Mixed ? (o.Mixed + 3) / 4 : o.Quick ? 2500 : 25000;
  plan.Tops = tops;
  o.Config.Folders = tops * (perTop + 1) + 1;
  plan.Items = o.Config.Folders - 1 + tops * (perTop + 1) * files;

  pid_t xvfb = -1;
  int code = Prepare(o, tops, perTop, files) ? 0 : 1;
  if (code == 0 && o.DisplayKind == "xvfb") {
    std::string error;
    o.Config.Display = StartXvfb(xvfb, error);
    if (o.Config.Display.empty()) {
      std::fprintf(stderr, "app_bench: %s\n", error.c_str());
      code = 1;
    } else {
      std::printf("Vark is shown on the X display %s (Xvfb)\n", o.Config.Display.c_str());
    }
  }
  std::vector<pid_t> load = StartLoad(code == 0 ? o.Load : 0);
  if (!load.empty()) std::printf("Beside the run: %zu busy loops\n", load.size());
  const TSetting settings[2] = {{"Log only", false, false, 2.0},
                                {"Sound and popup", true, true, 2.5}};
  int serial = 0;
  for (int s = 0; s < 2 && code == 0 && !interrupted; ++s) {
    if ((s == 0 && o.Which == "sound") || (s == 1 && o.Which == "log")) continue;
    const size_t cycles = plan.Cycles ? plan.Cycles : 25000;
    const bool ran = o.LogLines
                         ? RunLogLength(o.Config, settings[s], o.LogLines, cycles, tops, serial)
                         : RunSetting(o.Config, settings[s], plan, serial);
    if (!ran) code = 1;
  }
  for (pid_t& loop : load) EndProcess(loop);
  EndProcess(xvfb);
  if (interrupted) {
    std::fprintf(stderr, "app_bench: interrupted\n");
    code = 130;
  }
  if (!o.Config.Base.empty()) RemoveTree(o.Config.Base);
  return code;
}
