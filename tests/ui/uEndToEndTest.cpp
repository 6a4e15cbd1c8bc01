// The whole program logic on a real folder: the main window, the options, the watcher and the
// Linux change source.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "../core/uStreamTestSupport.h"
#include "settings/uUserMessages.h"
#include "uTempFolder.h"
#include "ui/ufMain.h"
#include "watcher/uMonThread2.h"

namespace fs = std::filesystem;

namespace {

class TSilentMessages : public IUserMessages {
 public:
  void ShowError(const std::string& text) override { shown.push_back(text); }
  void ShowInfo(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

}  // namespace

TEST(EndToEnd, RealChangesBecomeLogLines) {
  const test_support::TTempFolder folder("vark-e2e");
  const std::string root = folder.Path(), exeDir = root + "/bin/", watched = root + "/w/";
  fs::create_directories(exeDir);
  fs::create_directories(watched + "sub");
  setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  std::ofstream(exeDir + "option.ini") << "[main]\nAutoLoad=0\ntray=0\nsound=0\nAlertWindow=0\n"
                                          "start=1\nFolderPath="
                                       << watched << "\n";
  TSilentMessages messages;
  SetUserMessages(&messages);
  SetWatcherEnv({});  // the platform's own change source
  {
    TfMonDirMain window(exeDir);
    std::vector<std::string> lines;
    const auto waitFor = [&](const std::string& tail, int ms = 5000) {
      QElapsedTimer clock;
      clock.start();
      while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (int i = 0; i < window.Log().Count(); ++i) {
          const std::string& line = window.Log().Line(i);
          if (line.size() >= tail.size() &&
              line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
          }
        }
      }
      return false;
    };
    ASSERT_TRUE(waitFor(" монитор запущен"));
    // The start line comes before the folder is opened: probe until the watch is in place.
    bool ready = false;
    for (int i = 0; i < 50 && !ready; ++i) {
      const std::string probe = "probe" + std::to_string(i);
      std::ofstream(watched + probe) << "";
      ready = waitFor("создан:    #" + probe, 200);
    }
    ASSERT_TRUE(ready);
    std::ofstream(watched + "sub/новый файл.txt") << "";
    ASSERT_TRUE(waitFor("создан:    #sub/новый файл.txt"));
    std::ofstream(watched + "sub/новый файл.txt", std::ios::app) << "grow";
    ASSERT_TRUE(waitFor("изменен:    #sub/новый файл.txt"));
    fs::rename(watched + "sub/новый файл.txt", watched + "sub/b#c.txt");
    ASSERT_TRUE(waitFor("переименован в:    #sub/b#c.txt"));
    fs::remove(watched + "sub/b#c.txt");
    ASSERT_TRUE(waitFor("удален:    #sub/b#c.txt"));
    window.mmStopClick();
    ASSERT_TRUE(waitFor(" монитор остановлен"));
    EXPECT_TRUE(messages.shown.empty());
  }
  EXPECT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
  SetUserMessages(nullptr);
}

// The watched folder removed, or moved away, while watched: the run ends and says why; once the
// folder is back, "старт" watches it again.
TEST(EndToEnd, AFolderThatGoesEndsTheRunAndAStartWatchesItWhenBack) {
  const test_support::TTempFolder folder("vark-e2e");
  const std::string root = folder.Path(), exeDir = root + "/bin/", watched = root + "/w/";
  fs::create_directories(exeDir);
  setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  std::ofstream(exeDir + "option.ini") << "[main]\nAutoLoad=0\ntray=0\nsound=0\nAlertWindow=0\n"
                                          "start=0\nFolderPath="
                                       << watched << "\n";
  fs::create_directories(watched);
  TSilentMessages messages;
  SetUserMessages(&messages);
  SetWatcherEnv({});
  {
    TfMonDirMain window(exeDir);
    std::vector<std::string> boxes;
    window.PlainMessageBox = [&](const QString& text) { boxes.push_back(text.toStdString()); };
    const auto waitUntil = [&](const std::function<bool()>& done, int ms = 5000) {
      QElapsedTimer clock;
      clock.start();
      while (!done() && clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      }
      return done();
    };
    const auto has = [&](const std::string& text) {
      for (int i = 0; i < window.Log().Count(); ++i) {
        if (window.Log().Line(i).find(text) != std::string::npos) return true;
      }
      return false;
    };
    for (const bool moved : {false, true}) {
      SCOPED_TRACE(moved ? "moved away" : "removed");
      fs::create_directories(watched);
      boxes.clear();
      window.mmStartClick();
      // Watched once a probe's creation shows.
      bool ready = false;
      for (int i = 0; i < 50 && !ready; ++i) {
        const std::string probe = std::string(moved ? "m" : "r") + std::to_string(i);
        std::ofstream(watched + probe) << "";
        ready = waitUntil([&] { return has("#" + probe); }, 200);
      }
      ASSERT_TRUE(ready);
      if (moved) {
        fs::rename(watched, root + "/elsewhere");
      } else {
        fs::remove_all(watched);
      }
      ASSERT_TRUE(waitUntil([&] { return !boxes.empty(); }));
      EXPECT_EQ(boxes,
                std::vector<std::string>{"Мониторинг папки «" + watched +
                                         "» прекращён: папка удалена, перемещена или отключена"});
      EXPECT_EQ(window.StatusText().toStdString(), "Мониторинг папки отключён");
      EXPECT_EQ(window.RunningMonitor(), nullptr);
      fs::remove_all(root + "/elsewhere");
    }
  }
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
  SetUserMessages(nullptr);
}

// Random changes on a real folder, through the watcher thread and the real log: the log's lines,
// read back and replayed over the starting tree, give the final tree.
TEST(EndToEnd, TheLogReplayedGivesTheRealTree) {
  const test_support::TTempFolder folder("vark-e2e");
  const std::string root = folder.Path(), exeDir = root + "/bin/";
  fs::create_directories(exeDir);
  setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  TSilentMessages messages;
  SetUserMessages(&messages);
  SetWatcherEnv({});
  constexpr const char* kProbe = ".vark-probe";
  // A change line back to "<action> <name>"; the probe's own lines and the start and stop lines
  // are left out.
  const auto record = [&](const std::string& line) -> std::string {
    const size_t hash = line.find('#');
    if (hash == std::string::npos) return {};
    const std::string name = NameFromLogLine(line);
    if (name.rfind(kProbe, 0) == 0) return {};
    for (uint32_t action = 1; action <= 5; ++action) {
      if (line.find("   " + ActionLabel(action) + "    #") != std::string::npos) {
        return std::to_string(action) + " " + name;
      }
    }
    return "? " + line;
  };
  std::unique_ptr<TfMonDirMain> window;
  stream::TRun run;
  run.Start = [&](const std::string& folder,
                  std::function<std::vector<std::string>()>& lines) -> std::shared_ptr<void> {
    std::ofstream(exeDir + "option.ini") << "[main]\nAutoLoad=0\ntray=0\nsound=0\nAlertWindow=0\n"
                                            "start=1\nFolderPath="
                                         << folder << "/\n";
    window = std::make_unique<TfMonDirMain>(exeDir);
    const auto waitFor = [&](const std::string& text) {
      QElapsedTimer clock;
      clock.start();
      while (clock.elapsed() < 300) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (int i = 0; i < window->Log().Count(); ++i) {
          if (window->Log().Line(i).find(text) != std::string::npos) return true;
        }
      }
      return false;
    };
    // The watch is in place once a probe's creation shows; the probes go again.
    bool started = false;
    for (int i = 0; i < 30 && !started; ++i) started = waitFor(" монитор запущен");
    if (!started) return nullptr;
    bool ready = false;
    int probes = 0;
    for (; probes < 50 && !ready; ++probes) {
      const std::string name = kProbe + std::to_string(probes);
      std::ofstream(folder + "/" + name) << "";
      ready = waitFor("#" + name);
    }
    for (int i = 0; i < probes; ++i) fs::remove(folder + "/" + kProbe + std::to_string(i));
    if (!ready || !waitFor(ActionLabel(2) + "    #" + kProbe + std::to_string(probes - 1))) {
      return nullptr;
    }
    lines = [&] {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      std::vector<std::string> out;
      for (int i = 0; i < window->Log().Count(); ++i) {
        std::string r = record(window->Log().Line(i));
        if (!r.empty()) out.push_back(std::move(r));
      }
      return out;
    };
    return std::make_shared<int>(0);
  };
  for (const uint64_t seed : {11, 12, 13}) {
    const stream::TCase c = stream::MakeCase(seed);
    const stream::TResult result = stream::RunCase(run, c);
    EXPECT_EQ(result.Why, "") << "seed " << seed;
    window.reset();
    EXPECT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
  }
  EXPECT_TRUE(messages.shown.empty());
  SetUserMessages(nullptr);
}
