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
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "app_bench_log.h"
#include "app_bench_proc.h"

using namespace app_bench;

namespace {

void OnInterrupt(int) {
  interrupted = 1;
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
    const TBurstResult r = RunBurst(burst.Ops, vark, &peer);
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
      TBurstResult cleanup = RunBurst(PlanCreations(folder, creations, true), vark, &peer);
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
               "[--mixed N] [--log-lines N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TConfig config;
  std::string dir = "/tmp", which = "both";
  bool quick = false;
  size_t creations = 0, mixed = 0;  // 0: the default for the size
  size_t logLines = 0;              // 0: the comparison with inotifywait
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
    } else if (arg == "--log-lines") {
      logLines = std::strtoul(value().c_str(), nullptr, 10);
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
    const bool ran = logLines ? RunLogLength(config, settings[s], logLines, cycles, tops, serial)
                              : RunSetting(config, settings[s], creations, cycles, tops, serial);
    if (!ran) code = 1;
  }
  if (interrupted) {
    std::fprintf(stderr, "app_bench: interrupted\n");
    code = 130;
  }
  RemoveTree(base);
  return code;
}
