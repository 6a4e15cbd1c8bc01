// One behaviour suite for every real change source: each source is a row, and every case must
// mean the same records for each of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "uDirChangesTestSupport.h"
#include "watcher/uDirChangesLinux.h"
#include "watcher/uDirChangesPoll.h"

using namespace std::chrono_literals;
using dctest::IndexOf;
using dctest::MakeDirs;
using dctest::TRecordCollector;
using dctest::TTempTree;
using dctest::WriteFile;
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kAll = kNotifyFileName | kNotifyDirName | kNotifySize;

struct TSourceRow {
  const char* Name;
  std::function<std::shared_ptr<TDirChanges>()> Make;
};

std::shared_ptr<TDirChanges> QuickPoll() {
  TPollOptions options;
  options.MinInterval = options.MaxInterval = 20ms;
  // Folders' listings are taken over after two scans and read again at every third.
  options.Listings.Settle = 30ms;
  options.Listings.ReadEvery = 3;
  return MakePollDirChanges(options);
}

class DirChangesBehaviour : public ::testing::TestWithParam<TSourceRow> {
 protected:
  // Opens the row's source on the tree as it is now and starts collecting its records.
  void Start(uint32_t filter = kAll) {
    auto source = GetParam().Make();
    const int error = source->Open(tree_.Path());
    if (error == ENOSYS) GTEST_SKIP() << GetParam().Name << " source is not built yet (ENOSYS)";
    ASSERT_EQ(error, 0);
    collector_ = std::make_unique<TRecordCollector>(source, filter);
  }
  void TearDown() override { collector_.reset(); }

  std::string P(std::string_view relative) const { return tree_ / relative; }
  bool Rename(std::string_view from, std::string_view to) const {
    return std::rename(P(from).c_str(), P(to).c_str()) == 0;
  }
  bool WaitAll(const Lines& wanted) const {
    return collector_->WaitFor([&](const Lines& lines) {
      for (const auto& line : wanted) {
        if (IndexOf(lines, line) < 0) return false;
      }
      return true;
    });
  }
  // Creates a marker file and waits for its record: whatever came before it has been delivered.
  void Settle() {
    const std::string name = "marker" + std::to_string(++markers_);
    ASSERT_TRUE(WriteFile(P(name), ""));
    ASSERT_TRUE(collector_->WaitForLine("1 " + name)) << Dump();
  }
  Lines Got() const { return collector_->Lines(); }
  // The records other than markers.
  Lines Changes() const {
    Lines out;
    for (const auto& line : Got()) {
      if (line.rfind("1 marker", 0) != 0) out.push_back(line);
    }
    return out;
  }
  std::string Dump() const { return ::testing::PrintToString(Got()); }

  TTempTree tree_;
  std::unique_ptr<TRecordCollector> collector_;
  int markers_ = 0;
};

TEST_P(DirChangesBehaviour, FileCreatedGrownAndRemoved) {
  Start();
  if (IsSkipped()) return;
  ASSERT_TRUE(WriteFile(P("f.txt"), ""));
  ASSERT_TRUE(collector_->WaitForLine("1 f.txt")) << Dump();
  ASSERT_TRUE(WriteFile(P("f.txt"), "more", true));
  ASSERT_TRUE(collector_->WaitForLine("3 f.txt")) << Dump();
  ASSERT_EQ(unlink(P("f.txt").c_str()), 0);
  ASSERT_TRUE(collector_->WaitForLine("2 f.txt")) << Dump();
  Settle();
  const Lines lines = Changes();
  for (const auto& line : lines) {
    EXPECT_TRUE(line == "1 f.txt" || line == "3 f.txt" || line == "2 f.txt") << line;
  }
  EXPECT_LT(IndexOf(lines, "1 f.txt"), IndexOf(lines, "3 f.txt"));
  EXPECT_LT(IndexOf(lines, "3 f.txt"), IndexOf(lines, "2 f.txt"));
}

TEST_P(DirChangesBehaviour, FolderRecordsAreSelectedByTheFolderBit) {
  Start(kNotifyDirName);
  if (IsSkipped()) return;
  ASSERT_TRUE(MakeDirs(P("d")));
  ASSERT_TRUE(WriteFile(P("d/f"), "x"));
  ASSERT_TRUE(WriteFile(P("g"), "x"));
  ASSERT_TRUE(MakeDirs(P("last")));
  ASSERT_TRUE(collector_->WaitForLine("1 last")) << Dump();
  EXPECT_EQ(Got(), (Lines{"1 d", "1 last"}));
}

TEST_P(DirChangesBehaviour, FileRecordsAreSelectedByTheFileBit) {
  Start(kNotifyFileName | kNotifySize);
  if (IsSkipped()) return;
  ASSERT_TRUE(MakeDirs(P("d")));
  ASSERT_TRUE(WriteFile(P("d/f"), ""));
  ASSERT_TRUE(collector_->WaitForLine("1 d/f")) << Dump();
  ASSERT_TRUE(WriteFile(P("d/f"), "grown", true));
  ASSERT_TRUE(collector_->WaitForLine("3 d/f")) << Dump();
  ASSERT_TRUE(std::filesystem::remove(P("d/f")));
  ASSERT_TRUE(collector_->WaitForLine("2 d/f")) << Dump();
  ASSERT_TRUE(std::filesystem::remove(P("d")));
  Settle();
  for (const auto& line : Changes()) EXPECT_EQ(line.substr(1), " d/f") << line;
}

TEST_P(DirChangesBehaviour, RenameWithinAFolderIsOldThenNew) {
  ASSERT_TRUE(WriteFile(P("a"), "a"));
  ASSERT_TRUE(MakeDirs(P("sub")));
  ASSERT_TRUE(WriteFile(P("sub/b"), "b"));
  Start();
  if (IsSkipped()) return;
  ASSERT_TRUE(Rename("a", "c"));
  ASSERT_TRUE(Rename("sub/b", "sub/e"));
  ASSERT_TRUE(WaitAll({"5 c", "5 sub/e"})) << Dump();
  Settle();
  const Lines lines = Changes();
  EXPECT_EQ(lines.size(), 4u) << Dump();
  EXPECT_EQ(IndexOf(lines, "5 c"), IndexOf(lines, "4 a") + 1) << Dump();
  EXPECT_EQ(IndexOf(lines, "5 sub/e"), IndexOf(lines, "4 sub/b") + 1) << Dump();
}

TEST_P(DirChangesBehaviour, MoveBetweenFoldersIsRemovedThenCreated) {
  ASSERT_TRUE(MakeDirs(P("d1")));
  ASSERT_TRUE(MakeDirs(P("d2")));
  ASSERT_TRUE(WriteFile(P("d1/a"), "a"));
  Start();
  if (IsSkipped()) return;
  ASSERT_TRUE(Rename("d1/a", "d2/a"));
  ASSERT_TRUE(collector_->WaitForLine("1 d2/a")) << Dump();
  Settle();
  EXPECT_EQ(Changes(), (Lines{"2 d1/a", "1 d2/a"}));
}

TEST_P(DirChangesBehaviour, RenamedFolderReportsOnlyItself) {
  ASSERT_TRUE(MakeDirs(P("d/sub")));
  ASSERT_TRUE(WriteFile(P("d/x"), "x"));
  ASSERT_TRUE(WriteFile(P("d/sub/z"), "z"));
  Start();
  if (IsSkipped()) return;
  ASSERT_TRUE(Rename("d", "e"));
  ASSERT_TRUE(collector_->WaitForLine("5 e")) << Dump();
  Settle();
  EXPECT_EQ(Changes(), (Lines{"4 d", "5 e"}));
  // Later changes inside carry the new name.
  ASSERT_TRUE(WriteFile(P("e/sub/z"), "grown", true));
  ASSERT_TRUE(collector_->WaitForLine("3 e/sub/z")) << Dump();
}

TEST_P(DirChangesBehaviour, RemovedFolderContentsComeFirst) {
  ASSERT_TRUE(MakeDirs(P("d/sub")));
  ASSERT_TRUE(WriteFile(P("d/x"), "x"));
  ASSERT_TRUE(WriteFile(P("d/sub/y"), "y"));
  Start();
  if (IsSkipped()) return;
  std::filesystem::remove_all(P("d"));
  ASSERT_TRUE(collector_->WaitForLine("2 d")) << Dump();
  Settle();
  const Lines lines = Changes();
  EXPECT_EQ(lines.size(), 4u) << Dump();
  const long folder = IndexOf(lines, "2 d");
  for (const char* inner : {"2 d/x", "2 d/sub/y", "2 d/sub"}) {
    EXPECT_GE(IndexOf(lines, inner), 0) << inner << Dump();
    EXPECT_LT(IndexOf(lines, inner), folder) << inner;
  }
  EXPECT_LT(IndexOf(lines, "2 d/sub/y"), IndexOf(lines, "2 d/sub"));
}

TEST_P(DirChangesBehaviour, DeepNamesParentsFirst) {
  Start();
  if (IsSkipped()) return;
  std::string deep;
  Lines wanted;
  for (int i = 0; i < 12; ++i) {
    deep += (i ? "/" : "") + std::string("level") + std::to_string(i);
    wanted.push_back("1 " + deep);
  }
  ASSERT_TRUE(MakeDirs(P(deep)));
  ASSERT_TRUE(WriteFile(P(deep + "/leaf.txt"), "x"));
  wanted.push_back("1 " + deep + "/leaf.txt");
  ASSERT_TRUE(WaitAll(wanted)) << Dump();
  const Lines lines = Got();
  for (size_t i = 1; i < wanted.size(); ++i) {
    EXPECT_LT(IndexOf(lines, wanted[i - 1]), IndexOf(lines, wanted[i])) << wanted[i];
  }
}

TEST_P(DirChangesBehaviour, SizeBitSelectsSizeChanges) {
  ASSERT_TRUE(WriteFile(P("f"), "1"));
  Start(kNotifyFileName | kNotifyDirName);
  if (IsSkipped()) return;
  ASSERT_TRUE(WriteFile(P("f"), "23", true));
  Settle();
  Settle();
  EXPECT_EQ(Changes(), Lines{});
}

TEST_P(DirChangesBehaviour, AttributesTimesAndSameSizeRewritesReportNothing) {
  ASSERT_TRUE(WriteFile(P("f"), "12345"));
  ASSERT_TRUE(MakeDirs(P("d")));
  Start();
  if (IsSkipped()) return;
  ASSERT_EQ(chmod(P("f").c_str(), 0600), 0);
  ASSERT_EQ(chmod(P("d").c_str(), 0700), 0);
  const timeval times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(utimes(P("f").c_str(), times), 0);
  const int fd = open(P("f").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "abc", 3, 1), 3);
  close(fd);
  Settle();
  Settle();
  EXPECT_EQ(Changes(), Lines{});
}

TEST_P(DirChangesBehaviour, NamesWithAnyBytesComeBackExactly) {
  const std::string dir = std::string(1, '\x80') + "папка";
  ASSERT_TRUE(MakeDirs(P(dir)));
  Start();
  if (IsSkipped()) return;
  const std::string names[] = {"\xff\xfe bad \x80",
                               "Отчёт за май.docx",
                               "line\nbreak",
                               "a#b c.txt",
                               "\xed\xa0\x80 surrogate bytes",
                               "emoji \xf0\x9f\x98\x80"};
  Lines wanted;
  for (const auto& name : names) {
    ASSERT_TRUE(WriteFile(P(dir + "/" + name), ""));
    wanted.push_back("1 " + dir + "/" + name);
  }
  ASSERT_TRUE(WaitAll(wanted)) << Dump();
  Settle();
  EXPECT_EQ(Changes().size(), wanted.size()) << Dump();
}

TEST_P(DirChangesBehaviour, SymbolicLinkIsAnItemNeverFollowed) {
  TTempTree outside;
  ASSERT_TRUE(WriteFile((outside / "t"), ""));
  Start();
  if (IsSkipped()) return;
  ASSERT_EQ(symlink(outside.Path().c_str(), P("link").c_str()), 0);
  ASSERT_TRUE(collector_->WaitForLine("1 link")) << Dump();
  ASSERT_TRUE(WriteFile((outside / "u"), ""));
  ASSERT_TRUE(WriteFile((outside / "t"), "grown"));
  Settle();
  EXPECT_EQ(Changes(), Lines{"1 link"});
}

TEST_P(DirChangesBehaviour, FileReplacedByAFolderIsRemovedThenCreated) {
  ASSERT_TRUE(WriteFile(P("k"), "file"));
  Start();
  if (IsSkipped()) return;
  ASSERT_EQ(unlink(P("k").c_str()), 0);
  ASSERT_TRUE(MakeDirs(P("k")));
  ASSERT_TRUE(WaitAll({"2 k", "1 k"})) << Dump();
  Settle();
  EXPECT_EQ(Changes(), (Lines{"2 k", "1 k"}));
}

INSTANTIATE_TEST_SUITE_P(Sources, DirChangesBehaviour,
                         ::testing::Values(TSourceRow{"inotify",
                                                      [] { return MakeInotifyDirChanges(); }},
                                           TSourceRow{"poll", QuickPoll}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
