#include "watch_bench_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unordered_map>

#include "watcher/uMonThread2.h"

extern char** environ;

// ---- clocks and resources ----

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

namespace {

int64_t TimevalNs(const timeval& tv) {
  return int64_t{tv.tv_sec} * 1'000'000'000 + int64_t{tv.tv_usec} * 1000;
}

}  // namespace

int64_t SelfCpuNs() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return TimevalNs(ru.ru_utime) + TimevalNs(ru.ru_stime);
}

int64_t ProcessCpuNs(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = std::fopen(path, "r");
  if (!f) return -1;
  char text[1024] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = 0;
  // The command name may hold blanks; the fields after it start behind its closing parenthesis.
  const char* p = std::strrchr(text, ')');
  if (!p) return -1;
  unsigned long utime = 0, stime = 0;
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
      2) {
    return -1;
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  return static_cast<int64_t>(utime + stime) * 1'000'000'000 / (ticks > 0 ? ticks : 100);
}

int64_t SelfUserCpuNs() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return TimevalNs(ru.ru_utime);
}

int64_t SelfContextSwitches() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return int64_t{ru.ru_nvcsw} + ru.ru_nivcsw;
}

long ProcStatusKb(const char* field, pid_t pid) {
  char path[64];
  if (pid > 0) {
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  } else {
    std::snprintf(path, sizeof path, "/proc/self/status");
  }
  FILE* f = std::fopen(path, "r");
  if (!f) return -1;
  const size_t length = std::strlen(field);
  char line[256];
  long value = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      value = std::strtol(line + length + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  // Nearest rank: the smallest value with at least p% of the values at or below it.
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

// ---- trees ----

std::string SubfolderPath(size_t k, size_t perTop) {
  char text[64];
  std::snprintf(text, sizeof text, "d%03zu/s%03zu", k / perTop, k % perTop);
  return text;
}

std::string TreeFileName(size_t j) {
  char text[32];
  std::snprintf(text, sizeof text, "f%02zu", j);
  return text;
}

namespace {

std::string Failed(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

namespace {

// Creates `count` empty files f00, f01, … in the folder open on dirFd.
std::string MakeFiles(int dirFd, const std::string& where, size_t count) {
  for (size_t j = 0; j < count; ++j) {
    const std::string name = TreeFileName(j);
    const int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return Failed(where + "/" + name);
    close(fd);
  }
  return {};
}

// Creates and opens the folder `name` under dirFd.
int MakeFolder(int dirFd, const std::string& name) {
  if (mkdirat(dirFd, name.c_str(), 0755) != 0) return -1;
  return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

std::string MakeTree(const std::string& root, size_t topFolders, size_t perTop,
                     size_t filesPerFolder) {
  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) return Failed(root);
  const int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return Failed(root);
  std::string error;
  char name[32];
  for (size_t t = 0; t < topFolders && error.empty(); ++t) {
    std::snprintf(name, sizeof name, "d%03zu", t);
    const std::string top = root + "/" + name;
    const int topFd = MakeFolder(rootFd, name);
    if (topFd < 0) {
      error = Failed(top);
      break;
    }
    error = MakeFiles(topFd, top, filesPerFolder);
    for (size_t s = 0; s < perTop && error.empty(); ++s) {
      std::snprintf(name, sizeof name, "s%03zu", s);
      const int subFd = MakeFolder(topFd, name);
      if (subFd < 0) {
        error = Failed(top + "/" + name);
        break;
      }
      error = MakeFiles(subFd, top + "/" + name, filesPerFolder);
      close(subFd);
    }
    close(topFd);
  }
  close(rootFd);
  return error;
}

namespace {

void RemoveContents(int dirFd) {
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return;
  }
  std::vector<std::string> folders;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    if (unlinkat(dirFd, name, 0) != 0 && (errno == EISDIR || errno == EPERM)) {
      folders.emplace_back(name);
    }
  }
  for (const auto& name : folders) {
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) RemoveContents(fd);
    unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
  }
  closedir(dir);
}

}  // namespace

void RemoveTree(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlink(path.c_str());
    return;
  }
  RemoveContents(fd);
  rmdir(path.c_str());
}

// ---- records and accounting ----

TRec ParseVarkLine(std::string_view line) {
  TRec rec;
  rec.Name = NameFromLogLine(line);
  // "<time>   <label>   #<name>": the label sits between the first two gaps.
  const size_t first = line.find("   ");
  if (first == std::string_view::npos) return rec;
  const size_t second = line.find("   ", first + 3);
  if (second == std::string_view::npos) return rec;
  const std::string_view label = line.substr(first + 3, second - first - 3);
  for (uint32_t action = 1; action <= 5; ++action) {
    if (label == ActionLabel(action)) rec.Action = action;
  }
  return rec;
}

TRec ParsePeerLine(std::string_view line, std::string_view root) {
  TRec rec;
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return rec;
  std::string_view events = line.substr(0, space);
  std::string_view path = line.substr(space + 1);
  // A folder's event carries ",ISDIR".
  if (const size_t comma = events.find(','); comma != std::string_view::npos) {
    events = events.substr(0, comma);
  }
  if (events == "CREATE") {
    rec.Action = 1;
  } else if (events == "DELETE") {
    rec.Action = 2;
  } else if (events == "MODIFY") {
    rec.Action = 3;
  } else if (events == "MOVED_FROM") {
    rec.Action = 4;
  } else if (events == "MOVED_TO") {
    rec.Action = 5;
  }
  if (path.size() > root.size() && path.substr(0, root.size()) == root &&
      path[root.size()] == '/') {
    path.remove_prefix(root.size() + 1);
  }
  rec.Name.assign(path);
  return rec;
}

namespace {

struct TRecHash {
  size_t operator()(const TRec& rec) const {
    return std::hash<std::string>()(rec.Name) * 7 + rec.Action;
  }
};

}  // namespace

TCompare CompareRecords(const std::vector<TRec>& expected, const std::vector<TRec>& delivered) {
  TCompare result;
  result.Expected = expected.size();
  result.Delivered = delivered.size();
  std::unordered_map<TRec, size_t, TRecHash> index;
  index.reserve(expected.size());
  for (size_t i = 0; i < expected.size(); ++i) index.emplace(expected[i], i);
  std::vector<bool> seen(expected.size(), false);
  size_t latest = 0;
  bool any = false;
  for (const auto& rec : delivered) {
    const auto it = index.find(rec);
    if (it == index.end() || seen[it->second]) {
      ++result.Extra;
      continue;
    }
    seen[it->second] = true;
    ++result.Matched;
    if (any && it->second < latest) {
      ++result.OutOfOrder;
    } else {
      latest = it->second;
      any = true;
    }
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    if (seen[i]) continue;
    ++result.Missed;
    ++result.MissedByAction[expected[i].Action <= 5 ? expected[i].Action : 0];
  }
  return result;
}

// ---- the change generator ----

namespace {

void AddNs(timespec& time, int64_t ns) {
  const int64_t sum = int64_t{time.tv_nsec} + ns;
  time.tv_sec += static_cast<time_t>(sum / 1'000'000'000);
  time.tv_nsec = static_cast<long>(sum % 1'000'000'000);
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

TGenerator::TGenerator(const std::vector<TOp>& ops, int64_t intervalNs) {
  int go[2];
  if (pipe2(go, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ < 0) {
    close(go[0]);
    close(go[1]);
    return;
  }
  if (pid_ == 0) {
    // The child: only system calls on what the parent prepared, no allocation (another thread
    // of the parent may have held the allocator's lock at the fork).
    close(go[1]);
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(255);
    static const char kData[16] = {'a', 'p', 'p', 'e', 'n', 'd', 'e', 'd',
                                   ' ', 'b', 'y', 't', 'e', 's', '.', '\n'};
    int failed = 0;
    // The pace is kept to the microsecond: the timer slack (50 µs by default) would stretch it.
    if (intervalNs > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (const TOp& op : ops) {
      if (intervalNs > 0) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
        // The next one is due an interval after this one was; a writer more than an interval
        // late (not run in time) goes on from now rather than catching up in a burst.
        timespec now, late = due;
        clock_gettime(CLOCK_MONOTONIC, &now);
        AddNs(late, intervalNs);
        if (Before(late, now)) due = now;
        AddNs(due, intervalNs);
      }
      bool ok = true;
      switch (op.Kind) {
        case TOp::Create: {
          const int fd = open(op.Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
          ok = fd >= 0;
          if (ok) close(fd);
          break;
        }
        case TOp::Append: {
          const int fd = open(op.Path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
          ok = fd >= 0 && write(fd, kData, sizeof kData) == static_cast<ssize_t>(sizeof kData);
          if (fd >= 0) close(fd);
          break;
        }
        case TOp::Rename:
          ok = rename(op.Path.c_str(), op.To.c_str()) == 0;
          break;
        case TOp::Remove:
          ok = unlink(op.Path.c_str()) == 0;
          break;
      }
      if (!ok && failed < 254) ++failed;
    }
    _exit(failed);
  }
  close(go[0]);
  goFd_ = go[1];
}

TGenerator::~TGenerator() {
  if (goFd_ >= 0) close(goFd_);
  if (pid_ > 0) Wait();
}

void TGenerator::Go() {
  if (goFd_ < 0) return;
  const char byte = 1;
  if (write(goFd_, &byte, 1) != 1) {
    // The child is gone; Wait() tells.
  }
  close(goFd_);
  goFd_ = -1;
}

int TGenerator::Wait() {
  if (pid_ <= 0) return 255;
  if (goFd_ >= 0) {
    close(goFd_);  // a child still waiting for Go() ends at once
    goFd_ = -1;
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

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

// ---- inotifywait ----

TPeer::~TPeer() {
  if (pid_ > 0 || catPid_ > 0) Stop();
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

namespace {

// Spawns `argv` with its standard input and output on the given descriptors (-1: inherited).
int Spawn(pid_t& pid, std::vector<std::string> args, int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned;
}

}  // namespace

bool TPeer::Start(const std::string& root, std::string& error, const std::string& outputFile) {
  int out[2], err[2];
  outputFile_ = outputFile;
  if (pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  if (!outputFile.empty()) {
    // `cat` empties the pipe into the file: inotifywait writes to a pipe as it does for anyone,
    // and reading it costs this process nothing.
    const int file = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int spawned = file < 0 ? errno : Spawn(catPid_, {"cat"}, out[0], file, -1);
    if (file >= 0) close(file);
    close(out[0]);
    out[0] = -1;
    if (spawned != 0) {
      catPid_ = -1;
      error = outputFile + ": " + std::strerror(spawned);
      close(out[1]);
      close(err[0]);
      close(err[1]);
      return false;
    }
  }
  const int spawned = Spawn(
      pid_,
      {"inotifywait", "-m", "-r", "-e", "create,modify,delete,move", "--format", "%e %w%f", root},
      -1, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  if (spawned != 0) {
    pid_ = -1;
    error = std::string("inotifywait: ") + std::strerror(spawned);
    return false;
  }
  if (outFd_ >= 0) reader_ = std::thread([this] { ReadOutput(); });
  return true;
}

int64_t TPeer::WaitEstablished(int timeoutMs, std::string& error) {
  static constexpr std::string_view kReady = "Watches established.";
  std::string text;
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1'000'000;
  char buffer[4096];
  for (;;) {
    const int64_t left = (deadline - NowNs()) / 1'000'000;
    if (left <= 0) break;
    pollfd fd = {errFd_, POLLIN, 0};
    const int n = poll(&fd, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const ssize_t got = read(errFd_, buffer, sizeof buffer);
    if (got <= 0) break;
    const int64_t at = NowNs();
    text.append(buffer, static_cast<size_t>(got));
    if (text.find(kReady) != std::string::npos) return at;
  }
  error = text.empty() ? "inotifywait said nothing" : text;
  while (!error.empty() && error.back() == '\n') error.pop_back();
  return -1;
}

void TPeer::ReadOutput() {
  std::string partial;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t got = read(outFd_, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const int64_t at = NowNs();
    std::lock_guard lock(mutex_);
    size_t start = 0;
    for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
      if (buffer[i] != '\n') continue;
      partial.append(buffer.data() + start, i - start);
      lines_.push_back({at, std::move(partial)});
      partial.clear();
      start = i + 1;
    }
    partial.append(buffer.data() + start, static_cast<size_t>(got) - start);
    if (lines_.size() >= wanted_) changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

size_t TPeer::WaitLines(size_t count, int quietMs) {
  std::unique_lock lock(mutex_);
  wanted_ = count;
  size_t last = lines_.size();
  int64_t lastChange = NowNs();
  while (lines_.size() < count && !ended_) {
    changed_.wait_for(lock, std::chrono::milliseconds(50));
    if (lines_.size() != last) {
      last = lines_.size();
      lastChange = NowNs();
    } else if (NowNs() - lastChange > int64_t{quietMs} * 1'000'000) {
      break;
    }
  }
  wanted_ = 0;
  return lines_.size();
}

size_t TPeer::WaitFileLines(size_t count, int quietMs) {
  const int fd = open(outputFile_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t lines = 0;
  int64_t lastChange = NowNs();
  char buffer[64 * 1024];
  while (lines < count) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      lines += static_cast<size_t>(std::count(buffer, buffer + got, '\n'));
      lastChange = NowNs();
      continue;
    }
    if (NowNs() - lastChange > int64_t{quietMs} * 1'000'000) break;
    usleep(20'000);
  }
  close(fd);
  return lines;
}

TPeer::TEnd TPeer::Stop() {
  TEnd end;
  if (pid_ > 0) {
    end.PeakRssKb = ProcStatusKb("VmHWM", pid_);
    kill(pid_, SIGTERM);
    int status = 0;
    rusage ru{};
    while (wait4(pid_, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    end.CpuNs = TimevalNs(ru.ru_utime) + TimevalNs(ru.ru_stime);
    end.UserCpuNs = TimevalNs(ru.ru_utime);
    end.MaxRssKb = ru.ru_maxrss;
    end.ContextSwitches = int64_t{ru.ru_nvcsw} + ru.ru_nivcsw;
  }
  if (reader_.joinable()) reader_.join();
  if (catPid_ > 0) {
    // It ends at the end of the pipe.
    while (waitpid(catPid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    catPid_ = -1;
  }
  return end;
}

std::vector<TPeer::TLine> TPeer::TakeLines() {
  std::lock_guard lock(mutex_);
  if (!outputFile_.empty() && lines_.empty()) {
    if (FILE* f = std::fopen(outputFile_.c_str(), "r")) {
      std::string line;
      for (int c; (c = std::fgetc(f)) != EOF;) {
        if (c != '\n') {
          line += static_cast<char>(c);
          continue;
        }
        lines_.push_back({0, std::move(line)});
        line.clear();
      }
      std::fclose(f);
    }
  }
  return std::move(lines_);
}
