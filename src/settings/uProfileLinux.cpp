#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "settings/uAppPaths.h"
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

constexpr std::string_view kTempPrefix = ".vark-";
constexpr std::string_view kTempSuffix = ".tmp";

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The process id in a temporary file name of ours (".vark-<pid>-<count>-<stamp>.tmp"), or 0.
pid_t TempOwner(std::string_view name) {
  if (name.size() <= kTempPrefix.size() + kTempSuffix.size() ||
      name.substr(0, kTempPrefix.size()) != kTempPrefix ||
      name.substr(name.size() - kTempSuffix.size()) != kTempSuffix) {
    return 0;
  }
  std::string_view middle =
      name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
  std::string_view parts[3];
  for (auto& part : parts) {
    const size_t dash = middle.find('-');
    part = middle.substr(0, dash);
    middle = dash == std::string_view::npos ? std::string_view() : middle.substr(dash + 1);
    if (!AllDigits(part)) return 0;
  }
  if (!middle.empty() || parts[0].size() > 9) return 0;
  return static_cast<pid_t>(std::stol(std::string(parts[0])));
}

// Removes the temporary files of ours in `folder` that a write cut short left behind: those of a
// process that is gone, and any older than an hour (its process id may since have been reused).
void RemoveStaleTemps(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  const std::string prefix = folder + (folder == "/" ? "" : "/");
  const time_t now = time(nullptr);
  while (const dirent* entry = readdir(dir)) {
    const pid_t pid = TempOwner(entry->d_name);
    if (pid <= 0) continue;
    const std::string name = prefix + entry->d_name;
    struct stat st;
    if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) continue;
    const bool gone = pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH;
    if (gone || now - st.st_mtime > 3600) unlink(name.c_str());
  }
  closedir(dir);
}

// Creates a new, empty file beside `target` under a name nobody else uses; its permissions are the
// ones a new file gets (0666 less the umask).
int CreateSibling(const std::string& target, std::string& name) {
  static std::atomic<unsigned> counter{0};
  const std::string folder = FolderOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    name = folder + (folder == "/" ? "" : "/") + std::string(kTempPrefix) +
           std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" +
           std::to_string(stamp % 1000000) + std::string(kTempSuffix);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -errno;
  }
  return -EEXIST;
}

// Reads at most `limit` bytes from an open file, from its start. EFBIG when there is more.
int ReadBounded(int fd, std::string& content, size_t limit) {
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(content.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      content.clear();
      return error;
    }
    if (n == 0) return 0;
    if (content.size() + static_cast<size_t>(n) > limit) {
      content.clear();
      return EFBIG;
    }
    content.append(buffer, static_cast<size_t>(n));
  }
}

int WriteAllAt(int fd, std::string_view content) {
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        pwrite(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// ---- the journal of an overwrite in place ----
//
// "VARK-INPLACE 1\n" <target> "\n" <old size> " " <new size> "\n" <old content> <new content>

constexpr std::string_view kJournalMagic = "VARK-INPLACE 1\n";

// The journal's path for a target file, in the user's configuration folder; empty when there is
// no such folder.
std::string JournalPath(const std::string& target) {
  const std::string home = ConfigHome();
  if (home.empty()) return {};
  uint64_t hash = 14695981039346656037ull;  // FNV-1a: a short, stable name per target
  for (const char c : target) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  static const char* const kHex = "0123456789abcdef";
  std::string name;
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0xF];
  return home + "/vark/inplace-" + name + ".journal";
}

bool ReadJournal(const std::string& target, std::string& before, std::string& after) {
  const std::string path = JournalPath(target);
  if (path.empty()) return false;
  TFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (fd.Get() < 0) return false;
  struct stat st;
  std::string text;
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ReadBounded(fd.Get(), text, 3 * kProfileFileLimit) != 0) {
    return false;
  }
  std::string_view rest = text;
  if (rest.substr(0, kJournalMagic.size()) != kJournalMagic) return false;
  rest.remove_prefix(kJournalMagic.size());
  const size_t nameEnd = rest.find('\n');
  if (nameEnd == std::string_view::npos || rest.substr(0, nameEnd) != target) return false;
  rest.remove_prefix(nameEnd + 1);
  const size_t sizesEnd = rest.find('\n');
  const size_t space = rest.find(' ');
  if (sizesEnd == std::string_view::npos || space > sizesEnd) return false;
  const std::string_view oldSize = rest.substr(0, space);
  const std::string_view newSize = rest.substr(space + 1, sizesEnd - space - 1);
  if (!AllDigits(oldSize) || !AllDigits(newSize) || oldSize.size() > 9 || newSize.size() > 9) {
    return false;
  }
  rest.remove_prefix(sizesEnd + 1);
  const size_t o = std::stoul(std::string(oldSize));
  const size_t n = std::stoul(std::string(newSize));
  if (rest.size() != o + n) return false;
  before = rest.substr(0, o);
  after = rest.substr(o);
  return true;
}

// Makes a folder and the folders above it that are missing, for this user alone.
int MakeFolders(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  const std::string parent = FolderOf(folder);
  if (parent != folder) {
    if (const int error = MakeFolders(parent); error != 0) return error;
  }
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST ? 0 : errno;
}

// Writes the journal beside nothing else of ours: a new file renamed into place, so that a journal
// is either whole or absent.
int WriteJournal(const std::string& target, std::string_view before, std::string_view after) {
  const std::string path = JournalPath(target);
  if (path.empty()) return ENOENT;
  const std::string folder = FolderOf(path);
  // A user without a configuration folder yet (no ~/.config) still saves.
  if (const int error = MakeFolders(folder); error != 0) return error;
  RemoveStaleTemps(folder);
  std::string temp;
  const int created = CreateSibling(path, temp);
  if (created < 0) return -created;
  TFd fd(created);
  std::string text(kJournalMagic);
  text.append(target).append("\n");
  text.append(std::to_string(before.size())).append(" ").append(std::to_string(after.size()));
  text.append("\n").append(before).append(after);
  int error = WriteAll(fd.Get(), text);
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  if (close(fd.Release()) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  return error;
}

void RemoveJournal(const std::string& target) {
  if (const std::string path = JournalPath(target); !path.empty()) unlink(path.c_str());
}

// True when `now` is a state that overwriting `before` with `after` in place passes through: a
// first part of `after` over the rest of `before`, or `after` itself before or after the cut.
bool OverwriteState(std::string_view now, std::string_view before, std::string_view after) {
  if (now == after) return true;
  size_t written = 0;
  while (written < now.size() && written < after.size() && now[written] == after[written]) {
    ++written;
  }
  if (written < before.size()) {
    return now.size() == before.size() && now.substr(written) == before.substr(written);
  }
  return now.size() == written || now.size() == std::max(before.size(), after.size());
}

// Overwrites an existing file in place, for a folder that takes no new files. Never cuts the file
// before the new content is whole; a failure puts the old content back.
int WriteInPlace(const std::string& target, std::string_view content) {
  TFd fd(open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) return errno;
  std::string before;
  if (const int error = ReadBounded(fd.Get(), before, kProfileFileLimit); error != 0) {
    return error;
  }
  // Without a whole journal nothing is touched: a full disk refuses the save here.
  if (const int error = WriteJournal(target, before, content); error != 0) return error;
  int error = WriteAllAt(fd.Get(), content);
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  if (error == 0 && content.size() < before.size() &&
      ftruncate(fd.Get(), static_cast<off_t>(content.size())) != 0) {
    error = errno;
  }
  if (error == 0 && fsync(fd.Get()) != 0) error = errno;
  if (error != 0) {
    // The old content fits where it stood; only then is the journal no longer needed.
    if (WriteAllAt(fd.Get(), before) != 0 ||
        ftruncate(fd.Get(), static_cast<off_t>(before.size())) != 0 || fsync(fd.Get()) != 0) {
      return error;
    }
  }
  RemoveJournal(target);
  return error;
}

}  // namespace

TProfileLock::TProfileLock(const std::string& path, bool exclusive) {
  std::string target;
  if (ResolveLinks(path, target) != 0) target = path;
  // The folder, not the file: a save renames a new file over the old one, and a lock on the old
  // one would be a lock on nothing. Where the folder cannot be opened, an existing regular file
  // is locked instead (a save there overwrites it in place, so it stays the same file).
  int fd = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    struct stat st;
    if (stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    fd = open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
  }
  int locked;
  do {
    locked = flock(fd, exclusive ? LOCK_EX : LOCK_SH);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    close(fd);
    return;
  }
  handle_ = fd;
}

TProfileLock::~TProfileLock() {
  // Closing the descriptor releases the lock.
  if (handle_ != kNone) close(static_cast<int>(handle_));
}

int ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  // O_NONBLOCK: a pipe or device of that name must not hang the caller.
  TFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) return (errno == ENOTDIR) ? ENOENT : errno;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  // A huge (or sparse) file is refused before a byte of it is read.
  if (static_cast<uint64_t>(st.st_size) > kProfileFileLimit) return EFBIG;
  if (const int error = ReadBounded(fd.Get(), content, kProfileFileLimit); error != 0) {
    return error;
  }
  // An overwrite in place that was cut short reads as the content it was writing.
  std::string target, before, after;
  if (ResolveLinks(path, target) == 0 && ReadJournal(target, before, after) &&
      OverwriteState(content, before, after)) {
    content = std::move(after);
  }
  return 0;
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
    // Read-only is a property of the file, as on the platform this layer follows: no write bit
    // refuses the write even for a process (root) that the system would let through.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
    // Renaming over a file we may not write would succeed; such a file is not written either.
    TFd probe(open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (probe.Get() < 0) return errno;
  }

  RemoveStaleTemps(FolderOf(target));
  std::string sibling;
  const int created = CreateSibling(target, sibling);
  if (created < 0) {
    if (!exists || (created != -EACCES && created != -EPERM)) return -created;
    // The folder takes no new names but the file itself may be written.
    return WriteInPlace(target, content);
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
  if (error != 0) {
    unlink(sibling.c_str());
  } else if (exists) {
    // A journal of an earlier overwrite in place no longer matches the file.
    RemoveJournal(target);
  }
  return error;
}
