// The stream check of the change sources: random operation sequences made at full speed on a real
// folder, and the records a source delivered for them replayed over the starting tree. The replay
// must give the final tree; every item that came into the tree must be named by a record; nothing
// may be reported that did not happen. A failing sequence is shrunk to a short operation list that
// still fails, printed so that it can be pasted into a plain test.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace stream {

enum class TKind : uint8_t {
  MkDir,       // A
  Create,      // A with N bytes
  Append,      // N bytes to A
  Truncate,    // A to N bytes
  SameSize,    // A rewritten in place with as many bytes as it has
  Rename,      // A to B, both in the tree (B may be a file that A, a file, replaces)
  MoveOut,     // A out of the tree
  MoveIn,      // a file of N bytes made outside, moved in to A (over a file there or not)
  MoveInDir,   // a folder made outside with N files and a subfolder holding one, moved in to A
  Remove,      // the file or link A
  RemoveTree,  // the folder A with everything in it, contents first
  HardLinkIn,  // a file of N bytes made outside, linked in as A
  TmpFileIn,   // a nameless file of N bytes in A's folder, then given the name A
  Symlink,     // A, a link pointing at B (never followed)
  Pause,       // N milliseconds
  OutAndBack,  // A out of the tree and straight back in as B (A itself or a new name)
};

struct TOp {
  TOp(TKind kind, std::string a = {}, std::string b = {}, uint32_t n = 0)
      : Kind(kind), A(std::move(a)), B(std::move(b)), N(n) {}
  TKind Kind;
  std::string A, B;
  uint32_t N = 0;
};

inline const char* KindName(TKind kind) {
  static const char* const names[] = {"MkDir",     "Create",  "Append",     "Truncate",
                                      "SameSize",  "Rename",  "MoveOut",    "MoveIn",
                                      "MoveInDir", "Remove",  "RemoveTree", "HardLinkIn",
                                      "TmpFileIn", "Symlink", "Pause",      "OutAndBack"};
  return names[static_cast<int>(kind)];
}

// A C++ string literal that spells the bytes exactly.
inline std::string Quote(std::string_view text) {
  std::string out = "\"";
  bool hexBefore = false;
  for (const unsigned char c : text) {
    const bool hexDigit = std::isxdigit(c) != 0;
    if (c == '"' || c == '\\') {
      (out += '\\') += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f && !(hexBefore && hexDigit)) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
      hexBefore = true;
      continue;
    }
    hexBefore = false;
  }
  return out + "\"";
}

inline std::string Print(const std::vector<TOp>& ops) {
  std::string out;
  for (const auto& op : ops) {
    out += "    {TKind::" + std::string(KindName(op.Kind)) + ", " + Quote(op.A) + ", " +
           Quote(op.B) + ", " + std::to_string(op.N) + "},\n";
  }
  return out;
}

inline std::string Parent(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}
inline std::string Base(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}
inline std::string Join(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}
inline bool Under(std::string_view path, std::string_view folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

// What the operations did, kept by item: the model of the tree and everything the oracle needs to
// know about the history of each item.
class TModel {
 public:
  struct TItem {
    bool Dir = false;
    bool Link = false;
    uint64_t Size = 0;
    std::set<std::string> Paths;       // every path it had in the tree
    std::vector<std::string> History;  // the same, in the order it had them
    bool Initial = false;              // there before watching began
    std::string InitialPath;
    uint64_t InitialSize = 0;
    bool Moved = false;    // renamed or moved since watching began (or a folder above it)
    bool Arrived = false;  // created or moved in while watched
    bool ArrivedInNewFolder = false;  // ...inside a folder that itself arrived while watched
    bool CameWithFolder = false;      // the contents of a folder moved in from outside
    bool Resized = false;             // written to another size while watched
    bool Written = false;             // written at all while watched
    bool LeftAfterWrite = false;      // removed, renamed or moved after a write
    bool Nameless = false;            // made nameless, then given its name
  };

  std::map<std::string, int> Tree;  // path -> item
  std::vector<TItem> Items;
  bool Watching = false;
  std::map<std::string, int> Replaced;  // paths at which an arrival replaced an item, how often
  size_t FoldersEver = 0;
  unsigned Outside = 0;  // names used outside the tree

  // Watching begins: what stands now is the starting tree, and the paths items had before are no
  // history of the watch (a file renamed before it does not make a folder that took its old name
  // and a later file under its new name one item).
  void StartWatching() {
    Watching = true;
    for (auto& item : Items) {
      item.Paths.clear();
      item.History.clear();
    }
    for (const auto& [p, id] : Tree) {
      Items[id].InitialPath = p;
      Items[id].InitialSize = Items[id].Size;
      Items[id].Paths.insert(p);
      Items[id].History.push_back(p);
    }
  }

  bool Has(const std::string& p) const { return Tree.count(p) != 0; }
  const TItem* At(const std::string& p) const {
    const auto it = Tree.find(p);
    return it == Tree.end() ? nullptr : &Items[it->second];
  }
  bool IsDir(const std::string& p) const { return p.empty() || (At(p) && At(p)->Dir); }
  bool IsFile(const std::string& p) const {
    const TItem* i = At(p);
    return i && !i->Dir && !i->Link;
  }
  bool HasChildren(const std::string& p) const {
    const auto it = Tree.upper_bound(p + "/");
    return it != Tree.end() && Under(it->first, p);
  }
  size_t Depth(const std::string& p) const {
    return p.empty() ? 0 : 1 + static_cast<size_t>(std::count(p.begin(), p.end(), '/'));
  }
  // The longest path below p, counted from p's end.
  size_t SubtreeTail(const std::string& p) const {
    size_t longest = 0;
    for (auto it = Tree.upper_bound(p + "/"); it != Tree.end() && Under(it->first, p); ++it) {
      longest = std::max(longest, it->first.size() - p.size());
    }
    return longest;
  }

  // Whether the operation makes sense now (the runner then makes it; when it fails on the real
  // folder the model is left alone).
  bool Valid(const TOp& op) const {
    const std::string parent = Parent(op.A);
    switch (op.Kind) {
      case TKind::MkDir:
      case TKind::Create:
      case TKind::MoveInDir:
      case TKind::HardLinkIn:
      case TKind::TmpFileIn:
      case TKind::Symlink:
        return !op.A.empty() && IsDir(parent) && !Has(op.A);
      case TKind::MoveIn:
        return !op.A.empty() && IsDir(parent) && (!Has(op.A) || IsFile(op.A));
      case TKind::Append:
      case TKind::Truncate:
        return IsFile(op.A);
      case TKind::SameSize:
        return IsFile(op.A) && At(op.A)->Size > 0;
      case TKind::Rename: {
        if (!Has(op.A) || op.B.empty() || !IsDir(Parent(op.B)) || op.A == op.B) return false;
        if (Under(op.B, op.A)) return false;
        if (Has(op.B)) return IsFile(op.A) && IsFile(op.B);
        return true;
      }
      case TKind::MoveOut:
        return Has(op.A);
      case TKind::OutAndBack:
        return Has(op.A) && (op.A == op.B || (!op.B.empty() && IsDir(Parent(op.B)) && !Has(op.B) &&
                                              !Under(op.B, op.A)));
      case TKind::Remove:
        return Has(op.A) && !IsDir(op.A);
      case TKind::RemoveTree:
        return Has(op.A) && IsDir(op.A);
      case TKind::Pause:
        return true;
    }
    return false;
  }

  void Apply(const TOp& op) {
    switch (op.Kind) {
      case TKind::MkDir:
        Add(op.A, true, false, 0);
        break;
      case TKind::Create:
      case TKind::TmpFileIn:
      case TKind::HardLinkIn: {
        const int id = Add(op.A, false, false, op.N);
        Items[id].Nameless = op.Kind == TKind::TmpFileIn;
        if (Watching && op.Kind == TKind::Create && op.N > 0) Items[id].Resized = true;
        if (Watching && op.Kind == TKind::Create && op.N > 0) Items[id].Written = true;
        break;
      }
      case TKind::Symlink:
        Add(op.A, false, true, 0);
        break;
      case TKind::MoveIn:
        if (Has(op.A)) {
          Drop(op.A);
          ++Replaced[op.A];
        }
        Add(op.A, false, false, op.N);
        break;
      case TKind::MoveInDir: {
        Add(op.A, true, false, 0);
        std::vector<std::string> contents;
        for (uint32_t i = 0; i < op.N; ++i) contents.push_back("f" + std::to_string(i));
        contents.push_back("s");
        contents.push_back("s/g");
        for (const auto& c : contents) {
          const int id = Add(Join(op.A, c), c == "s", false, c == "s" ? 0 : 3);
          Items[id].CameWithFolder = true;
        }
        break;
      }
      case TKind::Append:
      case TKind::Truncate: {
        TItem& item = Items[Tree.at(op.A)];
        const uint64_t size = op.Kind == TKind::Append ? item.Size + op.N : op.N;
        if (Watching) {
          item.Written = true;
          if (size != item.Size) item.Resized = true;
        }
        item.Size = size;
        break;
      }
      case TKind::SameSize:
        if (Watching) Items[Tree.at(op.A)].Written = true;
        break;
      case TKind::Rename:
        if (Has(op.B)) {
          Drop(op.B);
          ++Replaced[op.B];
        }
        MoveSubtree(op.A, op.B);
        break;
      case TKind::OutAndBack:
        MoveSubtree(op.A, op.B);
        break;
      case TKind::MoveOut:
      case TKind::RemoveTree:
      case TKind::Remove:
        Drop(op.A);
        break;
      case TKind::Pause:
        break;
    }
  }

  // Paths of every item of the subtree at p, p's first.
  std::vector<std::string> Subtree(const std::string& p) const {
    std::vector<std::string> out;
    if (Has(p)) out.push_back(p);
    for (auto it = Tree.upper_bound(p + "/"); it != Tree.end() && Under(it->first, p); ++it) {
      out.push_back(it->first);
    }
    return out;
  }

 private:
  int Add(const std::string& p, bool dir, bool link, uint64_t size) {
    const int id = static_cast<int>(Items.size());
    TItem item;
    item.Dir = dir;
    item.Link = link;
    item.Size = size;
    item.Paths.insert(p);
    item.History.push_back(p);
    item.Initial = !Watching;
    item.InitialPath = p;
    item.InitialSize = size;
    item.Arrived = Watching;
    // Inside a folder that itself came while watched, at any depth (an old folder moved into a new
    // one counts: the new one may not have been read yet).
    for (std::string up = Parent(p); Watching && !up.empty(); up = Parent(up)) {
      item.ArrivedInNewFolder |= Items[Tree.at(up)].Arrived;
    }
    Items.push_back(std::move(item));
    Tree[p] = id;
    if (dir) ++FoldersEver;
    return id;
  }
  void Drop(const std::string& p) {
    for (const auto& q : Subtree(p)) {
      TItem& item = Items[Tree.at(q)];
      if (item.Written) item.LeftAfterWrite = true;
      Tree.erase(q);
    }
  }
  void MoveSubtree(const std::string& from, const std::string& to) {
    for (const auto& q : Subtree(from)) {
      const int id = Tree.at(q);
      const std::string moved = to + q.substr(from.size());
      TItem& item = Items[id];
      if (Watching) item.Moved = true;
      if (item.Written) item.LeftAfterWrite = true;
      item.Paths.insert(moved);
      item.History.push_back(moved);
      Tree.erase(q);
      Tree[moved] = id;
    }
  }
};

// ---- the generator ----

class TGenerator {
 public:
  explicit TGenerator(uint64_t seed) : rng_(seed) {}

  // Operations that build a starting tree, then operations made while it is watched.
  std::pair<std::vector<TOp>, std::vector<TOp>> Make(size_t initial, size_t live) {
    std::vector<TOp> first, second;
    while (first.size() < initial) Step(first, false);
    model_.StartWatching();
    while (second.size() < live) Step(second, true);
    return {first, second};
  }

 private:
  uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  bool Chance(uint32_t percent) { return Pick(100) < percent; }

  std::string NewName() {
    if (!vacated_.empty() && Chance(15)) {
      const size_t i = Pick(static_cast<uint32_t>(vacated_.size()));
      return vacated_[i];
    }
    std::string name;
    const uint32_t style = Pick(100);
    const auto letters = [&](uint32_t n) {
      for (uint32_t i = 0; i < n; ++i) name += static_cast<char>('a' + Pick(26));
    };
    if (style < 55) {
      letters(1 + Pick(6));
    } else if (style < 70) {
      name = ".";  // hidden
      letters(1 + Pick(5));
    } else if (style < 85) {
      // Any bytes but the separator and NUL.
      for (uint32_t i = 0, n = 1 + Pick(6); i < n; ++i) {
        char c;
        do c = static_cast<char>(1 + Pick(255));
        while (c == '/');
        name += c;
      }
    } else if (style < 93) {
      static const char* const odd[] = {"a#b",
                                        " lead",
                                        "trail ",
                                        "new\nline",
                                        "#",
                                        "x.TXT",
                                        "\xd0\xbf\xd0\xb0\xd0\xbf\xd0\xba\xd0\xb0"};
      name = odd[Pick(7)];
    } else {
      letters(60 + Pick(60));
    }
    if (name == "." || name == "..") name += "x";
    // Mostly fresh names; the counter keeps them apart from every earlier one.
    if (Chance(85)) name += "~" + std::to_string(++counter_);
    return name;
  }

  // A random folder of the tree ("" is the watched folder itself), shallow enough to hold more.
  std::string SomeFolder() {
    std::vector<std::string> folders{""};
    for (const auto& [p, id] : model_.Tree) {
      if (model_.Items[id].Dir && model_.Depth(p) < 5 && p.size() < 600) folders.push_back(p);
    }
    return folders[Pick(static_cast<uint32_t>(folders.size()))];
  }
  std::string SomeItem(const std::function<bool(const TModel::TItem&)>& pred) {
    std::vector<std::string> found;
    for (const auto& [p, id] : model_.Tree) {
      if (pred(model_.Items[id])) found.push_back(p);
    }
    return found.empty() ? std::string() : found[Pick(static_cast<uint32_t>(found.size()))];
  }
  std::string SomeFile() {
    return SomeItem([](const TModel::TItem& i) { return !i.Dir && !i.Link; });
  }

  void Emit(std::vector<TOp>& out, TOp op) {
    if (!model_.Valid(op)) return;
    if (op.Kind == TKind::Remove || op.Kind == TKind::RemoveTree || op.Kind == TKind::MoveOut ||
        op.Kind == TKind::Rename || op.Kind == TKind::OutAndBack) {
      vacated_.push_back(Base(op.A));
      if (vacated_.size() > 16) vacated_.erase(vacated_.begin());
    }
    model_.Apply(op);
    out.push_back(std::move(op));
  }

  void Step(std::vector<TOp>& out, bool live) {
    const uint32_t r = Pick(live ? 100 : 40);
    const std::string folder = SomeFolder();
    const std::string fresh = Join(folder, NewName());
    if (r < 14) {
      Emit(out, {TKind::Create, fresh, {}, Pick(3) == 0 ? 0 : 1 + Pick(300)});
    } else if (r < 22) {
      Emit(out, {TKind::MkDir, fresh});
    } else if (r < 26) {
      // Several levels at once.
      std::string p = fresh;
      Emit(out, {TKind::MkDir, p});
      for (uint32_t i = 0, n = 1 + Pick(3); i < n && model_.Depth(p) < 6; ++i) {
        p = Join(p, NewName());
        Emit(out, {TKind::MkDir, p});
      }
      if (Chance(50)) Emit(out, {TKind::Create, Join(p, NewName()), {}, Pick(50)});
    } else if (r < 34) {
      const std::string f = SomeFile();
      const uint32_t how = Pick(3);
      if (!f.empty() && how == 0) Emit(out, {TKind::Append, f, {}, 1 + Pick(100)});
      if (!f.empty() && how == 1) Emit(out, {TKind::Truncate, f, {}, Pick(200)});
      if (!f.empty() && how == 2) Emit(out, {TKind::SameSize, f});
    } else if (r < 40) {
      // Rename within its folder, or a move to another folder of the tree.
      const std::string a = SomeItem([](const TModel::TItem&) { return true; });
      if (a.empty()) return;
      std::string to = Chance(60) ? Join(Parent(a), NewName()) : Join(SomeFolder(), Base(a));
      if (Chance(10)) {
        const std::string over = SomeFile();  // a file replacing another
        if (!over.empty()) to = over;
      }
      if (Parent(to).size() + model_.SubtreeTail(a) + Base(to).size() > 800) return;
      Emit(out, {TKind::Rename, a, to});
    } else if (r < 44) {
      const std::string a = SomeItem([](const TModel::TItem&) { return true; });
      if (Chance(25)) {
        // Back at once, where it was, beside it, or into another folder.
        const uint32_t where = Pick(3);
        const std::string to = where == 0   ? a
                               : where == 1 ? Join(Parent(a), NewName())
                                            : Join(SomeFolder(), Base(a));
        if (Parent(to).size() + model_.SubtreeTail(a) + Base(to).size() > 800) return;
        return Emit(out, {TKind::OutAndBack, a, to});
      }
      Emit(out, {TKind::MoveOut, a});
      // A move in right after: the kernel puts the halves of two unrelated moves side by side.
      if (Chance(30)) Emit(out, {TKind::MoveIn, Join(SomeFolder(), NewName()), {}, Pick(50)});
    } else if (r < 49) {
      std::string to = fresh;
      if (Chance(25)) {
        const std::string over = SomeFile();  // a copy that replaces a file
        if (!over.empty()) to = over;
      }
      Emit(out, {TKind::MoveIn, to, {}, Pick(200)});
    } else if (r < 53) {
      Emit(out, {TKind::MoveInDir, fresh, {}, Pick(4)});
    } else if (r < 60) {
      Emit(out, {TKind::Remove, SomeItem([](const TModel::TItem& i) { return !i.Dir; })});
    } else if (r < 63) {
      Emit(out, {TKind::RemoveTree, SomeItem([](const TModel::TItem& i) { return i.Dir; })});
    } else if (r < 66) {
      Emit(out, {TKind::HardLinkIn, fresh, {}, 1 + Pick(100)});
    } else if (r < 69) {
      Emit(out, {TKind::TmpFileIn, fresh, {}, 1 + Pick(100)});
    } else if (r < 72) {
      Emit(out, {TKind::Symlink, fresh, Chance(50) ? "../elsewhere" : "."});
    } else if (r < 82) {
      // Fill a new folder, then rename it into place (and sometimes make one under the old name).
      const std::string t = fresh;
      Emit(out, {TKind::MkDir, t});
      for (uint32_t i = 0, n = 1 + Pick(4); i < n; ++i) {
        Emit(out, {TKind::Create, Join(t, NewName()), {}, Pick(40)});
      }
      if (Chance(30)) {
        const std::string s = Join(t, NewName());
        Emit(out, {TKind::MkDir, s});
        Emit(out, {TKind::Create, Join(s, NewName()), {}, Pick(40)});
      }
      const std::string u = Chance(70) ? Join(folder, NewName()) : Join(SomeFolder(), NewName());
      if (Parent(u).size() + model_.SubtreeTail(t) + Base(u).size() > 800) return;
      Emit(out, {TKind::Rename, t, u});
      if (Chance(30)) Emit(out, {TKind::MkDir, t});
    } else if (r < 88) {
      // Copy-then-replace: a new folder with a file, later a file moved in over it.
      const std::string d = fresh;
      Emit(out, {TKind::MkDir, d});
      const std::string f = Join(d, NewName());
      Emit(out, {TKind::Create, f, {}, Pick(30)});
      if (Chance(50)) Emit(out, {TKind::Append, f, {}, 1 + Pick(30)});
      if (Chance(50)) Emit(out, {TKind::Pause, {}, {}, Pick(3)});
      Emit(out, {TKind::MoveIn, f, {}, Pick(60)});
    } else if (r < 92) {
      Emit(out, {TKind::Pause, {}, {}, Pick(8)});
    } else {
      // A file written, then renamed or removed at once.
      const std::string f = SomeFile();
      if (f.empty()) return;
      Emit(out, {TKind::Append, f, {}, 1 + Pick(20)});
      if (Chance(50)) {
        Emit(out, {TKind::Rename, f, Join(Parent(f), NewName())});
      } else {
        Emit(out, {TKind::Remove, f});
      }
    }
  }

  std::mt19937_64 rng_;
  TModel model_;
  std::vector<std::string> vacated_;
  unsigned counter_ = 0;
};

// ---- the real folder ----

// Makes operations on a real tree through folder descriptors, so that paths of any length work.
class TRealTree {
 public:
  // Under a fresh temporary folder: the watched folder (deep: its own path nearly PATH_MAX long,
  // so that paths inside pass PATH_MAX) and a folder outside it.
  explicit TRealTree(bool deep) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vark-stream-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    base_ = pattern;
    root_ = base_ + "/w";
    if (deep) {
      std::string chain = base_;
      // Paths inside pass PATH_MAX from about 50 bytes on.
      while (chain.size() < 4040) {
        chain += "/" + std::string(std::min<size_t>(200, 4040 - chain.size()), 'd');
        if (mkdir(chain.c_str(), 0755) != 0) return;
      }
      root_ = chain + "/w";
    }
    if (mkdir(root_.c_str(), 0755) != 0 || mkdir((base_ + "/o").c_str(), 0755) != 0) return;
    rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    outFd_ = open((base_ + "/o").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  ~TRealTree() {
    if (rootFd_ >= 0) close(rootFd_);
    if (outFd_ >= 0) close(outFd_);
    if (base_.empty()) return;
    const int fd = open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      RemoveContents(fd);
      close(fd);
    }
    rmdir(base_.c_str());
  }
  TRealTree(const TRealTree&) = delete;
  TRealTree& operator=(const TRealTree&) = delete;

  bool Ok() const { return rootFd_ >= 0 && outFd_ >= 0; }
  const std::string& Root() const { return root_; }

  bool Do(const TOp& op, unsigned& outside) {
    if (op.Kind == TKind::Pause) {
      std::this_thread::sleep_for(std::chrono::milliseconds(op.N));
      return true;
    }
    const int dir = OpenFolder(Parent(op.A));
    if (dir < 0) return false;
    const std::string name = Base(op.A);
    bool ok = false;
    switch (op.Kind) {
      case TKind::MkDir:
        ok = mkdirat(dir, name.c_str(), 0755) == 0;
        break;
      case TKind::Create:
        ok = WriteNew(dir, name.c_str(), op.N, O_CREAT | O_EXCL);
        break;
      case TKind::Append: {
        const int fd = openat(dir, name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        ok = fd >= 0 && Fill(fd, op.N);
        if (fd >= 0) close(fd);
        break;
      }
      case TKind::Truncate: {
        const int fd = openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        ok = fd >= 0 && ftruncate(fd, op.N) == 0;
        if (fd >= 0) close(fd);
        break;
      }
      case TKind::SameSize: {
        const int fd = openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        ok = fd >= 0 && fstat(fd, &st) == 0 && Fill(fd, static_cast<size_t>(st.st_size), 'z');
        if (fd >= 0) close(fd);
        break;
      }
      case TKind::Rename: {
        const int to = OpenFolder(Parent(op.B));
        ok = to >= 0 && renameat(dir, name.c_str(), to, Base(op.B).c_str()) == 0;
        if (to >= 0) close(to);
        break;
      }
      case TKind::MoveOut: {
        const std::string away = "out" + std::to_string(++outside);
        ok = renameat(dir, name.c_str(), outFd_, away.c_str()) == 0;
        // Out of the tree, a folder is watched no more, nor its subfolders: what is made in them
        // then is not told.
        const int fd =
            ok ? openat(outFd_, away.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (fd >= 0) {
          WriteNew(fd, "later", 1, O_CREAT | O_EXCL);
          ForEntries(fd, [&](const std::string& sub, unsigned char type) {
            const int in = type == DT_DIR ? openat(fd, sub.c_str(), O_PATH | O_DIRECTORY) : -1;
            if (in >= 0) WriteNew(in, "later", 1, O_CREAT | O_EXCL);
            if (in >= 0) close(in);
          });
          close(fd);
        }
        break;
      }
      case TKind::OutAndBack: {
        const std::string away = "out" + std::to_string(++outside);
        const int to = OpenFolder(Parent(op.B));
        ok = to >= 0 && renameat(dir, name.c_str(), outFd_, away.c_str()) == 0 &&
             renameat(outFd_, away.c_str(), to, Base(op.B).c_str()) == 0;
        if (to >= 0) close(to);
        break;
      }
      case TKind::MoveIn:
      case TKind::HardLinkIn: {
        const std::string made = "in" + std::to_string(++outside);
        ok = WriteNew(outFd_, made.c_str(), op.N, O_CREAT | O_EXCL);
        if (ok && op.Kind == TKind::MoveIn) {
          ok = renameat(outFd_, made.c_str(), dir, name.c_str()) == 0;
        } else if (ok) {
          ok = linkat(outFd_, made.c_str(), dir, name.c_str(), 0) == 0;
        }
        break;
      }
      case TKind::MoveInDir: {
        const std::string made = "dir" + std::to_string(++outside);
        ok = mkdirat(outFd_, made.c_str(), 0755) == 0;
        const int fd = ok ? openat(outFd_, made.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
        for (uint32_t i = 0; ok && i < op.N; ++i) {
          ok = WriteNew(fd, ("f" + std::to_string(i)).c_str(), 3, O_CREAT | O_EXCL);
        }
        ok = ok && mkdirat(fd, "s", 0755) == 0 && WriteNew(fd, "s/g", 3, O_CREAT | O_EXCL);
        if (fd >= 0) close(fd);
        ok = ok && renameat(outFd_, made.c_str(), dir, name.c_str()) == 0;
        // A folder moved in is watched from when the source gets to it: what happens inside it
        // before that is not seen (nothing watches it yet), as what it held is not told.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
      }
      case TKind::Remove:
        ok = unlinkat(dir, name.c_str(), 0) == 0;
        break;
      case TKind::RemoveTree: {
        const int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
          RemoveContents(fd);
          close(fd);
        }
        ok = unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0;
        break;
      }
      case TKind::TmpFileIn: {
        const int fd = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        ok = fd >= 0 && Fill(fd, op.N);
        if (ok) {
          char proc[64];
          std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
          ok = linkat(AT_FDCWD, proc, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
        }
        if (fd >= 0) close(fd);
        break;
      }
      case TKind::Symlink:
        ok = symlinkat(op.B.c_str(), dir, name.c_str()) == 0;
        break;
      case TKind::Pause:
        break;
    }
    close(dir);
    return ok;
  }

  // Every item of the tree: path -> size (files), -1 (folders), -2 (anything else).
  std::map<std::string, int64_t> List() const {
    std::map<std::string, int64_t> out;
    const int fd = openat(rootFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      ListInto(fd, "", out);
      close(fd);
    }
    return out;
  }

 private:
  // The folder at a relative path, walked one name at a time.
  int OpenFolder(const std::string& relative) const {
    int fd = openat(rootFd_, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t start = 0;
    while (fd >= 0 && start < relative.size()) {
      size_t slash = relative.find('/', start);
      if (slash == std::string::npos) slash = relative.size();
      const std::string name = relative.substr(start, slash - start);
      const int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      close(fd);
      fd = next;
      start = slash + 1;
    }
    return fd;
  }
  static bool Fill(int fd, size_t n, char c = 'x') {
    const std::string data(n, c);
    return write(fd, data.data(), n) == static_cast<ssize_t>(n);
  }
  static bool WriteNew(int dir, const char* name, size_t n, int flags) {
    const int fd = openat(dir, name, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | flags, 0644);
    if (fd < 0) return false;
    const bool ok = Fill(fd, n);
    return close(fd) == 0 && ok;
  }
  template <class F>
  static void ForEntries(int fd, F&& f) {
    const int copy = dup(fd);
    DIR* d = copy >= 0 ? fdopendir(copy) : nullptr;
    if (!d) {
      if (copy >= 0) close(copy);
      return;
    }
    std::vector<std::pair<std::string, unsigned char>> entries;
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") entries.emplace_back(name, e->d_type);
    }
    closedir(d);
    for (const auto& [name, type] : entries) f(name, type);
  }
  static void RemoveContents(int fd) {
    ForEntries(fd, [&](const std::string& name, unsigned char type) {
      if (type == DT_DIR) {
        const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
          fchmod(sub, 0755);
          RemoveContents(sub);
          close(sub);
        }
        unlinkat(fd, name.c_str(), AT_REMOVEDIR);
      } else {
        unlinkat(fd, name.c_str(), 0);
      }
    });
  }
  static void ListInto(int fd, const std::string& prefix, std::map<std::string, int64_t>& out) {
    ForEntries(fd, [&](const std::string& name, unsigned char) {
      struct stat st;
      if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
      const std::string path = Join(prefix, name);
      if (S_ISDIR(st.st_mode)) {
        out[path] = -1;
        const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
          ListInto(sub, path, out);
          close(sub);
        }
      } else {
        out[path] = S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -2;
      }
    });
  }

  std::string base_, root_;
  int rootFd_ = -1, outFd_ = -1;
};

// ---- the oracle ----
//
// The oracle holds a source to the promise in watcher/uDirChangesLinux.h. Where it lets a stream
// pass although an item there at the end is not named, or a record names what did not happen, it
// is for one of these reasons, each the exact sequence that makes the right answer unknowable from
// what the source is given:
// - An item made and gone again inside a new folder is not required: IN_CREATE d reaches the
//   parent's watch; d/x is made and removed before the watch on d is added, so the kernel queues
//   nothing for it, and the reading of d finds nothing.
// - A poll (the polling source, and the parts polled at the watch limit) sees what stands at each
//   scan: an item that came and went between two scans is not required, and a rename inside a
//   folder that was itself renamed since the last scan is named by the folder's new path with the
//   item's old name, a path the item may never have had (`had`).
// - A size change is accepted for a file written and then renamed or removed: IN_MODIFY f,
//   IN_MOVED_FROM f (or IN_DELETE f), and possibly IN_MODIFY at the new name, are read together;
//   where the file is found then (if at all) it may hold later writes, so whether the first write
//   changed its size cannot be told, and the change is told rather than lost.
// - A size change is accepted for a nameless file given its name and then written: linkat of an
//   O_TMPFILE with N bytes, then a rewrite of N bytes, gives IN_CREATE f, IN_MODIFY f, exactly as a
//   file made empty and filled with N bytes.
// - A file that arrived while watched needs no size change of its own: IN_CREATE f (or
//   IN_MOVED_TO f) and IN_MODIFY f read together find the file with its last size, and its arrival,
//   told with that size, tells it as it is.
// - A size change names a path, not an item: any item that had the path and was written may be the
//   one meant (records carry no identity; which item stood at the path when the change was told
//   depends on when the reader looked).
// The contents of a folder moved in from outside are not required (they were not created) and may
// be named (it may have been made in a part of the tree not yet read); each may be named once.

struct TExpectations {
  // A poll sees what stands at each scan, not each step: an item that came and went between two
  // scans is never seen, so only items still there at the end must be named.
  bool Polled = false;
  // With a watch limit: the number of folders (the watched one included) that needs the notice.
  size_t WatchLimit = 0;
};

// Replays the delivered lines ("<action> <name>", "overflow", "notice …") over the starting tree
// and checks them against what was done; empty when all holds, else what does not.
inline std::string Check(const TModel& model, const std::set<std::string>& start,
                         const std::map<std::string, int64_t>& real,
                         const std::vector<std::string>& lines, const TExpectations& expect) {
  // Paths -> the items that ever had them.
  std::map<std::string, std::vector<int>> owners;
  for (size_t id = 0; id < model.Items.size(); ++id) {
    for (const auto& p : model.Items[id].Paths) owners[p].push_back(static_cast<int>(id));
  }
  // Whether the item ever had the path. A poll tells an item that was renamed or moved, inside a
  // folder that was itself renamed or moved since the last scan, by the path the replay has for
  // it: its folder's new path with its own old name, a path it may never have had. Where polls
  // tell changes, the item had such a path when it had its name inside that same folder.
  const std::function<bool(const std::string&, int)> had = [&](const std::string& p, int id) {
    if (const auto x = owners.find(p); x != owners.end()) {
      if (std::find(x->second.begin(), x->second.end(), id) != x->second.end()) return true;
    }
    if (!expect.Polled || Parent(p).empty()) return false;
    for (const auto& q : model.Items[id].Paths) {
      if (Base(q) != Base(p) || Parent(q).empty()) continue;
      const auto folders = owners.find(Parent(q));
      if (folders == owners.end()) continue;
      for (const int folder : folders->second) {
        if (had(Parent(p), folder)) return true;
      }
    }
    return false;
  };
  // Whether the item's path at step i of its history is p, or, where polls tell changes, names it
  // as a poll may (see `had`): its own name then, in a folder that had p's folder path.
  const auto hadAt = [&](const std::string& p, int id, size_t i) {
    const std::string& q = model.Items[id].History[i];
    if (q == p) return true;
    if (!expect.Polled || Base(q) != Base(p) || Parent(q).empty() || Parent(p).empty()) {
      return false;
    }
    const auto folders = owners.find(Parent(q));
    if (folders == owners.end()) return false;
    for (const int folder : folders->second) {
      if (had(Parent(p), folder)) return true;
    }
    return false;
  };
  // Whether one item went from path a to path b (a name taken again later by another item does
  // not make two items one): it had a, then b. A poll may name an item by a path it never had
  // (see `had`), or by one it had only later: the order of the steps at which it had them
  // decides, as a folder removed from a later path does not come back to an earlier one.
  const auto same = [&](const std::string& a, const std::string& b) {
    for (int id = 0; id < static_cast<int>(model.Items.size()); ++id) {
      const size_t steps = model.Items[id].History.size();
      for (size_t i = 0; i < steps; ++i) {
        if (!hadAt(a, id, i)) continue;
        for (size_t j = i + 1; j < steps; ++j) {
          if (hadAt(b, id, j)) return true;
        }
        break;
      }
    }
    return false;
  };
  std::set<std::string> replay = start;
  std::set<std::string> named, resized, arrivedAt;
  // Each replacement lets one record bring an item over the one at its path.
  std::map<std::string, int> replacements = model.Replaced;
  const auto replaces = [&](const std::string& p) { return replacements[p]-- > 0; };
  size_t notices = 0;
  const auto removeSubtree = [&](const std::string& p) {
    replay.erase(p);
    for (auto it = replay.upper_bound(p + "/"); it != replay.end() && Under(*it, p);) {
      it = replay.erase(it);
    }
  };
  // The path and everything under it (names sorting between the two, such as "a b" between "a"
  // and "a/c", are not).
  const auto subtree = [](const std::set<std::string>& paths, const std::string& p) {
    std::vector<std::string> out;
    if (paths.count(p)) out.push_back(p);
    for (auto it = paths.upper_bound(p + "/"); it != paths.end() && Under(*it, p); ++it) {
      out.push_back(*it);
    }
    return out;
  };
  const auto moveSubtree = [&](const std::string& from, const std::string& to) {
    const std::vector<std::string> moved = subtree(replay, from);
    removeSubtree(from);
    for (const auto& p : moved) replay.insert(to + p.substr(from.size()));
    // An item named before a folder above it moved is named by the path it moved to: a scan that
    // read a folder while it was being renamed names what it found by the folder's old path, and
    // the rename's own records follow.
    for (const auto& p : subtree(named, from)) named.insert(to + p.substr(from.size()));
  };
  const auto arrive = [&](const std::string& p, size_t at) -> std::string {
    const std::string parent = Parent(p);
    if (!parent.empty() && !replay.count(parent)) {
      return "line " + std::to_string(at) + ": " + Quote(p) + " is named inside a folder not there";
    }
    if (replay.count(p)) {
      if (!replaces(p)) {
        return "line " + std::to_string(at) + ": " + Quote(p) + " created while it is there";
      }
      removeSubtree(p);
    }
    replay.insert(p);
    named.insert(p);
    return {};
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line == "overflow") return "line " + std::to_string(i) + ": changes were lost (overflow)";
    if (line.rfind("notice ", 0) == 0) {
      ++notices;
      continue;
    }
    const int action = line[0] - '0';
    const std::string p = line.substr(2);
    const std::string where = "line " + std::to_string(i) + " (" + Quote(line) + "): ";
    switch (action) {
      case 1: {
        // (A folder moved in while watched comes with what it holds: the sources tell that too,
        // since one made while watched may have been made in a part of the tree not yet read.)
        std::string why = arrive(p, i);
        if (!why.empty()) return why;
        arrivedAt.insert(p);
        break;
      }
      case 2: {
        if (!replay.count(p)) return where + "removal of an item that is not there";
        // An item moved to another folder of the tree is told as its removal and its creation:
        // a folder's contents go with it. (Within one folder, the two are a removal and another
        // item's creation: a rename there is told as one.)
        if (i + 1 < lines.size() && lines[i + 1].rfind("1 ", 0) == 0 &&
            Parent(lines[i + 1].substr(2)) != Parent(p) && same(p, lines[i + 1].substr(2))) {
          const std::string to = lines[i + 1].substr(2);
          if (!Parent(to).empty() && !replay.count(Parent(to))) {
            return where + "moved into a folder not there";
          }
          if (replay.count(to)) {
            if (!replaces(to)) return where + "moved over an item without replacing";
            removeSubtree(to);
          }
          moveSubtree(p, to);
          named.insert(to);
          ++i;
        } else {
          removeSubtree(p);
        }
        break;
      }
      case 3: {
        if (!replay.count(p)) return where + "size change of an item that is not there";
        bool possible = false;
        for (const int id : owners[p]) {
          const auto& item = model.Items[id];
          // A write just before the file was renamed or removed is told although its size can
          // no longer be learned. A nameless file given its name and written at once shows the
          // same events as a file made and filled: the write is told.
          possible |= !item.Dir && (item.Resized || (item.Written && item.LeftAfterWrite) ||
                                    (item.Written && item.Nameless));
        }
        if (!possible) return where + "size change that did not happen";
        resized.insert(p);
        break;
      }
      case 4: {
        if (i + 1 >= lines.size() || lines[i + 1].rfind("5 ", 0) != 0) {
          if (i + 1 >= lines.size()) return where + "old name without the new one (yet)";
          return where + "old name not followed by the new one";
        }
        const std::string to = lines[i + 1].substr(2);
        if (!replay.count(p)) return where + "rename of an item that is not there";
        if (Parent(to) != Parent(p)) return where + "a move between folders told as a rename";
        if (!same(p, to)) return where + "rename between two different items to " + Quote(to);
        if (replay.count(to)) {
          if (!replaces(to)) return where + "renamed over an item without replacing";
          removeSubtree(to);
        }
        moveSubtree(p, to);
        named.insert(to);
        ++i;
        break;
      }
      default:
        return where + "unexpected record";
    }
  }
  // The final tree.
  std::set<std::string> final;
  for (const auto& [p, size] : real) final.insert(p);
  for (const auto& p : final) {
    if (!replay.count(p)) return "not reported: " + Quote(p) + " is in the tree";
  }
  for (const auto& p : replay) {
    if (!final.count(p)) return "reported but not in the tree: " + Quote(p);
  }
  // Every item that came in was named under one of its paths.
  for (const auto& item : model.Items) {
    if (!item.Arrived || item.CameWithFolder) continue;
    bool there = false;
    for (const auto& [p, id] : model.Tree) there |= &model.Items[id] == &item;
    // Items that lived only inside a new folder that was gone before it could be read, and, for
    // a poll, anything that came and went between two scans, cannot be seen.
    if (!there && (item.ArrivedInNewFolder || expect.Polled)) continue;
    bool found = false;
    for (const auto& p : item.Paths) found |= named.count(p) != 0;
    if (!found) return "never named: " + Quote(*item.Paths.begin());
  }
  // A file there from the start and in the tree to the end (renamed or moved within it or not),
  // whose size differs at the end: a size change names it under one of its paths, or it was told
  // arriving under one (with its folder, when a folder moved between the watched and the polled
  // parts of the tree is told gone and new: told new, it is told as it is).
  for (const auto& [p, id] : model.Tree) {
    const auto& item = model.Items[id];
    if (!item.Initial || item.Dir || item.Link) continue;
    const auto it = real.find(p);
    if (it == real.end() || it->second < 0 ||
        static_cast<uint64_t>(it->second) == item.InitialSize) {
      continue;
    }
    bool told = false;
    for (const auto& q : item.Paths) told |= resized.count(q) != 0 || arrivedAt.count(q) != 0;
    if (!told) return "size change not reported: " + Quote(p);
  }
  if (expect.WatchLimit != 0) {
    // The folders there at the end (and the watched one) all needed a watch, so the limit was
    // passed when they are more; folders that came and went quickly may or may not have.
    size_t folders = 1;
    for (const auto& [p, size] : real) folders += size == -1;
    if (notices > 1 || (folders > expect.WatchLimit && notices != 1)) {
      return "the watch limit was passed, notices: " + std::to_string(notices);
    }
    if (model.FoldersEver + 1 <= expect.WatchLimit && notices != 0) {
      return "a notice although the limit was never reached";
    }
  } else if (notices != 0) {
    return "unexpected notice";
  }
  return {};
}

// ---- running a case ----

struct TCase {
  uint64_t Seed = 0;
  bool Deep = false;
  std::vector<TOp> Initial, Live;
};

inline TCase MakeCase(uint64_t seed) {
  TCase c;
  c.Seed = seed;
  std::mt19937_64 rng(seed ^ 0x5eed);
  c.Deep = rng() % 4 == 0;
  TGenerator gen(seed);
  const size_t initial = 5 + rng() % 30;
  const size_t live = 20 + rng() % 120;
  std::tie(c.Initial, c.Live) = gen.Make(initial, live);
  return c;
}

// What a source row gives the runner.
struct TRun {
  // Opens a source on the folder and collects its lines; null when it could not be opened.
  std::function<std::shared_ptr<void>(const std::string& root,
                                      std::function<std::vector<std::string>()>& lines)>
      Start;
  TExpectations Expect;
  std::chrono::milliseconds Quiet{150};     // nothing new for this long: settled
  std::chrono::milliseconds Timeout{4000};  // the oracle must hold by then
};

struct TResult {
  std::string Why;  // empty: passed
  size_t Ops = 0;
};

inline TResult RunCase(const TRun& run, const TCase& c) {
  TRealTree tree(c.Deep);
  if (!tree.Ok()) return {"could not make the temporary tree"};
  TModel model;
  unsigned outside = 0;
  for (const auto& op : c.Initial) {
    if (model.Valid(op) && tree.Do(op, outside)) model.Apply(op);
  }
  std::set<std::string> start;
  for (const auto& [p, id] : model.Tree) start.insert(p);
  model.StartWatching();
  std::function<std::vector<std::string>()> lines;
  const std::shared_ptr<void> source = run.Start(tree.Root(), lines);
  if (!source) return {"the source could not be opened"};
  size_t done = 0;
  for (const auto& op : c.Live) {
    if (model.Valid(op) && tree.Do(op, outside)) {
      model.Apply(op);
      ++done;
    }
  }
  // The model must be the real tree, or the generator is wrong.
  const auto real = tree.List();
  {
    std::set<std::string> modelled, listed;
    for (const auto& [p, id] : model.Tree) modelled.insert(p);
    for (const auto& [p, size] : real) listed.insert(p);
    if (modelled != listed) return {"the test's own model differs from the real tree"};
  }
  // Settle: the oracle holds and nothing new arrives for a while; no change is made meanwhile.
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  size_t seen = ~size_t{0};
  auto since = begin;
  std::string why;
  for (;;) {
    const auto got = lines();
    if (got.size() != seen) {
      seen = got.size();
      since = Clock::now();
      why = Check(model, start, real, got, run.Expect);
    } else if (why.empty() && Clock::now() - since >= run.Quiet) {
      return {{}, done};
    }
    if (Clock::now() - begin > run.Timeout) {
      if (why.empty()) why = "records kept coming";
      std::string all;
      for (const auto& l : got) all += "  " + Quote(l) + "\n";
      return {why + "\n delivered:\n" + all, done};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A failing case made as short as it goes while it still fails (each try made `tries` times, as
// a failure may depend on timing), within a time budget.
inline TCase Shrink(TRun run, TCase c, std::chrono::seconds budget, int tries = 3) {
  const auto end = std::chrono::steady_clock::now() + budget;
  // A failing try waits for the whole time-out: shorter ones make more tries.
  run.Timeout = std::max(run.Quiet * 4, run.Timeout / 3);
  const auto fails = [&](const TCase& t) {
    for (int i = 0; i < tries; ++i) {
      if (!RunCase(run, t).Why.empty()) return true;
    }
    return false;
  };
  for (auto* list : {&c.Live, &c.Initial}) {
    for (size_t chunk = std::max<size_t>(1, list->size() / 2);; chunk /= 2) {
      for (size_t at = 0; at < list->size() && std::chrono::steady_clock::now() < end;) {
        TCase smaller = c;
        auto& l = list == &c.Live ? smaller.Live : smaller.Initial;
        l.erase(l.begin() + static_cast<long>(at),
                l.begin() + static_cast<long>(std::min(l.size(), at + chunk)));
        if (fails(smaller)) {
          c = std::move(smaller);
        } else {
          at += chunk;
        }
      }
      if (chunk <= 1) break;
    }
  }
  return c;
}

inline std::string Describe(const TCase& c) {
  return "seed " + std::to_string(c.Seed) + (c.Deep ? " (deep folder)" : "") + "\n  initial:\n" +
         Print(c.Initial) + "  live:\n" + Print(c.Live);
}

}  // namespace stream
