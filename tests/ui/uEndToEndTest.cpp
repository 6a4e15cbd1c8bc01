// The whole program logic on a real folder: the main window, the options, the watcher and the
// Linux change source.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <filesystem>
#include <fstream>

#include "settings/uUserMessages.h"
#include "ui/ufMain.h"

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
  char tmpl[] = "/tmp/vark-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl, exeDir = root + "/bin/", watched = root + "/w/";
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
  fs::remove_all(root);
}
