#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "settings/uAutorunStore.h"
#include "settings/uFileIni.h"
#include "settings/uObjtOpt.h"
#include "settings/uProfile.h"
#include "settings/uRegister.h"
#include "uScriptedDirChanges.h"
#include "uSettingsTestSupport.h"
#include "watcher/uMonThread2.h"

using settings_test::Exists;
using settings_test::ReadFile;
using settings_test::TEnvScope;
using settings_test::TMessagesScope;
using settings_test::TTempDir;
using settings_test::WriteFile;

namespace {

const char* const kDefaultsText =
    "[main]\nAutoLoad=0\ntray=0\nsound=1\nAlertWindow=1\nstart=0\nFolderPath=\n";

// The main window as the options see it.
class THostDouble : public IOptionsHost {
 public:
  void HideToTray() override { ++Hidden; }
  void mmStartClick() override {
    ++StartClicks;
    if (Options && Options->FolderValid && !running_) {
      running_ = TMonDirThread::Create(Options->FolderPath);
    }
  }
  std::shared_ptr<TMonDirThread> RunningMonitor() const override { return running_; }
  void SetRunningMonitor(std::shared_ptr<TMonDirThread> monitor) override {
    running_ = std::move(monitor);
  }

  TObjtOpt* Options = nullptr;
  int Hidden = 0;
  int StartClicks = 0;

 private:
  std::shared_ptr<TMonDirThread> running_;
};

// Counts the watchers' steps; they run on the watchers' own threads here.
class TWatcherUiDouble : public IWatcherUi {
 public:
  void AnnounceStart() override {
    std::lock_guard lock(mutex_);
    ++starts_;
  }
  void AnnounceStop() override {
    std::lock_guard lock(mutex_);
    ++stops_;
  }
  void ReportChange(const TMonDirThread&) override {}
  void ShowWatchError(const std::string&) override {}
  void ShowWatchNotice(const std::string&) override {}
  int Starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
  }
  int Stops() const {
    std::lock_guard lock(mutex_);
    return stops_;
  }

 private:
  mutable std::mutex mutex_;
  int starts_ = 0;
  int stops_ = 0;
};

class Options : public ::testing::Test {
 protected:
  Options() : previousEnv_(WatcherEnv()) {
    std::filesystem::create_directories(exeDir_);
    std::filesystem::create_directories(watched_);
    std::filesystem::create_directories(other_);
    TWatcherEnv env;
    env.Ui = &ui_;
    env.MakeSource = [this] {
      auto source = std::make_shared<TScriptedDirChanges>();
      std::lock_guard lock(sourcesMutex_);
      sources_.push_back(source);
      return source;
    };
    SetWatcherEnv(env);
  }

  ~Options() override {
    if (auto running = host_.RunningMonitor()) running->Terminate();
    host_.SetRunningMonitor(nullptr);
    EXPECT_TRUE(WaitForWatchers(std::chrono::seconds(10)));
    SetWatcherEnv(previousEnv_);
  }

  std::unique_ptr<TObjtOpt> Load() {
    auto options = std::make_unique<TObjtOpt>(host_, exeDir_);
    host_.Options = options.get();
    return options;
  }

  std::string Ini() const { return exeDir_ + "option.ini"; }
  std::string Entry() const { return dir_ / "config/autostart/Vark.desktop"; }
  size_t SourceCount() {
    std::lock_guard lock(sourcesMutex_);
    return sources_.size();
  }

  // Waits (bounded) until the watchers have announced `count` starts.
  bool WaitForStarts(int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ui_.Starts() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  TTempDir dir_;
  TEnvScope xdg_{"XDG_CONFIG_HOME", dir_ / "config"};
  TMessagesScope messages_;
  const std::string exeDir_ = dir_ / "bin/";
  const std::string watched_ = dir_ / "watched";
  const std::string other_ = dir_ / "other";
  THostDouble host_;
  TWatcherUiDouble ui_;
  TWatcherEnv previousEnv_;
  std::mutex sourcesMutex_;
  std::vector<std::shared_ptr<TScriptedDirChanges>> sources_;
};

}  // namespace

TEST_F(Options, FirstStartWritesTheDefaultsAndStartsNothing) {
  auto options = Load();
  EXPECT_EQ(options->IniPath, exeDir_ + "option.ini");
  EXPECT_EQ(options->AutorunName, "Vark");
  EXPECT_EQ(ReadFile(Ini()), kDefaultsText);
  EXPECT_FALSE(options->AutoLoad);
  EXPECT_FALSE(options->tray);
  EXPECT_TRUE(options->sound);
  EXPECT_TRUE(options->AlertWindow);
  EXPECT_FALSE(options->start);
  EXPECT_EQ(options->FolderPath, "");
  EXPECT_FALSE(options->FolderValid);
  EXPECT_EQ(
      messages_->Infos(),
      std::vector<std::string>{"Такой папки не существует, вы не сможете запустить мониторинг"});
  EXPECT_TRUE(messages_->Errors().empty());
  EXPECT_FALSE(Exists(Entry()));
  options->ApplyStartup();
  EXPECT_EQ(host_.Hidden, 0);
  EXPECT_EQ(host_.StartClicks, 0);
  EXPECT_EQ(host_.RunningMonitor(), nullptr);
}

TEST_F(Options, AutorunEntryWinsOverTheFile) {
  // File on, no entry: off, and the file keeps its 1.
  WriteFile(Ini(), "[main]\nAutoLoad=1\n");
  EXPECT_FALSE(Load()->AutoLoad);
  EXPECT_EQ(ReadFile(Ini()), "[main]\nAutoLoad=1\n");
  EXPECT_FALSE(Exists(Entry()));

  // File off, entry there: on, and the entry is written again with this executable.
  std::filesystem::create_directories(dir_ / "config/autostart");
  WriteFile(Entry(), "stale");
  WriteFile(Ini(), "[main]\nAutoLoad=0\n");
  EXPECT_TRUE(Load()->AutoLoad);
  EXPECT_NE(ReadFile(Entry()).find("Exec=" + DesktopExecArgument(ExecutablePath())),
            std::string::npos);

  // Both on: the entry is not touched.
  WriteFile(Entry(), "stale");
  WriteFile(Ini(), "[main]\nAutoLoad=1\n");
  EXPECT_TRUE(Load()->AutoLoad);
  EXPECT_EQ(ReadFile(Entry()), "stale");

  // A missing key reads as on; without an entry that settles as off.
  std::filesystem::remove(Entry());
  WriteFile(Ini(), "[main]\n");
  EXPECT_FALSE(Load()->AutoLoad);
  EXPECT_FALSE(Exists(Entry()));
  EXPECT_TRUE(messages_->Errors().empty());
}

TEST_F(Options, StoredFolderIsTakenAsWrittenOrDropped) {
  WriteFile(Ini(), "[main]\nFolderPath=" + watched_ + "\nstart=1\ntray=1\n");
  auto options = Load();
  EXPECT_EQ(options->FolderPath, watched_);  // no separator appended here
  EXPECT_TRUE(options->FolderValid);
  EXPECT_TRUE(messages_->Infos().empty());
  options->ApplyStartup();
  EXPECT_EQ(host_.Hidden, 1);
  EXPECT_EQ(host_.StartClicks, 1);
  ASSERT_NE(host_.RunningMonitor(), nullptr);
  EXPECT_EQ(host_.RunningMonitor()->Folder, watched_);

  WriteFile(Ini(), "[main]\nFolderPath=" + dir_ / "gone/" + "\n");
  options = Load();
  EXPECT_EQ(options->FolderPath, "");
  EXPECT_FALSE(options->FolderValid);
  EXPECT_EQ(messages_->Infos().size(), 1u);
}

TEST_F(Options, SetFolderAppendsTheSeparatorAndWritesAtOnce) {
  auto options = Load();
  options->SetStart(true);
  options->SetFolder(watched_);
  EXPECT_EQ(options->FolderPath, watched_ + "/");
  EXPECT_TRUE(options->FolderValid);
  EXPECT_NE(ReadFile(Ini()).find("\nFolderPath=" + watched_ + "/\n"), std::string::npos);
  // Monitoring is off and stays off, whatever `start` says.
  EXPECT_EQ(host_.RunningMonitor(), nullptr);
  EXPECT_EQ(host_.StartClicks, 0);
  EXPECT_EQ(SourceCount(), 0u);
}

TEST_F(Options, SetFolderWhileRunningMovesTheWatcher) {
  auto options = Load();
  options->SetFolder(watched_);
  options->SetTray(true);
  options->SetStart(true);
  host_.mmStartClick();
  const auto first = host_.RunningMonitor();
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(WaitForStarts(1));

  options->SetFolder(other_ + "/");
  EXPECT_TRUE(first->Terminated());
  EXPECT_EQ(ui_.Stops(), 1);
  const auto second = host_.RunningMonitor();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->Folder, other_ + "/");
  EXPECT_TRUE(WaitForStarts(2));
  EXPECT_EQ(host_.Hidden, 1);
  // The start step found a monitor running and started nothing more.
  EXPECT_EQ(host_.StartClicks, 2);
  EXPECT_EQ(host_.RunningMonitor(), second);
  // A watcher makes its source after announcing its start.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (SourceCount() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(SourceCount(), 2u);
}

TEST_F(Options, SetFolderToSomethingMissingStopsAndClears) {
  auto options = Load();
  options->SetFolder(watched_);
  host_.mmStartClick();
  const auto running = host_.RunningMonitor();
  ASSERT_NE(running, nullptr);
  const std::string before = ReadFile(Ini());

  options->SetFolder("");
  EXPECT_TRUE(running->Terminated());
  EXPECT_EQ(host_.RunningMonitor(), nullptr);
  EXPECT_EQ(options->FolderPath, "");
  EXPECT_FALSE(options->FolderValid);
  EXPECT_EQ(messages_->Infos().back(), "Такой папки не существует");
  EXPECT_EQ(ReadFile(Ini()), before);  // the file is not written

  // A file is no folder.
  WriteFile(dir_ / "plain", "");
  options->SetFolder(dir_ / "plain");
  EXPECT_FALSE(options->FolderValid);
  EXPECT_EQ(messages_->Infos().back(), "Такой папки не существует");
  // With no valid folder the start command does nothing.
  host_.mmStartClick();
  EXPECT_EQ(host_.RunningMonitor(), nullptr);
}

TEST_F(Options, FolderWithALineBreakOrWithoutItsWholePathIsRefused) {
  const std::string tricky = dir_ / "a\nAutoLoad=1";
  std::filesystem::create_directories(tricky);
  auto options = Load();
  options->SetFolder(watched_);
  const std::string before = ReadFile(Ini());
  for (const auto& [folder, text] : {std::pair{tricky, kFolderLineBreakText},
                                     {"watched", kFolderRelativeText},
                                     {"./other/", kFolderRelativeText}}) {
    const size_t infos = messages_->Infos().size();
    options->SetFolder(folder);
    EXPECT_EQ(messages_->Infos().size(), infos + 1);
    EXPECT_EQ(messages_->Infos().back(), text);
    EXPECT_EQ(ReadFile(Ini()), before);
    EXPECT_EQ(options->FolderPath, watched_ + "/");
    EXPECT_TRUE(options->FolderValid);
  }
}

TEST_F(Options, AProgramPathThatNoAutorunEntryCanNameLeavesTheOptionOff) {
  auto options = Load();
  for (const std::string path : {"/opt/100%/vark", "/opt/\xff/vark"}) {
    options->AutorunPath = path;
    options->SetAutoLoad(true);
    EXPECT_FALSE(options->AutoLoad);
    EXPECT_FALSE(Exists(Entry()));
    EXPECT_EQ(messages_->Errors().back(), kAutorunPathText);
  }
}

// Two copies of the program on one settings file: each save changes only what its user changed,
// on top of what the file holds at that moment, so neither undoes the other.
TEST_F(Options, TwoCopiesKeepEachOthersSaves) {
  auto first = Load();
  auto second = Load();
  first->SetFolder(watched_);
  first->SetSound(false);
  first->SaveAll();
  second->SetAlertWindow(false);
  second->SaveAll();
  EXPECT_EQ(ReadFile(Ini()),
            "[main]\nAutoLoad=0\ntray=0\nsound=0\nAlertWindow=0\nstart=0\nFolderPath=" + watched_ +
                "/\n");

  // At once: while another copy holds the file (its save under way), a save waits, then reads
  // the file afresh and adds its own change to what the other one wrote; a read waits too.
  auto lock = std::make_unique<TProfileLock>(Ini(), true);
  ASSERT_TRUE(lock->Held());
  first->SetTray(true);
  std::thread saver([&] { first->SaveAll(); });
  std::thread reader([&] { GetProfileString("main", "tray", "", Ini()); });
  // The lock is on the settings file's folder; /proc/locks shows each waiter on it with "->".
  struct stat folder;
  stat(exeDir_.c_str(), &folder);
  const auto waiting = [&] {
    std::istringstream locks(ReadFile("/proc/locks"));
    int waiters = 0;
    for (std::string line; std::getline(locks, line);) {
      const std::string inode = ":" + std::to_string(folder.st_ino) + " ";
      waiters += line.find("-> FLOCK") != line.npos && line.find(inode) != line.npos;
    }
    return waiters == 2;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!waiting() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const bool waited = waiting();
  const std::string meanwhile = SetProfileValue(ReadFile(Ini()), "main", "start", "1");
  EXPECT_EQ(WriteFileReplacing(Ini(), meanwhile), 0);
  lock.reset();
  saver.join();
  reader.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(ReadFile(Ini()), SetProfileValue(meanwhile, "main", "tray", "1"));
}

TEST_F(Options, SettersWaitForSaveAllExceptAutoLoad) {
  auto options = Load();
  options->SetTray(true);
  options->SetSound(false);
  options->SetAlertWindow(false);
  options->SetStart(true);
  EXPECT_EQ(ReadFile(Ini()), kDefaultsText);
  options->SetAutoLoad(true);
  EXPECT_TRUE(Exists(Entry()));
  EXPECT_EQ(ReadFile(Ini()), kDefaultsText);
  options->SetFolder(watched_);
  options->SaveAll();
  EXPECT_EQ(ReadFile(Ini()),
            "[main]\nAutoLoad=1\ntray=1\nsound=0\nAlertWindow=0\nstart=1\nFolderPath=" + watched_ +
                "/\n");
  options->SetAutoLoad(false);
  EXPECT_FALSE(Exists(Entry()));
  // A file deleted meanwhile comes back whole, not with just the key that changed.
  std::filesystem::remove(Ini());
  options->SetSound(true);
  options->SaveAll();
  EXPECT_EQ(ReadFile(Ini()),
            "[Main]\nAutoLoad=0\ntray=1\nsound=1\nAlertWindow=0\nstart=1\nFolderPath=" + watched_ +
                "/\n");
}

TEST_F(Options, RestoreDefaultsWhileRunning) {
  auto options = Load();
  options->SetFolder(watched_);
  options->SetAutoLoad(true);
  options->SetSound(false);
  options->SetStart(true);
  options->SaveAll();
  host_.mmStartClick();
  const auto running = host_.RunningMonitor();
  ASSERT_NE(running, nullptr);

  options->RestoreDefaults();
  EXPECT_TRUE(running->Terminated());
  EXPECT_EQ(ui_.Stops(), 1);
  EXPECT_EQ(host_.RunningMonitor(), nullptr);
  EXPECT_EQ(ReadFile(Ini()), kDefaultsText);
  EXPECT_FALSE(Exists(Entry()));
  EXPECT_FALSE(options->AutoLoad);
  EXPECT_FALSE(options->tray);
  EXPECT_TRUE(options->sound);
  EXPECT_TRUE(options->AlertWindow);
  EXPECT_FALSE(options->start);
  EXPECT_EQ(options->FolderPath, "");
  EXPECT_FALSE(options->FolderValid);
  host_.mmStartClick();  // no valid folder: nothing starts
  EXPECT_EQ(host_.RunningMonitor(), nullptr);
}

TEST_F(Options, SettingsFileThatCannotBeCreatedLeavesTheDefaults) {
  std::filesystem::create_directories(Ini());  // a folder in place of the file
  auto options = Load();
  EXPECT_EQ(messages_->Errors(), std::vector<std::string>{"Unable to write to " + Ini()});
  EXPECT_FALSE(options->AutoLoad);
  EXPECT_TRUE(options->sound);
  EXPECT_TRUE(options->AlertWindow);
  EXPECT_FALSE(options->FolderValid);

  // Later writes raise the error to the caller; SetFolder has stored the folder by then and left
  // the running monitor alone.
  EXPECT_THROW(options->SaveAll(), EIniWriteError);
  host_.SetRunningMonitor(TMonDirThread::Create(other_ + "/"));
  const auto running = host_.RunningMonitor();
  EXPECT_THROW(options->SetFolder(watched_), EIniWriteError);
  EXPECT_EQ(options->FolderPath, watched_ + "/");
  EXPECT_TRUE(options->FolderValid);
  EXPECT_EQ(host_.RunningMonitor(), running);
  EXPECT_FALSE(running->Terminated());
  EXPECT_THROW(options->RestoreDefaults(), EIniWriteError);
  EXPECT_EQ(host_.RunningMonitor(), nullptr);  // stopped before the write failed
}

TEST_F(Options, InstalledCopyKeepsSettingsInTheUserConfigurationEvenWhereItCouldWrite) {
  // The folder the build installs into; as root (CI) it can be written, and must not be.
  const std::string installed = InstalledProgramDir();
  ASSERT_FALSE(installed.empty());
  if (!std::filesystem::is_directory(installed)) GTEST_SKIP() << installed << " does not exist";
  std::filesystem::create_symlink(installed, dir_ / "linked");
  const std::string besideInstalled = installed + "/option.ini";
  const bool existed = Exists(besideInstalled);
  for (const std::string& exeDir : {installed, installed + "/", std::string(dir_ / "linked/")}) {
    TObjtOpt options(host_, exeDir);
    EXPECT_EQ(options.IniPath, dir_ / "config/vark/option.ini") << exeDir;
    EXPECT_EQ(ReadFile(options.IniPath), kDefaultsText) << exeDir;
    EXPECT_EQ(Exists(besideInstalled), existed) << exeDir;
    if (!existed) std::filesystem::remove(besideInstalled);  // leave the machine as it was
  }
  // Any other writable folder is a built copy's, which keeps its settings beside the program.
  EXPECT_FALSE(IsInstalledProgramDir(exeDir_));
  EXPECT_EQ(SettingsFilePath(exeDir_), exeDir_ + "option.ini");
}

TEST_F(Options, InstalledCopyWithoutAnyConfigurationFolderRefusesToSave) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to be a user without a passwd entry";
  const std::string installed = InstalledProgramDir();
  TEnvScope noXdg("XDG_CONFIG_HOME", std::nullopt), noHome("HOME", std::nullopt);
  const bool existed = Exists(installed + "/option.ini");
  // A user the system knows nothing of: no home folder at all.
  const auto result = settings_test::RunUnprivileged(
      [&] {
        TObjtOpt options(host_, installed);
        if (!options.IniPath.empty()) return 1;
        if (messages_->Errors() != std::vector<std::string>{kNoSettingsFolderText}) return 2;
        try {
          options.SaveAll();
        } catch (const std::runtime_error& error) {
          return std::string(error.what()) == kNoSettingsFolderText ? 0 : 3;
        }
        return 4;
      },
      54321);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Exists(installed + "/option.ini"), existed);
}

TEST_F(Options, UnwritableProgramFolderKeepsSettingsInTheUserConfiguration) {
  // The program's folder belongs to root; the user's configuration folder to everybody.
  ASSERT_EQ(chmod(exeDir_.c_str(), 0755), 0);
  std::filesystem::create_directories(dir_ / "config");
  ASSERT_EQ(chmod((dir_ / "config").c_str(), 0777), 0);
  EXPECT_UNPRIVILEGED([&] {
    TObjtOpt options(host_, exeDir_);
    if (options.IniPath != dir_ / "config/vark/option.ini") return 1;
    if (ReadFile(options.IniPath) != kDefaultsText) return 2;
    if (Exists(Ini())) return 3;
    return 0;
  });
}

TEST_F(Options, HugeSettingsFileIsToldOnceAndNeverWritten) {
  // A sparse file far past any settings file's size: nothing of it is read.
  WriteFile(Ini(), "[main]\ntray=1\nstart=1\n");
  ASSERT_EQ(truncate(Ini().c_str(), off_t{1} << 40), 0);
  auto options = Load();
  EXPECT_EQ(messages_->Errors(), std::vector<std::string>{kIniDamagedText + Ini()});
  EXPECT_FALSE(options->tray);
  EXPECT_FALSE(options->start);
  EXPECT_TRUE(options->sound);
  EXPECT_FALSE(options->AutoLoad);
  EXPECT_THROW(options->SaveAll(), EIniWriteError);
  EXPECT_THROW(options->RestoreDefaults(), EIniWriteError);
  struct stat st;
  ASSERT_EQ(stat(Ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t{1} << 40);
  EXPECT_EQ(messages_->Errors().size(), 1u);
}
