#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "base/uPlatformText.h"
#include "watcher/uDirChangesPoll.h"

namespace {

using TItem = TTreeSnapshot::TItem;
using TFolder = TTreeSnapshot::TFolder;
using TKind = TTreeSnapshot::TKind;
constexpr uint32_t kNoFolder = TTreeSnapshot::kNoFolder;

TKind KindOf(unsigned mode) {
  if (S_ISREG(mode)) return TKind::File;
  if (S_ISDIR(mode)) return TKind::Dir;
  if (S_ISLNK(mode)) return TKind::Link;
  return TKind::Other;
}

constexpr unsigned kStatxMask = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_BTIME;

// statx of an item inside a folder (name) or of an open folder (empty name, which also gives its
// change time); never follows links.
int StatItem(int fd, const char* name, TItem& item, uint64_t* changeTime = nullptr) {
  struct statx st;
  const int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
  if (statx(fd, name, flags, kStatxMask | (changeTime ? STATX_CTIME : 0), &st) != 0) return errno;
  item.Dev = makedev(st.stx_dev_major, st.stx_dev_minor);
  item.Ino = st.stx_ino;
  item.Kind = KindOf(st.stx_mode);
  item.Size = item.Kind == TKind::File ? st.stx_size : 0;
  // Birth time where the file system keeps one, else the modification time: with the inode
  // number it tells a renamed item from a new one that was given a freed inode number.
  item.StampIsBirth = (st.stx_mask & STATX_BTIME) != 0;
  const statx_timestamp& t = item.StampIsBirth ? st.stx_btime : st.stx_mtime;
  item.Stamp = static_cast<uint64_t>(t.tv_sec) * 1000000000u + t.tv_nsec;
  if (changeTime) {
    // 0 (never trusted) where the file system gives no change time.
    *changeTime =
        (st.stx_mask & STATX_CTIME) == 0
            ? 0
            : static_cast<uint64_t>(st.stx_ctime.tv_sec) * 1000000000u + st.stx_ctime.tv_nsec;
  }
  return 0;
}

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kFuseMagic = 0x65735546;

// Marks a change time first seen by the scan under way; the scan's end time replaces it.
constexpr int64_t kSeenThisScan = -1;

}  // namespace

// ---- scanning ----

class TSnapshotScanner {
 public:
  TSnapshotScanner(TTreeSnapshot& out, const TTreeSnapshot* previous,
                   const std::function<bool()>& cancelled, const TListingReuse& reuse)
      : out_(out),
        previous_(previous),
        cancelled_(cancelled),
        reuse_(reuse),
        readEvery_(std::clamp(reuse.ReadEvery, 1u, 250u)),
        takeOver_(reuse.Enabled && (out.fsType_ != kFuseMagic || reuse.OnFuse)),
        start_(SteadyNs()),
        buffer_(4096) {
    out_.changeTimesUnreliable_ = previous_ && previous_->changeTimesUnreliable_;
  }

  // 0, or the error that kept the watched folder itself from being read.
  int ScanRoot(int fd, const TItem& root, uint64_t changeTime) {
    out_.folders_.clear();
    if (previous_) out_.folders_.reserve(previous_->folders_.size() + 1);
    NewFolder(kNoFolder);
    rootDev_ = root.Dev;
    const uint32_t oldRoot = previous_ && !previous_->folders_.empty() ? 0 : kNoFolder;
    if (const int error = ListFolder(fd, 0, root, changeTime, oldRoot); error != 0) return error;
    ScanChildren(fd, 0, oldRoot);
    if (aborted_) return ECANCELED;
    const int64_t end = SteadyNs();
    for (TFolder& folder : out_.folders_) {
      if (folder.ChangeTimeSeen == kSeenThisScan) folder.ChangeTimeSeen = end;
    }
    return 0;
  }

 private:
  uint32_t NewFolder(uint32_t parent) {
    out_.folders_.emplace_back();
    out_.folders_.back().Parent = parent;
    return static_cast<uint32_t>(out_.folders_.size() - 1);
  }

  const TFolder* Old(uint32_t oldIndex) const {
    return previous_ && oldIndex != kNoFolder ? &previous_->folders_[oldIndex] : nullptr;
  }
  // Whether the folder is the one `old` describes and its change time has not moved since.
  // Only folders of the watched folder's own file system: another one mounted inside the tree
  // may keep its times otherwise.
  bool TimeStood(const TFolder* old, const TItem& self, uint64_t changeTime) const {
    return takeOver_ && old && !old->Unknown && changeTime != 0 && old->ChangeTime == changeTime &&
           old->Dev == self.Dev && self.Dev == rootDev_ && old->Ino == self.Ino &&
           old->ChangeTimeSeen > 0;
  }
  bool MayTakeOver(const TFolder* old, bool timeStood) const {
    return timeStood && old->Trusted && !out_.changeTimesUnreliable_;
  }
  void NoteSelf(uint32_t index, const TItem& self, uint64_t changeTime, const TFolder* old,
                bool timeStood) {
    TFolder& folder = out_.folders_[index];
    folder.Dev = self.Dev;
    folder.Ino = self.Ino;
    folder.ChangeTime = changeTime;
    folder.ChangeTimeSeen = timeStood ? old->ChangeTimeSeen : kSeenThisScan;
  }
  // Takes over the previous listing of the folder at `path` (relative to fd; empty: fd itself).
  bool Adopt(int fd, std::string_view path, uint32_t index, const TFolder& old) {
    if (old.ScansSinceRead + 1u >= readEvery_ || !TakeOver(fd, path, index, old)) return false;
    TFolder& folder = out_.folders_[index];
    folder.Trusted = true;
    folder.ScansSinceRead = static_cast<uint8_t>(old.ScansSinceRead + 1);
    ++out_.reused_;
    return true;
  }

  // Fills a folder opened as `fd` (`self` is its own statx): from the previous snapshot's listing
  // when the folder's change time has stood, else by reading it.
  int ListFolder(int fd, uint32_t index, const TItem& self, uint64_t changeTime,
                 uint32_t oldIndex) {
    const TFolder* old = Old(oldIndex);
    const bool timeStood = TimeStood(old, self, changeTime);
    NoteSelf(index, self, changeTime, old, timeStood);
    const bool mayTakeOver = MayTakeOver(old, timeStood);
    if (mayTakeOver && Adopt(fd, {}, index, *old)) return 0;
    if (const int error = ReadFolder(fd, index, self.Dev); error != 0) return error;
    TFolder& folder = out_.folders_[index];
    folder.Trusted = timeStood && start_ - old->ChangeTimeSeen >=
                                      std::chrono::nanoseconds(reuse_.Settle).count();
    // Folders that become trusted in the same scan are read again in different later scans.
    folder.ScansSinceRead =
        mayTakeOver || readEvery_ <= 1 ? 0 : static_cast<uint8_t>(index % (readEvery_ - 1));
    if (mayTakeOver && !SameListing(folder, *old)) {
      // The listing changed while the change time stood, unless it moved while we read.
      TItem now;
      uint64_t timeNow = 0;
      if (StatItem(fd, "", now, &timeNow) == 0 && timeNow == changeTime) {
        out_.changeTimesUnreliable_ = true;
      }
      folder.Trusted = false;
      folder.ChangeTimeSeen = kSeenThisScan;
    }
    return 0;
  }

  // The previous listing with each item looked at again (as `folder`/name relative to fd); false
  // when one of them is gone or is another item now (the folder is read then).
  bool TakeOver(int fd, std::string_view folderPath, uint32_t index, const TFolder& old) {
    TFolder& folder = out_.folders_[index];
    folder.Names = old.Names;
    folder.Items = old.Items;
    // Names in a listing are not terminated; each is copied to be.
    char path[2 * NAME_MAX + 2];
    size_t base = 0;
    if (!folderPath.empty()) {
      if (folderPath.size() > NAME_MAX) return Abandon(folder);
      std::memcpy(path, folderPath.data(), folderPath.size());
      path[folderPath.size()] = '/';
      base = folderPath.size() + 1;
    }
    for (TItem& item : folder.Items) {
      item.Folder = kNoFolder;
      if (item.Kind == TKind::Dir) continue;  // looked at when it is opened for its own scan
      const std::string_view name = folder.Name(item);
      if (name.size() > NAME_MAX) return Abandon(folder);
      std::memcpy(path + base, name.data(), name.size());
      path[base + name.size()] = '\0';
      const uint64_t ino = item.Ino;
      if (StatItem(fd, path, item) != 0 || item.Ino != ino || item.Kind == TKind::Dir) {
        return Abandon(folder);
      }
    }
    return true;
  }
  static bool Abandon(TFolder& folder) {
    folder.Names.clear();
    folder.Items.clear();
    return false;
  }

  static bool SameListing(const TFolder& a, const TFolder& b) {
    if (a.Items.size() != b.Items.size()) return false;
    for (size_t i = 0; i < a.Items.size(); ++i) {
      if (a.Name(a.Items[i]) != b.Name(b.Items[i])) return false;
      if ((a.Items[i].Kind == TKind::Dir) != (b.Items[i].Kind == TKind::Dir)) return false;
    }
    return true;
  }

  // Reads one folder's items, sorted by name. Folders among them get their device and inode when
  // they are opened for their own scan.
  int ReadFolder(int fd, uint32_t index, uint64_t dev) {
    names_.clear();
    items_.clear();
    for (;;) {
      const ssize_t n = getdents64(fd, buffer_.data(), buffer_.size() * sizeof(uint64_t));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) break;
      const char* base = reinterpret_cast<const char*>(buffer_.data());
      for (ssize_t pos = 0; pos < n;) {
        const auto* d = reinterpret_cast<const struct dirent64*>(base + pos);
        pos += d->d_reclen;
        const char* name = d->d_name;
        const size_t len = std::strlen(name);
        if ((len == 1 && name[0] == '.') || (len == 2 && name[0] == '.' && name[1] == '.')) {
          continue;
        }
        if (len > 0xFFFF) continue;
        TItem item;
        item.NameOff = static_cast<uint32_t>(names_.size());
        item.NameLen = static_cast<uint16_t>(len);
        if (d->d_type == DT_DIR) {
          item.Kind = TKind::Dir;
          item.Dev = dev;
          item.Ino = d->d_ino;
        } else {
          if (const int error = StatItem(fd, name, item); error != 0) {
            if (error == ENOENT) continue;  // gone since the folder was read
            return error;
          }
        }
        names_.append(name, len);
        items_.push_back(item);
      }
    }
    TFolder& folder = out_.folders_[index];
    folder.Names.assign(names_);
    const std::string_view names(folder.Names);
    std::sort(items_.begin(), items_.end(), [&](const TItem& a, const TItem& b) {
      return names.substr(a.NameOff, a.NameLen) < names.substr(b.NameOff, b.NameLen);
    });
    folder.Items.assign(items_.begin(), items_.end());
    return 0;
  }

  // Scans the subfolders of a folder already read, through its descriptor.
  void ScanChildren(int fd, uint32_t index, uint32_t oldIndex) {
    size_t i = 0;
    while (i < out_.folders_[index].Items.size()) {
      if (aborted_ || (cancelled_ && cancelled_())) {
        aborted_ = true;
        return;
      }
      TItem item = out_.folders_[index].Items[i];
      if (item.Kind != TKind::Dir) {
        ++i;
        continue;
      }
      const std::string name(out_.folders_[index].Name(item));
      const uint32_t oldChild = OldChild(oldIndex, name);
      if (TakeOverLeaf(fd, name, index, i, oldChild)) {
        ++i;
        continue;
      }
      const int childFd = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (childFd < 0) {
        const int error = errno;
        const int statError = StatItem(fd, name.c_str(), item);
        if (error == ENOENT || statError == ENOENT) {
          // Gone since its folder was read.
          auto& items = out_.folders_[index].Items;
          items.erase(items.begin() + static_cast<ptrdiff_t>(i));
          continue;
        }
        if (item.Kind == TKind::Dir) {
          // A folder that cannot be read (no permission, too deep, a transient error) keeps what
          // was known of it, quietly.
          const uint32_t child = NewFolder(index);
          CarryOver(child, oldChild);
          item.Folder = child;
        }  // else replaced by a file or a link since its folder was read
        out_.folders_[index].Items[i] = item;
        ++i;
        continue;
      }
      uint64_t changeTime = 0;
      StatItem(childFd, "", item, &changeTime);
      const uint32_t child = NewFolder(index);
      item.Folder = child;
      out_.folders_[index].Items[i] = item;
      if (ListFolder(childFd, child, item, changeTime, oldChild) != 0) {
        CarryOver(child, oldChild);
      } else {
        ScanChildren(childFd, child, oldChild);
      }
      close(childFd);
      ++i;
    }
  }

  // A folder without subfolders whose listing is taken over needs no descriptor of its own: it is
  // looked at by name, and its items through it. An item that is another one now (the folder
  // replaced by a link, say) makes it opened and read after all.
  bool TakeOverLeaf(int fd, const std::string& name, uint32_t index, size_t i, uint32_t oldChild) {
    const TFolder* old = Old(oldChild);
    if (!old || !old->Trusted || out_.changeTimesUnreliable_ ||
        std::any_of(old->Items.begin(), old->Items.end(),
                    [](const TItem& item) { return item.Kind == TKind::Dir; })) {
      return false;
    }
    TItem self = out_.folders_[index].Items[i];  // its name stays; statx gives the rest
    uint64_t changeTime = 0;
    if (StatItem(fd, name.c_str(), self, &changeTime) != 0 || self.Kind != TKind::Dir) return false;
    const bool timeStood = TimeStood(old, self, changeTime);
    if (!MayTakeOver(old, timeStood)) return false;
    const uint32_t child = NewFolder(index);
    NoteSelf(child, self, changeTime, old, timeStood);
    if (!Adopt(fd, name, child, *old)) {
      out_.folders_.pop_back();  // the last one made: a folder without subfolders has no others
      return false;
    }
    self.Folder = child;
    out_.folders_[index].Items[i] = self;
    return true;
  }

  // The previous snapshot's folder of that name inside `oldIndex`.
  uint32_t OldChild(uint32_t oldIndex, std::string_view name) const {
    if (!previous_ || oldIndex == kNoFolder) return kNoFolder;
    const TFolder& folder = previous_->folders_[oldIndex];
    const auto it = std::lower_bound(
        folder.Items.begin(), folder.Items.end(), name,
        [&](const TItem& item, std::string_view n) { return folder.Name(item) < n; });
    if (it == folder.Items.end() || folder.Name(*it) != name || it->Kind != TKind::Dir) {
      return kNoFolder;
    }
    return it->Folder;
  }

  // Copies what the previous snapshot knew of a folder and its subtree, or marks it unknown.
  void CarryOver(uint32_t index, uint32_t oldIndex) {
    if (!previous_ || oldIndex == kNoFolder) {
      TFolder& folder = out_.folders_[index];
      folder.Names.clear();
      folder.Items.clear();
      folder.Unknown = true;
      return;
    }
    const TFolder& old = previous_->folders_[oldIndex];
    {
      TFolder& folder = out_.folders_[index];
      folder.Names = old.Names;
      folder.Items = old.Items;
      folder.Unknown = old.Unknown;
    }
    for (size_t i = 0; i < old.Items.size(); ++i) {
      if (old.Items[i].Folder == kNoFolder) continue;
      const uint32_t child = NewFolder(index);
      out_.folders_[index].Items[i].Folder = child;
      CarryOver(child, old.Items[i].Folder);
    }
  }

  TTreeSnapshot& out_;
  const TTreeSnapshot* previous_;
  const std::function<bool()>& cancelled_;
  const TListingReuse& reuse_;
  const unsigned readEvery_;
  const bool takeOver_;
  const int64_t start_;
  uint64_t rootDev_ = 0;
  std::vector<uint64_t> buffer_;  // getdents64 records, 8-byte aligned
  std::string names_;
  std::vector<TItem> items_;
  bool aborted_ = false;
};

namespace {

// Opens a folder by its absolute path; one whose path is too long for the system (a subtree deep
// in a watched tree) is walked to name by name.
int OpenFolderPath(const std::string& folder) {
  if (folder.size() < PATH_MAX) return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string name;
  for (size_t start = 0; fd >= 0 && start < folder.size();) {
    size_t slash = folder.find('/', start);
    if (slash == std::string::npos) slash = folder.size();
    name.assign(folder, start, slash - start);
    start = slash + 1;
    if (name.empty()) continue;
    // The last one is read; those above it are only passed through.
    const int flags = start >= folder.size() ? O_RDONLY : O_PATH;
    const int next = openat(fd, name.c_str(), flags | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    close(fd);
    errno = error;
    fd = next;
  }
  return fd;
}

}  // namespace

int TTreeSnapshot::Scan(const std::string& folder, const TTreeSnapshot* previous,
                        const std::function<bool()>& cancelled, const TListingReuse& reuse) {
  folders_.clear();
  fsType_ = 0;
  reused_ = 0;
  int error = 0;
  const int fd = OpenFolderPath(folder);
  if (fd < 0) {
    error = errno;
  } else {
    TItem root;
    uint64_t changeTime = 0;
    struct statfs fs;
    if ((error = StatItem(fd, "", root, &changeTime)) == 0 && fstatfs(fd, &fs) != 0) error = errno;
    if (error == 0) {
      fsType_ = static_cast<int64_t>(fs.f_type);
      TSnapshotScanner scanner(*this, previous, cancelled, reuse);
      error = scanner.ScanRoot(fd, root, changeTime);
    }
    close(fd);
  }
  if (error != 0) {
    folders_.clear();
    folders_.emplace_back();
    reused_ = 0;
  }
  return error;
}

size_t TTreeSnapshot::Items() const {
  size_t n = 0;
  for (const auto& f : folders_) n += f.Items.size();
  return n;
}

size_t TTreeSnapshot::MemoryBytes() const {
  size_t bytes = sizeof(*this) + folders_.capacity() * sizeof(TFolder);
  for (const auto& f : folders_) {
    if (f.Names.capacity() > 15) bytes += f.Names.capacity() + 1;  // beyond the short-string buffer
    bytes += f.Items.capacity() * sizeof(TItem);
  }
  return bytes;
}

// ---- comparing two snapshots ----

// Items are paired first by name within folders that correspond, then by device, inode and birth
// time across the whole tree (renames and moves). Where the file system keeps no birth times, a
// name whose item has another inode number now but the same kind is compared as the same item,
// unless its old or new identity turns up elsewhere: on file systems whose inode numbers are not
// stable (some FUSE ones), that keeps scans from reporting everything removed and created again.
class TSnapshotDiffer {
 public:
  TSnapshotDiffer(const TTreeSnapshot& before, const TTreeSnapshot& after)
      : old_(before),
        new_(after),
        folderPartner_(before.folders_.size(), kNoFolder),
        oldPartner_(after.folders_.size(), kNoFolder),
        slotTaken_(old_.State.size(), 0),
        done_(old_.State.size(), 0) {}

  std::vector<TChangeRecord> Run() {
    if (old_.Snap.folders_.empty() || new_.Snap.folders_.empty()) return {};
    work_.push_back({0, 0});
    for (;;) {
      while (!work_.empty()) {
        const auto [of, nf] = work_.front();
        work_.pop_front();
        Merge(of, nf);
      }
      if (Expand()) continue;
      if (Collapse()) continue;
      break;
    }
    Place();
    std::string path;
    if (old_.Dirty[0]) EmitRemovals(0, path);
    path.clear();
    if (new_.Dirty[0]) EmitArrivals(0, path);
    return std::move(out_);
  }

 private:
  struct TRef {
    uint32_t Folder;
    uint32_t Index;
  };
  enum TState : uint8_t { kSame, kSizeChanged, kCandidate, kPending, kMatched, kGone };
  struct TKey {
    uint64_t Dev, Ino, Stamp;
    bool operator==(const TKey&) const = default;
  };
  struct THash {
    size_t operator()(const TKey& k) const {
      return std::hash<uint64_t>()((k.Ino * 0x9E3779B97F4A7C15ull ^ k.Dev) + k.Stamp);
    }
  };
  struct TSide {
    explicit TSide(const TTreeSnapshot& snap) : Snap(snap), Dirty(snap.folders_.size(), 0) {
      Base.reserve(snap.folders_.size());
      uint32_t total = 0;
      for (const auto& f : snap.folders_) {
        Base.push_back(total);
        total += static_cast<uint32_t>(f.Items.size());
      }
      State.assign(total, kSame);
    }
    const TItem& Item(TRef r) const { return Snap.folders_[r.Folder].Items[r.Index]; }
    uint32_t Flat(TRef r) const { return Base[r.Folder] + r.Index; }
    uint8_t& StateOf(TRef r) { return State[Flat(r)]; }
    void MarkDirty(uint32_t folder) {
      while (folder != kNoFolder && !Dirty[folder]) {
        Dirty[folder] = 1;
        folder = Snap.folders_[folder].Parent;
      }
    }

    const TTreeSnapshot& Snap;
    std::vector<uint32_t> Base;
    std::vector<uint8_t> State;
    std::vector<uint8_t> Dirty;  // per folder: something to report in its subtree
    std::unordered_map<TKey, std::vector<TRef>, THash> Pool;  // unpaired, by identity
    std::unordered_map<uint32_t, TRef> Partner;               // paired by identity
    std::vector<TRef> Expand;                                 // unpaired folders to open up
  };

  static bool Idle(uint8_t state) { return state == kCandidate || state == kPending; }

  void Merge(uint32_t of, uint32_t nf) {
    folderPartner_[of] = nf;
    oldPartner_[nf] = of;
    const TFolder& a = old_.Snap.folders_[of];
    const TFolder& b = new_.Snap.folders_[nf];
    // Contents never read before (or not now) are taken as they are, without reports.
    if (a.Unknown || b.Unknown) return;
    uint32_t i = 0, j = 0;
    const auto na = static_cast<uint32_t>(a.Items.size());
    const auto nb = static_cast<uint32_t>(b.Items.size());
    while (i < na || j < nb) {
      int cmp;
      if (i == na) {
        cmp = 1;
      } else if (j == nb) {
        cmp = -1;
      } else {
        cmp = a.Name(a.Items[i]).compare(b.Name(b.Items[j]));
      }
      if (cmp < 0) {
        Add(true, {of, i++}, false);
      } else if (cmp > 0) {
        Add(false, {nf, j++}, false);
      } else {
        const TItem& x = a.Items[i];
        const TItem& y = b.Items[j];
        const TRef o{of, i++}, n{nf, j++};
        const bool births = x.StampIsBirth && y.StampIsBirth;
        const bool same = x.Dev == y.Dev && x.Ino == y.Ino && (!births || x.Stamp == y.Stamp);
        if (x.Kind != y.Kind || (births && !same)) {
          // Another kind, or birth times that say for certain that another item took the name.
          slotTaken_[old_.Flat(o)] = 1;
          Add(true, o, false);
          Add(false, n, false);
        } else if (same || x.Ino == 0 || y.Ino == 0) {
          Keep(o, n);
        } else {
          pending_.push_back({o, n});
          Add(true, o, true);
          Add(false, n, true);
        }
      }
    }
  }

  void Keep(TRef o, TRef n) {
    const TItem& x = old_.Item(o);
    const TItem& y = new_.Item(n);
    if (x.Kind == TKind::File && x.Size != y.Size) {
      new_.StateOf(n) = kSizeChanged;
      new_.MarkDirty(n.Folder);
    } else if (x.Kind == TKind::Dir && x.Folder != kNoFolder && y.Folder != kNoFolder) {
      work_.push_back({x.Folder, y.Folder});
    }
  }

  // An item without a partner of the same name: paired at once with an unpaired item of the same
  // identity on the other side, or left waiting for one.
  void Add(bool isOld, TRef ref, bool pending) {
    TSide& side = isOld ? old_ : new_;
    TSide& other = isOld ? new_ : old_;
    side.StateOf(ref) = pending ? kPending : kCandidate;
    side.MarkDirty(ref.Folder);
    const TItem& item = side.Item(ref);
    if (item.Ino != 0) {
      const TKey key{item.Dev, item.Ino, item.Stamp};
      if (const auto found = other.Pool.find(key); found != other.Pool.end()) {
        auto& refs = found->second;
        for (size_t k = 0; k < refs.size(); ++k) {
          if (Idle(other.StateOf(refs[k])) && other.Item(refs[k]).Kind == item.Kind) {
            const TRef partner = refs[k];
            refs.erase(refs.begin() + static_cast<ptrdiff_t>(k));
            if (isOld) {
              Match(ref, partner);
            } else {
              Match(partner, ref);
            }
            return;
          }
        }
      }
      side.Pool[key].push_back(ref);
    }
    if (!pending && item.Kind == TKind::Dir) side.Expand.push_back(ref);
  }

  void Match(TRef o, TRef n) {
    old_.StateOf(o) = kMatched;
    new_.StateOf(n) = kMatched;
    old_.Partner[old_.Flat(o)] = n;
    new_.Partner[new_.Flat(n)] = o;
    old_.MarkDirty(o.Folder);
    new_.MarkDirty(n.Folder);
    const TItem& x = old_.Item(o);
    const TItem& y = new_.Item(n);
    if (x.Kind == TKind::Dir && x.Folder != kNoFolder && y.Folder != kNoFolder) {
      work_.push_back({x.Folder, y.Folder});
    }
  }

  // Folders left without a partner: their contents become candidates themselves, so that an item
  // moved out of a removed folder (or into a created one) is still paired.
  bool Expand() {
    bool any = false;
    for (const bool isOld : {true, false}) {
      TSide& side = isOld ? old_ : new_;
      std::vector<TRef> list = std::move(side.Expand);
      side.Expand.clear();
      for (const TRef ref : list) {
        any = true;
        if (side.StateOf(ref) != kCandidate) continue;
        side.StateOf(ref) = kGone;
        const TItem& item = side.Item(ref);
        if (item.Folder == kNoFolder) continue;
        const TFolder& folder = side.Snap.folders_[item.Folder];
        if (folder.Unknown) continue;
        for (uint32_t k = 0; k < folder.Items.size(); ++k) Add(isOld, {item.Folder, k}, false);
      }
    }
    return any;
  }

  // Same-name pairs whose identities turned up nowhere else are the same item after all.
  bool Collapse() {
    if (pending_.empty()) return false;
    std::vector<std::pair<TRef, TRef>> list = std::move(pending_);
    pending_.clear();
    for (const auto& [o, n] : list) {
      uint8_t& so = old_.StateOf(o);
      uint8_t& sn = new_.StateOf(n);
      if (so == kPending && sn == kPending) {
        so = kSame;
        sn = kSame;
        Keep(o, n);
        continue;
      }
      slotTaken_[old_.Flat(o)] = 1;
      if (so == kPending) {
        so = kCandidate;
        if (old_.Item(o).Kind == TKind::Dir) old_.Expand.push_back(o);
      }
      if (sn == kPending) {
        sn = kCandidate;
        if (new_.Item(n).Kind == TKind::Dir) new_.Expand.push_back(n);
      }
    }
    return true;
  }

  void Emit(uint32_t action, const std::string& path, TKind kind) {
    out_.push_back({action, NarrowToUtf16(path), kind == TKind::Dir});
  }

  static bool Kept(uint8_t state) { return state == kSame || state == kSizeChanged; }

  // Which old folders stay in place while the records are replayed (`present_`) and which
  // matched items are told as one move or rename (`SafeMove`). A matched item is told as a move
  // only when its old folder stays and no other item takes its old name in the folder it is in:
  // then its old path still stands when its new place is reached, and its new path is free
  // (the item that held it is removed first). Any other matched item is told as removed and
  // created again, its contents with it: a replay of the records then always gives the new tree,
  // chains and swaps of names included, which no order of moves alone could tell.
  void Place() {
    const auto owners = [](const TSide& side, std::vector<TRef>& out) {
      const auto& folders = side.Snap.folders_;
      out.assign(folders.size(), TRef{kNoFolder, 0});
      for (uint32_t f = 0; f < folders.size(); ++f) {
        const auto& items = folders[f].Items;
        for (uint32_t k = 0; k < items.size(); ++k) {
          if (items[k].Folder != kNoFolder) out[items[k].Folder] = {f, k};
        }
      }
    };
    owners(old_, oldOwner_);
    owners(new_, newOwner_);
    // A folder is made before the folders inside it, so parents come first.
    present_.assign(oldOwner_.size(), 0);
    if (!present_.empty()) present_[0] = 1;
    for (uint32_t f = 1; f < present_.size(); ++f) {
      const TRef owner = oldOwner_[f];
      if (owner.Folder == kNoFolder || owner.Folder >= f) continue;
      const uint8_t state = old_.StateOf(owner);
      present_[f] = present_[owner.Folder] && (Kept(state) || SafeMove(owner));
    }
  }
  bool SafeMove(TRef o) {
    return old_.StateOf(o) == kMatched && !slotTaken_[old_.Flat(o)] && present_[o.Folder];
  }
  // Whether the old folder stays in the replay (moved as a whole, maybe).
  bool Present(uint32_t of) const { return of != kNoFolder && present_[of]; }
  // Whether the new folder is the replay's old one in place: its contents need no records.
  bool Carried(uint32_t nf) const { return nf == 0 || Present(oldPartner_[nf]); }

  // The path an old folder has in the replay now: the new one where it was moved already.
  void OldFolderPath(uint32_t of, std::string& path) const {
    if (of == 0) return;
    const TRef owner = oldOwner_[of];
    if (done_[old_.Flat(owner)]) {
      NewFolderPath(old_.Partner.at(old_.Flat(owner)), path);
      return;
    }
    OldFolderPath(owner.Folder, path);
    path.append(old_.Snap.folders_[owner.Folder].Name(old_.Item(owner)));
    path += kFolderSeparator;
  }
  // The path of a new item's folder, and its name: `item` with its separator.
  void NewFolderPath(TRef item, std::string& path) const {
    if (item.Folder != 0) NewFolderPath(newOwner_[item.Folder], path);
    path.append(new_.Snap.folders_[item.Folder].Name(new_.Item(item)));
    path += kFolderSeparator;
  }

  // Removals, by the old names: a folder's contents before the folder. Nothing moves yet, so
  // the old names are the replay's.
  void EmitRemovals(uint32_t of, std::string& path) {
    const TFolder& folder = old_.Snap.folders_[of];
    const size_t start = path.size();
    const bool present = Present(of);
    for (uint32_t k = 0; k < folder.Items.size(); ++k) {
      const TItem& item = folder.Items[k];
      const TRef ref{of, k};
      path.append(folder.Name(item));
      if (item.Kind == TKind::Dir && item.Folder != kNoFolder &&
          (old_.Dirty[item.Folder] || !Present(item.Folder))) {
        const size_t len = path.size();
        path += kFolderSeparator;
        EmitRemovals(item.Folder, path);
        path.resize(len);
      }
      const uint8_t state = old_.StateOf(ref);
      if (!present || !(Kept(state) || SafeMove(ref))) Emit(kActionRemoved, path, item.Kind);
      path.resize(start);
    }
  }

  // Moves, renames, arrivals and size changes, by the new names: a folder before its contents.
  void EmitArrivals(uint32_t nf, std::string& path) {
    const TFolder& folder = new_.Snap.folders_[nf];
    const size_t start = path.size();
    const bool carried = Carried(nf);
    std::string from;
    for (uint32_t k = 0; k < folder.Items.size(); ++k) {
      const TItem& item = folder.Items[k];
      const TRef ref{nf, k};
      const uint8_t state = new_.StateOf(ref);
      path.append(folder.Name(item));
      if (carried && Kept(state)) {
        if (state == kSizeChanged) Emit(kActionModified, path, item.Kind);
      } else if (state == kMatched && SafeMove(new_.Partner.at(new_.Flat(ref)))) {
        const TRef partner = new_.Partner.at(new_.Flat(ref));
        const TItem& was = old_.Item(partner);
        from.clear();
        OldFolderPath(partner.Folder, from);
        from.append(old_.Snap.folders_[partner.Folder].Name(was));
        const bool rename = folderPartner_[partner.Folder] == nf;
        Emit(rename ? kActionRenamedOld : kActionRemoved, from, item.Kind);
        Emit(rename ? kActionRenamedNew : kActionAdded, path, item.Kind);
        done_[old_.Flat(partner)] = 1;
        if (item.Kind == TKind::File && was.Size != item.Size)
          Emit(kActionModified, path, item.Kind);
      } else {
        Emit(kActionAdded, path, item.Kind);
      }
      if (item.Kind == TKind::Dir && item.Folder != kNoFolder &&
          (new_.Dirty[item.Folder] || !Carried(item.Folder))) {
        path += kFolderSeparator;
        EmitArrivals(item.Folder, path);
      }
      path.resize(start);
    }
  }

  TSide old_;
  TSide new_;
  std::vector<uint32_t> folderPartner_;    // old folder -> the new folder compared with it
  std::vector<uint32_t> oldPartner_;       // new folder -> the old folder compared with it
  std::vector<uint8_t> slotTaken_;         // per old item: another item has its name now
  std::vector<uint8_t> done_;              // per old item: its move was told
  std::vector<TRef> oldOwner_, newOwner_;  // folder -> the item that is it
  std::vector<uint8_t> present_;           // per old folder: see Place
  std::deque<std::pair<uint32_t, uint32_t>> work_;
  std::vector<std::pair<TRef, TRef>> pending_;
  std::vector<TChangeRecord> out_;
};

std::vector<TChangeRecord> TTreeSnapshot::ChangesSince(const TTreeSnapshot& before) const {
  return TSnapshotDiffer(before, *this).Run();
}

std::vector<TChangeRecord> TTreeSnapshot::Contents() const {
  TTreeSnapshot empty;
  empty.folders_.emplace_back();
  return ChangesSince(empty);
}

std::vector<std::pair<std::string, TFileSize>> TTreeSnapshot::FileSizes() const {
  std::vector<std::pair<std::string, TFileSize>> out;
  if (folders_.empty()) return out;
  std::vector<std::pair<uint32_t, std::string>> stack{{0, {}}};
  while (!stack.empty()) {
    const auto [index, prefix] = std::move(stack.back());
    stack.pop_back();
    const TFolder& folder = folders_[index];
    for (const TItem& item : folder.Items) {
      std::string path = prefix;
      path += folder.Name(item);
      if (item.Kind == TKind::File) {
        out.emplace_back(std::move(path), TFileSize{item.Size, item.Ino});
      } else if (item.Kind == TKind::Dir && item.Folder != kNoFolder) {
        stack.emplace_back(item.Folder, std::move(path += '/'));
      }
    }
  }
  return out;
}

// ---- the polling source ----

namespace {

std::mutex gLiveMutex;
std::condition_variable gLiveChanged;
size_t gLive = 0;

std::chrono::nanoseconds ThreadCpuTime() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// The pause between two scans follows what a scan costs: a few per cent of one core, and a remote
// server kept busy a fifth of the time at most, smoothed, within the options' bounds.
class TPollPacer {
 public:
  explicit TPollPacer(const TPollOptions& options)
      : min_(options.MinInterval), max_(options.MaxInterval), interval_(min_) {}
  std::chrono::milliseconds Interval() const { return interval_; }
  // After a failed scan the next one comes soon.
  void Reset() { interval_ = min_; }
  void StartScan() {
    wall0_ = Clock::now();
    cpu0_ = ThreadCpuTime();
  }
  void EndScan() {
    const double cpuMs = std::chrono::duration<double, std::milli>(ThreadCpuTime() - cpu0_).count();
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - wall0_).count();
    const double targetMs = std::max(cpuMs * 40, wallMs * 5);
    smoothedMs_ = smoothedMs_ == 0 ? targetMs : (3 * smoothedMs_ + targetMs) / 4;
    interval_ =
        std::clamp(std::chrono::milliseconds(static_cast<int64_t>(smoothedMs_)), min_, max_);
  }

 private:
  using Clock = std::chrono::steady_clock;
  const std::chrono::milliseconds min_, max_;
  std::chrono::milliseconds interval_;
  double smoothedMs_ = 0;
  Clock::time_point wall0_{};
  std::chrono::nanoseconds cpu0_{};
};

class TPollEngine : public TQueuedDirChanges, public std::enable_shared_from_this<TPollEngine> {
 public:
  explicit TPollEngine(TPollOptions options) : options_(std::move(options)) {}

  int Open(const std::string& folder) override {
    if (opened_.exchange(true)) return EBUSY;
    folder_ = folder;
    const int error = snapshot_.Scan(folder, nullptr, [this] { return stopping_.load(); });
    if (stopping_.load()) return 0;  // stopped while opening: every read answers Stopped
    if (error != 0) return error;
    {
      std::lock_guard lock(gLiveMutex);
      ++gLive;
    }
    // The thread keeps the engine alive while it runs; it ends soon after a stop.
    std::thread([self = shared_from_this()]() mutable {
      self->Loop();
      self.reset();
      std::lock_guard lock(gLiveMutex);
      --gLive;
      gLiveChanged.notify_all();
    }).detach();
    return 0;
  }

 protected:
  void OnStop() override {
    {
      std::lock_guard lock(waitMutex_);
      stopping_.store(true);
    }
    wake_.notify_all();
  }

 private:
  void Loop() {
    using Clock = std::chrono::steady_clock;
    TPollPacer pacer(options_);
    bool lost = false;
    Clock::time_point lostSince{};
    const auto cancelled = [this] { return stopping_.load(); };
    for (;;) {
      {
        std::unique_lock lock(waitMutex_);
        if (wake_.wait_for(lock, pacer.Interval(), [this] { return stopping_.load(); })) return;
      }
      pacer.StartScan();
      TTreeSnapshot fresh;
      int error = fresh.Scan(folder_, &snapshot_, cancelled, options_.Listings);
      if (stopping_.load()) return;
      // The same path on another kind of file system: the share was unmounted and what shows is
      // the empty folder it was mounted on.
      if (error == 0 && fresh.FsType() != snapshot_.FsType()) error = ENOTCONN;
      if (options_.AfterScan) options_.AfterScan(error);
      if (error != 0) {
        // Unreachable: say nothing until it answers again, then compare with the last good scan.
        const auto now = Clock::now();
        if (!lost) {
          lost = true;
          lostSince = now;
        }
        if (now - lostSince >= options_.GiveUpAfter) {
          PushFailure(error);
          return;
        }
        pacer.Reset();
        continue;
      }
      lost = false;
      std::vector<TChangeRecord> changes = fresh.ChangesSince(snapshot_);
      snapshot_ = std::move(fresh);
      if (!changes.empty()) {
        // A scan's changes go whole or not at all: the reader is told that changes were lost.
        if (Pending() + changes.size() > kDefaultMaxPending) {
          PushOverflow();
        } else {
          Push(changes);
        }
      }
      pacer.EndScan();
    }
  }

  const TPollOptions options_;
  std::atomic<bool> opened_{false};
  std::atomic<bool> stopping_{false};
  std::mutex waitMutex_;
  std::condition_variable wake_;
  std::string folder_;
  TTreeSnapshot snapshot_;  // the last good scan; Open's, then the thread's alone
};

// What callers hold: dropping it stops the engine even when nobody called Stop, without waiting
// for a thread that may sit in a system call on a share that does not answer.
class TPollDirChanges : public TDirChanges {
 public:
  explicit TPollDirChanges(TPollOptions options)
      : engine_(std::make_shared<TPollEngine>(std::move(options))) {}
  ~TPollDirChanges() override { engine_->Stop(); }
  int Open(const std::string& folder) override { return engine_->Open(folder); }
  TReadResult Read(uint8_t* buffer, size_t size, uint32_t notifyFilter) override {
    return engine_->Read(buffer, size, notifyFilter);
  }
  void Stop() override { engine_->Stop(); }
  std::string TakeNotice() override { return engine_->TakeNotice(); }

 private:
  std::shared_ptr<TPollEngine> engine_;
};

}  // namespace

// ---- subtrees polled for another source ----

struct TSubtreePolls::TState : std::enable_shared_from_this<TState> {
  struct TSubtree {
    std::string Folder;      // under Mutex
    TTreeSnapshot Snapshot;  // the last good scan: Add's, then the thread's (replaced under Mutex)
    int64_t FsType = 0;
  };

  TState(TPollOptions options, TSink sink) : Options(std::move(options)), Sink(std::move(sink)) {}

  void Loop() {
    TPollPacer pacer(Options);
    const auto cancelled = [this] { return Stopping.load(); };
    std::vector<std::pair<int, std::shared_ptr<TSubtree>>> round;
    std::vector<std::string> folders;
    for (;;) {
      round.clear();
      folders.clear();
      {
        std::unique_lock lock(Mutex);
        if (Wake.wait_for(lock, pacer.Interval(), [this] { return Stopping.load(); })) return;
        for (const auto& [id, subtree] : Subtrees) {
          round.emplace_back(id, subtree);
          folders.push_back(subtree->Folder);
        }
      }
      pacer.StartScan();
      for (size_t i = 0; i < round.size(); ++i) {
        TSubtree& subtree = *round[i].second;
        TTreeSnapshot fresh;
        int error = fresh.Scan(folders[i], &subtree.Snapshot, cancelled, Options.Listings);
        if (Stopping.load()) return;
        // The same path on another kind of file system: a share was unmounted.
        if (error == 0 && fresh.FsType() != subtree.FsType) error = ENOTCONN;
        std::vector<TChangeRecord> changes;
        if (error == 0) {
          changes = fresh.ChangesSince(subtree.Snapshot);
          std::lock_guard lock(Mutex);  // Contents reads it on another thread
          subtree.Snapshot = std::move(fresh);
        }
        if (error != 0 || !changes.empty()) Sink(round[i].first, changes, error);
      }
      if (Options.AfterScan) Options.AfterScan(0);
      pacer.EndScan();
    }
  }

  const TPollOptions Options;
  const TSink Sink;
  std::atomic<bool> Stopping{false};
  mutable std::mutex Mutex;
  std::condition_variable Wake;
  std::unordered_map<int, std::shared_ptr<TSubtree>> Subtrees;
  bool Running = false;
};

TSubtreePolls::TSubtreePolls(TPollOptions options, TSink sink)
    : state_(std::make_shared<TState>(std::move(options), std::move(sink))) {}

TSubtreePolls::~TSubtreePolls() {
  Stop();
}

int TSubtreePolls::Add(int id, const std::string& folder, TContents* contents) {
  auto subtree = std::make_shared<TState::TSubtree>();
  subtree->Folder = folder;
  const int error =
      subtree->Snapshot.Scan(folder, nullptr, [this] { return state_->Stopping.load(); });
  if (error != 0) return error;
  if (contents) {
    if (contents->WithRecords) contents->Records = subtree->Snapshot.Contents();
    contents->Folders = subtree->Snapshot.Folders();
  }
  subtree->FsType = subtree->Snapshot.FsType();
  std::lock_guard lock(state_->Mutex);
  if (state_->Stopping.load()) return ECANCELED;
  state_->Subtrees[id] = std::move(subtree);
  if (!state_->Running) {
    state_->Running = true;
    {
      std::lock_guard live(gLiveMutex);
      ++gLive;
    }
    // Detached, like the polling source's: a share that does not answer must not hold up the
    // source that is being closed. The thread keeps the state alive while it runs.
    std::thread([self = state_]() mutable {
      self->Loop();
      self.reset();
      std::lock_guard live(gLiveMutex);
      --gLive;
      gLiveChanged.notify_all();
    }).detach();
  }
  return 0;
}

std::vector<TChangeRecord> TSubtreePolls::Contents(int id) const {
  std::lock_guard lock(state_->Mutex);
  const auto it = state_->Subtrees.find(id);
  return it == state_->Subtrees.end() ? std::vector<TChangeRecord>{}
                                      : it->second->Snapshot.Contents();
}

std::vector<std::pair<std::string, TFileSize>> TSubtreePolls::FileSizes(int id) const {
  std::lock_guard lock(state_->Mutex);
  const auto it = state_->Subtrees.find(id);
  return it == state_->Subtrees.end() ? std::vector<std::pair<std::string, TFileSize>>{}
                                      : it->second->Snapshot.FileSizes();
}

void TSubtreePolls::Move(int id, const std::string& folder) {
  std::lock_guard lock(state_->Mutex);
  if (const auto it = state_->Subtrees.find(id); it != state_->Subtrees.end()) {
    it->second->Folder = folder;
  }
}

void TSubtreePolls::Remove(int id) {
  std::lock_guard lock(state_->Mutex);
  state_->Subtrees.erase(id);
}

void TSubtreePolls::Stop() {
  {
    std::lock_guard lock(state_->Mutex);
    state_->Stopping.store(true);
  }
  state_->Wake.notify_all();
}

size_t TSubtreePolls::Count() const {
  std::lock_guard lock(state_->Mutex);
  return state_->Subtrees.size();
}

std::shared_ptr<TDirChanges> MakePollDirChanges(TPollOptions options) {
  return std::make_shared<TPollDirChanges>(std::move(options));
}

bool IsRemoteFileSystem(const std::string& folder) {
  struct statfs fs;
  if (statfs(folder.c_str(), &fs) != 0) return false;
  return IsRemoteFileSystemType(static_cast<int64_t>(fs.f_type));
}

bool IsRemoteFileSystemType(int64_t fsType) {
  switch (static_cast<uint32_t>(fsType)) {
    case 0x6969u:      // NFS
    case 0x517Bu:      // SMB (old smbfs)
    case 0xFF534D42u:  // CIFS
    case 0xFE534D42u:  // SMB2/3
    case 0x65735546u:  // FUSE: sshfs, rclone, bindfs, virtiofs, …
    case 0x01021997u:  // 9p
    case 0x5346414Fu:  // AFS
    case 0x6B414653u:  // AFS (kAFS)
    case 0x00C36400u:  // Ceph
    case 0x73757245u:  // Coda
    case 0x0000564Cu:  // NCP
    case 0x7461636Fu:  // OCFS2
    case 0x01161970u:  // GFS2
    case 0x0BD00BD0u:  // Lustre
    case 0x47504653u:  // GPFS
    case 0x19830326u:  // BeeGFS
    case 0x20030528u:  // OrangeFS
    case 0xAAD7AAEAu:  // PanFS
    case 0x786F4256u:  // VirtualBox shared folders
    case 0x7C7C6673u:  // Parallels shared folders
    case 0xBACBACBCu:  // VMware shared folders
      return true;
    default:
      return false;
  }
}

size_t LivePollThreads() {
  std::lock_guard lock(gLiveMutex);
  return gLive;
}

bool WaitForPollThreads(std::chrono::milliseconds timeout) {
  std::unique_lock lock(gLiveMutex);
  return gLiveChanged.wait_for(lock, timeout, [] { return gLive == 0; });
}
