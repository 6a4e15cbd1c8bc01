// The Windows sound calls: what reaches PlaySound and MessageBeep.
#include <gtest/gtest.h>

// mmsystem.h needs windows.h before it.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <string>
#include <utility>
#include <vector>

#include "ui/uSound.h"
#include "ui/uSoundWin.h"

namespace {

class WinSound : public ::testing::Test {
 protected:
  void SetUp() override {
    SetSoundCallsForTesting({[this](const std::wstring& name, unsigned flags) {
                               played_.emplace_back(name, flags);
                               return playAnswer_;
                             },
                             [this](unsigned type) {
                               beeps_.push_back(type);
                               return beepAnswer_;
                             }});
  }
  void TearDown() override { SetSoundCallsForTesting({}); }

  std::vector<std::pair<std::wstring, unsigned>> played_;
  std::vector<unsigned> beeps_;
  bool playAnswer_ = true;
  bool beepAnswer_ = true;
};

}  // namespace

TEST_F(WinSound, AFileIsPlayedAsynchronouslyByItsFullName) {
  PlaySoundFile("C:\\Программы\\Vark\\notify.wav", "message-new-instant");
  ASSERT_EQ(played_.size(), 1u);
  EXPECT_EQ(played_[0].first, L"C:\\Программы\\Vark\\notify.wav");
  // SND_ASYNC alone: a missing file plays the system's default sound, and nothing waits.
  EXPECT_EQ(played_[0].second, static_cast<unsigned>(SND_ASYNC));
  EXPECT_TRUE(beeps_.empty());
}

TEST_F(WinSound, TheBoxesBeepWithTheirIcons) {
  PlayErrorSound();
  PlayInfoSound();
  EXPECT_EQ(beeps_, (std::vector<unsigned>{MB_ICONHAND, MB_ICONASTERISK}));
  EXPECT_EQ(MB_ICONHAND, 16u);
  EXPECT_EQ(MB_ICONASTERISK, 64u);
}

TEST_F(WinSound, ThemeSoundsBecomeBeepsAndAFailedOneFallsBack) {
  PlayThemeSound("dialog-error");
  PlayThemeSound("dialog-information");
  PlayThemeSound("something-else", nullptr);
  EXPECT_EQ(beeps_, (std::vector<unsigned>{MB_ICONHAND, MB_ICONASTERISK, MB_OK}));
  beeps_.clear();
  beepAnswer_ = false;
  PlayThemeSound("dialog-error", "bell");
  EXPECT_EQ(beeps_, (std::vector<unsigned>{MB_ICONHAND, MB_OK}));
  beeps_.clear();
  PlayThemeSound("dialog-error", nullptr);
  EXPECT_EQ(beeps_, (std::vector<unsigned>{MB_ICONHAND}));
}
