#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "settings/uProfile.h"
#include "uSettingsTestSupport.h"

using settings_test::Exists;
using settings_test::Names;
using settings_test::ReadFile;
using settings_test::TEnvScope;
using settings_test::TTempDir;
using settings_test::WriteFile;

using namespace std::string_literals;

namespace {

std::string Read(std::string_view content, std::string_view key,
                 std::string_view section = "main") {
  return ReadProfileValue(content, section, key, "<default>");
}

// A folder in `dir` that the unprivileged user of the permission checks owns.
std::string UserOwnedFolder(const TTempDir& dir, const std::string& name) {
  const std::string folder = dir / name;
  std::filesystem::create_directories(folder);
  if (geteuid() == 0) {
    EXPECT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  }
  return folder;
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

TEST(ProfileRead, HugeFilesAreRefusedUnreadAndFilesOfOtherKindsReadSafely) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  // Long lines within the bound read as ever.
  WriteFile(path, std::string(300 * 1024, 'x') + "\n[main]\nk=" + std::string(300 * 1024, 'v') +
                      "\nj=2\n");
  EXPECT_EQ(GetProfileString("main", "k", "", path).size(), kProfileTextLimit);
  EXPECT_EQ(GetProfileString("main", "j", "", path), "2");

  // Past the bound: a sparse terabyte and a file of line breaks read as missing keys, and are
  // not written.
  WriteFile(path, "[main]\nj=2\n");
  ASSERT_EQ(truncate(path.c_str(), off_t{1} << 40), 0);
  EXPECT_EQ(GetProfileString("main", "j", "d", path), "d");
  EXPECT_EQ(TProfileFile(path).Error(), EFBIG);
  EXPECT_EQ(WriteProfileString("main", "j", "3", path), EFBIG);
  EXPECT_EQ(std::filesystem::file_size(path), uint64_t{1} << 40);
  WriteFile(path, "[main]\nj=2\n" + std::string(kProfileFileLimit, '\n'));
  EXPECT_EQ(GetProfileString("main", "j", "d", path), "d");
  EXPECT_EQ(WriteProfileString("main", "j", "3", path), EFBIG);
  EXPECT_EQ(std::filesystem::file_size(path), kProfileFileLimit + 11);

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
  // Names that would read back as another name, or as no key at all.
  for (const std::string& name :
       {" k"s, "k "s, "\tk"s, ";k"s, "[k]"s, "k=j"s, ""s, "k\n"s, "k\0"s}) {
    EXPECT_EQ(WriteProfileString("main", name, "1", path), EINVAL) << name;
  }
  for (const std::string name : {" main", "main ", "ma]in", "", "m\r"}) {
    EXPECT_EQ(WriteProfileString(name, "k", "1", path), EINVAL) << name;
  }
  EXPECT_EQ(ReadFile(path), "[main]\nk=1\n");
  EXPECT_EQ(WriteProfileString("main", "k", "1", dir / "no-such-folder/option.ini"), ENOENT);
}

TEST(ProfileWrite, ReadOnlyFileIsRefused) {
  TTempDir dir;
  const std::string path = dir / "option.ini";
  WriteFile(path, "[main]\nk=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);  // the folder itself would allow a rename
  // By its permission bits, also for a process that the system lets write anything.
  EXPECT_EQ(WriteProfileString("main", "k", "2", path), EACCES);
  EXPECT_EQ(ReadFile(path), "[main]\nk=1\n");
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
  WriteFile(path, "[main]\nk=1\n; a longer tail than the new content needs\n");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  // A user without a configuration folder yet: the journal's folders are made.
  const std::string config = UserOwnedFolder(dir, "home") + "/.config";
  TEnvScope xdg("XDG_CONFIG_HOME", config);
  EXPECT_UNPRIVILEGED([&] {
    if (WriteProfileString("main", "k", "2", path) != 0) return 1;
    if (ReadFile(path) != "[main]\nk=2\n; a longer tail than the new content needs\n") return 2;
    if (WriteProfileString("main", "k", "", path) != 0) return 3;  // shorter: cut last
    if (ReadFile(path) != "[main]\nk=\n; a longer tail than the new content needs\n") return 4;
    if (!Names(config + "/vark").empty()) return 5;  // no journal or temporary file left
    return 0;
  });
}

// ---- the generative round trip ----

namespace {

std::string Pick(std::mt19937& random, const std::vector<std::string>& from) {
  return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
}

const std::vector<std::string> kSections = {"main", "Main", "MAIN", "other", "x"};
const std::vector<std::string> kKeys = {"k", "K", "j", "FolderPath", "sound"};

// A hand-edited file: headers and keys of the vocabulary with odd spacing, comments, junk, every
// kind of line end, a missing last one, a byte-order mark.
std::string RandomIniText(std::mt19937& random) {
  const std::vector<std::string> eols = {"\n", "\r\n", "\r"};
  const std::vector<std::string> values = {"",    "1",        " 2 ", "\"q\"", "'a b'", "x=y",
                                           "; c", "\xff\xc0", "ж/",  "\"",    "[v]"};
  std::string text = random() % 8 == 0 ? "\xEF\xBB\xBF" : "";
  const int lines = static_cast<int>(random() % 14);
  for (int i = 0; i < lines; ++i) {
    switch (random() % 7) {
      case 0:
      case 1:
        text += (random() % 3 == 0 ? " [ " : "[") + Pick(random, kSections) + "]";
        break;
      case 2:
      case 3:
      case 4:
        text += (random() % 3 == 0 ? "\t" : "") + Pick(random, kKeys) +
                (random() % 3 == 0 ? " = " : "=") + Pick(random, values);
        break;
      case 5:
        text += Pick(random, {";k=comment", "[broken", "no equals", "", "  ", "=v", "\0z"});
        break;
      default:
        text += Pick(random, values);
    }
    if (i + 1 < lines || random() % 3 != 0) text += Pick(random, eols);
  }
  return text;
}

std::string RandomValue(std::mt19937& random) {
  const std::string alphabet = " \t\"'=;[]#$x0ж\xff/\\";
  std::string value;
  const size_t length = random() % 8;
  for (size_t i = 0; i < length; ++i) value += alphabet[random() % alphabet.size()];
  return value;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

TEST(ProfileRoundTrip, RandomWritesChangeTheirKeyAndNothingElse) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  TTempDir dir;
  const std::string path = dir / "option.ini";
  const std::vector<std::string> badNames = {" k", "k ", ";k", "[k", "k=", ""};
  for (int file = 0; file < 400; ++file) {
    std::string text = RandomIniText(random);
    for (int write = 0; write < 8; ++write) {
      const std::string before = text;
      const bool bad = random() % 8 == 0;
      const std::string section =
          bad && random() % 2 ? Pick(random, badNames) : Pick(random, kSections);
      const std::string key = bad ? Pick(random, badNames) : Pick(random, kKeys);
      const std::string value = RandomValue(random);
      // Through the file now and then (each write there is synced to the disk), else in memory.
      int error = 0;
      if (bad || (write == 0 && file % 8 == 0)) {
        WriteFile(path, before);
        error = WriteProfileString(section, key, value, path);
        text = ReadFile(path);
        if (error == 0) {
          EXPECT_EQ(GetProfileString(section, key, "<none>", path), value);
        }
      } else {
        text = SetProfileValue(before, section, key, value);
      }
      const std::string& after = text;
      SCOPED_TRACE("file " + std::to_string(file) + ": [" + section + "] " + key + "=" + value +
                   " over <" + before + ">");
      // Every bad write names a key that cannot be read back.
      EXPECT_EQ(error, bad ? EINVAL : 0);
      if (error != 0) {
        EXPECT_EQ(after, before);
        continue;
      }
      // The written value reads back; every other key of the vocabulary reads as before.
      for (const std::string& s : kSections) {
        for (const std::string& k : kKeys) {
          const bool written = Lower(s) == Lower(section) && Lower(k) == Lower(key);
          EXPECT_EQ(ReadProfileValue(after, s, k, "<none>"),
                    written ? value : ReadProfileValue(before, s, k, "<none>"))
              << "[" << s << "] " << k << " in <" << after << ">";
        }
      }
      // Other lines stay as they were: the bytes that differ lie within one line of the old text.
      size_t prefix = 0;
      while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) {
        ++prefix;
      }
      size_t suffix = 0;
      while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
             before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
      }
      const std::string removed = before.substr(prefix, before.size() - prefix - suffix);
      EXPECT_EQ(removed.find_first_of("\r\n"), std::string::npos) << "<" << after << ">";
    }
  }
}

// ---- interrupted and failing writes ----

namespace {

// Two complete sets of values that a saver alternates between; a long folder makes the content's
// size change with every save.
const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> kSaved = {
    {"AutoLoad", {"1", "0"}},
    {"tray", {"0", "1"}},
    {"FolderPath", {"/a/", "/" + std::string(1500, 'b') + "/"}},
    {"start", {"1", "0"}}};

// Many pages of comments before the section, so that one write spans several pages and a kill
// may land inside it.
std::string Padding() {
  std::string text;
  for (int i = 0; i < 1500; ++i) text += "; line " + std::to_string(i) + " of a hand-made note\n";
  return text;
}

// Saves the two sets in turn, each in one write.
int SaveForever(const std::string& path, unsigned first) {
  for (unsigned round = first;; ++round) {
    std::vector<TProfileValue> set;
    for (const auto& [key, values] : kSaved) {
      set.push_back({key, round % 2 ? values.second : values.first});
    }
    if (WriteProfileStrings("main", set, path) != 0) return 1;
  }
}

std::vector<std::string> OurTemporaryFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const std::string& name : Names(folder)) {
    if (name.rfind(".vark-", 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace

// A saver killed at random moments, writing beside the file and renaming (the folder takes new
// files) or overwriting in place (it does not): the file always reads whole, its keys all from one
// of the sets saved (never a mix), the rest untouched; and the next save removes what the kills
// left behind.
TEST(ProfileWrite, KilledSavesNeverLeaveAPartialFile) {
  for (const bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "beside and renamed");
    TTempDir dir;  // the folder is root's: the unprivileged saver cannot add names to it
    const std::string path = dir / "option.ini";
    const std::string padding = Padding();
    WriteFile(path, padding + "[main]\n");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const std::string config = UserOwnedFolder(dir, "config");
    TEnvScope xdg("XDG_CONFIG_HOME", config);
    if (inPlace && geteuid() != 0) GTEST_SKIP() << "needs root to make a folder we cannot write";
    if (!inPlace) {
      ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
    }

    std::mt19937 random(std::random_device{}());
    int interrupted = 0, mixed = 0;
    for (int round = 0; round < 200; ++round) {
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                               setresuid(65534, 65534, 65534) != 0)) {
          _exit(settings_test::kCannotDrop);
        }
        _exit(SaveForever(path, static_cast<unsigned>(round)));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
      kill(pid, SIGKILL);
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      if (WIFEXITED(status) && WEXITSTATUS(status) == settings_test::kCannotDrop) {
        GTEST_SKIP() << "cannot drop root's privileges";
      }
      ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped by itself: " << status;

      const std::string raw = ReadFile(path);
      ASSERT_GE(raw.size(), padding.size() + 7) << "the file was cut, round " << round;
      std::string content;
      ASSERT_EQ(ReadWholeFile(path, content), 0);
      if (content != raw) ++interrupted;
      ASSERT_EQ(content.compare(0, padding.size() + 7, padding + "[main]\n"), 0);
      std::set<int> sets;  // which set each key comes from; -1: not saved yet
      for (const auto& [key, values] : kSaved) {
        const std::string value = ReadProfileValue(content, "main", key, "<none>");
        ASSERT_TRUE(value == "<none>" || value == values.first || value == values.second)
            << key << " reads " << value.substr(0, 40) << " in round " << round;
        sets.insert(value == "<none>" ? -1 : value == values.second);
      }
      mixed += sets.size() > 1;
    }
    std::cout << "rounds read through a journal: " << interrupted << "\n";
    EXPECT_EQ(mixed, 0) << "of 200 kills";

    // One more save cleans up after the kills and leaves exactly what it wrote.
    EXPECT_UNPRIVILEGED([&] {
      if (WriteProfileString("main", "tray", "7", path) != 0) return 1;
      std::string content;
      if (ReadWholeFile(path, content) != 0 || content != ReadFile(path)) return 2;
      if (ReadProfileValue(content, "main", "tray", "") != "7") return 3;
      if (!OurTemporaryFiles(dir.Path()).empty()) return 4;
      if (std::filesystem::exists(config + "/vark") && !Names(config + "/vark").empty()) return 5;
      return 0;
    });
  }
}

namespace {

// A small file system of its own, full but for what a test leaves free; unmounted at the end.
class TSmallDisk {
 public:
  explicit TSmallDisk(const std::string& folder) : folder_(folder) {
    std::filesystem::create_directories(folder);
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=256k,mode=0755") == 0;
  }
  ~TSmallDisk() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  TSmallDisk(const TSmallDisk&) = delete;
  TSmallDisk& operator=(const TSmallDisk&) = delete;
  bool Mounted() const { return mounted_; }
  // Takes every free block.
  void Fill() {
    const int fd = open((folder_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace

// A full disk refuses a save and leaves the file exactly as it was, on every road a save takes:
// beside and renamed, in place with the journal on the full disk, and in place with the journal
// elsewhere (the file's growth fails, and the old content is put back).
TEST(ProfileWrite, FullDiskChangesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  for (const int road : {0, 1, 2}) {
    SCOPED_TRACE("road " + std::to_string(road));
    TTempDir dir;
    TSmallDisk disk(dir / "disk");
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small file system here";
    const std::string path = dir / "disk/option.ini";
    // Exactly two pages: growing by a byte needs a block the disk no longer has.
    const std::string head = "[main]\nk=1\n";
    const std::string before = head + std::string(8192 - head.size() - 1, ';') + "\n";
    WriteFile(path, before);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const std::string config = road == 1 ? dir / "disk/config" : dir / "config";
    std::filesystem::create_directories(config);
    ASSERT_EQ(chown(config.c_str(), 65534, 65534), 0);
    TEnvScope xdg("XDG_CONFIG_HOME", config);
    if (road == 0) {
      ASSERT_EQ(chmod((dir / "disk").c_str(), 0777), 0);
    }
    disk.Fill();
    EXPECT_UNPRIVILEGED([&] {
      if (WriteProfileString("main", "k", std::string(300, 'v'), path) != ENOSPC) return 1;
      if (ReadFile(path) != before) return 2;
      std::string content;
      if (ReadWholeFile(path, content) != 0 || content != before) return 3;
      // In place, what fits where the old content stood still saves.
      if (WriteProfileString("main", "k", "2", path) != (road == 2 ? 0 : ENOSPC)) return 4;
      if (road == 2 && ReadFile(path) != "[main]\nk=2\n" + before.substr(head.size())) return 5;
      return 0;
    });
    EXPECT_TRUE(OurTemporaryFiles(dir / "disk").empty());
    if (std::filesystem::exists(config + "/vark")) {
      EXPECT_TRUE(Names(config + "/vark").empty());
    }
  }
}

// An overwrite in place caught with its journal still there (the saver killed the moment the
// journal appears): every state that overwrite passes through reads as the new content, while a
// file changed in another way since reads as it stands; the next save clears the journal.
TEST(ProfileWrite, OverwriteInPlaceCutShortReadsAsTheNewContent) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder we cannot write";
  TTempDir dir;
  const std::string path = dir / "option.ini";
  const std::string before = "[main]\nk=old\n" + Padding();
  const std::string after = "[main]\nk=" + std::string(300, 'n') + "\n" + Padding();
  const std::string config = UserOwnedFolder(dir, "config");
  TEnvScope xdg("XDG_CONFIG_HOME", config);
  std::string journal;
  for (int attempt = 0; attempt < 200 && journal.empty(); ++attempt) {
    WriteFile(path, before);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
          setresuid(65534, 65534, 65534) != 0) {
        _exit(settings_test::kCannotDrop);
      }
      _exit(WriteProfileString("main", "k", std::string(300, 'n'), path));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (journal.empty() && std::chrono::steady_clock::now() < deadline) {
      for (const std::string& name : Names(config)) {
        if (name != "vark") continue;
        for (const std::string& inside : Names(config + "/vark")) {
          if (inside.size() > 8 && inside.substr(inside.size() - 8) == ".journal") journal = inside;
        }
      }
      int status = 0;
      if (journal.empty() && waitpid(pid, &status, WNOHANG) == pid) break;
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == settings_test::kCannotDrop) {
      GTEST_SKIP() << "cannot drop root's privileges";
    }
    if (!journal.empty() && !Exists(config + "/vark/" + journal)) journal.clear();  // too late
  }
  ASSERT_FALSE(journal.empty()) << "no save was caught with its journal";

  for (size_t written : {size_t{0}, size_t{1}, size_t{9}, size_t{100}, size_t{4096},
                         before.size() - 1, before.size(), after.size()}) {
    std::string state = after.substr(0, written);
    if (written < before.size()) state += before.substr(written);
    WriteFile(path, state);
    std::string content;
    ASSERT_EQ(ReadWholeFile(path, content), 0);
    EXPECT_TRUE(content == after) << "after " << written << " bytes";
  }
  const std::string edited = "[main]\nk=mine\n";
  WriteFile(path, edited);
  std::string content;
  ASSERT_EQ(ReadWholeFile(path, content), 0);
  EXPECT_EQ(content, edited);

  WriteFile(path, before);
  EXPECT_UNPRIVILEGED([&] {
    if (WriteProfileString("main", "k", "new", path) != 0) return 1;
    if (Exists(config + "/vark/" + journal)) return 2;
    return 0;
  });
  EXPECT_EQ(ReadFile(path), "[main]\nk=new\n" + Padding());
}
