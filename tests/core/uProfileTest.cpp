#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "settings/uProfile.h"
#include "uSettingsTestSupport.h"

using settings_test::Exists;
using settings_test::Names;
using settings_test::ReadFile;
using settings_test::TTempDir;
using settings_test::WriteFile;

using namespace std::string_literals;

namespace {

std::string Read(std::string_view content, std::string_view key,
                 std::string_view section = "main") {
  return ReadProfileValue(content, section, key, "<default>");
}

}  // namespace

// ---- reading ----

TEST(ProfileRead, NamesIgnoreCaseAndBlanksAroundNamesAndValues) {
  const std::string content = "[ MAIN ]\n  Sound = 1 \n\tFolderPath\t=\t/srv/a b/\t\n";
  EXPECT_EQ(Read(content, "sound"), "1");
  EXPECT_EQ(Read(content, "SOUND", "Main"), "1");
  EXPECT_EQ(Read(content, "folderpath"), "/srv/a b/");
}

TEST(ProfileRead, OnePairOfMatchingQuotesIsRemoved) {
  EXPECT_EQ(Read("[main]\nk=\"/srv/a b/\"\n", "k"), "/srv/a b/");
  EXPECT_EQ(Read("[main]\nk='x'\n", "k"), "x");
  EXPECT_EQ(Read("[main]\nk=\"\"x\"\"\n", "k"), "\"x\"");
  EXPECT_EQ(Read("[main]\nk=\"x'\n", "k"), "\"x'");
  EXPECT_EQ(Read("[main]\nk=\"\n", "k"), "\"");
  EXPECT_EQ(Read("[main]\nk=a\"b\"\n", "k"), "a\"b\"");
}

TEST(ProfileRead, CommentsAndLinesWithoutEqualsAreNoKeys) {
  const std::string content = "[main]\n;k=comment\n  ; k=indented comment\nk\nother=1\n";
  EXPECT_EQ(Read(content, "k"), "<default>");
  EXPECT_EQ(Read(content, ";k"), "<default>");
  EXPECT_EQ(Read(content, "other"), "1");
}

TEST(ProfileRead, EveryKindOfLineEnd) {
  for (const std::string eol : {"\n", "\r\n", "\r"}) {
    const std::string content = "[x]" + eol + "k=no" + eol + "[main]" + eol + "a=1" + eol + "k=2";
    EXPECT_EQ(Read(content, "a"), "1") << "line end " << eol.size();
    EXPECT_EQ(Read(content, "k"), "2") << "line end " << eol.size();
  }
  EXPECT_EQ(Read("[main]\r\na=1\rb=2\nc=3", "b"), "2");
}

TEST(ProfileRead, FirstSectionAndFirstKeyWin) {
  const std::string content = "[main]\nk=first\nk=second\n[other]\nj=1\n[MAIN]\nk=third\nj=2\n";
  EXPECT_EQ(Read(content, "k"), "first");
  // Only the first section of a name is looked at.
  EXPECT_EQ(Read(content, "j"), "<default>");
}

TEST(ProfileRead, MissingPartsGiveTheDefaultAndAnEmptyValueIsEmpty) {
  EXPECT_EQ(Read("", "k"), "<default>");
  EXPECT_EQ(Read("[other]\nk=1\n", "k"), "<default>");
  EXPECT_EQ(Read("[main]\nj=1\n", "k"), "<default>");
  EXPECT_EQ(Read("[main]\nk=\n", "k"), "");
  EXPECT_EQ(Read("[main]\nk=   \n", "k"), "");
  // Keys above the first header belong to no section.
  EXPECT_EQ(Read("k=1\n[main]\n", "k"), "<default>");
  TTempDir dir;
  EXPECT_EQ(GetProfileString("main", "k", "d", dir / "missing.ini"), "d");
}

TEST(ProfileRead, HeaderWithoutClosingBracketIsNoHeader) {
  EXPECT_EQ(Read("[main\nk=1\n", "k"), "<default>");
  EXPECT_EQ(Read("[main]\n[broken\nk=1\n", "k"), "1");
}

TEST(ProfileRead, DamagedBytesNeverBreakTheRead) {
  // A NUL ends a value, as it ends the text of the platform's read.
  EXPECT_EQ(Read("[main]\nk=ab\0cd\n"s, "k"), "ab");
  EXPECT_EQ(Read("\0\0junk\0\n[main]\nk=1\n"s, "k"), "1");
  // Invalid UTF-8 is carried through unchanged.
  EXPECT_EQ(Read("\xff\xfe\x80\n[main]\nk=\xc0\xaf\xff\n", "k"), "\xc0\xaf\xff");
  // A byte-order mark does not hide a header on the first line.
  EXPECT_EQ(Read("\xEF\xBB\xBF[main]\nk=1\n", "k"), "1");
}

TEST(ProfileRead, TextReadsAreCutAt2047Characters) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, "[main]\nk=" + std::string(2100, 'a') + "\n");
  EXPECT_EQ(GetProfileString("main", "k", "", path), std::string(2047, 'a'));

  // Characters, not bytes: a Cyrillic text is not cut inside a letter.
  std::string cyrillic;
  for (int i = 0; i < 2100; ++i) cyrillic += "ж";
  EXPECT_EQ(CutToCharacters(cyrillic, 2047).size(), 2047u * 2);
  // Every byte that is not part of a sequence counts as one character.
  EXPECT_EQ(CutToCharacters(std::string(3000, '\xff'), 2047).size(), 2047u);
  EXPECT_EQ(CutToCharacters("a\xe2\x82", 2), "a\xe2");
}

TEST(ProfileRead, HugeLinesAndFilesOfOtherKindsReadSafely) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, std::string(10 * 1024 * 1024, 'x') +
                      "\n[main]\nk=" + std::string(10 * 1024 * 1024, 'v') + "\nj=2\n");
  EXPECT_EQ(GetProfileString("main", "k", "", path).size(), kProfileTextLimit);
  EXPECT_EQ(GetProfileString("main", "j", "", path), "2");

  // An empty file, a folder, and a pipe (which must not hang the read) give the default.
  WriteFile(dir / "empty.ini", "");
  EXPECT_EQ(GetProfileString("main", "j", "d", dir / "empty.ini"), "d");
  std::filesystem::create_directory(dir / "folder.ini");
  EXPECT_EQ(GetProfileString("main", "j", "d", dir / "folder.ini"), "d");
  ASSERT_EQ(mkfifo((dir / "pipe.ini").c_str(), 0600), 0);
  EXPECT_EQ(GetProfileString("main", "j", "d", dir / "pipe.ini"), "d");
  EXPECT_FALSE(ProfileFileExists(dir / "folder.ini"));
  EXPECT_FALSE(ProfileFileExists(dir / "pipe.ini"));
  EXPECT_TRUE(ProfileFileExists(dir / "empty.ini"));
}

// ---- editing ----

TEST(ProfileEdit, NewFileGetsSectionAndKey) {
  EXPECT_EQ(SetProfileValue("", "main", "k", "v"), "[main]\nk=v\n");
  EXPECT_EQ(SetProfileValue("", "main", "k", "v", "\r\n"), "[main]\r\nk=v\r\n");
}

TEST(ProfileEdit, MissingSectionIsAppendedAfterAFinalLineEnd) {
  EXPECT_EQ(SetProfileValue("[a]\nx=1", "main", "k", "v"), "[a]\nx=1\n[main]\nk=v\n");
  EXPECT_EQ(SetProfileValue("[a]\r\nx=1\r\n", "main", "k", "v"), "[a]\r\nx=1\r\n[main]\r\nk=v\r\n");
  EXPECT_EQ(SetProfileValue("; note\rx", "main", "k", "v"), "; note\rx\r[main]\rk=v\r");
  EXPECT_EQ(SetProfileValue("\xEF\xBB\xBF", "main", "k", "v"), "\xEF\xBB\xBF[main]\nk=v\n");
}

TEST(ProfileEdit, ExistingKeyChangesOnlyItsValue) {
  const std::string before = "; c\r\n[Main]\r\n  sound =  1  \r\n\r\n[other]\r\nsound=1\r\n";
  EXPECT_EQ(SetProfileValue(before, "main", "SOUND", "0"),
            "; c\r\n[Main]\r\n  sound =  0  \r\n\r\n[other]\r\nsound=1\r\n");
  EXPECT_EQ(SetProfileValue("[main]\nk=\nj=1", "main", "k", "/a/"), "[main]\nk=/a/\nj=1");
  EXPECT_EQ(SetProfileValue("[main]\nk = \"old\" ; x\n", "main", "k", "new"), "[main]\nk = new\n");
  EXPECT_EQ(SetProfileValue("[main]\nk=old\n", "main", "k", ""), "[main]\nk=\n");
}

TEST(ProfileEdit, NewKeyGoesAfterTheLastKeyOfItsSection) {
  EXPECT_EQ(SetProfileValue("[main]\na=1\n\n; note\n[x]\n", "main", "b", "2"),
            "[main]\na=1\nb=2\n\n; note\n[x]\n");
  EXPECT_EQ(SetProfileValue("[main]\n[x]\n", "main", "b", "2"), "[main]\nb=2\n[x]\n");
  EXPECT_EQ(SetProfileValue("[main]", "main", "b", "2"), "[main]\nb=2\n");
  EXPECT_EQ(SetProfileValue("[main]\r\na=1", "main", "b", "2"), "[main]\r\na=1\r\nb=2\r\n");
}

TEST(ProfileEdit, ValuesThatReadingWouldChangeAreQuoted) {
  for (const std::string value : {" lead", "trail ", "\"q\"", "'q'", "\"", "plain", ""}) {
    const std::string content = SetProfileValue("[main]\nk=x\n", "main", "k", value);
    EXPECT_EQ(ReadProfileValue(content, "main", "k", "<default>"), value) << content;
  }
}

// ---- writing files ----

TEST(ProfileWrite, CreatesTheFileAndLeavesNothingBeside) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  ASSERT_EQ(WriteProfileString("main", "k", "1", path), 0);
  ASSERT_EQ(WriteProfileString("main", "j", "2", path), 0);
  EXPECT_EQ(ReadFile(path), "[main]\nk=1\nj=2\n");
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"option.ini"});
  EXPECT_EQ(GetProfileString("MAIN", "J", "", path), "2");
}

TEST(ProfileWrite, LinksAreWrittenThroughAndPermissionsKept) {
  TTempDir dir;
  const std::string target = dir / "real.ini";
  WriteFile(target, "[main]\nk=1\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(symlink("real.ini", (dir / "option.ini").c_str()), 0);
  ASSERT_EQ(WriteProfileString("main", "k", "2", dir / "option.ini"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "option.ini"));
  EXPECT_EQ(ReadFile(target), "[main]\nk=2\n");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A link to a file that is not there yet creates it.
  ASSERT_EQ(symlink("later.ini", (dir / "dangling.ini").c_str()), 0);
  ASSERT_EQ(WriteProfileString("main", "k", "3", dir / "dangling.ini"), 0);
  EXPECT_EQ(ReadFile(dir / "later.ini"), "[main]\nk=3\n");
}

TEST(ProfileWrite, RefusedWritesChangeNothing) {
  TTempDir dir;
  std::filesystem::create_directory(dir / "option.ini");
  EXPECT_EQ(WriteProfileString("main", "k", "1", dir / "option.ini"), EISDIR);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "option.ini"));

  const std::string path = dir / "good.ini";
  WriteFile(path, "[main]\nk=1\n");
  EXPECT_EQ(WriteProfileString("main", "k", "a\nj=injected", path), EINVAL);
  EXPECT_EQ(WriteProfileString("main", "k", "a\rb", path), EINVAL);
  EXPECT_EQ(WriteProfileString("main", "k", "a\0b"s, path), EINVAL);
  EXPECT_EQ(ReadFile(path), "[main]\nk=1\n");
  EXPECT_EQ(WriteProfileString("main", "k", "1", dir / "no-such-folder/option.ini"), ENOENT);
}

TEST(ProfileWrite, ReadOnlyFileIsRefused) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, "[main]\nk=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);  // the folder itself would allow a rename
  EXPECT_UNPRIVILEGED([&] {
    if (WriteProfileString("main", "k", "2", path) != EACCES) return 1;
    if (ReadFile(path) != "[main]\nk=1\n") return 2;
    if (Names(dir.Path()).size() != 1) return 3;
    return 0;
  });
}

TEST(ProfileWrite, FolderWithoutWriteAccessIsRefused) {
  TTempDir dir;
  EXPECT_UNPRIVILEGED([&] {
    if (WriteProfileString("main", "k", "2", dir / "option.ini") != EACCES) return 1;
    if (Exists(dir / "option.ini")) return 2;
    return 0;
  });
}

TEST(ProfileWrite, UnreadableFileReadsDefaultsAndIsNotOverwritten) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, "[main]\nk=1\nkeep=me\n");
  ASSERT_EQ(chmod(path.c_str(), 0222), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
  EXPECT_UNPRIVILEGED([&] {
    if (GetProfileString("main", "k", "d", path) != "d") return 1;
    if (!ProfileFileExists(path)) return 2;
    if (WriteProfileString("main", "k", "2", path) != EACCES) return 3;
    return 0;
  });
  EXPECT_EQ(ReadFile(path), "[main]\nk=1\nkeep=me\n");
}

TEST(ProfileWrite, WritableFileInAFolderWithoutWriteAccessIsWrittenInPlace) {
  TTempDir dir;  // owned by root: no new names for the unprivileged user
  const std::string path = dir / "option.ini";
  WriteFile(path, "[main]\nk=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  EXPECT_UNPRIVILEGED([&] {
    if (WriteProfileString("main", "k", "2", path) != 0) return 1;
    if (ReadFile(path) != "[main]\nk=2\n") return 2;
    return 0;
  });
}
