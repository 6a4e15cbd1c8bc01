// Looking at a path from the user-interface thread: what is there, and a share that does not
// answer holding the caller up for a bounded time only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "actions/uAdditionalLogic.h"
#include "actions/uObjFiles.h"
#include "base/uPathProbe.h"
#include "settings/uUserMessages.h"
#include "uTempFolder.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

TEST(PathProbe, TellsFilesFoldersAndNothingFollowingLinks) {
  const test_support::TTempFolder folder("vark-probe");
  const std::string& root = folder.Path();
  fs::create_directories(root + "/dir");
  std::ofstream(root + "/file") << "x";
  fs::create_directory_symlink(root + "/dir", root + "/to-dir");
  fs::create_symlink(root + "/gone", root + "/dangling");
  EXPECT_EQ(ProbePath(root + "/dir", 5s), TPathKind::Folder);
  EXPECT_EQ(ProbePath(root + "/to-dir", 5s), TPathKind::Folder);
  EXPECT_EQ(ProbePath(root + "/file", 5s), TPathKind::File);
  EXPECT_EQ(ProbePath(root + "/dangling", 5s), TPathKind::None);
  EXPECT_EQ(ProbePath(root + "/missing", 5s), TPathKind::None);
  EXPECT_EQ(ProbePath("", 5s), TPathKind::None);
  // A name with a NUL names nothing, not the part before it.
  EXPECT_EQ(ProbePath(root + "/dir" + std::string(1, '\0') + "x", 5s), TPathKind::None);
}

// Every path under /share is a folder on a share; while `hang` is set, a look there does not end
// until it is let go, as on a share whose server is down. Every other path is a local file.
class HungShare : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPathLookForTests([this](const std::string& path) {
      if (path.rfind("/share", 0) != 0) return TPathKind::File;
      ++looks_;
      {
        std::unique_lock lock(mutex_);
        released_.wait(lock, [this] { return !hang || released; });
      }
      ++ended_;  // the look touches nothing of the test after this
      return TPathKind::Folder;
    });
    SetUserMessages(&messages);
  }
  void TearDown() override {
    SetUserMessages(nullptr);
    Release();
    // Every look that hung has let go of this test before it goes.
    for (int i = 0; i < 500 && ended_.load() < looks_.load(); ++i)
      std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ended_.load(), looks_.load());
    SetPathLookForTests({});
    // The hung look ends in the background; the next one is served again.
    TPathKind kind = TPathKind::NoAnswer;
    for (int i = 0; i < 500 && kind == TPathKind::NoAnswer; ++i) {
      kind = ProbePath("/", 1s);
      if (kind == TPathKind::NoAnswer) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(kind, TPathKind::Folder);
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released = true;
    released_.notify_all();
  }

  std::atomic<int> looks_{0};
  std::atomic<int> ended_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool released = false;
  bool hang = true;
  struct TRecordingMessages : IUserMessages {
    void ShowError(const std::string& text) override { errors.push_back(text); }
    void ShowInfo(const std::string& text) override { infos.push_back(text); }
    std::vector<std::string> errors, infos;
  } messages;
};

TEST_F(HungShare, AHungLookHoldsUpNoOtherAndHungLooksAreBounded) {
  EXPECT_EQ(ProbePath("/share/a", 50ms), TPathKind::NoAnswer);
  // A local file is still answered while the share hangs.
  EXPECT_EQ(ProbePath("/home/a.txt", 5s), TPathKind::File);
  for (int i = 1; i < kMaxOutstandingLooks; ++i) {
    EXPECT_EQ(ProbePath("/share/b" + std::to_string(i), 1ms), TPathKind::NoAnswer);
  }
  EXPECT_TRUE([&] {
    for (int i = 0; i < 500 && looks_.load() < kMaxOutstandingLooks; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return looks_.load() == kMaxOutstandingLooks;
  }());
  // Past the bound no new helper is made, and the caller is not held up.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(ProbePath("/home/a.txt", 5s), TPathKind::NoAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);
  EXPECT_EQ(looks_.load(), kMaxOutstandingLooks);
}

TEST_F(HungShare, ThePopupAndTheOpenActionsLookThroughIt) {
  class TRecordingShell : public IShellOpen {
   public:
    void Open(const std::string& path) override { opened.push_back(path); }
    std::vector<std::string> opened;
  } shell;
  SetShellOpen(&shell);
  const std::string line = "9:05:07   создан:    #dir";
  {
    std::lock_guard lock(mutex_);
    hang = false;
  }
  EXPECT_EQ(TMsgFrm("/share/dir", "создан", "dir").PictureIndex, kFolderPicture);
  OpenLoggedFolderIn("/share/", line);
  EXPECT_EQ(shell.opened, std::vector<std::string>{"/share/dir"});
  {
    std::lock_guard lock(mutex_);
    hang = true;
  }
  EXPECT_TRUE(messages.errors.empty());
  // The share stops answering: no folder picture, nothing opened, the caller goes on, and the user
  // learns why nothing opened.
  EXPECT_EQ(TMsgFrm("/share/dir", "создан", "dir").PictureIndex, kNonePicture);
  OpenLoggedFolderIn("/share/", line);
  OpenLoggedFileIn("/share/", line);
  EXPECT_EQ(shell.opened.size(), 1u);
  const std::string told = std::string(kOpenNoAnswerText) + "/share/dir";
  EXPECT_EQ(messages.errors, (std::vector<std::string>{told, told}));
  SetShellOpen(nullptr);
}

}  // namespace
