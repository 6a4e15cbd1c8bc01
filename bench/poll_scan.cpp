// The polling source's cost against the obvious alternative, a snapshot diff of
// `find <dir> -printf '%P %s %i\n'`, on one generated tree: the CPU time of one scan and compare,
// the memory of the snapshot, and the delay until a change is seen when each polls within the
// same CPU budget.
//
//   bench_poll_scan [folders] [files per folder]      (default 10000 folders, 10 files each)
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "watcher/uDirChangesPoll.h"
#include "watcher/uMonThread2.h"

using Clock = std::chrono::steady_clock;

namespace {

double CpuMs(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void Generate(const std::string& root, int folders, int filesPerFolder) {
  // Two levels: about sqrt(folders) top folders, each holding the rest evenly.
  const int top = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(folders))));
  int made = 0;
  std::vector<std::string> dirs;
  for (int t = 0; t < top && made < folders; ++t, ++made) {
    dirs.push_back(root + "/top" + std::to_string(t));
  }
  for (int i = 0; made < folders; ++i, ++made) {
    dirs.push_back(dirs[i % top] + "/sub" + std::to_string(i / top));
  }
  std::string content(64, 'x');
  for (const auto& dir : dirs) {
    mkdir(dir.c_str(), 0755);
    for (int f = 0; f < filesPerFolder; ++f) {
      const std::string path = dir + "/file" + std::to_string(f) + ".dat";
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) continue;
      if (write(fd, content.data(), static_cast<size_t>(f % 64)) < 0) perror("write");
      close(fd);
    }
  }
}

// The alternative: find's listing parsed, sorted and compared with the previous one.
struct TFindEntry {
  std::string Path;
  uint64_t Size = 0, Ino = 0;
};

std::vector<TFindEntry> FindSnapshot(const std::string& root) {
  std::vector<TFindEntry> entries;
  const std::string command = "find '" + root + "' -printf '%P %s %i\\n'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return entries;
  char* line = nullptr;
  size_t cap = 0;
  ssize_t len;
  while ((len = getline(&line, &cap, pipe)) > 0) {
    std::string text(line, static_cast<size_t>(len - 1));
    // Path, then size and inode: split at the last two blanks, as names may hold blanks.
    const size_t b2 = text.rfind(' ');
    const size_t b1 =
        b2 == std::string::npos || b2 == 0 ? std::string::npos : text.rfind(' ', b2 - 1);
    if (b1 == std::string::npos) continue;
    entries.push_back({text.substr(0, b1), std::stoull(text.substr(b1 + 1, b2 - b1 - 1)),
                       std::stoull(text.substr(b2 + 1))});
  }
  free(line);
  pclose(pipe);
  std::sort(entries.begin(), entries.end(),
            [](const TFindEntry& a, const TFindEntry& b) { return a.Path < b.Path; });
  return entries;
}

size_t FindDiff(const std::vector<TFindEntry>& a, const std::vector<TFindEntry>& b) {
  size_t changes = 0, i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a[i].Path < b[j].Path)) {
      ++changes, ++i;
    } else if (i == a.size() || b[j].Path < a[i].Path) {
      ++changes, ++j;
    } else {
      changes += a[i].Size != b[j].Size || a[i].Ino != b[j].Ino;
      ++i, ++j;
    }
  }
  return changes;
}

struct TCost {
  double CpuMs = 0, WallMs = 0;
  double MedianRatio = 0;  // of the rounds' CPU ratios (polling / find), for the polling side
};

// One scan and compare by the polling source, and one find-based snapshot diff, in turns so that
// both meet the same load on the machine. The polling side is measured in the steady state the
// source reaches after its first scans: the folders' listings are taken over while their change
// times stand, and a tenth of them is read again at each scan (`runs` should be a multiple of
// TListingReuse::ReadEvery). `fullReads` measures scans that read every folder instead (the first
// scans of a tree, and every scan where change times cannot be trusted).
void MeasureBoth(const std::string& root, int runs, bool fullReads, TTreeSnapshot& last,
                 TCost& poll, TCost& find) {
  TListingReuse reuse;
  reuse.Enabled = !fullReads;
  last.Scan(root, nullptr, {}, reuse);
  if (!fullReads) {
    // Change times are trusted once they have stood for the settling time.
    std::this_thread::sleep_for(reuse.Settle + std::chrono::milliseconds(100));
    TTreeSnapshot fresh;
    fresh.Scan(root, &last, {}, reuse);
    last = std::move(fresh);
  }
  std::vector<TFindEntry> lastFind = FindSnapshot(root);
  size_t changes = 0, reused = 0, folders = 0;
  poll = find = {};
  std::vector<double> ratios;
  for (int r = 0; r < runs; ++r) {
    const double pollBefore = poll.CpuMs, findBefore = find.CpuMs;
    double cpu0 = CpuMs(RUSAGE_SELF);
    auto wall0 = Clock::now();
    TTreeSnapshot fresh;
    fresh.Scan(root, &last, {}, reuse);
    changes += fresh.ChangesSince(last).size();
    reused += fresh.FoldersReused();
    folders += fresh.Folders();
    last = std::move(fresh);
    poll.CpuMs += CpuMs(RUSAGE_SELF) - cpu0;
    poll.WallMs += Ms(Clock::now() - wall0);

    cpu0 = CpuMs(RUSAGE_SELF) + CpuMs(RUSAGE_CHILDREN);
    wall0 = Clock::now();
    std::vector<TFindEntry> freshFind = FindSnapshot(root);
    changes += FindDiff(lastFind, freshFind);
    lastFind = std::move(freshFind);
    find.CpuMs += CpuMs(RUSAGE_SELF) + CpuMs(RUSAGE_CHILDREN) - cpu0;
    find.WallMs += Ms(Clock::now() - wall0);
    ratios.push_back((poll.CpuMs - pollBefore) / (find.CpuMs - findBefore));
  }
  std::sort(ratios.begin(), ratios.end());
  poll.MedianRatio = ratios[ratios.size() / 2];
  if (changes != 0) std::printf("unexpected: %zu changes\n", changes);
  poll.CpuMs /= runs, poll.WallMs /= runs, find.CpuMs /= runs, find.WallMs /= runs;
  std::printf("  polling source: %.0f %% of the folders' listings taken over\n",
              100.0 * double(reused) / double(folders));
}

void PrintCosts(const char* title, const TCost& poll, const TCost& find) {
  std::printf("  %s\n", title);
  std::printf("    %-26s cpu %8.1f ms   wall %8.1f ms\n", "polling source", poll.CpuMs,
              poll.WallMs);
  std::printf("    %-26s cpu %8.1f ms   wall %8.1f ms\n", "find -printf snapshot diff", find.CpuMs,
              find.WallMs);
  std::printf("    ratio polling / find       cpu %8.2f x      wall %8.2f x   (target <= 0.5)\n",
              poll.CpuMs / find.CpuMs, poll.WallMs / find.WallMs);
  std::printf("    median of the rounds' cpu ratios %.2f x\n", poll.MedianRatio);
}

// The pause the polling source would choose for this cost, for the find loop as well.
std::chrono::milliseconds IntervalFor(const TCost& cost) {
  const double ms = std::max(cost.CpuMs * 40, cost.WallMs * 5);
  return std::clamp(std::chrono::milliseconds(static_cast<int64_t>(ms)),
                    std::chrono::milliseconds(2000), std::chrono::milliseconds(60000));
}

double PollDelayMs(const std::string& root, int samples, std::mt19937& rng) {
  auto source = MakePollDirChanges();
  if (source->Open(root) != 0) return -1;
  double total = 0;
  std::vector<uint8_t> buffer(kChangeBufferSize);
  for (int s = 0; s < samples; ++s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 3000));
    const std::string name = "delay" + std::to_string(s);
    const auto t0 = Clock::now();
    close(open((root + "/" + name).c_str(), O_WRONLY | O_CREAT, 0644));
    for (bool seen = false; !seen;) {
      std::fill(buffer.begin(), buffer.end(), 0);
      const auto result = source->Read(buffer.data(), buffer.size(), 11);
      if (result.Status != TDirChanges::TReadStatus::Records) return -1;
      for (const auto& e : DecodeRecords(buffer.data(), buffer.size(), "")) {
        seen = seen || e.RelativeName == name;
      }
    }
    total += Ms(Clock::now() - t0);
  }
  source->Stop();
  return total / samples;
}

double FindDelayMs(const std::string& root, std::chrono::milliseconds interval, int samples,
                   std::mt19937& rng) {
  std::atomic<bool> stop{false};
  std::atomic<int> seenUpTo{-1};
  std::thread loop([&] {
    std::vector<TFindEntry> last = FindSnapshot(root);
    while (!stop) {
      for (auto waited = std::chrono::milliseconds(0); waited < interval && !stop;
           waited += std::chrono::milliseconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      std::vector<TFindEntry> fresh = FindSnapshot(root);
      for (const auto& e : fresh) {
        if (e.Path.rfind("fdelay", 0) == 0) {
          seenUpTo = std::max(seenUpTo.load(), std::stoi(e.Path.substr(6)));
        }
      }
      last = std::move(fresh);
    }
  });
  double total = 0;
  for (int s = 0; s < samples; ++s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 3000));
    const auto t0 = Clock::now();
    close(open((root + "/fdelay" + std::to_string(s)).c_str(), O_WRONLY | O_CREAT, 0644));
    while (seenUpTo < s) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    total += Ms(Clock::now() - t0);
  }
  stop = true;
  loop.join();
  return total / samples;
}

}  // namespace

int main(int argc, char** argv) {
  const int folders = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int filesPerFolder = argc > 2 ? std::atoi(argv[2]) : 10;
  const char* tmp = getenv("TMPDIR");
  std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/vark-bench-XXXXXX";
  if (!mkdtemp(root.data())) {
    perror("mkdtemp");
    return 1;
  }
  std::printf("tree: %d folders, %d files, in %s\n", folders, folders * filesPerFolder,
              root.c_str());
  Generate(root, folders, filesPerFolder);

  const int runs = 20;  // two rounds of ten: every folder is read again once in ten scans
  TTreeSnapshot snapshot;
  TCost poll, find, pollFull, findFull;
  std::printf("\none scan and compare (mean of %d, warm cache, the two sides in turns)\n", runs);
  MeasureBoth(root, runs, false, snapshot, poll, find);
  MeasureBoth(root, runs, true, snapshot, pollFull, findFull);
  PrintCosts("steady state (listings of folders whose change time stood taken over):", poll, find);
  PrintCosts("every folder read (first scans; file systems whose change times fail):", pollFull,
             findFull);
  const size_t items = snapshot.Items();
  size_t nameBytes = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    nameBytes += entry.path().filename().native().size();
  }
  std::printf(
      "\nsnapshot memory: %zu bytes for %zu items = %.1f bytes per item, %.1f beyond "
      "the names\n",
      snapshot.MemoryBytes(), items, double(snapshot.MemoryBytes()) / items,
      double(snapshot.MemoryBytes() - nameBytes) / items);

  const int samples = 4;
  std::mt19937 rng(12345);
  const auto pollInterval = IntervalFor(poll), findInterval = IntervalFor(find);
  std::printf("\ndetection delay of one new file (mean of %d, same CPU budget: 40 x scan cost)\n",
              samples);
  const double pollDelay = PollDelayMs(root, samples, rng);
  std::printf("  %-28s interval %6lld ms   delay %8.0f ms\n", "polling source",
              static_cast<long long>(pollInterval.count()), pollDelay);
  const double findDelay = FindDelayMs(root, findInterval, samples, rng);
  std::printf("  %-28s interval %6lld ms   delay %8.0f ms\n", "find -printf snapshot diff",
              static_cast<long long>(findInterval.count()), findDelay);
  std::printf("  ratio polling / find                             %8.2f x\n",
              pollDelay / findDelay);

  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
