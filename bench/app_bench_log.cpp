#include "app_bench_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace app_bench {
namespace {

// Single changes sampled for the delay to their rows, each at a random moment.
constexpr int kDelaySamples = 20;
// The log is filled by bursts of this many files (five lines each), so that no plan of changes
// holds more than a few megabytes.
constexpr size_t kFillCycles = 25'000;
// Files gone through before anything is measured: the process's first work (its heap growing, the
// faces' first glyphs) is not the log's length.
constexpr size_t kWarmUpCycles = 500;

struct TDelays {
  std::vector<double> RowMs, PopupMs;
  bool Complete = true;
};

// Asks the probe for reports (each within a tick of 10 ms) until one satisfies `done`; false when
// none did within `timeoutMs`.
bool WaitReport(TWatcher& vark, TLagReport& report,
                const std::function<bool(const TLagReport&)>& done, int timeoutMs) {
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1'000'000;
  while (!interrupted && NowNs() < deadline) {
    if (vark.LagSnapshot(report, 1000) && done(report)) return true;
    SleepMs(2);
  }
  return false;
}

// Creates files one at a time in `folder` and reads from the probe when the program's frame put
// each one's row (and the popup) on the screen: the time from just before the creation to that
// frame. The file is removed again, and its line shown, before the next.
TDelays MeasureDelays(TWatcher& vark, const std::string& folder, bool popup, std::mt19937& random) {
  TDelays delays;
  for (int i = 0; i < kDelaySamples && !interrupted; ++i) {
    TLagReport before, after;
    if (!vark.LagSnapshot(before, 5000)) {
      delays.Complete = false;
      break;
    }
    // At a random moment as far as the program's frames and the probe's ticks go.
    SleepMs(50 + static_cast<int>(random() % 200));
    const std::string path = folder + "/delay-" + std::to_string(i);
    const int64_t made = NowNs();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    const bool shown = WaitReport(
        vark, after,
        [&](const TLagReport& r) {
          return r.Rows > before.Rows && (!popup || r.PopupAtNs >= made);
        },
        5000);
    unlink(path.c_str());
    if (!shown) {
      delays.Complete = false;
      break;
    }
    delays.RowMs.push_back(Ms(after.RowsAtNs - made));
    if (popup) delays.PopupMs.push_back(Ms(after.PopupAtNs - made));
    WaitReport(
        vark, after, [&](const TLagReport& r) { return r.Rows > before.Rows + 1; }, 5000);
  }
  return delays;
}

std::string DelayText(const std::vector<double>& ms, bool complete) {
  if (ms.empty()) return "not read";
  return Fixed(Median(ms)) + " / " + Fixed(Percentile(ms, 90)) + " / " +
         Fixed(*std::max_element(ms.begin(), ms.end())) + (complete ? "" : " (incomplete)");
}

struct TStage {
  long Rows = 0;  // lines in the log before the burst
  TDelays Delays;
  TBurstResult Burst;
};

// Fills the log with mixed changes until it holds `lines`; answers the lines added and the bytes
// of their text.
size_t Fill(const TConfig& config, TWatcher& vark, size_t tops, size_t lines, double& textBytes) {
  TLagReport report;
  if (!vark.LagSnapshot(report, 5000)) return 0;
  const long start = report.Rows;
  long rows = start;
  std::printf("  filling the log from %s to %s lines ...\n", Grouped(rows).c_str(),
              Grouped(lines).c_str());
  std::fflush(stdout);
  while (static_cast<size_t>(rows) < lines && !interrupted) {
    const size_t wanted = std::min(kFillCycles, (lines - static_cast<size_t>(rows) + 4) / 5);
    const TBurstPlan fill = PlanBurst(config.Tree, tops, wanted, false);
    textBytes += MeanLineText(fill.Expected) * static_cast<double>(fill.Expected.size());
    const TBurstResult r = RunBurst(fill.Ops, vark, nullptr);
    if (r.Failed != 0) std::printf("  (%d operations of the fill failed)\n", r.Failed);
    if (!r.Settled[0] || !vark.LagSnapshot(report, 5000)) break;
    rows = report.Rows;
  }
  return static_cast<size_t>(rows - start);
}

void PrintStages(const TSetting& setting, const TStage (&stages)[2], size_t changes, size_t lines,
                 double perLine, double perLineText) {
  std::vector<TRow> rows;
  rows.push_back({"lines in the log before the burst", Grouped(stages[0].Rows),
                  Grouped(stages[1].Rows), "—", "—"});
  const std::string head = Grouped(changes) + " mixed changes";
  double cpu[2], lag[2];
  for (int k = 0; k < 2; ++k) {
    cpu[k] = stages[k].Burst.CpuMs[0] * 1000.0 / static_cast<double>(changes);
    lag[k] = stages[k].Burst.Lag.P99Ms;
  }
  auto mark = [&](int k) { return std::string(stages[k].Burst.Settled[0] ? "" : "> "); };
  rows.push_back({head + ": CPU per change, µs", mark(0) + Fixed(cpu[0]), mark(1) + Fixed(cpu[1]),
                  Ratio(cpu[1], cpu[0]), "≤ 1.2x" + Verdict(cpu[1] <= 1.2 * cpu[0])});
  rows.push_back({head + ": worked off, s after the last change",
                  mark(0) + Fixed(stages[0].Burst.WorkedOffMs[0] / 1000.0, 2),
                  mark(1) + Fixed(stages[1].Burst.WorkedOffMs[0] / 1000.0, 2), "—", "—"});
  auto lagText = [&](int k) {
    const TBurstResult& b = stages[k].Burst;
    if (!b.LagRead) return std::string("not read");
    return Fixed(b.Lag.P50Ms, 2) + " / " + Fixed(b.Lag.P99Ms, 2) + " / " + Fixed(b.Lag.MaxMs, 1);
  };
  rows.push_back({head + ": interface lag p50 / p99 / max, ms", lagText(0), lagText(1), "—",
                  "p99 < 50 ms" + Verdict(stages[0].Burst.LagRead && stages[1].Burst.LagRead &&
                                          lag[0] < 50 && lag[1] < 50)});
  auto worst = [&](const std::vector<double>& a, const std::vector<double>& b) {
    double m = 0;
    for (double v : a) m = std::max(m, v);
    for (double v : b) m = std::max(m, v);
    return m;
  };
  const auto& d0 = stages[0].Delays;
  const auto& d1 = stages[1].Delays;
  const bool complete = d0.Complete && d1.Complete && !d0.RowMs.empty() && !d1.RowMs.empty();
  rows.push_back({"a change to its row on the screen, ms: median / p90 / max of " +
                      std::to_string(kDelaySamples),
                  DelayText(d0.RowMs, d0.Complete), DelayText(d1.RowMs, d1.Complete), "—",
                  "< 100 ms" + Verdict(complete && worst(d0.RowMs, d1.RowMs) < 100)});
  if (setting.Popup) {
    rows.push_back({"a change to the popup, ms: median / p90 / max",
                    DelayText(d0.PopupMs, d0.Complete), DelayText(d1.PopupMs, d1.Complete), "—",
                    "< 100 ms" + Verdict(complete && worst(d0.PopupMs, d1.PopupMs) < 100)});
  }
  rows.push_back({"memory per log line over the fill (" + Grouped(lines) +
                      " lines), bytes: in all / beyond its text (" + Fixed(perLineText) + ")",
                  "—", Fixed(perLine) + " / " + Fixed(perLine - perLineText), "—",
                  "≤ 24 beyond the text" + Verdict(lines > 0 && perLine - perLineText <= 24)});
  PrintTable(std::string(setting.Title) + ": the same burst on a nearly empty and on a long log",
             rows, "| Figure | nearly empty log | long log | long / empty | Target |");
}

}  // namespace

bool RunLogLength(const TConfig& config, const TSetting& setting, size_t lines, size_t cycles,
                  size_t tops, int& serial) {
  const std::string ini =
      "[main]\nAutoLoad=0\ntray=0\nsound=" + std::string(setting.Sound ? "1" : "0") +
      "\nAlertWindow=" + (setting.Popup ? "1" : "0") + "\nstart=1\nFolderPath=" + config.Tree +
      "/\n";
  if (!WriteFile(config.Base + "/app/option.ini", ini)) {
    std::fprintf(stderr, "app_bench: cannot write %s/app/option.ini\n", config.Base.c_str());
    return false;
  }
  std::printf("\n== %s, on a log of %s lines ==\n", setting.Title, Grouped(lines).c_str());
  std::fflush(stdout);
  TWatcher vark("vark", true);
  std::string error;
  double readyMs = 0, cpuMs = 0;
  long watches = 0;
  if (!vark.Start(config, config.Tree, ++serial, error) ||
      !vark.WaitReady(config.Folders, readyMs, cpuMs, watches, error)) {
    std::fprintf(stderr, "app_bench: %s\n", error.c_str());
    return false;
  }
  const std::string folder = config.Tree + "/" + SubfolderPath(0, 99);
  const TBurstPlan burst = PlanBurst(config.Tree, tops, cycles, false);
  std::mt19937 random(2027);
  TStage stages[2];
  double rssBefore = 0, rssAfter = 0, textBytes = 0;
  size_t filled = 0;
  const TBurstResult warmUp =
      RunBurst(PlanBurst(config.Tree, tops, kWarmUpCycles, false).Ops, vark, nullptr);
  if (warmUp.Failed != 0) std::printf("  (%d operations of the warm-up failed)\n", warmUp.Failed);
  for (int k = 0; k < 2 && !interrupted; ++k) {
    if (k == 1) {
      WaitRest({vark.Pid()}, 60'000);
      rssBefore = RssMb(vark.Pid());
      filled = Fill(config, vark, tops, lines, textBytes);
      WaitRest({vark.Pid()}, 60'000);
      rssAfter = RssMb(vark.Pid());
    }
    stages[k].Delays = MeasureDelays(vark, folder, setting.Popup, random);
    WaitRest({vark.Pid()}, 60'000);
    TLagReport report;
    vark.LagSnapshot(report, 5000);
    stages[k].Rows = report.Rows;
    std::printf("  burst: %s mixed changes on a log of %s lines ...\n", Grouped(cycles * 4).c_str(),
                Grouped(stages[k].Rows).c_str());
    std::fflush(stdout);
    stages[k].Burst = RunBurst(burst.Ops, vark, nullptr);
    if (stages[k].Burst.Failed != 0) {
      std::printf("  (%d operations of the burst failed)\n", stages[k].Burst.Failed);
    }
  }
  if (interrupted) return false;
  const double perLine =
      filled ? (rssAfter - rssBefore) * 1024 * 1024 / static_cast<double>(filled) : 0;
  const double perLineText = filled ? textBytes / static_cast<double>(filled) : 0;
  PrintStages(setting, stages, cycles * 4, filled, perLine, perLineText);
  return true;
}

}  // namespace app_bench
