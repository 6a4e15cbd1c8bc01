#include "settings/uProfile.h"

#include <cerrno>
#include <functional>
#include <vector>

namespace {

constexpr std::string_view kBlanks = " \t\v\f";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

enum class TLineKind { Other, Header, Key };

// One line of the file: where its text and its line end lie, and what it is.
struct TLine {
  size_t Start = 0;  // first byte of the text
  size_t End = 0;    // one past the text, where the line end begins
  size_t Next = 0;   // one past the line end
  TLineKind Kind = TLineKind::Other;
  std::string_view Name;  // section name of a header, key name of a key
  size_t ValueStart = 0;  // a key's value without the blanks around it
  size_t ValueEnd = 0;
};

// Where the first line starts: after a byte-order mark, if any.
size_t FirstLine(std::string_view content) {
  return content.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
}

// The line that starts at `pos` (< content.size()). Lines are looked at one at a time, so a file
// of many short lines costs no memory per line.
TLine LineAt(std::string_view content, size_t pos) {
  TLine line;
  line.Start = pos;
  const size_t eol = content.find_first_of("\r\n", pos);
  line.End = eol == std::string_view::npos ? content.size() : eol;
  line.Next = line.End;
  if (line.Next < content.size()) {
    line.Next += (content[line.Next] == '\r' && line.Next + 1 < content.size() &&
                  content[line.Next + 1] == '\n')
                     ? 2
                     : 1;
  }
  const std::string_view raw = content.substr(line.Start, line.End - line.Start);
  const size_t lead = raw.find_first_not_of(kBlanks);
  if (lead == std::string_view::npos) return line;
  const std::string_view text = raw.substr(lead);
  if (text[0] == '[') {
    // A "[" without its "]" is no header; the line then counts as an ordinary one.
    if (const size_t close = text.find(']'); close != std::string_view::npos) {
      line.Kind = TLineKind::Header;
      line.Name = Trim(text.substr(1, close - 1));
      return line;
    }
  }
  if (text[0] != ';') {
    if (const size_t eq = raw.find('='); eq != std::string_view::npos) {
      line.Kind = TLineKind::Key;
      line.Name = Trim(raw.substr(0, eq));
      const std::string_view after = raw.substr(eq + 1);
      const std::string_view value = Trim(after);
      // An empty value is replaced right after the "=", before any blanks that follow it.
      const size_t skip = value.empty() ? 0 : after.find_first_not_of(kBlanks);
      line.ValueStart = line.Start + eq + 1 + skip;
      line.ValueEnd = line.ValueStart + value.size();
    }
  }
  return line;
}

// What one pass over the text finds for a section and a key: the first header of the section, the
// first key of that name in it, and the last key line of the section.
struct TFound {
  bool HasHeader = false;
  TLine Header;
  bool HasKey = false;
  TLine Key;
  TLine LastKey;  // the header itself when the section holds no key
};

TFound Find(std::string_view content, std::string_view section, std::string_view key) {
  TFound found;
  size_t pos = FirstLine(content);
  // Skip to the first header of the section.
  while (pos < content.size()) {
    const TLine line = LineAt(content, pos);
    pos = line.Next;
    if (line.Kind == TLineKind::Header && SameName(line.Name, section)) {
      found.HasHeader = true;
      found.Header = line;
      found.LastKey = line;
      break;
    }
  }
  // Only the first section of a name is looked at; it ends at the next header.
  while (found.HasHeader && pos < content.size()) {
    const TLine line = LineAt(content, pos);
    pos = line.Next;
    if (line.Kind == TLineKind::Header) break;
    if (line.Kind != TLineKind::Key) continue;
    found.LastKey = line;
    if (!found.HasKey && SameName(line.Name, key)) {
      found.HasKey = true;
      found.Key = line;
    }
  }
  return found;
}

std::string_view LineEndOf(std::string_view content, std::string_view fallback) {
  const size_t eol = content.find_first_of("\r\n");
  if (eol == std::string_view::npos) return fallback;
  if (content[eol] == '\n') return "\n";
  return (eol + 1 < content.size() && content[eol + 1] == '\n') ? "\r\n" : "\r";
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

// The value as it has to stand in the file to read back unchanged: quoted when reading would
// otherwise drop its outer blanks or a pair of outer quotes.
std::string StoredForm(std::string_view value) {
  const bool blanks = !value.empty() && (kBlanks.find(value.front()) != std::string_view::npos ||
                                         kBlanks.find(value.back()) != std::string_view::npos);
  const bool quoted = value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
  if (!blanks && !quoted) return std::string(value);
  return '"' + std::string(value) + '"';
}

bool Storable(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace

std::string CutToCharacters(std::string_view text, size_t limit) {
  size_t pos = 0;
  for (size_t count = 0; count < limit && pos < text.size(); ++count) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 1;
    if (pos + length > text.size()) length = 1;
    for (size_t i = 1; i < length; ++i) {
      if ((static_cast<unsigned char>(text[pos + i]) & 0xC0) != 0x80) {
        length = 1;
        break;
      }
    }
    pos += length;
  }
  return std::string(text.substr(0, pos));
}

std::string ReadProfileValue(std::string_view content, std::string_view section,
                             std::string_view key, std::string_view def) {
  const TFound found = Find(content, section, key);
  if (!found.HasKey) return std::string(def);
  const TLine& line = found.Key;
  std::string_view value = content.substr(line.ValueStart, line.ValueEnd - line.ValueStart);
  if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value.substr(0, value.find('\0')));
}

std::string SetProfileValue(std::string_view content, std::string_view section,
                            std::string_view key, std::string_view value,
                            std::string_view newLineEnd) {
  const TFound found = Find(content, section, key);
  const std::string_view eol = LineEndOf(content, newLineEnd);
  const std::string stored = StoredForm(value);
  std::string out;
  out.reserve(content.size() + section.size() + key.size() + stored.size() + 8);

  if (!found.HasHeader) {
    out.append(content);
    if (!out.empty() && out.back() != '\n' && out.back() != '\r' && out != kByteOrderMark) {
      out.append(eol);
    }
    out.append("[").append(section).append("]").append(eol);
    out.append(key).append("=").append(stored).append(eol);
    return out;
  }

  if (found.HasKey) {
    const TLine& line = found.Key;
    out.append(content.substr(0, line.ValueStart));
    out.append(stored);
    out.append(content.substr(line.ValueEnd));
    return out;
  }

  // A new key goes after the last key of its section (or right after the header), so blank lines
  // and comments that close the section stay where they are.
  const TLine& anchor = found.LastKey;
  out.append(content.substr(0, anchor.Next));
  if (anchor.Next == anchor.End) out.append(eol);  // the last line had no line end
  out.append(key).append("=").append(stored).append(eol);
  out.append(content.substr(anchor.Next));
  return out;
}

bool ProfileNameStorable(std::string_view name, bool key) {
  if (name.empty() || !Storable(name) || Trim(name).size() != name.size()) return false;
  if (!key) return name.find(']') == std::string_view::npos;
  return name.find('=') == std::string_view::npos && name.front() != ';' && name.front() != '[';
}

TProfileFile::TProfileFile(const std::string& path) {
  {
    const TProfileLock lock(path, false);
    error_ = ReadWholeFile(path, content_);
  }
  // The same bound on every platform, whatever its file layer does.
  if (error_ == 0 && content_.size() > kProfileFileLimit) error_ = EFBIG;
  if (error_ != 0) std::string().swap(content_);
}

std::string TProfileFile::Get(std::string_view section, std::string_view key, std::string_view def,
                              size_t limit) const {
  return CutToCharacters(
      error_ == 0 ? ReadProfileValue(content_, section, key, def) : std::string(def), limit);
}

std::string GetProfileString(std::string_view section, std::string_view key, std::string_view def,
                             const std::string& path, size_t limit) {
  return TProfileFile(path).Get(section, key, def, limit);
}

int UpdateProfile(std::string_view section,
                  const std::function<std::vector<TProfileValue>(bool exists)>& values,
                  const std::string& path) {
  if (!ProfileNameStorable(section, false)) return EINVAL;
  // From the reading to the replacement: what another program saves meanwhile is not undone.
  const TProfileLock lock(path, true);
  std::string content;
  const int read = ReadWholeFile(path, content);
  if (read != 0 && read != ENOENT) return read;
  if (content.size() > kProfileFileLimit) return EFBIG;
  const std::vector<TProfileValue> changes = values(read == 0);
  for (const TProfileValue& change : changes) {
    if (!ProfileNameStorable(change.Key, true) || !Storable(change.Value)) return EINVAL;
  }
  if (changes.empty()) return 0;
  for (const TProfileValue& change : changes) {
    content = SetProfileValue(content, section, change.Key, change.Value);
  }
  // A file we would ourselves read as damaged is not written.
  if (content.size() > kProfileFileLimit) return EFBIG;
  return WriteFileReplacing(path, content);
}

int WriteProfileStrings(std::string_view section, const std::vector<TProfileValue>& values,
                        const std::string& path) {
  // A refusal that does not depend on the file comes before any look at it.
  for (const TProfileValue& change : values) {
    if (!ProfileNameStorable(change.Key, true) || !Storable(change.Value)) return EINVAL;
  }
  return UpdateProfile(
      section, [&](bool) { return values; }, path);
}

int WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                       const std::string& path) {
  return WriteProfileStrings(section, {{std::string(key), std::string(value)}}, path);
}
