// The settings file on Windows: the INI layer over the Win32 file calls.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "settings/uFileIni.h"
#include "settings/uProfile.h"
#include "uWinTestSupport.h"

// windows.h names the system's own profile calls so; here they are the INI layer's.
#undef GetProfileString
#undef WriteProfileString

using win_test::ReadBytes;
using win_test::TTempDir;
using win_test::WriteBytes;

namespace {

// Random INI text: sections, keys, comments and stray lines with mixed line ends and Cyrillic,
// CJK and other non-ASCII text, all valid UTF-8.
std::string RandomIni(std::mt19937& random) {
  static const char* const pieces[] = {"[main]",     "[Other]",        "FolderPath=C:\\Папка\\",
                                       "tray = 1",   "; комментарий",  "sound=0",
                                       "key=日本語", "AlertWindow=$1", "",
                                       "  start=  ", "stray line",     "[MAIN]",
                                       "a=b=c"};
  static const char* const ends[] = {"\r\n", "\n", "\r"};
  std::string text;
  const int lines = static_cast<int>(random() % 12);
  for (int i = 0; i < lines; ++i) {
    text += pieces[random() % std::size(pieces)];
    text += ends[random() % 3];
  }
  if (random() % 2) text += pieces[random() % std::size(pieces)];  // no final line end
  return text;
}

}  // namespace

TEST(WinProfile, AWriteChangesOneKeyAndLeavesEveryOtherByteAsItWas) {
  TTempDir dir;
  std::mt19937 random(7);
  static const char* const keys[] = {"FolderPath", "tray", "sound", "new"};
  static const char* const values[] = {"C:\\Отчёты\\", "1", "", "日本"};
  for (int round = 0; round < 150; ++round) {
    const std::string original = RandomIni(random);
    const auto file = dir / ("option" + std::to_string(round) + ".ini");
    WriteBytes(file, original);
    const std::string key = keys[random() % 4];
    const std::string value = values[random() % 4];
    const std::string path = dir.FolderText() + "option" + std::to_string(round) + ".ini";
    ASSERT_EQ(WriteProfileString("main", key, value, path), 0);
    // The same change as the layer makes to the text itself: no line end or encoding changed.
    EXPECT_EQ(ReadBytes(file), SetProfileValue(original, "main", key, value))
        << "round " << round << "\n"
        << original;
    EXPECT_EQ(GetProfileString("main", key, "?", path), value);
  }
}

TEST(WinProfile, AFileInTheAnsiCodePageIsReadInItAndRewrittenAsUtf8) {
  TTempDir dir;
  // "Папка" in Windows-1251 and the bytes of "é" in Windows-1252: not valid UTF-8 either way.
  const std::string ansiValue = "\xcf\xe0\xef\xea\xe0 \xe9";
  const std::string original = "[main]\r\nFolderPath=" + ansiValue + "\r\ntray=1\r\n";
  WriteBytes(dir / "option.ini", original);
  const std::string path = dir.FolderText() + "option.ini";
  // What the system's code page makes of the bytes, as UTF-8.
  const int n = MultiByteToWideChar(CP_ACP, 0, ansiValue.data(), static_cast<int>(ansiValue.size()),
                                    nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansiValue.data(), static_cast<int>(ansiValue.size()), wide.data(),
                      n);
  const std::string expected = NarrowText(wide);
  ASSERT_TRUE(IsValidUtf8(expected));
  ASSERT_NE(expected, ansiValue);

  EXPECT_EQ(GetProfileString("main", "FolderPath", "", path), expected);
  ASSERT_EQ(WriteProfileString("main", "sound", "0", path), 0);
  const std::string rewritten = ReadBytes(dir / "option.ini");
  EXPECT_TRUE(IsValidUtf8(rewritten));
  EXPECT_EQ(rewritten, "[main]\r\nFolderPath=" + expected + "\r\ntray=1\r\nsound=0\r\n");
  EXPECT_EQ(GetProfileString("main", "FolderPath", "", path), expected);
}

TEST(WinProfile, AValidUtf8FileIsNeverTakenForAnsi) {
  TTempDir dir;
  const std::string content = "\xef\xbb\xbf[main]\r\nFolderPath=C:\\Папка 日本\\\r\n";
  WriteBytes(dir / "option.ini", content);
  const std::string path = dir.FolderText() + "option.ini";
  EXPECT_EQ(GetProfileString("main", "FolderPath", "", path), "C:\\Папка 日本\\");
}

TEST(WinProfile, AFolderOutsideTheAnsiCodePageHoldsTheFile) {
  TTempDir dir;
  std::filesystem::create_directories(dir / "настройки 日本");
  const std::string path = dir.FolderText() + "настройки 日本\\option.ini";
  FileParam param;
  param.FolderPath = "D:\\Ελληνικά\\";
  param.tray = true;
  SaveIni(param, path);
  ASSERT_TRUE(std::filesystem::exists(dir / "настройки 日本\\option.ini"));
  const FileParam loaded = LoadIni(path);
  EXPECT_EQ(loaded.FolderPath, param.FolderPath);
  EXPECT_TRUE(loaded.tray);
  EXPECT_TRUE(ProfileFileExists(path));
  EXPECT_FALSE(ProfileFileExists(dir.FolderText() + "настройки 日本"));
}

TEST(WinProfile, AReadOnlyFileIsRefusedAndKeptAsItWas) {
  TTempDir dir;
  const std::string original = "[main]\r\ntray=0\r\n";
  WriteBytes(dir / "option.ini", original);
  const std::string path = dir.FolderText() + "option.ini";
  ASSERT_TRUE(SetFileAttributesW((dir / "option.ini").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_NE(WriteProfileString("main", "tray", "1", path), 0);
  EXPECT_THROW(SaveIniFolder("C:\\x\\", path), EIniWriteError);
  EXPECT_EQ(ReadBytes(dir / "option.ini"), original);
  EXPECT_FALSE(std::filesystem::exists(dir / "option.ini.vark-new"));
  SetFileAttributesW((dir / "option.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(WinProfile, AFilePastTheBoundIsDamagedAndNeverReadIntoMemory) {
  TTempDir dir;
  const std::filesystem::path file = dir / "option.ini";
  const std::string path = dir.FolderText() + "option.ini";
  // Just past the bound, then a sparse 16 GB, which a read of the whole would never finish.
  WriteBytes(file, "[main]\r\ntray=0\r\n" + std::string(kProfileFileLimit, '\n'));
  EXPECT_EQ(TProfileFile(path).Error(), EFBIG);
  EXPECT_EQ(GetProfileString("main", "tray", "d", path), "d");
  std::filesystem::resize_file(file, uint64_t{1} << 34);
  EXPECT_EQ(TProfileFile(path).Error(), EFBIG);
  EXPECT_EQ(WriteProfileString("main", "tray", "1", path), EFBIG);
  EXPECT_EQ(std::filesystem::file_size(file), uint64_t{1} << 34);
  // At the bound it is still a settings file.
  std::filesystem::remove(file);
  WriteBytes(file, "[main]\r\ntray=1\r\n" + std::string(kProfileFileLimit - 16, '\n'));
  EXPECT_EQ(TProfileFile(path).Error(), 0);
  EXPECT_EQ(GetProfileString("main", "tray", "d", path), "1");
}

// Programs sharing the file take turns: a save waits while another holds the lock, then reads the
// file afresh, so what the other one wrote meanwhile stays; all its keys go in one write.
TEST(WinProfile, ASaveWaitsForTheLockAndKeepsWhatWasWrittenMeanwhile) {
  TTempDir dir;
  const std::string path = dir.FolderText() + "option.ini";
  WriteBytes(dir / "option.ini", "[main]\r\n");
  auto lock = std::make_unique<TProfileLock>(path, true);
  ASSERT_TRUE(lock->Held());
  std::atomic<bool> done{false};
  std::thread saver([&] {
    EXPECT_EQ(WriteProfileStrings("main", {{"tray", "1"}, {"sound", "0"}}, path), 0);
    done = true;
  });
  // A save that did not wait would be over long before this.
  for (int i = 0; i < 200 && !done; ++i) Sleep(5);
  const bool waited = !done;
  EXPECT_EQ(WriteFileReplacing(path, "[main]\r\nstart=1\r\n"), 0);
  lock.reset();
  saver.join();
  EXPECT_TRUE(waited);
  EXPECT_EQ(ReadBytes(dir / "option.ini"), "[main]\r\nstart=1\r\ntray=1\r\nsound=0\r\n");
}
