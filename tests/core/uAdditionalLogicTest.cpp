// Opening the item of a log line, and the popup's corner.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "actions/uAdditionalLogic.h"
#include "settings/uUserMessages.h"
#include "uTempFolder.h"

namespace fs = std::filesystem;

namespace {

class TRecordingShell : public IShellOpen {
 public:
  void Open(const std::string& path) override {
    if (fail) throw std::runtime_error("shell broke");
    opened.push_back(path);
  }
  std::vector<std::string> opened;
  bool fail = false;
};

class TRecordingMessages : public IUserMessages {
 public:
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void ShowInfo(const std::string& text) override { infos.push_back(text); }
  std::vector<std::string> errors, infos;
};

class OpenActions : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root + "docs/sub");
    Touch("docs/a.txt");
    SetShellOpen(&shell);
    SetUserMessages(&messages);
  }
  void TearDown() override {
    SetShellOpen(nullptr);
    SetUserMessages(nullptr);
  }
  void Touch(const std::string& name) { std::ofstream(root + name) << "x"; }
  static std::string Line(const std::string& name) { return "9:05:07   создан:    #" + name; }

  const test_support::TTempFolder folder{"vark-open"};
  const std::string root = folder.FolderText();
  TRecordingShell shell;
  TRecordingMessages messages;
};

}  // namespace

TEST_F(OpenActions, FileOpensItselfAndFolderOpensItsParent) {
  OpenLoggedFileIn(root, Line("docs/a.txt"));
  OpenLoggedFolderIn(root, Line("docs/a.txt"));
  EXPECT_EQ(shell.opened, (std::vector<std::string>{root + "docs/a.txt", root + "docs/"}));
}

TEST_F(OpenActions, AFolderOpensItselfWithBothActions) {
  OpenLoggedFileIn(root, Line("docs/sub"));
  OpenLoggedFolderIn(root, Line("docs/sub"));
  EXPECT_EQ(shell.opened, (std::vector<std::string>{root + "docs/sub", root + "docs/sub"}));
}

TEST_F(OpenActions, NothingHappensWithoutANameOrAnItem) {
  for (const std::string& line :
       {std::string("9:05:07    монитор запущен"), std::string("9:05:07   удален:    #"),
        Line("docs/gone.txt"), Line("")}) {
    OpenLoggedFileIn(root, line);
    OpenLoggedFolderIn(root, line);
  }
  EXPECT_TRUE(shell.opened.empty());
  EXPECT_TRUE(messages.errors.empty());
}

TEST_F(OpenActions, LinesResolveAgainstTheFolderGivenNow) {
  // The same line, after the watched folder changed, names the item under the new folder.
  const std::string other = root + "docs/";
  Touch("docs/docs");  // a file named like the old subfolder, under the new folder
  OpenLoggedFileIn(other, Line("docs"));
  EXPECT_EQ(shell.opened, std::vector<std::string>{other + "docs"});
}

TEST_F(OpenActions, NamesAreHandedOverAsTheyAreAndRunNothing) {
  const std::string names[] = {"$(touch injected).txt", "a;b",        "-h",
                               "it's \"q\".txt",        "two\nlines", "a#b.txt",
                               "\xff\xfe.bin",          "`id`"};
  for (const auto& name : names) {
    Touch(name);
    OpenLoggedFileIn(root, Line(name));
  }
  ASSERT_EQ(shell.opened.size(), std::size(names));
  for (size_t i = 0; i < std::size(names); ++i) EXPECT_EQ(shell.opened[i], root + names[i]);
  EXPECT_FALSE(fs::exists(root + "injected"));
  EXPECT_FALSE(fs::exists("injected"));
}

TEST_F(OpenActions, AFailureWhileOpeningShowsTheErrorBox) {
  shell.fail = true;
  OpenLoggedFileIn(root, Line("docs/a.txt"));
  OpenLoggedFolderIn(root, Line("docs/a.txt"));
  EXPECT_EQ(messages.errors, (std::vector<std::string>{kOpenFailedText, kOpenFailedText}));
}

TEST(PopupPosition, BottomRightAboveTheTaskbar) {
  int16_t x = 278, y = 164;
  PopupPositionIn(x, y, 1024, 768, 30);
  EXPECT_EQ(x, 746);
  EXPECT_EQ(y, 574);
  x = 278, y = 164;
  PopupPositionIn(x, y, 1920, 1080, 0);  // no taskbar
  EXPECT_EQ(x, 1642);
  EXPECT_EQ(y, 916);
}
