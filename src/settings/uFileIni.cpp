#include "settings/uFileIni.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include "settings/uProfile.h"

namespace {

constexpr const char* kSectionFull = "Main";  // the full write's spelling
constexpr const char* kSection = "main";      // every other operation's

void Check(int error, const std::string& path) {
  if (error != 0) throw EIniWriteError(path, error);
}

// The keys of `param` that `wanted` picks, in the table's order.
template <typename TPick>
std::vector<TProfileValue> Values(const FileParam& param, TPick wanted) {
  std::vector<TProfileValue> values;
  for (const TSettingKey& key : kSettingKeys) {
    if (wanted(key)) values.push_back({key.Name, SettingText(param, key)});
  }
  return values;
}

std::vector<TProfileValue> AllValues(const FileParam& param) {
  return Values(param, [](const TSettingKey&) { return true; });
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

EIniWriteError::EIniWriteError(const std::string& path, int error)
    : std::runtime_error("Unable to write to " + path), path_(path), error_(error) {}

bool IniFlag(const std::string& text, bool def) {
  size_t pos = 0;
  const bool hex = [&] {
    if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) {
      pos = 2;
      return true;
    }
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
    if (pos < text.size() && text[pos] == '$') {
      ++pos;
      return true;
    }
    return false;
  }();
  if (pos == text.size()) return def;
  uint64_t value = 0;
  size_t significant = 0;  // hexadecimal digits after the leading zeros
  for (; pos < text.size(); ++pos) {
    const int d =
        hex ? HexDigit(text[pos]) : (text[pos] >= '0' && text[pos] <= '9' ? text[pos] - '0' : -1);
    if (d < 0) return def;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (value != 0) ++significant;
    if (hex ? significant > 8 : value > 2147483648ull) return def;
  }
  if (!hex && value == 2147483648ull && text[0] != '-') return def;
  return value != 0;
}

std::string SettingText(const FileParam& param, const TSettingKey& key) {
  if (key.Text) return param.*key.Text;
  return param.*key.Flag ? "1" : "0";
}

bool SameSetting(const FileParam& a, const FileParam& b, const TSettingKey& key) {
  return key.Text ? a.*key.Text == b.*key.Text : a.*key.Flag == b.*key.Flag;
}

void SaveIni(const FileParam& param, const std::string& path) {
  Check(WriteProfileStrings(kSectionFull, AllValues(param), path), path);
}

void SaveIniChanges(const FileParam& before, const FileParam& after, const std::string& path) {
  const auto values = [&](bool exists) {
    if (!exists) return AllValues(after);
    return Values(after, [&](const TSettingKey& key) { return !SameSetting(before, after, key); });
  };
  Check(UpdateProfile(kSectionFull, values, path), path);
}

void SaveIniDefaults(const std::string& path) {
  Check(WriteProfileStrings(kSection, AllValues(FileParam{}), path), path);
}

void CheckIni(const std::string& path) {
  if (ProfileFileExists(path)) return;
  // Another copy starting at the same moment may have written it meanwhile.
  const auto values = [](bool exists) {
    return exists ? std::vector<TProfileValue>{} : AllValues(FileParam{});
  };
  Check(UpdateProfile(kSection, values, path), path);
}

FileParam LoadIni(const std::string& path, bool* damaged) {
  CheckIni(path);
  const TProfileFile file(path);
  if (damaged) *damaged = file.Error() == EFBIG;
  if (file.Error() == EFBIG) return FileParam{};
  FileParam param;
  for (const TSettingKey& key : kSettingKeys) {
    if (key.Text) {
      param.*key.Text = file.Get(kSection, key.Name, "");
    } else {
      // On/off keys are read as text without a default; theirs applies after the conversion.
      param.*key.Flag = IniFlag(file.Get(kSection, key.Name, ""), key.Missing);
    }
  }
  return param;
}

void SaveIniFolder(const std::string& folder, const std::string& path) {
  FileParam param;
  param.FolderPath = folder;
  const auto onlyFolder = [](const TSettingKey& key) { return key.Text == &FileParam::FolderPath; };
  Check(WriteProfileStrings(kSection, Values(param, onlyFolder), path), path);
}
