#include "watcher/uInotifyGone.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "base/uPlatformText.h"
#include "watcher/uInotifyFiles.h"
#include "watcher/uInotifyPolled.h"
#include "watcher/uInotifyRecords.h"
#include "watcher/uInotifyScan.h"

namespace {

// What a folder moved out of the tree held is kept, in case it comes straight back, up to this.
constexpr size_t kMostKeptOut = 4096;

}  // namespace

bool CollectContents(const TFolderTree& tree, const TPolledParts& polls, uint64_t value,
                     TContentsList& out, std::map<std::string, TFileSize>* sizes, size_t most) {
  std::vector<std::pair<uint64_t, std::string>> stack{{value, {}}};
  while (!stack.empty()) {
    const uint64_t v = stack.back().first;
    const std::string prefix = std::move(stack.back().second);
    stack.pop_back();
    const int w = WatchOf(v);
    if (IsPoll(w)) {
      for (const auto& record : polls.Contents(w)) {
        out.emplace_back(prefix + Utf16ToNarrow(record.Name), record.IsDir);
      }
      if (sizes) {
        for (auto& [path, file] : polls.FileSizes(w)) sizes->emplace(prefix + path, file);
      }
      continue;
    }
    const TFolder* folder = tree.Find(w);
    if (!folder) continue;
    if (folder->Items.Size() > most - std::min(most, out.size())) return false;
    folder->Items.ForEach([&](std::string_view name, uint64_t item) {
      std::string path = prefix;
      path += name;
      out.emplace_back(path, IsDirValue(item));
      if (IsDirValue(item)) stack.emplace_back(item, path + '/');
    });
  }
  return out.size() <= most;
}

TMovedOut TGoneFolder::Describe(const TFolder& folder, std::string_view name, uint64_t value,
                                const std::string& path) const {
  TMovedOut moved;
  if (IsDirValue(value)) {
    // Kept in case it comes straight back: from a polled part of the tree at the limit, or, when
    // the second half of its rename came too late to be paired, from the very folder it went
    // from. (Only up to a size: a big folder coming back is told afresh.)
    const int w = WatchOf(value);
    const TFolder* watched = tree_.Find(w);
    const TPolled* polled = polls_.Find(w);
    if (!watched && !polled) return {};
    moved.Inode = watched ? watched->Inode : polled->Inode;
    moved.Born = watched ? watched->Born : polled->Born;
    if (!CollectContents(tree_, polls_, value, moved.Contents, &moved.Sizes,
                         polls_.Empty() ? kMostKeptOut : SIZE_MAX)) {
      return {};
    }
    moved.Active = true;
    moved.Path = path;
  } else if (!polls_.Empty() && IsKnownSize(value)) {
    // A file kept likewise, in case it went into a polled part: a write on its way is not one
    // the poll tells.
    moved.Inode = folder.Items.InodeOf(name);
    moved.Active = moved.Inode != 0;
    moved.IsFile = true;
    moved.FileSize = value;
    moved.Path = path;
  }
  return moved;
}

void TGoneFolder::Keep(TMovedOut moved) {
  tree_.Unwatch(kept_.Held);
  kept_ = std::move(moved);
  kept_.ToldAt = out_.Count();
}

void TGoneFolder::Settle() {
  if (!kept_.Held.empty() && !Touches()) {
    tree_.Unwatch(kept_.Held);
    kept_.Held.clear();
  }
}

// Gone from where it came already (renamed on): it is known by its own watch, held, to which the
// kernel tells a folder's move right after the news of where it went.
bool TGoneFolder::MovedOnAtOnce(const TEventCursor& cursor) const {
  return !kept_.Held.empty() && cursor.NamedAhead(kept_.Held.front().first, {}, IN_MOVE_SELF, 1);
}

void TGoneFolder::Away(int wd, bool change) {
  for (const auto& held : kept_.Held) kept_.ChangedAway |= change && held.first == wd;
}

bool TGoneFolder::ComeBack(const TEventCursor& cursor, bool touched, int wd, TFolder& folder,
                           std::string_view name, const std::string& where) {
  if (!touched || kept_.IsFile) return false;
  struct stat st;
  if (files_.Stat(where, st) ? st.st_ino != kept_.Inode || files_.BornAfter(where, kept_.Born)
                             : !MovedOnAtOnce(cursor)) {
    return false;
  }
  // Back right after it was told gone (from a polled part, before its poll saw it, or where the
  // second half of its own rename came too late to be paired): the two records read as one move,
  // so what came with it is not told again, and what it held but holds no more is told gone.
  TMovedOut back = std::move(kept_);
  kept_ = {};
  // In the folder it was told gone from (under the very path, or the late second half of a rename
  // there), the two records do not read as a move, which is told as a rename in one folder: they
  // read as a removal and another folder's creation, so everything it holds is told again.
  const auto folderOf = [](std::string_view path) { return path.substr(0, path.rfind('/') + 1); };
  const bool sameFolder = folderOf(where) == folderOf(back.Path);
  if (!back.Held.empty() && !back.ChangedAway) {
    // Nothing happened in it while away: it takes back its watches and what was known of it.
    const int top = back.Held.front().first;
    tree_.TakeBack(std::move(back.Held), wd, std::string(name));
    folder.Items.Set(name, DirValue(top));
    TContentsList contents;
    if (sameFolder) CollectContents(tree_, polls_, DirValue(top), contents);
    for (const auto& [relative, dir] : contents) {
      out_.Emit(kActionAdded, where + '/' + relative, dir);
    }
    return true;
  }
  tree_.Unwatch(back.Held);
  if (sameFolder) {
    scan_.WatchNew(wd, name, true, false);
    return true;
  }
  scan_.WatchNew(wd, name, false, false);
  TContentsList now;
  if (const std::optional<uint64_t> value = folder.Items.Find(name)) {
    CollectContents(tree_, polls_, *value, now);
  }
  const std::map<std::string, bool> then(back.Contents.begin(), back.Contents.end());
  const std::map<std::string, bool> held(now.begin(), now.end());
  std::set<std::string> gone;
  for (const auto& [relative, dir] : then) {
    if (held.count(relative)) continue;
    // What lay in a folder told gone went with it.
    bool under = false;
    for (size_t at = relative.find('/'); at != std::string::npos && !under;
         at = relative.find('/', at + 1)) {
      under = gone.count(relative.substr(0, at)) != 0;
    }
    if (under) continue;
    gone.insert(relative);
    out_.Emit(kActionRemoved, where + '/' + relative, dir);
  }
  for (const auto& [relative, dir] : held) {
    if (!then.count(relative)) out_.Emit(kActionAdded, where + '/' + relative, dir);
  }
  return true;
}

// The file that left, arrived in a polled part with another size: the two records read as one
// move, so the write is told.
void TGoneFolder::ReconcileFile(std::vector<TChangeRecord>& records) const {
  const TChangeRecord& first = records.front();
  struct stat st;
  if (first.Action == kActionAdded && !first.IsDir && files_.Stat(Utf16ToNarrow(first.Name), st) &&
      S_ISREG(st.st_mode) && st.st_ino == kept_.Inode &&
      static_cast<uint64_t>(st.st_size) != kept_.FileSize) {
    records.insert(records.begin() + 1, {kActionModified, first.Name, false});
  }
}

// What came with the folder is not told again, what it held but holds no more is told gone, and a
// file of a polled part of it whose size is not what that part's last scan saw (written just
// before the move) is told changed; one replaced since that scan is told gone and arrived.
void TGoneFolder::Reconcile(std::vector<TChangeRecord>& records) {
  if (kept_.IsFile) return ReconcileFile(records);
  const TChangeRecord& first = records.front();
  const std::string firstPath = Utf16ToNarrow(first.Name);
  struct stat st;
  if (first.Action != kActionAdded || !first.IsDir || !files_.Stat(firstPath, st) ||
      !S_ISDIR(st.st_mode) || st.st_ino != kept_.Inode || files_.BornAfter(firstPath, kept_.Born)) {
    return;
  }
  std::map<std::string, bool> known(kept_.Contents.begin(), kept_.Contents.end());
  const std::u16string prefix = first.Name + u'/';
  std::vector<TChangeRecord> out{first};
  std::vector<bool> keep(records.size(), true);
  std::set<std::string> seen;
  for (size_t i = 1; i < records.size(); ++i) {
    const TChangeRecord& r = records[i];
    if (r.Action != kActionAdded || r.Name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rel = Utf16ToNarrow(std::u16string_view(r.Name).substr(prefix.size()));
    const auto it = known.find(rel);
    if (it == known.end() || it->second != r.IsDir) continue;
    // A file of a polled part replaced since its last scan (another inode number there now) is
    // not the one that came with the folder: the one told goes, the other arrives.
    if (const auto file = kept_.Sizes.find(rel);
        file != kept_.Sizes.end() && file->second.Inode != 0 &&
        files_.Stat(Utf16ToNarrow(r.Name), st) && st.st_ino != file->second.Inode) {
      continue;
    }
    seen.insert(rel);
    keep[i] = false;
  }
  // Contents before their folder.
  for (auto it = known.rbegin(); it != known.rend(); ++it) {
    if (!seen.count(it->first)) {
      out.push_back({kActionRemoved, prefix + NarrowToUtf16(it->first), it->second});
    }
  }
  for (size_t i = 1; i < records.size(); ++i) {
    if (keep[i]) out.push_back(std::move(records[i]));
  }
  const std::string folder = Utf16ToNarrow(prefix);
  for (const auto& rel : seen) {
    const auto file = kept_.Sizes.find(rel);
    if (file == kept_.Sizes.end()) continue;
    if (files_.Stat(folder + rel, st) && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) != file->second.Size) {
      out.push_back({kActionModified, prefix + NarrowToUtf16(rel), false});
    }
  }
  records = std::move(out);
}
