#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "settings/uFileIni.h"
#include "settings/uProfile.h"
#include "uSettingsTestSupport.h"

using settings_test::ReadFile;
using settings_test::TTempDir;
using settings_test::WriteFile;

using namespace std::string_literals;

namespace {

const char* const kDefaultsText =
    "[main]\nAutoLoad=0\ntray=0\nsound=1\nAlertWindow=1\nstart=0\nFolderPath=\n";

void ExpectParam(const FileParam& p, bool autoLoad, bool tray, bool sound, bool alert, bool start,
                 const std::string& folder) {
  EXPECT_EQ(p.AutoLoad, autoLoad);
  EXPECT_EQ(p.tray, tray);
  EXPECT_EQ(p.sound, sound);
  EXPECT_EQ(p.AlertWindow, alert);
  EXPECT_EQ(p.start, start);
  EXPECT_EQ(p.FolderPath, folder);
}

}  // namespace

TEST(FileIni, MissingFileIsCreatedWithTheDefaults) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  ExpectParam(LoadIni(path), false, false, true, true, false, "");
  EXPECT_EQ(ReadFile(path), kDefaultsText);
}

TEST(FileIni, EmptyFileReadsTheReadDefaultsAndStaysEmpty) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, "");
  ExpectParam(LoadIni(path), true, false, true, true, false, "");
  EXPECT_EQ(ReadFile(path), "");
}

TEST(FileIni, OnOffValuesFollowTheIntegerRule) {
  const std::vector<std::pair<std::string, bool>> on = {
      {"1", true},
      {"2", true},
      {"-1", true},
      {"0x10", true},
      {"$1", true},
      {"0XfF", true},
      {"$FFFFFFFF", true},
      {"-2147483648", true},
      {"0", false},
      {"0x0", false},
      {"$0", false},
      {"-0", false},
      {"00", false},
      // Leading zeros are no digits of the 32 bits; a sign may stand before "$".
      {"$000000001", true},
      {"0x00000000FFFFFFFF", true},
      {"$000000000000", false},
      {"0000000000002147483647", true},
      {"-$10", true},
      {"+$0", false},
      {"+7", true}};
  for (const auto& [text, value] : on) {
    EXPECT_EQ(IniFlag(text, !value), value) << text;
  }
  for (const std::string text : {"true",
                                 "yes",
                                 "",
                                 "1.0",
                                 "1x",
                                 "0x",
                                 "$",
                                 "-",
                                 "0x1FFFFFFFF",
                                 "2147483648",
                                 "99999999999999999999",
                                 " 1",
                                 "-0x10",
                                 "+0x1",
                                 "$0100000000",
                                 "-2147483649",
                                 "0x-1",
                                 "$$1",
                                 "--1",
                                 "-"}) {
    EXPECT_TRUE(IniFlag(text, true)) << text;
    EXPECT_FALSE(IniFlag(text, false)) << text;
  }
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, "[main]\nAutoLoad=yes\ntray=0x10\nsound=0\nAlertWindow=true\nstart=$1\n");
  ExpectParam(LoadIni(path), true, true, false, true, true, "");
}

TEST(FileIni, SectionSpellingDoesNotMatterAndSaveIniUpdatesInPlace) {
  for (const std::string header : {"[MAIN]", "[Main]", "[main]"}) {
    TTempDir dir;
    const std::string path = dir / "option.ini";
    WriteFile(path, header + "\r\ntray=1\r\nFolderPath=/a/\r\n");
    ExpectParam(LoadIni(path), true, true, true, true, false, "/a/");
    SaveIni({false, false, false, false, true, "/b/"}, path);
    EXPECT_EQ(ReadFile(path), header +
                                  "\r\ntray=0\r\nFolderPath=/b/\r\nAutoLoad=0\r\nsound=0\r\n"
                                  "AlertWindow=0\r\nstart=1\r\n");
  }
}

TEST(FileIni, SaveIniRecreatesADeletedFileUnderMain) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  LoadIni(path);
  std::filesystem::remove(path);
  SaveIni({true, true, false, true, false, "/srv/data/"}, path);
  EXPECT_EQ(ReadFile(path),
            "[Main]\nAutoLoad=1\ntray=1\nsound=0\nAlertWindow=1\nstart=0\nFolderPath=/srv/data/\n");
  ExpectParam(LoadIni(path), true, true, false, true, false, "/srv/data/");
}

TEST(FileIni, SaveIniFolderChangesTheFolderLineOnly) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  const std::string before =
      "; mine\r\n[main]\r\nAutoLoad = 1\r\nFolderPath = /old/ \r\n\r\n[x]\r\n";
  WriteFile(path, before);
  SaveIniFolder("/new folder/", path);
  EXPECT_EQ(ReadFile(path),
            "; mine\r\n[main]\r\nAutoLoad = 1\r\nFolderPath = /new folder/ \r\n\r\n[x]\r\n");
  SaveIniFolder("", path);
  EXPECT_EQ(LoadIni(path).FolderPath, "");
}

TEST(FileIni, LongFolderReadsBackCut) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  SaveIniFolder("/" + std::string(2099, 'd'), path);
  EXPECT_EQ(LoadIni(path).FolderPath, "/" + std::string(2046, 'd'));
}

TEST(FileIni, DamagedFileReadsDefaultsAndKeepsEveryLineOnWrite) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  const std::string junk = "\xEF\xBB\xBFjunk\0with NUL\n"s + "\xff\xfe\xc0\n" +
                           std::string(512 * 1024, 'z') + "\n[main\nsound=0\nno equals\r\n";
  WriteFile(path, junk + "[ main ]\nsound = 0x0 \ntray =  \"1\"\nFolderPath=\"/q/\"");
  ExpectParam(LoadIni(path), true, true, false, true, false, "/q/");
  SaveIni({false, true, true, false, false, "/r/"}, path);
  const std::string after = ReadFile(path);
  // Every byte before the section is as it was (compared without printing a megabyte).
  EXPECT_TRUE(after.compare(0, junk.size(), junk) == 0);
  EXPECT_EQ(
      after.substr(junk.size()),
      "[ main ]\nsound = 1 \ntray =  1\nFolderPath=/r/\nAutoLoad=0\nAlertWindow=0\nstart=0\n");
  ExpectParam(LoadIni(path), false, true, true, false, false, "/r/");
}

TEST(FileIni, RefusedWriteRaisesWithTheFullPath) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  std::filesystem::create_directory(path);
  try {
    LoadIni(path);
    FAIL() << "no error for a folder in place of the file";
  } catch (const EIniWriteError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + path);
    EXPECT_EQ(error.Path(), path);
  }
  EXPECT_THROW(SaveIniFolder("/a/", path), EIniWriteError);
  EXPECT_THROW(SaveIni({}, path), EIniWriteError);
  EXPECT_THROW(SaveIniDefaults(path), EIniWriteError);
}

TEST(FileIni, ReadOnlyFileRaisesAndStaysAsItWas) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, kDefaultsText);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  EXPECT_UNPRIVILEGED([&] {
    try {
      SaveIni({true, true, true, true, true, "/x/"}, path);
      return 1;
    } catch (const EIniWriteError& error) {
      if (std::string(error.what()) != "Unable to write to " + path) return 2;
    }
    if (LoadIni(path).FolderPath != "") return 3;
    return 0;
  });
  EXPECT_EQ(ReadFile(path), kDefaultsText);
}

TEST(FileIni, FileTooLargeReadsTheDefaultsAndIsNeverWritten) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  // Within the bound a file of nothing but line breaks still reads; one byte more is damaged.
  const std::string head = "[main]\ntray=1\n";
  WriteFile(path, head + std::string(kProfileFileLimit - head.size(), '\n'));
  bool damaged = true;
  ExpectParam(LoadIni(path, &damaged), true, true, true, true, false, "");
  EXPECT_FALSE(damaged);
  // A save that would grow it past the bound is refused before anything is written.
  EXPECT_THROW(SaveIniFolder("/a/", path), EIniWriteError);

  WriteFile(path, head + std::string(kProfileFileLimit - head.size() + 1, '\n'));
  ExpectParam(LoadIni(path, &damaged), false, false, true, true, false, "");
  EXPECT_TRUE(damaged);
  EXPECT_THROW(SaveIni({}, path), EIniWriteError);
  EXPECT_THROW(SaveIniDefaults(path), EIniWriteError);
  EXPECT_EQ(std::filesystem::file_size(path), kProfileFileLimit + 1);
  EXPECT_EQ(ReadFile(path).substr(0, head.size()), head);
}
