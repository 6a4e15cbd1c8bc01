#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "settings/uAppPaths.h"
#include "settings/uAutorunStore.h"
#include "settings/uRegister.h"
#include "uSettingsTestSupport.h"

using settings_test::Exists;
using settings_test::ReadFile;
using settings_test::TEnvScope;
using settings_test::TMessagesScope;
using settings_test::TTempDir;
using settings_test::WriteFile;

namespace {

class Autorun : public ::testing::Test {
 protected:
  std::string Entry() const { return dir_ / "config/autostart/Vark.desktop"; }
  std::string ExecLine() const { return "Exec=" + DesktopExecArgument(ExecutablePath()) + "\n"; }

  TTempDir dir_;
  TEnvScope xdg_{"XDG_CONFIG_HOME", dir_ / "config"};
  TMessagesScope messages_;
};

}  // namespace

TEST_F(Autorun, AddWritesADesktopEntryNamingTheExecutable) {
  ASSERT_FALSE(ExecutablePath().empty());
  EXPECT_FALSE(AutorunExists("Vark"));
  SetAutorun("Vark", true);  // the autostart folder does not exist yet
  ASSERT_TRUE(Exists(Entry()));
  const std::string entry = ReadFile(Entry());
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
  EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nName=Vark\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\n" + ExecLine()), std::string::npos) << entry;
  EXPECT_TRUE(AutorunExists("Vark"));
  EXPECT_FALSE(AutorunExists("Other"));
  EXPECT_TRUE(messages_->Errors().empty());
}

TEST_F(Autorun, AddingAgainRefreshesTheEntry) {
  SetAutorun("Vark", true);
  WriteFile(Entry(), "[Desktop Entry]\nExec=/old/place/vark\n");
  SetAutorun("Vark", true);
  EXPECT_NE(ReadFile(Entry()).find(ExecLine()), std::string::npos);
  EXPECT_TRUE(messages_->Errors().empty());
}

TEST_F(Autorun, RemoveDeletesAndIsSilentWhenThereIsNothing) {
  SetAutorun("Vark", true);
  SetAutorun("Vark", false);
  EXPECT_FALSE(Exists(Entry()));
  EXPECT_FALSE(AutorunExists("Vark"));
  SetAutorun("Vark", false);  // nothing there
  {
    TEnvScope nowhere("XDG_CONFIG_HOME", dir_ / "missing");
    SetAutorun("Vark", false);
    EXPECT_FALSE(AutorunExists("Vark"));
  }
  EXPECT_TRUE(messages_->Errors().empty());
  EXPECT_TRUE(messages_->Infos().empty());
}

TEST_F(Autorun, AnEntryCountsWhateverItHolds) {
  std::filesystem::create_directories(dir_ / "config/autostart");
  WriteFile(Entry(), "\x01\x02 not a desktop entry");
  EXPECT_TRUE(AutorunExists("Vark"));
  std::filesystem::remove(Entry());
  ASSERT_EQ(symlink("nowhere", Entry().c_str()), 0);
  EXPECT_TRUE(AutorunExists("Vark"));
  EXPECT_TRUE(messages_->Errors().empty());
}

TEST_F(Autorun, FailedAddShowsTheErrorOnce) {
  std::filesystem::create_directories(Entry());  // a folder in place of the file
  SetAutorun("Vark", true);
  EXPECT_EQ(messages_->Errors(),
            std::vector<std::string>{"при работе с реестром произошла ошибка"});
  EXPECT_TRUE(AutorunExists("Vark"));
  SetAutorun("Vark", false);  // removing is silent and leaves the folder alone
  EXPECT_TRUE(std::filesystem::is_directory(Entry()));
  EXPECT_EQ(messages_->Errors().size(), 1u);

  // The configuration folder is a file: the autostart folder cannot be made.
  TEnvScope blocked("XDG_CONFIG_HOME", dir_ / "file");
  WriteFile(dir_ / "file", "");
  SetAutorun("Vark", true);
  EXPECT_EQ(messages_->Errors().size(), 2u);
  EXPECT_FALSE(AutorunExists("Vark"));
}

TEST_F(Autorun, AutostartFolderWithoutWriteAccessShowsTheErrorOnce) {
  std::filesystem::create_directories(dir_ / "config/autostart");
  chmod((dir_ / "config").c_str(), 0755);
  EXPECT_UNPRIVILEGED([&] {
    SetAutorun("Vark", true);
    if (messages_->Errors() != std::vector<std::string>{"при работе с реестром произошла ошибка"}) {
      return 1;
    }
    if (Exists(Entry())) return 2;
    return 0;
  });
}

TEST_F(Autorun, ConfigHomeFollowsTheEnvironmentAtEachCall) {
  EXPECT_EQ(AutorunEntryPath("Vark"), Entry());
  // A relative XDG_CONFIG_HOME is not valid; the home folder's .config is used instead.
  TEnvScope relative("XDG_CONFIG_HOME", std::string("relative/config"));
  TEnvScope home("HOME", dir_ / "home");
  EXPECT_EQ(AutorunEntryPath("Vark"), dir_ / "home/.config/autostart/Vark.desktop");
  SetAutorun("Vark", true);
  EXPECT_TRUE(Exists(dir_ / "home/.config/autostart/Vark.desktop"));
}

TEST(DesktopExec, PathsAreQuotedByTheDesktopEntryRules) {
  EXPECT_EQ(DesktopExecArgument("/usr/bin/vark"), "\"/usr/bin/vark\"");
  EXPECT_EQ(DesktopExecArgument("/opt/my apps/vark"), "\"/opt/my apps/vark\"");
  // Inside quotes '"', '`', '$' and '\' take a backslash; then every '\' of the value is doubled
  // by the string escapes.
  EXPECT_EQ(DesktopExecArgument("/a\"b"), "\"/a\\\\\"b\"");
  EXPECT_EQ(DesktopExecArgument("/a`b$c"), "\"/a\\\\`b\\\\$c\"");
  EXPECT_EQ(DesktopExecArgument("/a\\b"), "\"/a\\\\\\\\b\"");
  EXPECT_EQ(DesktopExecArgument("/100%/vark"), "\"/100%%/vark\"");
  EXPECT_EQ(DesktopExecArgument("/a\nb\tc"), "\"/a\\nb\\tc\"");
  EXPECT_EQ(DesktopExecArgument("/дом/vark"), "\"/дом/vark\"");
}
