// The benchmark's accounting and its helpers: a benchmark that counts wrongly reports figures
// that are wrong, so what it counts with is tested like any other code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>

#include "watch_bench_util.h"
#include "watch_bench_vark.h"
#include "watcher/uDirChanges.h"
#include "watcher/uMonThread2.h"

namespace {

std::string TempFolder() {
  std::string path = ::testing::TempDir() + "watch-bench-XXXXXX";
  if (!mkdtemp(path.data())) return {};
  return path;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(WatchBenchAccounting, CountsMissedExtraAndOutOfOrderRecords) {
  const std::vector<TRec> expected = {{1, "a"}, {3, "a"}, {4, "a"}, {5, "b"}, {2, "b"}};

  const TCompare all = CompareRecords(expected, expected);
  EXPECT_EQ(all.Matched, 5u);
  EXPECT_EQ(all.Missed + all.Extra + all.OutOfOrder, 0u);

  // "a" size changed is lost, "b" deleted comes before "b" renamed to, one record is repeated,
  // and one was never done.
  const std::vector<TRec> delivered = {{1, "a"}, {4, "a"}, {2, "b"}, {5, "b"}, {2, "b"}, {1, "z"}};
  const TCompare c = CompareRecords(expected, delivered);
  EXPECT_EQ(c.Expected, 5u);
  EXPECT_EQ(c.Delivered, 6u);
  EXPECT_EQ(c.Matched, 4u);
  EXPECT_EQ(c.Missed, 1u);
  EXPECT_EQ(c.MissedByAction[3], 1u);
  EXPECT_EQ(c.Extra, 2u);
  EXPECT_EQ(c.OutOfOrder, 1u);

  // The same name with another action is another record.
  const TCompare other = CompareRecords(expected, {{2, "a"}});
  EXPECT_EQ(other.Matched, 0u);
  EXPECT_EQ(other.Extra, 1u);
  EXPECT_EQ(other.Missed, 5u);
}

TEST(WatchBenchAccounting, ReadsBackVarkLogLinesOfEveryAction) {
  for (uint32_t action = 1; action <= 5; ++action) {
    argTFolderMonitor event;
    event.Action = action;
    event.RelativeName = "d001/n#00 7";
    event.OperationText = MakeOperationText(action);
    const TRec rec = ParseVarkLine(ChangeLogLine(event));
    EXPECT_EQ(rec.Action, action);
    EXPECT_EQ(rec.Name, "d001/n#00 7");
  }
  EXPECT_EQ(ParseVarkLine(ChangeLogLine(MakeOperationText(0), "x")).Action, 0u);
  EXPECT_EQ(ParseVarkLine(StartLogLine()).Action, 0u);
}

TEST(WatchBenchAccounting, ReadsBackInotifywaitLines) {
  EXPECT_EQ(ParsePeerLine("CREATE /tmp/r/d001/n00001", "/tmp/r"), (TRec{1, "d001/n00001"}));
  EXPECT_EQ(ParsePeerLine("DELETE /tmp/r/x y", "/tmp/r"), (TRec{2, "x y"}));
  EXPECT_EQ(ParsePeerLine("MODIFY /tmp/r/f", "/tmp/r"), (TRec{3, "f"}));
  EXPECT_EQ(ParsePeerLine("MOVED_FROM /tmp/r/f", "/tmp/r"), (TRec{4, "f"}));
  EXPECT_EQ(ParsePeerLine("MOVED_TO /tmp/r/g", "/tmp/r"), (TRec{5, "g"}));
  EXPECT_EQ(ParsePeerLine("CREATE,ISDIR /tmp/r/sub", "/tmp/r"), (TRec{1, "sub"}));
  // Another root that merely starts with the same text keeps its whole path.
  EXPECT_EQ(ParsePeerLine("CREATE /tmp/rr/f", "/tmp/r").Name, "/tmp/rr/f");
  EXPECT_EQ(ParsePeerLine("Q_OVERFLOW ", "/tmp/r").Action, 0u);
  EXPECT_EQ(ParsePeerLine("garbage", "/tmp/r").Action, 0u);
}

TEST(WatchBenchAccounting, MedianAndNearestRankPercentile) {
  EXPECT_EQ(Median({}), 0);
  EXPECT_EQ(Median({3, 1, 2}), 2);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_EQ(Percentile(hundred, 99), 99);
  EXPECT_EQ(Percentile(hundred, 100), 100);
  EXPECT_EQ(Percentile(hundred, 50), 50);
  EXPECT_EQ(Percentile({5, 1}, 99), 5);
  EXPECT_EQ(Percentile({7}, 0), 7);
}

TEST(WatchBenchTree, MakesTheTreeItDescribesAndRemovesIt) {
  const std::string root = TempFolder();
  ASSERT_FALSE(root.empty());
  const std::string tree = root + "/tree";
  ASSERT_EQ(MakeTree(tree, 2, 3, 4), "");
  // 2 top folders and 2 * 3 subfolders, 4 files each.
  for (size_t k = 0; k < 6; ++k) {
    for (size_t j = 0; j < 4; ++j) {
      EXPECT_TRUE(Exists(tree + "/" + SubfolderPath(k, 3) + "/" + TreeFileName(j)));
    }
    EXPECT_FALSE(Exists(tree + "/" + SubfolderPath(k, 3) + "/" + TreeFileName(4)));
  }
  EXPECT_EQ(SubfolderPath(4, 3), "d001/s001");
  EXPECT_TRUE(Exists(tree + "/d001/" + TreeFileName(3)));
  EXPECT_FALSE(Exists(tree + "/d002"));
  // Made again over itself, it says what failed.
  EXPECT_NE(MakeTree(tree, 2, 3, 4), "");
  ASSERT_EQ(symlink("/nonexistent", (tree + "/d000/link").c_str()), 0);
  RemoveTree(root);
  EXPECT_FALSE(Exists(root));
}

TEST(WatchBenchGenerator, PerformsTheOperationsInItsOwnProcess) {
  const std::string root = TempFolder();
  ASSERT_FALSE(root.empty());
  const std::vector<TOp> ops = {
      {TOp::Create, root + "/a", {}},          {TOp::Append, root + "/a", {}},
      {TOp::Rename, root + "/a", root + "/b"}, {TOp::Create, root + "/c", {}},
      {TOp::Append, root + "/c", {}},          {TOp::Remove, root + "/b", {}},
      {TOp::Remove, root + "/missing", {}},
  };
  {
    TGenerator generator(ops);
    ASSERT_TRUE(generator.Started());
    // Nothing happens before Go().
    usleep(20'000);
    EXPECT_FALSE(Exists(root + "/a"));
    generator.Go();
    EXPECT_EQ(generator.Wait(), 1);  // the missing file
  }
  EXPECT_FALSE(Exists(root + "/a"));
  EXPECT_FALSE(Exists(root + "/b"));
  struct stat st;
  ASSERT_EQ(stat((root + "/c").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 16);
  {
    // Never told to go: it ends without doing anything.
    TGenerator idle({{TOp::Create, root + "/d", {}}});
    ASSERT_TRUE(idle.Started());
  }
  EXPECT_FALSE(Exists(root + "/d"));
  RemoveTree(root);
}

TEST(WatchBenchPeer, ReadsInotifywaitLinesAsTheyArrive) {
  if (system("command -v inotifywait >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "inotifywait (inotify-tools) is not installed";
  }
  const std::string root = TempFolder();
  ASSERT_FALSE(root.empty());
  ASSERT_EQ(MakeTree(root, 1, 1, 0), "");
  TPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(root, error)) << error;
  ASSERT_GE(peer.WaitEstablished(10'000, error), 0) << error;
  const int64_t before = NowNs();
  std::ofstream(root + "/d000/s000/new") << "x";
  EXPECT_GE(peer.WaitLines(2, 5'000), 2u);
  const TPeer::TEnd end = peer.Stop();
  EXPECT_GT(end.PeakRssKb, 0);
  const auto lines = peer.TakeLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(ParsePeerLine(lines[0].Text, root), (TRec{1, "d000/s000/new"}));
  EXPECT_EQ(ParsePeerLine(lines[1].Text, root), (TRec{3, "d000/s000/new"}));
  EXPECT_GE(lines[0].AtNs, before);
  RemoveTree(root);
}

TEST(WatchBenchPeer, WritesInotifywaitLinesThroughCatToAFile) {
  if (system("command -v inotifywait >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "inotifywait (inotify-tools) is not installed";
  }
  const std::string root = TempFolder();
  ASSERT_FALSE(root.empty());
  ASSERT_EQ(mkdir((root + "/w").c_str(), 0755), 0);
  TPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(root + "/w", error, root + "/out")) << error;
  ASSERT_GE(peer.WaitEstablished(10'000, error), 0) << error;
  {
    TGenerator generator({{TOp::Create, root + "/w/a", {}},
                          {TOp::Rename, root + "/w/a", root + "/w/b"},
                          {TOp::Remove, root + "/w/b", {}}});
    generator.Go();
    EXPECT_EQ(generator.Wait(), 0);
  }
  EXPECT_EQ(peer.WaitFileLines(4, 5'000), 4u);
  peer.Stop();
  std::vector<TRec> lines;
  for (const auto& line : peer.TakeLines()) lines.push_back(ParsePeerLine(line.Text, root + "/w"));
  const std::vector<TRec> expected = {{1, "a"}, {4, "a"}, {5, "b"}, {2, "b"}};
  EXPECT_EQ(lines, expected);
  RemoveTree(root);
}

TEST(WatchBenchPeer, SaysWhatInotifywaitSaidWhenItCannotWatch) {
  if (system("command -v inotifywait >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "inotifywait (inotify-tools) is not installed";
  }
  TPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start("/nonexistent-folder-of-the-bench", error)) << error;
  EXPECT_LT(peer.WaitEstablished(10'000, error), 0);
  EXPECT_NE(error.find("nonexistent-folder-of-the-bench"), std::string::npos) << error;
  peer.Stop();
}

TEST(WatchBenchPlan, EveryChangeHasItsDistinctRecordsInTheOrderOfTheChanges) {
  for (const bool waves : {true, false}) {
    const TBurstPlan plan = PlanBurst("/r", 3, 7, waves);
    ASSERT_EQ(plan.Ops.size(), 28u);
    ASSERT_EQ(plan.Expected.size(), 35u);
    // Nothing for the repeat rule to fold: no two records name the same item with one action.
    std::set<std::pair<uint32_t, std::string>> distinct;
    for (const auto& rec : plan.Expected) distinct.emplace(rec.Action, rec.Name);
    EXPECT_EQ(distinct.size(), plan.Expected.size());
    for (size_t i = 1; i < plan.Expected.size(); ++i) {
      EXPECT_FALSE(plan.Expected[i] == plan.Expected[i - 1]);
    }
    // The records follow the operations one by one (a rename gives two).
    size_t r = 0;
    for (const auto& op : plan.Ops) {
      ASSERT_LT(r, plan.Expected.size());
      const std::string name = op.Path.substr(3);  // without "/r/"
      switch (op.Kind) {
        case TOp::Create:
          EXPECT_EQ(plan.Expected[r++], (TRec{kActionAdded, name}));
          break;
        case TOp::Append:
          EXPECT_EQ(plan.Expected[r++], (TRec{kActionModified, name}));
          break;
        case TOp::Rename:
          EXPECT_EQ(plan.Expected[r++], (TRec{kActionRenamedOld, name}));
          EXPECT_EQ(plan.Expected[r++], (TRec{kActionRenamedNew, op.To.substr(3)}));
          break;
        case TOp::Remove:
          EXPECT_EQ(plan.Expected[r++], (TRec{kActionRemoved, name}));
          break;
      }
    }
    EXPECT_EQ(r, plan.Expected.size());
  }
  // In waves every file is created before any is appended to; file by file, each file goes
  // through its four changes first.
  const TBurstPlan waves = PlanBurst("/r", 3, 7, true);
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(waves.Ops[i].Kind, TOp::Create);
  EXPECT_EQ(waves.Ops[7].Kind, TOp::Append);
  const TBurstPlan byFile = PlanBurst("/r", 3, 7, false);
  EXPECT_EQ(byFile.Ops[1].Kind, TOp::Append);
  EXPECT_EQ(byFile.Ops[3].Kind, TOp::Remove);
  EXPECT_EQ(byFile.Ops[4].Kind, TOp::Create);
  EXPECT_EQ(byFile.Ops[0].Path, "/r/d000/n00000");
  EXPECT_EQ(byFile.Ops[4].Path, "/r/d001/n00001");
  EXPECT_EQ(byFile.Ops[12].Path, "/r/d000/n00003");
}

namespace {

// A burst tree under a temporary folder, removed at the end.
class WatchBenchSides : public ::testing::Test {
 protected:
  void SetUp() override {
    base = TempFolder();
    ASSERT_FALSE(base.empty());
    root = base + "/burst";
    ASSERT_EQ(MakeTree(root, 4, 0, 0), "");
  }
  void TearDown() override {
    SetWatcherEnv({});
    RemoveTree(base);
  }
  // Runs the plan's operations in the generator and waits for them.
  static void Generate(const TBurstPlan& plan) {
    TGenerator generator(plan.Ops);
    ASSERT_TRUE(generator.Started());
    generator.Go();
    EXPECT_EQ(generator.Wait(), 0);
  }
  std::string base, root;
};

}  // namespace

TEST_F(WatchBenchSides, ThePipelineDeliversEveryRecordOfABurstAsALogLine) {
  for (const bool viaLoop : {true, false}) {
    const TBurstPlan plan = PlanBurst(root, 4, 30, !viaLoop);
    TVarkWatch watch(viaLoop);
    std::string error;
    ASSERT_TRUE(watch.Start(root, error)) << error;
    Generate(plan);
    EXPECT_EQ(watch.Wait(plan.Expected.size(), 5'000), plan.Expected.size());
    const auto cpu = watch.ThreadCpuNs();
    watch.Stop();
    const TCompare counts = CompareRecords(plan.Expected, watch.Delivered());
    EXPECT_EQ(counts.Matched, plan.Expected.size());
    EXPECT_EQ(counts.Missed + counts.Extra + counts.OutOfOrder, 0u);
    EXPECT_GT(watch.LastAtNs(), 0);
    // The source's reader and the watcher thread were found, so their CPU can be told apart.
    EXPECT_GT(cpu[0], 0);
    EXPECT_GT(cpu[1], 0);
    EXPECT_TRUE(watch.Notes().empty());
  }
}

TEST_F(WatchBenchSides, AClosedGateHoldsTheReaderUntilItOpens) {
  const TBurstPlan plan = PlanBurst(root, 4, 10, true);
  TVarkWatch watch(true, true);
  std::string error;
  ASSERT_TRUE(watch.Start(root, error)) << error;
  Generate(plan);
  // Nothing comes while the reader is held.
  EXPECT_EQ(watch.Wait(1, 200), 0u);
  watch.OpenGate();
  EXPECT_EQ(watch.Wait(plan.Expected.size(), 5'000), plan.Expected.size());
  watch.Stop();
  EXPECT_EQ(CompareRecords(plan.Expected, watch.Delivered()).Matched, plan.Expected.size());
}

TEST_F(WatchBenchSides, TheSourceAloneCountsEveryRecord) {
  const TBurstPlan plan = PlanBurst(root, 4, 25, false);
  TSourceDrain source;
  std::string error;
  ASSERT_TRUE(source.Start(root, error)) << error;
  Generate(plan);
  EXPECT_EQ(source.Wait(plan.Expected.size(), 5'000), plan.Expected.size());
  source.Stop();
  const TCompare counts = source.Counts(plan.Expected.size());
  EXPECT_EQ(counts.Delivered, plan.Expected.size());
  EXPECT_EQ(counts.Missed, 0u);
}

TEST_F(WatchBenchSides, AFolderThatCannotBeOpenedIsAnError) {
  TVarkWatch watch;
  std::string error;
  EXPECT_FALSE(watch.Start(base + "/missing", error));
  EXPECT_FALSE(error.empty());
  TSourceDrain source;
  EXPECT_FALSE(source.Start(base + "/missing", error));
}

TEST(WatchBenchResources, ReadsTheProcessFiguresItReports) {
  const long rss = ProcStatusKb("VmRSS");
  EXPECT_GT(rss, 0);
  EXPECT_GE(ProcStatusKb("VmHWM"), rss);
  EXPECT_EQ(ProcStatusKb("VmNoSuchField"), -1);
  EXPECT_GT(ProcStatusKb("VmRSS", getpid()), 0);
  // Some CPU of our own, then the two ways of reading it agree within the clock tick of /proc.
  volatile uint64_t x = 1;
  const int64_t start = SelfCpuNs();
  while (SelfCpuNs() - start < 60'000'000) x = x * 3 + 1;
  const int64_t self = SelfCpuNs();
  const int64_t proc = ProcessCpuNs(getpid());
  EXPECT_GE(self, 60'000'000);
  EXPECT_LE(SelfUserCpuNs(), SelfCpuNs());
  EXPECT_NEAR(static_cast<double>(proc), static_cast<double>(self), 30e6);
  EXPECT_EQ(ProcessCpuNs(-5), -1);
}
