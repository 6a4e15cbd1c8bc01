#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

// ---- the autostart entry read back by GLib's rules, as the desktop reads it ----

// Valid UTF-8 as g_utf8_validate has it, asked of the C library's converter.
bool Utf8(std::string text) {
  const iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  std::string out(text.size() * 4 + 4, '\0');
  char *in = text.data(), *to = out.data();
  size_t left = text.size(), room = out.size();
  const bool ok = iconv(cd, &in, &left, &to, &room) != static_cast<size_t>(-1);
  iconv_close(cd);
  return ok && text.find('\0') == std::string::npos;
}

// g_shell_parse_argv: tokens (quoted text kept whole, "#" starting a comment, unquoted blanks and
// line ends splitting), then quote removal in each; nothing for bad quoting or no word at all.
std::optional<std::vector<std::string>> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::optional<std::string> word;
  char quote = 0;
  bool odd = false;  // the character before ends an odd run of backslashes
  for (size_t i = 0; i < line.size(); odd = line[i] == '\\' && !odd, ++i) {
    const char c = line[i];
    if (quote == '#') {
      i = std::min(line.find('\n', i), line.size());  // the line end goes with the comment
      quote = 0;
    } else if (quote) {
      word = word.value_or("") +
             (quote == '\\' ? (c == '\n' ? "" : std::string("\\") + c) : std::string(1, c));
      if (quote == '\\' || (c == quote && !(quote == '"' && odd))) quote = 0;
    } else if (c == '\n' || ((c == ' ' || c == '\t') && word && !word->empty())) {
      word ? words.push_back(*word) : void(), word.reset();
    } else if (c != ' ' && c != '\t') {
      if (c != '#' && c != '\\') word = word.value_or("") + c;
      if (c == '#' || c == '\\' || c == '"' || c == '\'') quote = c;
    }
  }
  if (word) words.push_back(*word);
  if (quote || words.empty()) return std::nullopt;
  for (std::string& w : words) {  // g_shell_unquote
    std::string out;
    for (size_t i = 0; i < w.size(); ++i) {
      if (w[i] == '\'') {
        const size_t end = w.find('\'', i + 1);
        if (end == w.npos) return std::nullopt;
        out += w.substr(i + 1, end - i - 1);
        i = end;
      } else if (w[i] == '"') {
        for (++i; i < w.size() && w[i] != '"'; ++i)
          out += w[i] == '\\' && w[i + 1] && std::strchr("\"\\`$\n", w[i + 1]) ? w[++i] : w[i];
        if (i >= w.size()) return std::nullopt;
      } else if (w[i] != '\\' || (++i < w.size() && w[i] != '\n')) {
        out += w[i];
      }
    }
    w = out;
  }
  return words;
}

// g_key_file_get_string: a raw value that is UTF-8, with its escapes resolved.
std::optional<std::string> KeyFileString(const std::string& raw) {
  constexpr const char* kEscapes = "sntr\\";
  std::string value;
  for (size_t i = 0; i < raw.size(); ++i) {
    const char* escape = raw[i] == '\\' && raw[i + 1] ? std::strchr(kEscapes, raw[i + 1]) : nullptr;
    if (raw[i] == '\\' && !escape) return std::nullopt;
    value += escape ? " \n\t\r\\"[escape - kEscapes] : raw[i];
    i += escape != nullptr;
  }
  return Utf8(raw) ? std::optional(value) : std::nullopt;
}

// The program a desktop entry starts: the key file read line by line (groups, keys, comments, a
// later key replacing an earlier one), its first group "Desktop Entry" of Type "Application", and
// Exec split into words. The desktop looks for the program under the first word as written and
// runs it after the field codes ("%%" is "%"); nothing when it refuses the entry or would run
// another program than it looked for.
std::optional<std::string> DesktopProgram(const std::string& entry) {
  constexpr const char* kSpace = " \t\n\v\f\r";
  std::istringstream in(entry);
  std::string line, group, first;
  std::map<std::string, std::string> keys;  // of "Desktop Entry"
  const auto control = [](char c) { return c >= 0 && c < 0x20; };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.erase(0, line.find_first_not_of(kSpace));
    const size_t close = line.find(']'), eq = line.find('=');
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      group = line.substr(1, close - 1);
      if (close == line.npos || line.find_first_not_of(" \t", close + 1) != line.npos ||
          group.empty() || group.find('[') != line.npos ||
          std::any_of(group.begin(), group.end(), control)) {
        return std::nullopt;
      }
      if (first.empty()) first = group;
    } else if (eq == line.npos || eq == 0 || group.empty()) {
      return std::nullopt;
    } else if (group == "Desktop Entry") {
      const size_t value = line.find_first_not_of(kSpace, eq + 1);
      keys[line.substr(0, line.find_last_not_of(kSpace, eq - 1) + 1)] =
          value == line.npos ? "" : line.substr(value);
    }
  }
  const auto exec = KeyFileString(keys["Exec"]);
  if (first != "Desktop Entry" || KeyFileString(keys["Type"]) != "Application" || !exec)
    return std::nullopt;
  std::string run;
  for (size_t i = 0; i < exec->size(); ++i) {
    if ((*exec)[i] != '%' || i + 1 == exec->size())
      run += (*exec)[i];
    else if ((*exec)[++i] == '%')
      run += '%';  // other field codes add no word to this entry
  }
  const auto looked = ShellWords(*exec), ran = ShellWords(run);
  if (!looked || !ran || looked->front() != ran->front()) return std::nullopt;
  return looked->front();
}

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
  EXPECT_EQ(DesktopProgram(entry), ExecutablePath());
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
  // A path that no entry can name is not written at all.
  std::filesystem::remove(Entry());
  SetAutorun("Vark", true, "/opt/100%/vark");
  EXPECT_EQ(messages_->Errors().size(), 2u);
  EXPECT_FALSE(AutorunExists("Vark"));

  // The configuration folder is a file: the autostart folder cannot be made.
  TEnvScope blocked("XDG_CONFIG_HOME", dir_ / "file");
  WriteFile(dir_ / "file", "");
  SetAutorun("Vark", true);
  EXPECT_EQ(messages_->Errors().size(), 3u);
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

// Paths of every troublesome kind: the entry the store writes for each reads back, by the
// desktop's rules, as exactly that path, or the path is one the store refuses, and then no entry
// could name it.
TEST(DesktopExec, EveryEntryReadsBackAsItsPathOrThePathIsRefused) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const std::vector<std::string> pieces = {
      "a",  "/", " ", "\"", "'", "`", "$", "\\", "%",  "%%",   "#",    "\n",       "\t",
      "\r", ";", "=", "[",  "]", "~", "*", "ж",  "日", "\x01", "\xff", "\xc0\xaf", "\xed\xa0\x80"};
  for (int round = 0; round < 5000; ++round) {
    std::string path = "/";
    for (int n = static_cast<int>(random() % 9); n > 0; --n)
      path += pieces[random() % pieces.size()];
    const std::optional<std::string> read = DesktopProgram(DesktopEntryText("Vark", path));
    EXPECT_EQ(AutorunPathStorable(path), read == path) << "path <" << path << ">";
  }
  // The reader itself refuses what GLib refuses.
  const std::string head = "[Desktop Entry]\nType=Application\n";
  for (const std::string& bad : {head + "Exec=\"/a\n", head + "Exec=/a\\q\n", head + "Exec=/\xff\n",
                                 head + "Exec=/a%%b\n", "[Other]\n" + head + "Exec=/a\n",
                                 "Exec=/a\n" + head, std::string("[Desktop Entry]\nExec=/a\n")}) {
    EXPECT_EQ(DesktopProgram(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(DesktopProgram(head + "Exec = '/a b'\\s\"c\" # d\n"), "/a b");
}
