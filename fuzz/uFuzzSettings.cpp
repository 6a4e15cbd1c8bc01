// Fuzz target: the settings file's reader and writer. Any bytes give a file's text and a few
// writes; each written value must read back exactly, every other key must read as before, the
// bytes that change must lie within one line (or be new lines), and names that cannot be read
// back must be refused. The on/off rule is checked against a second reading of the integer.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "settings/uFileIni.h"
#include "settings/uProfile.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string_view Next(std::string_view& input) {
  const size_t end = input.find('\0');
  const std::string_view piece = input.substr(0, end);
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return piece;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Names the text might hold: the part of each line before "=", and within "[" … "]", trimmed.
std::vector<std::string> NamesIn(std::string_view text) {
  std::vector<std::string> names = {"main", "k"};
  size_t pos = 0;
  while (pos < text.size() && names.size() < 64) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const auto trim = [](std::string_view s) {
      const size_t a = s.find_first_not_of(" \t\v\f");
      if (a == std::string_view::npos) return std::string_view();
      return s.substr(a, s.find_last_not_of(" \t\v\f") - a + 1);
    };
    if (const size_t eq = line.find('='); eq != std::string_view::npos) {
      names.emplace_back(trim(line.substr(0, eq)));
    }
    const size_t open = line.find('[');
    const size_t close = line.find(']');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
      names.emplace_back(trim(line.substr(open + 1, close - open - 1)));
    }
  }
  return names;
}

// The integer rule read a second way: prefix, sign and digits by std::from_chars.
bool FlagByFromChars(const std::string& text, bool def) {
  std::string_view rest = text;
  bool negative = false;
  int base = 10;
  if (rest.substr(0, 2) == "0x" || rest.substr(0, 2) == "0X") {
    base = 16;
    rest.remove_prefix(2);
  } else {
    if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
      negative = rest[0] == '-';
      rest.remove_prefix(1);
    }
    if (!rest.empty() && rest[0] == '$') {
      base = 16;
      rest.remove_prefix(1);
    }
  }
  if (rest.empty()) return def;
  for (const char c : rest) {
    const bool digit = (c >= '0' && c <= '9') ||
                       (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return def;
  }
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value, base);
  if (error != std::errc() || end != rest.data() + rest.size()) return def;  // out of range
  if (base == 16 ? value > 0xFFFFFFFFull : value > (negative ? 2147483648ull : 2147483647ull)) {
    return def;
  }
  return value != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string text(Next(input));

  // The on/off rule, both readings and both defaults.
  const std::string flag(Next(input));
  Check(IniFlag(flag, false) == FlagByFromChars(flag, false));
  Check(IniFlag(flag, true) == FlagByFromChars(flag, true));

  const std::vector<std::string> names = NamesIn(text);
  for (int write = 0; write < 4 && !input.empty(); ++write) {
    const std::string section(Next(input));
    const std::string key(Next(input));
    const std::string value(Next(input));
    if (!ProfileNameStorable(section, false) || !ProfileNameStorable(key, true) ||
        value.find_first_of("\r\n") != std::string::npos) {
      continue;  // the writer refuses these (checked through the file below)
    }
    const std::string before = text;
    text = SetProfileValue(before, section, key, value);
    Check(ReadProfileValue(text, section, key, "\n") == value);
    for (const std::string& s : names) {
      for (const std::string& k : names) {
        if (Lower(s) == Lower(section) && Lower(k) == Lower(key)) continue;
        Check(ReadProfileValue(text, s, k, "\n") == ReadProfileValue(before, s, k, "\n"));
      }
    }
    size_t prefix = 0;
    while (prefix < before.size() && prefix < text.size() && before[prefix] == text[prefix]) {
      ++prefix;
    }
    size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < text.size() - prefix &&
           before[before.size() - 1 - suffix] == text[text.size() - 1 - suffix]) {
      ++suffix;
    }
    Check(before.substr(prefix, before.size() - prefix - suffix).find_first_of("\r\n") ==
          std::string::npos);
  }

  // Through a real file, two keys in one write: refused as a whole (changing nothing), or both
  // read back exactly (the second where both name one key).
  static const std::string path = [] {
    const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(shm) + "/vark-fuzz-" + std::to_string(getpid()) + ".ini";
  }();
  {
    const std::string section(Next(input));
    const std::string key(Next(input));
    const std::string value(Next(input));
    const std::string key2(Next(input));
    const std::string value2(Next(input));
    std::string stored;
    if (const int fd = creat(path.c_str(), 0600); fd >= 0) {
      Check(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
      close(fd);
    }
    const int error = WriteProfileStrings(section, {{key, value}, {key2, value2}}, path);
    const auto storable = [](std::string_view name, std::string_view text) {
      return ProfileNameStorable(name, true) &&
             text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
    };
    Check((error == 0) ==
          (ProfileNameStorable(section, false) && storable(key, value) && storable(key2, value2)));
    if (error == 0) {
      const std::string first = Lower(key) == Lower(key2) ? value2 : value;
      Check(GetProfileString(section, key, "\n", path, first.size() + 1) == first);
      Check(GetProfileString(section, key2, "\n", path, value2.size() + 1) == value2);
    } else {
      Check(error == EINVAL);
      Check(ReadWholeFile(path, stored) == 0 && stored == text);
    }
    unlink(path.c_str());
  }
  return 0;
}
