// The watcher thread over a scripted change source.
#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <thread>

#include "base/uPlatformText.h"
#include "uLoopThread.h"
#include "uScriptedDirChanges.h"
#include "watcher/uDirChanges.h"
#include "watcher/uFolderMonitor.h"
#include "watcher/uMonThread2.h"

namespace {

using namespace std::chrono_literals;

class TRecordingUi : public IWatcherUi {
 public:
  void AnnounceStart() override { Add("start"); }
  void AnnounceStop() override { Add("stop"); }
  void ReportChange(const TMonDirThread& w) override {
    if (onReport) onReport(w);
    Add("change " + w.OperationText + "|" + w.RelativeName + "|" + w.FullPath + "|" +
        w.OperationWord);
  }
  void ShowWatchError(const std::string& text) override { Add("error " + text); }
  void ShowWatchNotice(const std::string& text) override { Add("notice " + text); }

  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Waits until `count` lines have arrived.
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return lines_.size() >= count; });
  }
  std::function<void(const TMonDirThread&)> onReport;

 private:
  void Add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

class WatcherThread : public ::testing::Test {
 protected:
  void SetUp() override { Install(nullptr); }
  void TearDown() override {
    EXPECT_TRUE(WaitForWatchers(5s)) << "a watcher thread did not end";
    SetWatcherEnv({});
  }
  void Install(IMainThreadCaller* main, std::function<void()> beforeRun = {}) {
    TWatcherEnv env;
    env.MainThread = main;
    env.Ui = &ui;
    env.MakeSource = [this, made = source] {
      ++sourcesMade;
      return made;
    };
    env.BeforeRun = std::move(beforeRun);
    SetWatcherEnv(env);
  }
  static std::string Change(const char* label, const char* name, const char* word) {
    // The time part is whatever the clock says; the tests compare what follows it.
    return std::string(label) + "   |" + name + "|/w/" + name + "|" + word;
  }
  static std::string Tail(const std::string& line) {
    // "change <time>   <label>   |…" → "<label>   |…"
    const size_t gap = line.find("   ");
    return gap == std::string::npos ? line : line.substr(gap + 3);
  }

  TRecordingUi ui;
  std::shared_ptr<TScriptedDirChanges> source = std::make_shared<TScriptedDirChanges>();
  std::atomic<int> sourcesMade{0};
};

}  // namespace

TEST_F(WatcherThread, ReportsChangesInOrderAndFoldsRepeatsAcrossReads) {
  TLoopThread main;
  Install(&main);
  auto watcher = TMonDirThread::Create("/w/");
  source->PlayNarrow(1, "a.txt");
  source->PlayNarrow(3, "a.txt");
  ASSERT_TRUE(ui.WaitFor(3));
  // Arrives in a later read: still the same name and action as the previous event.
  source->PlayNarrow(3, "a.txt");
  source->PlayNarrow(3, "b/c.txt");
  source->PlayNarrow(4, "b/c.txt");
  source->PlayNarrow(5, "b/d.txt");
  // A path longer than the read buffer holds arrives whole, in its place.
  const std::string deep = std::string(3000, 'd') + "/x";
  source->PlayNarrow(1, deep);
  source->PlayNarrow(2, "b/d.txt");
  ASSERT_TRUE(ui.WaitFor(8));
  main.RunAndWait([&] { StopMonitor(watcher); });
  ASSERT_TRUE(ui.WaitFor(9));
  ASSERT_TRUE(WaitForWatchers(5s));

  const auto lines = ui.Lines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "start");
  EXPECT_EQ(Tail(lines[1]), Change("создан:", "a.txt", "создан"));
  EXPECT_EQ(Tail(lines[2]), Change("изменен:", "a.txt", "изменен"));
  EXPECT_EQ(Tail(lines[3]), Change("изменен:", "b/c.txt", "изменен"));
  EXPECT_EQ(Tail(lines[4]), Change("переименован из:", "b/c.txt", "переименован"));
  EXPECT_EQ(Tail(lines[5]), Change("переименован в:", "b/d.txt", "переименован"));
  EXPECT_EQ(Tail(lines[6]), Change("создан:", deep.c_str(), "создан"));
  EXPECT_EQ(Tail(lines[7]), Change("удален:", "b/d.txt", "удален"));
  EXPECT_EQ(lines[8], "stop");
  EXPECT_EQ(source->OpenedFolder(), "/w/");
  EXPECT_TRUE(source->Stopped());
  EXPECT_TRUE(watcher->Finished());
}

TEST_F(WatcherThread, StopBeforeTheThreadRunsSkipsEverything) {
  std::mutex gate;
  std::unique_lock hold(gate);
  Install(nullptr, [&] { std::lock_guard wait(gate); });
  auto watcher = TMonDirThread::Create("/w/");
  StopMonitor(watcher);
  hold.unlock();
  ASSERT_TRUE(WaitForWatchers(5s));
  // The stop came first: it makes the start line, then its own.
  EXPECT_EQ(ui.Lines(), (std::vector<std::string>{"start", "stop"}));
  EXPECT_EQ(sourcesMade.load(), 0);
  EXPECT_FALSE(source->Opened());
}

TEST_F(WatcherThread, OpenFailureShowsTheSystemTextAndEndsTheRun) {
  source->SetOpenError(ENOENT);
  auto watcher = TMonDirThread::Create("/missing/");
  ASSERT_TRUE(WaitForWatchers(5s));
  EXPECT_EQ(ui.Lines(), (std::vector<std::string>{"start", "error " + SystemErrorText(ENOENT)}));
  // The main window still holds the ended watcher; stopping it later is safe.
  EXPECT_TRUE(watcher->Finished());
  StopMonitor(watcher);
  EXPECT_EQ(ui.Lines().back(), "stop");
}

TEST_F(WatcherThread, ReadFailureIsReportedNotSilent) {
  auto watcher = TMonDirThread::Create("/w/");
  source->PlayNarrow(1, "x");
  source->PlayFailure(ENOENT);
  ASSERT_TRUE(WaitForWatchers(5s));
  const auto lines = ui.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Tail(lines[1]), Change("создан:", "x", "создан"));
  EXPECT_EQ(lines[2], "error " + SystemErrorText(ENOENT));
}

TEST_F(WatcherThread, OverflowIsOneUnknownLineUnlessItRepeats) {
  auto watcher = TMonDirThread::Create("/w/");
  source->PlayOverflow();  // first event: equal to the empty previous one, suppressed
  source->PlayNarrow(1, "x");
  source->PlayOverflow();
  source->PlayOverflow();  // a repeat of the previous overflow
  source->PlayNarrow(2, "x");
  ASSERT_TRUE(ui.WaitFor(4));
  StopMonitor(watcher);
  ASSERT_TRUE(WaitForWatchers(5s));
  const auto lines = ui.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(Tail(lines[1]), Change("создан:", "x", "создан"));
  EXPECT_EQ(Tail(lines[2]), "неопознанная операция:   ||/w/|неопознанная операция");
  EXPECT_EQ(Tail(lines[3]), Change("удален:", "x", "удален"));
}

// What waits is bounded in bytes as well as in records: a record carries its whole path.
TEST_F(WatcherThread, WaitingRecordsAreCappedInBytesTooAndThenOverflow) {
  source->SetMaxPending(100, 20000);  // room for two records with names this long
  for (int i = 0; i < 4; ++i) source->PlayNarrow(1, std::string(4000, 'n') + char('0' + i));
  std::vector<uint8_t> buffer(20000);
  const auto read = [&] { return source->Read(buffer.data(), buffer.size(), 11).Status; };
  ASSERT_EQ(read(), TDirChanges::TReadStatus::Records);
  const auto events = DecodeRecords(buffer.data(), buffer.size(), "");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].RelativeName.back(), '1');
  EXPECT_EQ(read(), TDirChanges::TReadStatus::Overflow);
  source->PlayNarrow(1, "after");
  EXPECT_EQ(read(), TDirChanges::TReadStatus::Records);
}

TEST_F(WatcherThread, NoticesAreShownAndTheWatchGoesOn) {
  auto watcher = TMonDirThread::Create("/w/");
  source->PlayNotice("limit reached");
  ASSERT_TRUE(ui.WaitFor(2));
  source->PlayNarrow(1, "after");
  ASSERT_TRUE(ui.WaitFor(3));
  StopMonitor(watcher);
  const auto lines = ui.Lines();
  EXPECT_EQ(lines[1], "notice limit reached");
  EXPECT_EQ(Tail(lines[2]), Change("создан:", "after", "создан"));
}

TEST_F(WatcherThread, StopDuringAReportEndsTheRestOfTheRead) {
  TLoopThread main;
  Install(&main);
  auto watcher = TMonDirThread::Create("/w/");
  ui.onReport = [&](const TMonDirThread& w) {
    if (w.RelativeName == "first") StopMonitor(watcher);
  };
  source->PlayNarrow(1, "first");
  source->PlayNarrow(1, "second");
  ASSERT_TRUE(WaitForWatchers(5s));
  const auto lines = ui.Lines();
  ASSERT_EQ(lines.size(), 3u);  // start, stop (inside the report), the first change
  EXPECT_EQ(lines[1], "stop");
  EXPECT_EQ(Tail(lines[2]), Change("создан:", "first", "создан"));
}

// Reports do not wait for a user-interface thread that is busy, but only so many: then the watcher
// waits, what comes meanwhile waits in the source, and every change is still reported in order.
TEST_F(WatcherThread, ABusyUserInterfaceHoldsTheWatcherBackAndLosesNothing) {
  TLoopThread main;
  Install(&main);
  auto watcher = TMonDirThread::Create("/w/");
  ASSERT_TRUE(ui.WaitFor(1));
  // The start line is made while the watcher waits for it; that wait must be over first.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (main.Waiting() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  std::mutex gate;
  std::unique_lock busy(gate);
  main.Post([&] { std::lock_guard wait(gate); });
  constexpr int kChanges = 20000;
  for (int i = 0; i < kChanges; ++i) source->PlayNarrow(1, "f" + std::to_string(i));
  while (main.Waiting() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(main.Waiting(), 1) << "the watcher never waited for the user-interface thread";
  EXPECT_GT(source->Pending(), 0u);
  // It told the source first, which reads on by itself meanwhile.
  EXPECT_EQ(source->awayCalls.load(), 1);
  busy.unlock();
  ASSERT_TRUE(ui.WaitFor(kChanges + 1));
  main.RunAndWait([&] { StopMonitor(watcher); });
  ASSERT_TRUE(WaitForWatchers(5s));
  const auto lines = ui.Lines();
  for (int i = 0; i < kChanges; ++i) {
    ASSERT_EQ(Tail(lines[i + 1]), Change("создан:", ("f" + std::to_string(i)).c_str(), "создан"));
  }
}

TEST_F(WatcherThread, AnErrorInAReportEndsTheRunQuietly) {
  TLoopThread main;
  Install(&main);
  std::atomic<int> reports{0};
  ui.onReport = [&](const TMonDirThread&) {
    ++reports;
    throw std::runtime_error("broken");
  };
  auto watcher = TMonDirThread::Create("/w/");
  source->PlayNarrow(1, "x");
  source->PlayNarrow(1, "y");  // in the same read: never reported once the run has ended
  ASSERT_TRUE(WaitForWatchers(5s));
  EXPECT_TRUE(watcher->Finished());
  EXPECT_EQ(reports.load(), 1);
  EXPECT_EQ(ui.Lines(), std::vector<std::string>{"start"});
}

TEST_F(WatcherThread, EachWatcherGetsFreshWatchParameters) {
  const auto before = FolderMonitor();
  auto watcher = TMonDirThread::Create("/w/");
  const auto after = FolderMonitor();
  EXPECT_NE(before, after);
  EXPECT_EQ(after->NotifyFilter, 11u);
  StopMonitor(watcher);
}

TEST_F(WatcherThread, ManyStartStopCyclesLeaveNoThreadBehindAndPairTheirLines) {
  TLoopThread main;
  for (int i = 0; i < 300; ++i) {
    source = std::make_shared<TScriptedDirChanges>();
    Install(&main);
    auto watcher = TMonDirThread::Create("/w/");
    if (i % 2) source->PlayNarrow(1, "x");
    main.RunAndWait([&] { StopMonitor(watcher); });
  }
  EXPECT_TRUE(WaitForWatchers(10s));
  // Each start its start line and each stop its stop line, in order, however fast they came.
  std::string pairs;
  for (const std::string& line : ui.Lines()) {
    if (line == "start" || line == "stop") pairs += line[2];
  }
  std::string expected;
  for (int i = 0; i < 300; ++i) expected += "ao";
  EXPECT_EQ(pairs, expected);
}
