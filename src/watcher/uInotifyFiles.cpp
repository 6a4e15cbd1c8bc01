#include "watcher/uInotifyFiles.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

// The folder part of a relative path and the name after it.
std::string FolderOf(const std::string& relative, size_t slash) {
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}
const char* NameOf(const std::string& relative, size_t slash) {
  return relative.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

}  // namespace

void TTreeFiles::SetRoot(const std::string& folder) {
  root_ = folder;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  prefix_ = root_ == "/" ? root_ : root_ + "/";
}

int TTreeFiles::OpenFolder(const std::string& relative) const {
  if (prefix_.size() + relative.size() < PATH_MAX) {
    return open(Absolute(relative).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  int fd = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string name;
  for (size_t start = 0; fd >= 0 && start < relative.size();) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    name.assign(relative, start, slash - start);
    const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    close(fd);
    errno = error;
    fd = next;
    start = slash + 1;
  }
  return fd;
}

bool TTreeFiles::Stat(const std::string& relative, struct stat& st) const {
  if (prefix_.size() + relative.size() < PATH_MAX) {
    return lstat(Absolute(relative).c_str(), &st) == 0;
  }
  const size_t slash = relative.rfind('/');
  const int dir = OpenFolder(FolderOf(relative, slash));
  if (dir < 0) return false;
  const bool ok = fstatat(dir, NameOf(relative, slash), &st, AT_SYMLINK_NOFOLLOW) == 0;
  close(dir);
  return ok;
}

int TTreeFiles::StatBirth(const std::string& relative, struct statx& sx) const {
  const size_t slash = relative.rfind('/');
  const int dir = OpenFolder(FolderOf(relative, slash));
  if (dir < 0) return -1;
  const bool there =
      statx(dir, NameOf(relative, slash), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0;
  close(dir);
  return there ? 1 : 0;
}

bool TTreeFiles::BornAfter(const std::string& relative, const timespec& time) const {
  if (time.tv_sec == 0 && time.tv_nsec == 0) return false;
  struct statx sx;
  if (StatBirth(relative, sx) != 1 || (sx.stx_mask & STATX_BTIME) == 0) return false;
  return sx.stx_btime.tv_sec > time.tv_sec ||
         (sx.stx_btime.tv_sec == time.tv_sec &&
          static_cast<long>(sx.stx_btime.tv_nsec) > time.tv_nsec);
}

timespec BirthOf(const struct statx& sx) {
  if ((sx.stx_mask & STATX_BTIME) == 0) return {};
  return {sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec};
}
