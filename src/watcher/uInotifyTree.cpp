#include "watcher/uInotifyTree.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "watcher/uInotifyFiles.h"

namespace {

// IN_ATTRIB: a subfolder that could not be read may become readable.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;

}  // namespace

std::string NameKey(int wd, std::string_view name) {
  std::string key(reinterpret_cast<const char*>(&wd), sizeof wd);
  key += name;
  return key;
}

int KeyWatch(const std::string& key) {
  int wd;
  std::memcpy(&wd, key.data(), sizeof wd);
  return wd;
}

std::string_view KeyName(const std::string& key) {
  return std::string_view(key).substr(sizeof(int));
}

TFolderTree::TFolderTree(const TTreeFiles& files, size_t watchLimit,
                         std::function<void(const std::string&)> afterWatch)
    : files_(files), watchLimit_(watchLimit), afterWatch_(std::move(afterWatch)) {}

TFolderTree::~TFolderTree() {
  if (fd_ >= 0) close(fd_);
}

int TFolderTree::Start() {
  if (fd_ >= 0) close(fd_);
  folders_.clear();
  newHomes_.clear();
  rootWd_ = kNoWatch;
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  return fd_ < 0 ? errno : 0;
}

int TFolderTree::AddWatch(int fd, const std::string& relative) {
  if (folders_.size() >= watchLimit_) {
    // As the kernel does, a folder watched already keeps its watch: only a new one is refused.
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        std::none_of(folders_.begin(), folders_.end(), [&](const auto& folder) {
          return folder.second.Inode == st.st_ino && folder.second.Device == st.st_dev;
        })) {
      errno = ENOSPC;
      return -1;
    }
  }
  int wd = -1;
  if (useProc_) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    wd = inotify_add_watch(fd_, proc, kWatchMask);
    // Without /proc mounted, fall back to the path.
    if (wd < 0 && errno == ENOENT) useProc_ = false;
  }
  if (!useProc_) {
    std::string full = files_.Root();
    if (!relative.empty()) (full += '/') += relative;
    wd = inotify_add_watch(fd_, full.c_str(), kWatchMask | IN_DONT_FOLLOW);
  }
  if (wd >= 0 && afterWatch_) {
    const int error = errno;
    afterWatch_(relative);
    errno = error;
  }
  return wd;
}

void TFolderTree::SetRoot(int wd, TFolder folder) {
  rootWd_ = wd;
  folders_.emplace(wd, std::move(folder));
}

TFolder* TFolderTree::Find(int wd) {
  const auto it = folders_.find(wd);
  return it == folders_.end() ? nullptr : &it->second;
}

const TFolder* TFolderTree::Find(int wd) const {
  const auto it = folders_.find(wd);
  return it == folders_.end() ? nullptr : &it->second;
}

void TFolderTree::Add(int wd, TFolder folder) {
  folders_.emplace(wd, std::move(folder));
}

void TFolderTree::Drop(int wd) {
  folders_.erase(wd);
  newHomes_.erase(wd);
}

void TFolderTree::ForgetSubtree(int wd, int parentWd,
                                const std::function<void(const TFolder&)>& onFolder,
                                THeldFolders* held) {
  std::vector<std::pair<int, int>> stack{{wd, parentWd}};
  while (!stack.empty()) {
    const int w = stack.back().first, parent = stack.back().second;
    stack.pop_back();
    const auto it = folders_.find(w);
    if (it == folders_.end() || it->second.Parent != parent) continue;
    it->second.Items.ForEach([&](std::string_view, uint64_t value) {
      if (IsDirValue(value) && WatchOf(value) >= 0) stack.emplace_back(WatchOf(value), w);
    });
    onFolder(it->second);
    if (held) {
      held->emplace_back(w, std::move(it->second));
    } else {
      inotify_rm_watch(fd_, w);
    }
    folders_.erase(it);
    newHomes_.erase(w);
  }
}

void TFolderTree::TakeBack(THeldFolders held, int parentWd, std::string name) {
  if (held.empty()) return;
  held.front().second.Parent = parentWd;
  held.front().second.Name = std::move(name);
  for (auto& [w, folder] : held) folders_.emplace(w, std::move(folder));
}

void TFolderTree::Unwatch(const THeldFolders& held) {
  for (const auto& one : held) {
    if (!folders_.count(one.first)) inotify_rm_watch(fd_, one.first);
  }
}

std::string TFolderTree::Path(int wd) const {
  // Two walks up the parent links: the length first, then the names from the end. The bound
  // guards against a cycle, which a correct tree never has.
  size_t length = 0, names = 0;
  for (int w = wd; names <= folders_.size(); ++names) {
    const TFolder* folder = Find(w);
    if (!folder || folder->Parent == kNoWatch) break;
    length += folder->Name.size() + (names > 0 ? 1 : 0);
    w = folder->Parent;
  }
  std::string out(length, '/');
  size_t end = length;
  for (int w = wd; names > 0; --names) {
    const TFolder& folder = *Find(w);
    end -= folder.Name.size();
    out.replace(end, folder.Name.size(), folder.Name);
    if (end > 0) --end;  // the separator before it
    w = folder.Parent;
  }
  return out;
}

std::string TFolderTree::ItemPath(int wd, std::string_view name) const {
  std::string out = Path(wd);
  if (!out.empty()) out += '/';
  out += name;
  return out;
}

bool TFolderTree::StillWhereKnown(int wd) const {
  const TFolder* folder = Find(wd);
  if (!folder) return false;
  struct stat st;
  return files_.Stat(ItemPath(folder->Parent, folder->Name), st) && S_ISDIR(st.st_mode) &&
         st.st_ino == folder->Inode;
}

void TFolderTree::SetNewHome(int wd, int parentWd, std::string name) {
  newHomes_[wd] = {parentWd, std::move(name)};
}

const std::pair<int, std::string>* TFolderTree::NewHome(int wd) const {
  const auto it = newHomes_.find(wd);
  return it == newHomes_.end() ? nullptr : &it->second;
}
