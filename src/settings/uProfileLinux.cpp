#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

#include "settings/uProfile.h"

namespace {

// Closes a descriptor when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

int WriteAll(int fd, std::string_view content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

// The file a chain of symbolic links ends at (the path itself when it is no link). A link whose
// target is missing gives that target, so that writing through it creates the file.
int ResolveLinks(const std::string& path, std::string& target) {
  target = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = readlink(target.c_str(), link.data(), link.size());
    if (n < 0) return errno;
    if (static_cast<size_t>(n) >= link.size()) return ENAMETOOLONG;  // changed under us
    link.resize(static_cast<size_t>(n));
    if (link.empty()) return ENOENT;
    if (link[0] == '/') {
      target = link;
    } else {
      const size_t slash = target.rfind('/');
      target = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + link;
    }
  }
  return ELOOP;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a new, empty file beside `target` under a name nobody else uses; its permissions are the
// ones a new file gets (0666 less the umask).
int CreateSibling(const std::string& target, std::string& name) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    name = folder + (folder == "/" ? "" : "/") + ".vark-" + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(stamp % 1000000) + ".tmp";
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -errno;
  }
  return -EEXIST;
}

}  // namespace

int ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  // O_NONBLOCK: a pipe or device of that name must not hang the caller.
  TFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) return (errno == ENOTDIR) ? ENOENT : errno;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  content.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      content.clear();
      return error;
    }
    if (n == 0) return 0;
    content.append(buffer, static_cast<size_t>(n));
  }
}

bool ProfileFileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int WriteFileReplacing(const std::string& path, std::string_view content) {
  std::string target;
  if (const int error = ResolveLinks(path, target); error != 0) return error;

  struct stat st;
  const bool exists = stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return errno;
  if (exists) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    // Renaming over a read-only file would succeed; the platform's own rule is that such a file
    // is not written.
    TFd probe(open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (probe.Get() < 0) return errno;
  }

  std::string sibling;
  const int created = CreateSibling(target, sibling);
  if (created < 0) {
    if (!exists || (created != -EACCES && created != -EPERM)) return -created;
    // The folder takes no new names but the file itself may be written: write it in place.
    TFd fd(open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0) return errno;
    if (const int error = WriteAll(fd.Get(), content); error != 0) return error;
    if (fsync(fd.Get()) != 0) return errno;
    return 0;
  }

  TFd fd(created);
  int error = 0;
  if (exists) {
    // Best effort for the owner (only a privileged process may give a file away); the
    // permissions themselves must carry over.
    if (fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
      // Keeping our own owner is the normal case for a file we could write anyway.
    }
    if (fchmod(fd.Get(), st.st_mode & 07777) != 0) error = errno;
  }
  if (error == 0) error = WriteAll(fd.Get(), content);
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  if (close(fd.Release()) != 0 && error == 0) error = errno;
  if (error == 0 && rename(sibling.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) unlink(sibling.c_str());
  return error;
}
