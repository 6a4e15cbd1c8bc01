// A main window over a scripted change source in a fresh temporary folder, with the popup, the
// settings dialog and the about box plugged in as at start-up, and recording doubles for the
// message boxes and the shell.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "actions/uAdditionalLogic.h"
#include "settings/uObjtOpt.h"
#include "settings/uUserMessages.h"
#include "uScriptedDirChanges.h"
#include "uTempFolder.h"
#include "ui/uInfo.h"
#include "ui/uMessage.h"
#include "ui/uOptions.h"
#include "ui/ufMain.h"
#include "watcher/uDirChanges.h"
#include "watcher/uMonThread2.h"

namespace windows_test {

inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

class TRecordingMessages : public IUserMessages {
 public:
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void ShowInfo(const std::string& text) override { infos.push_back(text); }
  std::vector<std::string> errors, infos;
};

class TRecordingShell : public IShellOpen {
 public:
  void Open(const std::string& path) override { opened.push_back(path); }
  std::vector<std::string> opened;
};

class TWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::make_unique<test_support::TTempFolder>("vark-windows");
    root = folder->Path();
    exeDir = root + "/bin/";
    watched = root + "/watched/";
    std::filesystem::create_directories(exeDir);
    std::filesystem::create_directories(watched);
    // The autorun entry goes here, not into the real configuration.
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    SetUserMessages(&messages);
    SetShellOpen(&shell);
    TWatcherEnv env;
    env.MakeSource = [this] {
      auto source = std::make_shared<TScriptedDirChanges>();
      std::lock_guard lock(sourcesMutex);
      sources.push_back(source);
      return source;
    };
    SetWatcherEnv(env);
  }

  void TearDown() override {
    // As at the end of the program: the watcher first, then the windows in reverse order.
    if (main) main->Shutdown();
    delete fInfo;
    delete fOptions;
    delete fMessage;
    gMsgFrm.reset();
    main.reset();
    EXPECT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
    SetWatcherEnv({});
    SetUserMessages(nullptr);
    SetShellOpen(nullptr);
    folder.reset();
  }

  void WriteIni(bool start, const std::string& folder, bool tray = false) {
    std::ofstream(exeDir + "option.ini")
        << "[main]\nAutoLoad=0\ntray=" << tray << "\nsound=0\nAlertWindow=1\nstart=" << start
        << "\nFolderPath=" << folder << "\n";
  }

  // The four windows in the order of start-up.
  void CreateWindows() {
    main = std::make_unique<TfMonDirMain>(exeDir);
    fMessage = new TfMessage();
    main->ShowChangePopup = ShowChangePopup;
    fOptions = new TfOptions(main.get());
    main->ShowSettings = ShowOptionsDialog;
    fInfo = new TfInfo(main.get());
    main->ShowAbout = ShowAboutBox;
  }

  int LogCount() const { return main->Log().Count(); }
  std::string LastLine() const { return main->Log().Line(LogCount() - 1); }
  // Until n rows are shown in the log (lines of a burst get their rows once a frame).
  bool WaitLines(int n) {
    return WaitUntil([&] { return main->Log().rowCount() >= n; });
  }
  size_t SourceCount() {
    std::lock_guard lock(sourcesMutex);
    return sources.size();
  }
  // The newest watcher's source, once that watcher has made it.
  std::shared_ptr<TScriptedDirChanges> Source(size_t count = 1) {
    EXPECT_TRUE(WaitUntil([&] { return SourceCount() >= count; }));
    std::lock_guard lock(sourcesMutex);
    return sources.empty() ? std::make_shared<TScriptedDirChanges>() : sources.back();
  }

  std::unique_ptr<test_support::TTempFolder> folder;
  std::string root, exeDir, watched;
  TRecordingMessages messages;
  TRecordingShell shell;
  std::mutex sourcesMutex;
  std::vector<std::shared_ptr<TScriptedDirChanges>> sources;
  std::unique_ptr<TfMonDirMain> main;
};

}  // namespace windows_test
