// The Windows platform layer's texts and paths: error texts, names, time text, program paths.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/uPathProbe.h"
#include "base/uPlatformText.h"
#include "base/uPlatformTextWin.h"
#include "base/uTimeText.h"
#include "settings/uAppPaths.h"
#include "uWinTestSupport.h"

namespace {

std::string RawText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n ? NarrowText(std::wstring_view(buffer, n)) : std::string();
  LocalFree(buffer);
  return text;
}

}  // namespace

TEST(WinPlatformText, FormatMessagesTextIsTrimmedOfBlanksLineBreaksAndThePeriod) {
  for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
                           ERROR_SHARING_VIOLATION, ERROR_INVALID_PARAMETER}) {
    const std::string raw = RawText(code);
    ASSERT_FALSE(raw.empty()) << code;
    // The system's text ends in a period and a line break: there is something to trim.
    ASSERT_TRUE(raw.back() == '\n' || raw.back() == '.' || raw.back() == ' ') << code << raw;
    const std::string text = SystemErrorText(static_cast<int>(code));
    EXPECT_EQ(text, TrimSystemText(raw)) << code;
    EXPECT_EQ(raw.rfind(text, 0), 0u) << code;
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.') << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), ' ') << code;
  }
}

TEST(WinPlatformText, WideAndNarrowTextRoundTrip) {
  const std::wstring wide = L"C:\\Отчёт\\日本語 \U0001F600.txt";
  EXPECT_EQ(NarrowText(wide), "C:\\Отчёт\\日本語 \xf0\x9f\x98\x80.txt");
  EXPECT_EQ(WideText(NarrowText(wide)), wide);
  // Windows-1251 bytes as UTF-8, whatever the system's own code page is.
  EXPECT_EQ(AnsiToUtf8("\xcf\xe0\xef\xea\xe0", 1251), "Папка");
  EXPECT_EQ(AnsiToUtf8("", 1251), "");
}

TEST(WinPlatformText, PathsOutsideTheAnsiCodePageAreFound) {
  win_test::TTempDir dir;
  std::filesystem::create_directories(dir / "Папка 日本");
  win_test::WriteBytes(dir / "Отчёт 😀.txt", "x");
  const std::string folder = dir.FolderText() + "Папка 日本";
  const std::string file = dir.FolderText() + "Отчёт \xf0\x9f\x98\x80.txt";
  EXPECT_TRUE(std::filesystem::is_directory(PlatformPath(folder)));
  EXPECT_TRUE(std::filesystem::is_regular_file(PlatformPath(file)));
  // What is looked at, not how soon: a busy machine may start Wine's threads slowly, so a look
  // that did not answer in time is tried again.
  const auto look = [](const std::string& path) {
    TPathKind kind = TPathKind::NoAnswer;
    for (int i = 0; i < 3 && kind == TPathKind::NoAnswer; ++i) {
      kind = ProbePath(path, std::chrono::seconds(10));
    }
    return kind;
  };
  EXPECT_EQ(look(file), TPathKind::File);
  EXPECT_EQ(look(folder), TPathKind::Folder);
  EXPECT_EQ(look(dir.FolderText() + "Нет такого"), TPathKind::None);
}

// The log's time text in the user's format: the same as the system's own long time text, for
// every hour of the day.
TEST(WinTimeText, TheUsersFormatGivesTheSystemsOwnTimeText) {
  const TTimeFormat format = TimeFormatFromLocale();
  for (int hour = 0; hour < 24; ++hour) {
    std::tm time{};
    time.tm_hour = hour;
    time.tm_min = 5;
    time.tm_sec = 7;
    SYSTEMTIME system{};
    system.wYear = 2024;
    system.wMonth = 5;
    system.wDay = 1;
    system.wHour = static_cast<WORD>(hour);
    system.wMinute = 5;
    system.wSecond = 7;
    wchar_t buffer[80] = {};
    ASSERT_GT(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &system, nullptr, buffer, 80), 0);
    EXPECT_EQ(FormatTime(time, format), NarrowText(buffer)) << hour;
  }
}

TEST(WinAppPaths, TheProgramsPathAndFolder) {
  const std::string path = ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.substr(path.size() - std::string("vark_core_tests.exe").size()),
            "vark_core_tests.exe");
  EXPECT_NE(GetFileAttributesW(WideText(path).c_str()), INVALID_FILE_ATTRIBUTES);
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  EXPECT_EQ(path.rfind(dir, 0), 0u);
  EXPECT_FALSE(ConfigHome().empty());
}

TEST(WinAppPaths, WhatMayBeWritten) {
  win_test::TTempDir dir;
  std::filesystem::create_directories(dir / "Папка 日本");
  EXPECT_TRUE(FolderWritable(dir.FolderText() + "Папка 日本\\"));
  EXPECT_FALSE(FolderWritable(dir.FolderText() + "нет\\"));
  win_test::WriteBytes(dir / "Файл.ini", "x");
  const std::string file = dir.FolderText() + "Файл.ini";
  EXPECT_TRUE(FileWritable(file));
  ASSERT_TRUE(SetFileAttributesW((dir / "Файл.ini").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(FileWritable(file));
  SetFileAttributesW((dir / "Файл.ini").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_FALSE(FileWritable(dir.FolderText() + "Папка 日本"));
  EXPECT_FALSE(FileWritable(dir.FolderText() + "нет.ini"));
  // The probe file of the folder test is gone again.
  EXPECT_TRUE(std::filesystem::is_empty(dir / "Папка 日本"));
}
