#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "base/uPlatformText.h"
#include "uDirChangesTestSupport.h"
#include "watcher/uDirChangesChoice.h"
#include "watcher/uDirChangesLinux.h"
#include "watcher/uDirChangesPoll.h"
#include "watcher/uMonThread2.h"

using namespace std::chrono_literals;
using dctest::IndexOf;
using dctest::Line;
using dctest::MakeDirs;
using dctest::TRecordCollector;
using dctest::TRecordingUi;
using dctest::TTempTree;
using dctest::WriteFile;
using Lines = std::vector<std::string>;

namespace {

// Polling threads end soon after their source stops, on their own; the test program waits for
// them before it exits rather than leave them running into its teardown.
class TPollThreadsEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { EXPECT_TRUE(WaitForPollThreads(30s)); }
};
[[maybe_unused]] ::testing::Environment* const gPollThreads =
    ::testing::AddGlobalTestEnvironment(new TPollThreadsEnvironment);

constexpr uint32_t kAll = kNotifyFileName | kNotifyDirName | kNotifySize;

// Records as "<action> <name>", with "/" after a folder's name.
Lines Describe(const std::vector<TChangeRecord>& records) {
  Lines lines;
  for (const auto& r : records) {
    lines.push_back(Line(r.Action, Utf16ToNarrow(r.Name)) + (r.IsDir ? "/" : ""));
  }
  return lines;
}

bool Rename(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// Scans of one tree with changes made in between; each case runs twice: reading every folder at
// every scan, and taking over the listings of folders whose change time stood.
class TreeSnapshotTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    reuse_.Enabled = GetParam();
    reuse_.Settle = 20ms;  // well above the file system's clock tick
    reuse_.ReadEvery = 3;
  }
  void Take() {
    ASSERT_EQ(before_.Scan(tree_.Path(), nullptr, {}, reuse_), 0);
    if (reuse_.Enabled) {
      // A second reading once the change times have settled makes the listings trusted.
      std::this_thread::sleep_for(reuse_.Settle + 5ms);
      TTreeSnapshot again;
      ASSERT_EQ(again.Scan(tree_.Path(), &before_, {}, reuse_), 0);
      ASSERT_TRUE(again.ChangesSince(before_).empty());
      before_ = std::move(again);
    }
  }
  Lines Changes() {
    TTreeSnapshot after;
    EXPECT_EQ(after.Scan(tree_.Path(), &before_, {}, reuse_), 0);
    Lines lines = Describe(after.ChangesSince(before_));
    before_ = std::move(after);
    return lines;
  }
  std::string P(std::string_view relative) const { return tree_ / relative; }

  TTempTree tree_;
  TTreeSnapshot before_;
  TListingReuse reuse_;
};

INSTANTIATE_TEST_SUITE_P(Listings, TreeSnapshotTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "TakenOver" : "AlwaysRead";
                         });

TEST_P(TreeSnapshotTest, KindsOfChangeInDeliveryOrder) {
  ASSERT_TRUE(WriteFile(P("a.txt"), "abc"));
  ASSERT_TRUE(WriteFile(P("keep.txt"), "k"));
  ASSERT_TRUE(MakeDirs(P("d")));
  ASSERT_TRUE(WriteFile(P("d/x"), "x"));
  ASSERT_TRUE(MakeDirs(P("gone/sub")));
  ASSERT_TRUE(WriteFile(P("gone/g"), "g"));
  ASSERT_TRUE(WriteFile(P("gone/sub/f"), "f"));
  Take();
  EXPECT_EQ(Changes(), Lines{});

  // Creations first: a new item given the inode number just freed, within the same tick of the
  // file system's clock, could not be told from the removed one.
  ASSERT_TRUE(WriteFile(P("new.txt"), ""));
  ASSERT_TRUE(WriteFile(P("a.txt"), "de", true));
  ASSERT_TRUE(MakeDirs(P("n/m")));
  ASSERT_TRUE(WriteFile(P("n/m/f"), "f"));
  std::filesystem::remove_all(P("gone"));
  // A removed folder's contents come before the folder, a created folder before its contents.
  EXPECT_EQ(Changes(), (Lines{"2 gone/g", "2 gone/sub/f", "2 gone/sub/", "2 gone/", "3 a.txt",
                              "1 n/", "1 n/m/", "1 n/m/f", "1 new.txt"}));
  EXPECT_EQ(Changes(), Lines{});
}

TEST_P(TreeSnapshotTest, AttributesTimesAndSameSizeRewritesReportNothing) {
  ASSERT_TRUE(WriteFile(P("f"), "12345"));
  ASSERT_TRUE(MakeDirs(P("d")));
  Take();
  ASSERT_EQ(chmod(P("f").c_str(), 0600), 0);
  ASSERT_EQ(chmod(P("d").c_str(), 0700), 0);
  const timeval times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(utimes(P("f").c_str(), times), 0);
  const int fd = open(P("f").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "xyz", 3, 1), 3);
  close(fd);
  EXPECT_EQ(Changes(), Lines{});
}

TEST_P(TreeSnapshotTest, RenameWithinAFolderAndMoveBetweenFolders) {
  ASSERT_TRUE(WriteFile(P("a"), "a"));
  ASSERT_TRUE(MakeDirs(P("d1")));
  ASSERT_TRUE(MakeDirs(P("d2")));
  ASSERT_TRUE(WriteFile(P("d1/b"), "b"));
  Take();
  ASSERT_TRUE(Rename(P("a"), P("c")));
  ASSERT_TRUE(Rename(P("d1/b"), P("d2/b")));
  // A move between folders is one pair, told where the item arrives.
  EXPECT_EQ(Changes(), (Lines{"4 a", "5 c", "2 d1/b", "1 d2/b"}));
}

TEST_P(TreeSnapshotTest, RenamedFolderIsOnePairAndChangesInsideFollowIt) {
  ASSERT_TRUE(MakeDirs(P("d/sub")));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(WriteFile(P("d/f" + std::to_string(i)), "x"));
  ASSERT_TRUE(WriteFile(P("d/sub/z"), "z"));
  Take();
  ASSERT_TRUE(Rename(P("d"), P("e")));
  ASSERT_TRUE(WriteFile(P("e/new"), ""));
  ASSERT_EQ(unlink(P("e/f7").c_str()), 0);
  ASSERT_TRUE(WriteFile(P("e/sub/z"), "zz"));
  EXPECT_EQ(Changes(), (Lines{"2 d/f7", "4 d/", "5 e/", "1 e/new", "3 e/sub/z"}));
}

TEST_P(TreeSnapshotTest, MovesOutOfARemovedFolderAndIntoACreatedOne) {
  ASSERT_TRUE(MakeDirs(P("old")));
  ASSERT_TRUE(WriteFile(P("old/a"), "a"));
  ASSERT_TRUE(WriteFile(P("old/b"), "b"));
  Take();
  ASSERT_TRUE(MakeDirs(P("new")));
  ASSERT_TRUE(Rename(P("old/a"), P("new/a")));
  std::filesystem::remove_all(P("old"));
  EXPECT_EQ(Changes(), (Lines{"2 old/a", "2 old/b", "2 old/", "1 new/", "1 new/a"}));
}

TEST_P(TreeSnapshotTest, RenameOverAnItemAndASwapOfTwoNames) {
  ASSERT_TRUE(WriteFile(P("a"), "1"));
  ASSERT_TRUE(WriteFile(P("b"), "22"));
  ASSERT_TRUE(WriteFile(P("x"), "x"));
  ASSERT_TRUE(WriteFile(P("y"), "y"));
  Take();
  ASSERT_TRUE(Rename(P("a"), P("b")));
  EXPECT_EQ(Changes(), (Lines{"2 b", "4 a", "5 b"}));
  ASSERT_TRUE(Rename(P("x"), P("tmp")));
  ASSERT_TRUE(Rename(P("y"), P("x")));
  ASSERT_TRUE(Rename(P("tmp"), P("y")));
  // Two renames onto each other's names cannot be replayed one after the other: each name is
  // told removed and created again.
  EXPECT_EQ(Changes(), (Lines{"2 x", "2 y", "1 x", "1 y"}));
}

TEST_P(TreeSnapshotTest, ItemReplacedByAnotherKindIsRemovedThenCreated) {
  ASSERT_TRUE(WriteFile(P("k"), "file"));
  ASSERT_TRUE(MakeDirs(P("m")));
  ASSERT_TRUE(WriteFile(P("m/inner"), ""));
  Take();
  ASSERT_EQ(unlink(P("k").c_str()), 0);
  ASSERT_TRUE(MakeDirs(P("k")));
  ASSERT_TRUE(WriteFile(P("k/f"), ""));
  std::filesystem::remove_all(P("m"));
  ASSERT_TRUE(WriteFile(P("m"), ""));
  EXPECT_EQ(Changes(), (Lines{"2 k", "2 m/inner", "2 m/", "1 k/", "1 k/f", "1 m"}));
}

TEST_P(TreeSnapshotTest, ItemReplacedBySameKindIsRemovedThenCreated) {
  ASSERT_TRUE(MakeDirs(P("d")));
  ASSERT_TRUE(WriteFile(P("d/a"), "a"));
  ASSERT_TRUE(WriteFile(P("d/b"), "b"));
  ASSERT_TRUE(WriteFile(P("f"), "same"));
  Take();
  const auto birth = [&](const std::string& path) {
    struct statx st {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &st) != 0 || !(st.stx_mask & STATX_BTIME)) {
      return uint64_t{0};
    }
    return uint64_t(st.stx_btime.tv_sec) * 1000000000u + st.stx_btime.tv_nsec;
  };
  const uint64_t old = birth(P("f"));
  if (old == 0) GTEST_SKIP() << "this file system keeps no birth times";
  // The replacements must be born on a later tick of the file system's clock than the originals.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (birth(P("probe")) <= old && std::chrono::steady_clock::now() < deadline) {
    unlink(P("probe").c_str());
    ASSERT_TRUE(WriteFile(P("probe"), ""));
  }
  ASSERT_EQ(unlink(P("probe").c_str()), 0);
  std::filesystem::remove_all(P("d"));
  ASSERT_TRUE(MakeDirs(P("d")));
  ASSERT_TRUE(WriteFile(P("d/a"), "longer"));
  ASSERT_EQ(unlink(P("f").c_str()), 0);
  ASSERT_TRUE(WriteFile(P("f"), "same"));
  EXPECT_EQ(Changes(), (Lines{"2 d/a", "2 d/b", "2 d/", "2 f", "1 d/", "1 d/a", "1 f"}));
}

TEST_P(TreeSnapshotTest, SymbolicLinksAreItemsNeverFollowed) {
  TTempTree outside;
  ASSERT_TRUE(WriteFile((outside / "t"), ""));
  ASSERT_EQ(symlink(outside.Path().c_str(), P("link").c_str()), 0);
  ASSERT_EQ(symlink("loop", P("loop").c_str()), 0);
  Take();
  ASSERT_TRUE(WriteFile((outside / "u"), "u"));
  ASSERT_TRUE(WriteFile((outside / "t"), "grown"));
  ASSERT_EQ(symlink(outside.Path().c_str(), P("link2").c_str()), 0);
  EXPECT_EQ(Changes(), Lines{"1 link2"});
  ASSERT_TRUE(Rename(P("link"), P("link3")));
  EXPECT_EQ(Changes(), (Lines{"4 link", "5 link3"}));
}

TEST_P(TreeSnapshotTest, NamesWithAnyBytesAndDeepPaths) {
  Take();
  const std::string oddDir = std::string(1, '\x80') + "dir";
  const std::string odd[] = {"\xff\xfe bad \x80", "Отчёт за май.docx", "line\nbreak", "a#b c",
                             "\xed\xa0\x80"};
  ASSERT_TRUE(MakeDirs(P(oddDir)));
  for (const auto& name : odd) ASSERT_TRUE(WriteFile(P(oddDir + "/" + name), ""));
  std::string deep;
  for (int i = 0; i < 30; ++i) deep += (i ? "/" : "") + std::string("level") + std::to_string(i);
  ASSERT_TRUE(MakeDirs(P(deep)));
  ASSERT_TRUE(WriteFile(P(deep + "/leaf.txt"), ""));
  const Lines lines = Changes();
  const long dirAt = IndexOf(lines, "1 " + oddDir + "/");
  ASSERT_GE(dirAt, 0);
  for (const auto& name : odd) {
    EXPECT_GT(IndexOf(lines, "1 " + oddDir + "/" + name), dirAt) << name;
  }
  EXPECT_GT(IndexOf(lines, "1 " + deep + "/leaf.txt"), IndexOf(lines, "1 " + deep + "/"));
  EXPECT_GT(IndexOf(lines, "1 " + deep + "/"), IndexOf(lines, "1 level0/"));
  EXPECT_GE(IndexOf(lines, "1 level0/"), 0);
  EXPECT_EQ(lines.size(), 1 + std::size(odd) + 30 + 1);
}

// The tree as "path" -> is a folder, read from the real folder.
using TPaths = std::map<std::string, bool>;

TPaths ListTree(const std::string& root) {
  TPaths paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    paths[entry.path().lexically_relative(root).string()] =
        entry.is_directory() && !entry.is_symlink();
  }
  return paths;
}

// Replays records over a tree: 1 makes an item, 2 removes one with its contents, 2 + 1 next to
// each other and 4 + 5 (within one folder) move one with its contents, 3 names a file there.
// Empty, or what failed.
std::string Replay(TPaths& tree, const Lines& lines) {
  const auto parentOf = [](const std::string& p) {
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
  };
  const auto under = [](const std::string& p, const std::string& folder) {
    return p.size() > folder.size() && p.compare(0, folder.size(), folder) == 0 &&
           p[folder.size()] == '/';
  };
  const auto placeable = [&](const std::string& p) {
    const std::string parent = parentOf(p);
    return !tree.count(p) && (parent.empty() || (tree.count(parent) && tree.at(parent)));
  };
  const auto take = [&](const std::string& p) {
    TPaths subtree;
    for (auto it = tree.lower_bound(p);
         it != tree.end() && (it->first == p || under(it->first, p));) {
      subtree.insert(*it);
      it = tree.erase(it);
    }
    return subtree;
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    const int action = lines[i][0] - '0';
    std::string p = lines[i].substr(2);
    const bool dir = !p.empty() && p.back() == '/';
    if (dir) p.pop_back();
    const std::string at = lines[i] + ": ";
    const bool paired =
        i + 1 < lines.size() && ((action == 2 && lines[i + 1][0] == '1') || action == 4);
    if (action == 4 && (!paired || lines[i + 1][0] != '5')) return at + "old name alone";
    if (action == 1) {
      if (!placeable(p)) return at + "made where it cannot be";
      tree[p] = dir;
    } else if (action == 3) {
      if (!tree.count(p) || tree.at(p)) return at + "no such file";
    } else if (action == 2 || action == 4) {
      if (!tree.count(p)) return at + "no such item";
      TPaths moved = take(p);
      if (!paired) continue;
      std::string to = lines[++i].substr(2);
      const bool toDir = !to.empty() && to.back() == '/';
      if (toDir) to.pop_back();
      if (!placeable(to)) return at + "moved where it cannot be: " + to;
      if (action == 4 && parentOf(to) != parentOf(p)) return at + "renamed into another folder";
      for (const auto& [q, isDir] : moved) tree[to + q.substr(p.size())] = isDir;
      tree[to] = toDir;
    } else {
      return at + "unexpected record";
    }
  }
  return {};
}

// Random changes made between two scans, with few names so that names are taken over, swapped
// and reused: the records, replayed over the first scan's tree, give the second one.
TEST_P(TreeSnapshotTest, RandomChangesReplayedOverTheOldTreeGiveTheNewTree) {
  namespace fs = std::filesystem;
  static const char* const kNames[] = {"a", "b", "c", ".d", "e e"};
  for (uint64_t seed = 1; seed <= 60; ++seed) {
    std::mt19937_64 rng(seed);
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const auto some = [&](bool folders, bool files) {
      std::vector<std::string> found;
      if (folders) found.push_back("");
      for (const auto& [p, dir] : ListTree(tree_.Path())) {
        if (dir ? folders : files) found.push_back(p);
      }
      return found[pick(found.size())];
    };
    const auto in = [&](const std::string& folder) {
      return (folder.empty() ? "" : folder + "/") + kNames[pick(std::size(kNames))];
    };
    if (seed % 10 == 1) {
      fs::remove_all(tree_.Path());
      fs::create_directory(tree_.Path());
    }
    for (int i = 0; i < 12; ++i) MakeDirs(P(in(some(true, false))));
    for (int i = 0; i < 12; ++i) WriteFile(P(in(some(true, false))), std::string(pick(4), 'x'));
    Take();
    const TPaths was = ListTree(tree_.Path());
    std::error_code ec;
    for (int i = 0, n = 1 + static_cast<int>(pick(12)); i < n; ++i) {
      const std::string from = some(true, true);
      const std::string to = in(some(true, false));
      switch (pick(6)) {
        case 0:
          MakeDirs(P(to));
          break;
        case 1:
          WriteFile(P(to), std::string(pick(5), 'y'));
          break;
        case 2:
          if (!from.empty()) fs::remove_all(P(from), ec);
          break;
        case 3:
          if (!from.empty()) WriteFile(P(from), std::string(pick(5), 'z'));
          break;
        default:
          // Renames and moves, over a file or an empty folder too; into itself fails.
          if (!from.empty()) std::rename(P(from).c_str(), P(to).c_str());
          break;
      }
    }
    TPaths replayed = was;
    const Lines lines = Changes();
    const std::string why = Replay(replayed, lines);
    ASSERT_EQ(why, "") << "seed " << seed << "\n" << ::testing::PrintToString(lines);
    ASSERT_EQ(replayed, ListTree(tree_.Path())) << "seed " << seed << "\n"
                                                << ::testing::PrintToString(lines);
  }
}

// Scans of `folder`, each compared with the one before.
class TScans {
 public:
  TScans(std::string folder, TListingReuse reuse) : folder_(std::move(folder)), reuse_(reuse) {}
  int First() { return last_.Scan(folder_, nullptr, {}, reuse_); }
  Lines Next() {
    TTreeSnapshot fresh;
    EXPECT_EQ(fresh.Scan(folder_, &last_, {}, reuse_), 0);
    Lines lines = Describe(fresh.ChangesSince(last_));
    last_ = std::move(fresh);
    return lines;
  }
  const TTreeSnapshot& Last() const { return last_; }
  size_t FoldersRead() const { return last_.Folders() - last_.FoldersReused(); }

 private:
  const std::string folder_;
  const TListingReuse reuse_;
  TTreeSnapshot last_;
};

TEST(TreeSnapshot, ListingsAreTakenOverOnlyWhileChangeTimesStand) {
  TTempTree tree;
  for (const char* folder : {"a", "b", "c/deep"}) ASSERT_TRUE(MakeDirs((tree / folder)));
  for (const char* file : {"a/1", "b/1", "c/1", "c/deep/1"}) {
    ASSERT_TRUE(WriteFile((tree / file), "x"));
  }
  TListingReuse reuse;
  reuse.Settle = 20ms;
  reuse.ReadEvery = 4;
  TScans scans(tree.Path(), reuse);
  ASSERT_EQ(scans.First(), 0);
  ASSERT_EQ(scans.Last().Folders(), 5u);

  // Not before the change times have stood for the settling time, and then only once a reading
  // made after it confirmed them.
  EXPECT_EQ(scans.Next(), Lines{});
  EXPECT_EQ(scans.FoldersRead(), 5u);
  std::this_thread::sleep_for(reuse.Settle + 5ms);
  EXPECT_EQ(scans.Next(), Lines{});
  EXPECT_EQ(scans.FoldersRead(), 5u);
  EXPECT_EQ(scans.Next(), Lines{});
  EXPECT_EQ(scans.FoldersRead(), 0u);

  // A folder with a new or a removed entry is read; a size change shows in a folder taken over.
  ASSERT_TRUE(WriteFile((tree / "a/2"), ""));
  ASSERT_TRUE(WriteFile((tree / "b/1"), "longer"));
  ASSERT_EQ(std::remove((tree / "c/deep/1").c_str()), 0);
  EXPECT_EQ(scans.Next(), (Lines{"2 c/deep/1", "1 a/2", "3 b/1"}));
  EXPECT_GE(scans.FoldersRead(), 2u);
  EXPECT_LT(scans.FoldersRead(), 5u);

  // Every folder is still read in any run of ReadEvery scans.
  size_t read = 0;
  for (unsigned i = 0; i < reuse.ReadEvery; ++i) {
    EXPECT_EQ(scans.Next(), Lines{});
    read += scans.FoldersRead();
  }
  EXPECT_GE(read, 5u);
  EXPECT_FALSE(scans.Last().ChangeTimesUnreliable());

  // A folder replaced by another of the same name is read, whatever its times.
  std::filesystem::remove_all((tree / "b"));
  ASSERT_TRUE(MakeDirs((tree / "b")));
  ASSERT_TRUE(WriteFile((tree / "b/other"), ""));
  const Lines lines = scans.Next();
  EXPECT_GE(IndexOf(lines, "1 b/other"), 0) << ::testing::PrintToString(lines);
}

TEST(TreeSnapshot, ScanOfAFolderThatIsNotThere) {
  TTempTree tree;
  ASSERT_TRUE(WriteFile((tree / "file"), ""));
  TTreeSnapshot snapshot;
  EXPECT_EQ(snapshot.Scan((tree / "missing")), ENOENT);
  EXPECT_EQ(snapshot.Scan((tree / "file")), ENOTDIR);
  EXPECT_EQ(snapshot.Scan(""), ENOENT);
  ASSERT_TRUE(MakeDirs((tree / "a/b")));
  EXPECT_EQ(snapshot.Scan(tree.Path(), nullptr, [] { return true; }), ECANCELED);
  EXPECT_EQ(snapshot.Scan(tree.Path()), 0);
  EXPECT_EQ(snapshot.Items(), 3u);
  EXPECT_EQ(snapshot.Folders(), 3u);
}

// Runs as an unprivileged user in a child process (the tests run as root, who reads everything):
// a folder that cannot be read keeps what was known of it, and one never read stays quiet.
TEST(TreeSnapshot, UnreadableFoldersAreSkippedQuietly) {
  TTempTree tree;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(tree.Path().c_str(), 65534, 65534), 0);
  }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 &&
        (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) {
      _exit(10);
    }
    const auto p = [&](std::string_view r) { return (tree / r); };
    if (!MakeDirs(p("closed/inner")) || !WriteFile(p("closed/b"), "b") ||
        !WriteFile(p("closed/inner/c"), "c") || !MakeDirs(p("never")) ||
        !WriteFile(p("never/n"), "") || chmod(p("never").c_str(), 0) != 0) {
      _exit(11);
    }
    TTreeSnapshot first, second, third;
    if (first.Scan(tree.Path()) != 0) _exit(12);
    if (chmod(p("closed").c_str(), 0) != 0 || chmod(p("never").c_str(), 0755) != 0) _exit(13);
    if (!WriteFile(p("top"), "")) _exit(14);
    if (second.Scan(tree.Path(), &first) != 0) _exit(15);
    if (Describe(second.ChangesSince(first)) != Lines{"1 top"}) _exit(16);
    if (chmod(p("closed").c_str(), 0755) != 0 || unlink(p("closed/b").c_str()) != 0) _exit(17);
    if (third.Scan(tree.Path(), &second) != 0) _exit(18);
    if (Describe(third.ChangesSince(second)) != Lines{"2 closed/b"}) _exit(19);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 no user change, 11 setup, 12/15/18 scan failed, 16 "
                                       "unreadable or newly readable folder reported, 19 carried "
                                       "contents not compared";
}

// ---- the source with its thread ----

TPollOptions Quick() {
  TPollOptions options;
  options.MinInterval = options.MaxInterval = 20ms;
  // Folders' listings are taken over after two scans and read again at every third.
  options.Listings.Settle = 30ms;
  options.Listings.ReadEvery = 3;
  return options;
}

TEST(PollDirChanges, OpenAnswersTheSystemError) {
  TTempTree tree;
  ASSERT_TRUE(WriteFile((tree / "file"), ""));
  EXPECT_EQ(MakePollDirChanges()->Open((tree / "missing")), ENOENT);
  EXPECT_EQ(MakePollDirChanges()->Open((tree / "file")), ENOTDIR);
  const auto source = MakePollDirChanges(Quick());
  EXPECT_EQ(source->Open(tree.Path()), 0);
  EXPECT_EQ(source->Open(tree.Path()), EBUSY);
}

TEST(PollDirChanges, StopWakesAWaitingPollAndEndsItsThread) {
  TTempTree tree;
  ASSERT_TRUE(WaitForPollThreads(10s)) << "threads of earlier tests still run";
  TPollOptions slow;
  slow.MinInterval = slow.MaxInterval = std::chrono::hours(1);
  {
    const auto source = MakePollDirChanges(slow);
    ASSERT_EQ(source->Open(tree.Path()), 0);
    EXPECT_EQ(LivePollThreads(), 1u);
    TRecordCollector collector(source, kAll);
    source->Stop();
    EXPECT_TRUE(WaitForPollThreads(10s));
  }
  // Dropped without a stop: the thread ends as well.
  {
    const auto source = MakePollDirChanges(slow);
    ASSERT_EQ(source->Open(tree.Path()), 0);
    EXPECT_EQ(LivePollThreads(), 1u);
  }
  EXPECT_TRUE(WaitForPollThreads(10s));
  // Stopped before it was opened: no thread, and reads answer Stopped.
  const auto source = MakePollDirChanges(slow);
  source->Stop();
  EXPECT_EQ(source->Open(tree.Path()), 0);
  EXPECT_EQ(LivePollThreads(), 0u);
  uint8_t buffer[64] = {};
  EXPECT_EQ(source->Read(buffer, sizeof buffer, kAll).Status, TDirChanges::TReadStatus::Stopped);
}

TEST(PollDirChanges, FolderThatGoesAwayIsAwaitedSilentlyAndComparedWhenBack) {
  TTempTree parent;
  const std::string root = (parent / "watched"), away = (parent / "away");
  ASSERT_TRUE(MakeDirs(root + "/sub"));
  ASSERT_TRUE(WriteFile(root + "/keep", "k"));
  ASSERT_TRUE(WriteFile(root + "/y", "y"));
  ASSERT_TRUE(WriteFile(root + "/sub/z", "z"));
  std::atomic<int> failedScans{0}, lastError{0};
  TPollOptions options = Quick();
  options.AfterScan = [&](int error) {
    if (error != 0) {
      lastError = error;
      ++failedScans;
    }
  };
  const auto source = MakePollDirChanges(options);
  ASSERT_EQ(source->Open(root), 0);
  TRecordCollector collector(source, kAll);

  ASSERT_TRUE(Rename(root, away));
  for (int i = 0; i < 1500 && failedScans < 3; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GE(failedScans.load(), 3);
  EXPECT_EQ(lastError.load(), ENOENT);
  ASSERT_TRUE(WriteFile(away + "/x", ""));
  ASSERT_EQ(unlink((away + "/y").c_str()), 0);
  ASSERT_TRUE(Rename(away, root));

  ASSERT_TRUE(collector.WaitForLine("1 x"));
  ASSERT_TRUE(WriteFile(root + "/marker", ""));
  ASSERT_TRUE(collector.WaitForLine("1 marker"));
  EXPECT_EQ(collector.Lines(), (Lines{"2 y", "1 x", "1 marker"}));
  EXPECT_EQ(collector.Failure(), 0);
}

TEST(PollDirChanges, FolderThatNeverComesBackEndsTheWatchWithItsError) {
  TTempTree parent;
  ASSERT_TRUE(MakeDirs((parent / "w")));
  ASSERT_TRUE(WriteFile((parent / "w/f"), ""));
  TPollOptions options = Quick();
  options.GiveUpAfter = 200ms;
  const auto source = MakePollDirChanges(options);
  ASSERT_EQ(source->Open((parent / "w")), 0);
  TRecordCollector collector(source, kAll);
  ASSERT_TRUE(Rename((parent / "w"), (parent / "gone")));
  ASSERT_TRUE(collector.WaitForFailure());
  EXPECT_EQ(collector.Failure(), ENOENT);
  EXPECT_EQ(collector.Lines(), Lines{}) << "no removals while it was away";
  EXPECT_TRUE(WaitForPollThreads(10s));
}

TEST(PollDirChanges, ChoiceFollowsTheFileSystem) {
  TTempTree tree;
  struct statfs fs {};
  ASSERT_EQ(statfs(tree.Path().c_str(), &fs), 0);
  if (static_cast<uint32_t>(fs.f_type) == 0x65735546u ||
      static_cast<uint32_t>(fs.f_type) == 0x6969u) {
    GTEST_SKIP() << "the temporary folder itself lies on a network or FUSE file system";
  }
  EXPECT_FALSE(IsRemoteFileSystem(tree.Path()));
  EXPECT_FALSE(IsRemoteFileSystem((tree / "missing")));
  // /proc is local in every sense; the FUSE tests below check the other side.
  EXPECT_FALSE(IsRemoteFileSystem("/proc"));
  // By type: NFS, SMB2, CIFS, FUSE and 9p are polled; ext4, tmpfs and btrfs are not.
  for (const int64_t remote : {0x6969LL, 0xFE534D42LL, 0xFF534D42LL, 0x65735546LL, 0x01021997LL}) {
    EXPECT_TRUE(IsRemoteFileSystemType(remote)) << std::hex << remote;
  }
  for (const int64_t local : {0xEF53LL, 0x01021994LL, 0x9123683ELL}) {
    EXPECT_FALSE(IsRemoteFileSystemType(local)) << std::hex << local;
  }
}

TEST(PollDirChanges, ChoosingSourceBeforeAndAfterItsChoice) {
  TTempTree tree;
  uint8_t buffer[64] = {};
  // Read before Open has nothing to read from; a stop before Open reaches the source chosen later.
  const auto early = MakeChoosingDirChanges(Quick());
  EXPECT_EQ(early->Read(buffer, sizeof buffer, kAll).Status, TDirChanges::TReadStatus::Failed);
  early->Stop();
  EXPECT_EQ(early->Read(buffer, sizeof buffer, kAll).Status, TDirChanges::TReadStatus::Stopped);
  EXPECT_EQ(early->Open(tree.Path()), 0);
  EXPECT_EQ(early->Read(buffer, sizeof buffer, kAll).Status, TDirChanges::TReadStatus::Stopped);

  const auto source = MakeChoosingDirChanges(Quick());
  EXPECT_EQ(source->Open((tree / "missing")), ENOENT);
  EXPECT_EQ(source->Open(tree.Path()), EBUSY);
}

// ---- through the watcher ----

bool EndsWith(const std::string& line, const std::string& tail) {
  return line.size() >= tail.size() &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(PollDirChanges, TheWatcherLogsPolledChangesThenTheErrorOfAShareThatNeverCameBack) {
  TTempTree parent;
  const std::string root = (parent / "share");
  ASSERT_TRUE(MakeDirs(root));
  ASSERT_TRUE(WriteFile(root + "/old.txt", ""));
  std::atomic<bool> polling{false};
  TPollOptions options = Quick();
  options.GiveUpAfter = 300ms;
  options.AfterScan = [&](int) { polling = true; };
  TRecordingUi ui;
  TWatcherEnv env;
  env.Ui = &ui;
  env.MakeSource = [options] { return MakePollDirChanges(options); };
  SetWatcherEnv(env);
  auto watcher = TMonDirThread::Create(root + "/");
  for (int i = 0; i < 2000 && !polling; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(polling.load());
  ASSERT_TRUE(WriteFile(root + "/new.txt", ""));
  EXPECT_TRUE(ui.WaitFor([&](const Lines& lines) {
    return !lines.empty() &&
           EndsWith(lines.back(), "   создан:    #new.txt | " + root + "/new.txt");
  })) << ::testing::PrintToString(ui.Lines());
  ASSERT_TRUE(Rename(root, (parent / "gone")));
  const std::string error = "error: " + SystemErrorText(ENOENT);
  EXPECT_TRUE(ui.WaitFor([&](const Lines& lines) { return IndexOf(lines, error) >= 0; }));
  EXPECT_TRUE(WaitForWatchers(20s));
  SetWatcherEnv({});
  // Nothing was said while the folder was away but the error at the end.
  const Lines lines = ui.Lines();
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines.front(), "start");
  EXPECT_EQ(lines.back(), error);
}

// ---- a real FUSE share: bindfs shows a folder whose changes, made behind its back in the source
// folder, inotify on the mount never reports ----

class FuseShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/fuse here";
    if (std::system("command -v bindfs >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "bindfs is missing (scripts/install-deps installs it)";
    }
    src_ = (tree_ / "src");
    mnt_ = (tree_ / "mnt");
    ASSERT_TRUE(MakeDirs(src_));
    ASSERT_TRUE(MakeDirs(mnt_));
    if (!Mount()) GTEST_SKIP() << "mounting with bindfs was refused here";
  }
  void TearDown() override { Unmount(); }

  bool Mount(const std::string& options = "") {
    const std::string command =
        "bindfs " + options + " '" + src_ + "' '" + mnt_ + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    struct statfs fs {};
    mounted_ = statfs(mnt_.c_str(), &fs) == 0 && static_cast<uint32_t>(fs.f_type) == 0x65735546u;
    return mounted_;
  }
  void Unmount() {
    if (!mounted_) return;
    const std::string command = "fusermount3 -u -z '" + mnt_ + "' >/dev/null 2>&1 || umount -l '" +
                                mnt_ + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    mounted_ = false;
  }
  std::string S(std::string_view relative) const { return src_ + "/" + std::string(relative); }

  TTempTree tree_;
  std::string src_, mnt_;
  bool mounted_ = false;
};

TEST_F(FuseShareTest, EveryChangeMadeBehindTheShareIsReported) {
  ASSERT_TRUE(WriteFile(S("a.txt"), "abc"));
  ASSERT_TRUE(MakeDirs(S("d")));
  ASSERT_TRUE(WriteFile(S("d/x"), ""));
  ASSERT_TRUE(MakeDirs(S("old")));
  ASSERT_TRUE(WriteFile(S("old/y"), ""));
  const auto source = MakePollDirChanges(Quick());
  ASSERT_EQ(source->Open(mnt_), 0);
  TRecordCollector collector(source, kAll);

  ASSERT_TRUE(WriteFile(S("new.txt"), ""));
  ASSERT_TRUE(WriteFile(S("a.txt"), "grown", true));
  ASSERT_TRUE(MakeDirs(S("n")));
  ASSERT_TRUE(WriteFile(S("n/f"), ""));
  ASSERT_TRUE(Rename(S("d"), S("e")));
  std::filesystem::remove_all(S("old"));
  const Lines expected = {"1 new.txt", "3 a.txt", "1 n", "1 n/f", "4 d", "5 e", "2 old/y", "2 old"};
  EXPECT_TRUE(collector.WaitFor([&](const Lines& lines) {
    for (const auto& line : expected) {
      if (IndexOf(lines, line) < 0) return false;
    }
    return true;
  })) << ::testing::PrintToString(collector.Lines());
  const Lines lines = collector.Lines();
  EXPECT_EQ(IndexOf(lines, "5 e"), IndexOf(lines, "4 d") + 1);
  EXPECT_LT(IndexOf(lines, "2 old/y"), IndexOf(lines, "2 old"));
  EXPECT_LT(IndexOf(lines, "1 n"), IndexOf(lines, "1 n/f"));
}

// Without birth times (FUSE here), a name whose item got another inode number is compared as the
// same item: some FUSE file systems renumber their inodes, and that must not read as everything
// removed and created again.
TEST_F(FuseShareTest, WithoutBirthTimesAReplacedItemIsComparedAsTheSame) {
  ASSERT_TRUE(MakeDirs(S("d")));
  ASSERT_TRUE(WriteFile(S("d/a"), "a"));
  ASSERT_TRUE(WriteFile(S("d/b"), "b"));
  TTreeSnapshot before;
  ASSERT_EQ(before.Scan(mnt_), 0);
  std::filesystem::remove_all(S("d"));
  ASSERT_TRUE(MakeDirs(S("d")));
  ASSERT_TRUE(WriteFile(S("d/a"), "longer"));
  ASSERT_TRUE(WriteFile(S("d/c"), ""));
  // The mount caches names and sizes for a moment; compare until the new state shows.
  const Lines expected = {"2 d/b", "3 d/a", "1 d/c"};
  Lines got;
  for (int i = 0; i < 1500 && got != expected; ++i) {
    std::this_thread::sleep_for(10ms);
    TTreeSnapshot after;
    ASSERT_EQ(after.Scan(mnt_, &before), 0);
    got = Describe(after.ChangesSince(before));
  }
  EXPECT_EQ(got, expected);
}

// A FUSE daemon may keep listings and times apart, so a share's listings are read at every scan.
// Where that is overridden and a listing changes while the folder's time stands (this mount
// shows modification times as change times, and the folder's is set back), the change is still
// found at the folder's next reading, and listings are no longer taken over.
TEST_F(FuseShareTest, ListingsOnAShareAreReadUnlessItsTimesAreTrustedAndTheyHold) {
  ASSERT_TRUE(MakeDirs(S("d")));
  ASSERT_TRUE(WriteFile(S("d/a"), ""));
  TListingReuse reuse;
  reuse.Settle = 20ms;
  reuse.ReadEvery = 3;
  {
    TScans scans(mnt_, reuse);
    ASSERT_EQ(scans.First(), 0);
    for (int i = 0; i < 4; ++i) {
      std::this_thread::sleep_for(reuse.Settle + 5ms);
      EXPECT_EQ(scans.Next(), Lines{});
      EXPECT_EQ(scans.FoldersRead(), 2u);
    }
  }
  Unmount();
  ASSERT_TRUE(Mount("--ctime-from-mtime"));
  reuse.OnFuse = true;
  TScans scans(mnt_, reuse);
  ASSERT_EQ(scans.First(), 0);
  for (int i = 0; i < 3 && scans.FoldersRead() > 0; ++i) {
    std::this_thread::sleep_for(reuse.Settle + 50ms);
    EXPECT_EQ(scans.Next(), Lines{});
  }
  ASSERT_EQ(scans.FoldersRead(), 0u) << "the share's listings were never taken over";

  struct stat before {};
  ASSERT_EQ(stat(S("d").c_str(), &before), 0);
  ASSERT_TRUE(WriteFile(S("d/b"), ""));
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, S("d").c_str(), times, 0), 0);
  Lines seen;
  for (int i = 0; i < 200 && IndexOf(seen, "1 d/b") < 0; ++i) {
    std::this_thread::sleep_for(10ms);
    const Lines lines = scans.Next();
    seen.insert(seen.end(), lines.begin(), lines.end());
  }
  EXPECT_EQ(seen, Lines{"1 d/b"});
  EXPECT_TRUE(scans.Last().ChangeTimesUnreliable());
  EXPECT_EQ(scans.Next(), Lines{});
  EXPECT_EQ(scans.FoldersRead(), 2u);
}

TEST_F(FuseShareTest, TheChoiceOnAShareIsPolling) {
  EXPECT_TRUE(IsRemoteFileSystem(mnt_));
  EXPECT_FALSE(IsRemoteFileSystem(src_));
  // Only the polling source can see a change made in the source folder.
  const auto source = MakeChoosingDirChanges(Quick());
  ASSERT_EQ(source->Open(mnt_), 0);
  TRecordCollector collector(source, kAll);
  ASSERT_TRUE(WriteFile(S("seen"), ""));
  EXPECT_TRUE(collector.WaitForLine("1 seen"));
}

TEST_F(FuseShareTest, UnmountedShareIsAwaitedAndComparedWhenMountedAgain) {
  ASSERT_TRUE(WriteFile(S("keep"), ""));
  ASSERT_TRUE(WriteFile(S("y"), ""));
  std::atomic<int> failedScans{0}, lastError{0};
  TPollOptions options = Quick();
  options.AfterScan = [&](int error) {
    if (error != 0) {
      lastError = error;
      ++failedScans;
    }
  };
  const auto source = MakePollDirChanges(options);
  ASSERT_EQ(source->Open(mnt_), 0);
  TRecordCollector collector(source, kAll);

  Unmount();
  for (int i = 0; i < 1500 && failedScans < 3; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GE(failedScans.load(), 3) << "the empty mount point was taken for the share";
  EXPECT_EQ(lastError.load(), ENOTCONN);
  ASSERT_TRUE(WriteFile(S("x"), ""));
  ASSERT_EQ(unlink(S("y").c_str()), 0);
  ASSERT_TRUE(Mount());

  ASSERT_TRUE(collector.WaitForLine("1 x"));
  ASSERT_TRUE(WriteFile(S("marker"), ""));
  ASSERT_TRUE(collector.WaitForLine("1 marker"));
  EXPECT_EQ(collector.Lines(), (Lines{"2 y", "1 x", "1 marker"}));
}

// A share mounted inside a watched local tree: its changes made behind its back (in bindfs's source
// folder) come by polling, in the same stream as inotify's, named from the watched folder, and
// follow a rename of the folder above the mount point; once unmounted, it is an ordinary folder.
TEST_F(FuseShareTest, AShareMountedInsideAWatchedTreeIsPolledThere) {
  Unmount();
  mnt_ = (tree_ / "up/mnt");
  ASSERT_TRUE(MakeDirs(mnt_));
  ASSERT_TRUE(MakeDirs((tree_ / "local")));
  ASSERT_TRUE(MakeDirs(S("d")));
  ASSERT_TRUE(Mount());
  TInotifyHooks hooks;
  hooks.Poll = Quick();
  const auto source = MakeInotifyDirChanges(hooks);
  ASSERT_EQ(source->Open(tree_.Path()), 0);
  TRecordCollector collector(source, kAll);

  ASSERT_TRUE(WriteFile((tree_ / "local/a"), ""));
  ASSERT_TRUE(WriteFile(S("d/b"), "xyz"));
  EXPECT_TRUE(collector.WaitForLine("1 local/a"));
  EXPECT_TRUE(collector.WaitForLine("1 up/mnt/d/b")) << ::testing::PrintToString(collector.Lines());
  // The source folder is a local folder of the tree as well, watched by inotify.
  EXPECT_TRUE(collector.WaitForLine("1 src/d/b"));

  ASSERT_TRUE(Rename((tree_ / "up"), (tree_ / "up2")));
  mnt_ = (tree_ / "up2/mnt");
  ASSERT_TRUE(collector.WaitForLine("5 up2"));
  ASSERT_TRUE(WriteFile(S("d/c"), ""));
  EXPECT_TRUE(collector.WaitForLine("1 up2/mnt/d/c"))
      << ::testing::PrintToString(collector.Lines());

  // Unmounted: what is made in the folder now is inotify's to tell.
  Unmount();
  // The poll learns of it at its next scan; until then a new file there goes unseen.
  bool told = false;
  for (int i = 0; i < 1000 && !told; ++i) {
    const std::string name = "probe" + std::to_string(i);
    ASSERT_TRUE(WriteFile(mnt_ + "/" + name, ""));
    told = collector.WaitFor(
        [&](const Lines& lines) { return IndexOf(lines, "1 up2/mnt/" + name) >= 0; }, 20ms);
  }
  EXPECT_TRUE(told) << ::testing::PrintToString(collector.Lines());
}

// Writes files named prefix0, prefix1, … in `folder` until one is reported as "1 <shown as>N";
// a mount or an unmount is noticed by the source shortly after it happens.
bool ProbeUntilReported(TRecordCollector& collector, const std::string& folder,
                        const std::string& shownAs, const std::string& prefix) {
  for (int i = 0; i < 500; ++i) {
    const std::string name = prefix + std::to_string(i);
    if (!WriteFile(folder + "/" + name, "")) return false;
    if (collector.WaitFor(
            [&](const Lines& lines) { return IndexOf(lines, "1 " + shownAs + name) >= 0; }, 20ms)) {
      return true;
    }
  }
  return false;
}

TEST_F(FuseShareTest, AShareMountedInsideTheTreeWhileWatchedIsPolledFromThen) {
  Unmount();
  mnt_ = (tree_ / "w/mnt");
  ASSERT_TRUE(MakeDirs(mnt_));
  ASSERT_TRUE(WriteFile(mnt_ + "/covered", ""));
  ASSERT_TRUE(WriteFile(S("shown"), ""));
  TInotifyHooks hooks;
  hooks.Poll = Quick();
  const auto source = MakeInotifyDirChanges(hooks);
  ASSERT_EQ(source->Open((tree_ / "w")), 0);
  TRecordCollector collector(source, kAll);
  ASSERT_TRUE(Mount("-o nonempty"));

  // Changes made behind the share's back are seen once its mount has been noticed.
  ASSERT_TRUE(ProbeUntilReported(collector, src_, "mnt/", "probe"))
      << ::testing::PrintToString(collector.Lines());
  ASSERT_TRUE(WriteFile(S("shown"), "grown"));
  ASSERT_TRUE(MakeDirs(S("d")));
  ASSERT_TRUE(WriteFile(S("d/f"), ""));
  EXPECT_TRUE(collector.WaitForLine("1 mnt/d/f")) << ::testing::PrintToString(collector.Lines());
  EXPECT_TRUE(collector.WaitForLine("3 mnt/shown"));
  // What the mount covered and what it showed at once are contents, not changes.
  for (const auto& line : collector.Lines()) {
    EXPECT_EQ(line.find("covered"), std::string::npos) << line;
    EXPECT_NE(line, "1 mnt/shown");
  }

  // Unmounted: the folder it covered is watched again.
  Unmount();
  EXPECT_TRUE(ProbeUntilReported(collector, (tree_ / "w/mnt"), "mnt/", "under"))
      << ::testing::PrintToString(collector.Lines());
}

// A local file system mounted inside the tree while it is watched (here a tmpfs, under a name
// with a blank, which the mount table writes in octal) is watched from then on, and the folder
// it covered is watched again once it is unmounted.
TEST(InotifyMounts, ALocalFileSystemMountedInsideTheTreeIsWatchedFromThen) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  TTempTree tree;
  const std::string point = (tree / "a/m 1");
  ASSERT_TRUE(MakeDirs(point));
  const auto source = MakeInotifyDirChanges({});
  ASSERT_EQ(source->Open(tree.Path()), 0);
  TRecordCollector collector(source, kAll);
  const std::string mount = "mount -t tmpfs vark-test '" + point + "' >/dev/null 2>&1";
  if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "mounting a tmpfs was refused here";
  struct TUnmount {
    std::string Point;
    bool Mounted = true;
    void Now() {
      if (Mounted) Mounted = std::system(("umount -l '" + Point + "'").c_str()) != 0;
    }
    ~TUnmount() { Now(); }
  } unmount{point};

  EXPECT_TRUE(ProbeUntilReported(collector, point, "a/m 1/", "on"))
      << ::testing::PrintToString(collector.Lines());
  ASSERT_TRUE(MakeDirs(point + "/d"));
  ASSERT_TRUE(WriteFile(point + "/d/f", "x"));
  EXPECT_TRUE(collector.WaitForLine("1 a/m 1/d/f"));

  unmount.Now();
  ASSERT_FALSE(unmount.Mounted);
  EXPECT_TRUE(ProbeUntilReported(collector, point, "a/m 1/", "under"))
      << ::testing::PrintToString(collector.Lines());
}

}  // namespace
