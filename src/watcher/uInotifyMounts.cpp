#include "watcher/uInotifyMounts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

std::vector<TMount> MountsInside(std::string_view table, const std::string& root) {
  const std::string prefix = root == "/" ? root : root + "/";
  std::vector<TMount> inside;
  std::string point;
  for (size_t line = 0; line < table.size();) {
    size_t end = table.find('\n', line);
    if (end == std::string_view::npos) end = table.size();
    const std::string_view text = table.substr(line, end - line);
    line = end + 1;
    // The fifth field; blanks, tabs, line breaks and backslashes in it are written in octal.
    size_t start = 0;
    for (int field = 0; field < 4 && start != std::string_view::npos; ++field) {
      start = text.find(' ', start);
      if (start != std::string_view::npos) ++start;
    }
    if (start == std::string_view::npos) continue;
    const std::string_view escaped = text.substr(start, text.find(' ', start) - start);
    point.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '\\' && i + 3 < escaped.size() &&
          std::all_of(escaped.begin() + i + 1, escaped.begin() + i + 4,
                      [](char c) { return c >= '0' && c <= '7'; })) {
        point += static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 +
                                   (escaped[i + 3] - '0'));
        i += 3;
      } else {
        point += escaped[i];
      }
    }
    if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0) {
      inside.emplace_back(point.substr(prefix.size()), text.substr(0, text.find(' ')));
    }
  }
  std::sort(inside.begin(), inside.end());
  inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
  return inside;
}

TMountTable::~TMountTable() {
  if (fd_ >= 0) close(fd_);
}

void TMountTable::Open(const std::string& root) {
  char* real = realpath(root.c_str(), nullptr);
  if (!real) return;
  real_ = real;
  free(real);
  fd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (fd_ >= 0) Read();
}

void TMountTable::Read() {
  table_.clear();
  char buffer[16384];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd_, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    table_.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  mounts_ = MountsInside(table_, real_);
}

std::vector<std::string> TMountTable::Changed() {
  std::vector<std::string> before;
  for (const auto& [point, id] : mounts_) before.push_back(point + '\0' + std::string(id));
  Read();
  std::vector<std::string> now;
  for (const auto& [point, id] : mounts_) now.push_back(point + '\0' + std::string(id));
  std::sort(before.begin(), before.end());
  std::sort(now.begin(), now.end());
  std::vector<std::string> changed;
  std::set_symmetric_difference(before.begin(), before.end(), now.begin(), now.end(),
                                std::back_inserter(changed));
  for (auto& one : changed) one.resize(one.find('\0'));
  std::sort(changed.begin(), changed.end());
  changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
  return changed;
}
