#include "settings/uFileIni.h"

#include <cstdint>

#include "settings/uProfile.h"

namespace {

constexpr const char* kSectionFull = "Main";  // the full write's spelling
constexpr const char* kSection = "main";      // every other operation's

void Write(const char* section, const char* key, const std::string& value,
           const std::string& path) {
  if (const int error = WriteProfileString(section, key, value, path); error != 0) {
    throw EIniWriteError(path, error);
  }
}

const char* Flag(bool on) {
  return on ? "1" : "0";
}

bool ReadFlag(const char* key, bool def, const std::string& path) {
  return IniFlag(GetProfileString(kSection, key, "", path), def);
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
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
  bool hex = false;
  if (pos < text.size() && text[pos] == '$') {
    hex = true;
    pos += 1;
  } else if (pos + 1 < text.size() && text[pos] == '0' &&
             (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
    hex = true;
    pos += 2;
  }
  if (pos == text.size()) return def;
  // A 32-bit integer: eight hexadecimal digits at most (they may wrap to a negative number), a
  // decimal value within range.
  uint64_t value = 0;
  size_t digits = 0;
  for (; pos < text.size(); ++pos, ++digits) {
    const int d =
        hex ? HexDigit(text[pos]) : (text[pos] >= '0' && text[pos] <= '9' ? text[pos] - '0' : -1);
    if (d < 0) return def;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (hex ? digits >= 8 : value > 2147483648ull) return def;
  }
  if (!hex && value == 2147483648ull && text[0] != '-') return def;
  return value != 0;
}

void SaveIni(const FileParam& param, const std::string& path) {
  Write(kSectionFull, "AutoLoad", Flag(param.AutoLoad), path);
  Write(kSectionFull, "tray", Flag(param.tray), path);
  Write(kSectionFull, "sound", Flag(param.sound), path);
  Write(kSectionFull, "AlertWindow", Flag(param.AlertWindow), path);
  Write(kSectionFull, "start", Flag(param.start), path);
  Write(kSectionFull, "FolderPath", param.FolderPath, path);
}

void SaveIniDefaults(const std::string& path) {
  Write(kSection, "AutoLoad", "0", path);
  Write(kSection, "tray", "0", path);
  Write(kSection, "sound", "1", path);
  Write(kSection, "AlertWindow", "1", path);
  Write(kSection, "start", "0", path);
  Write(kSection, "FolderPath", "", path);
}

void CheckIni(const std::string& path) {
  if (!ProfileFileExists(path)) SaveIniDefaults(path);
}

FileParam LoadIni(const std::string& path) {
  CheckIni(path);
  FileParam param;
  param.AutoLoad = ReadFlag("AutoLoad", true, path);
  param.tray = ReadFlag("tray", false, path);
  param.sound = ReadFlag("sound", true, path);
  param.AlertWindow = ReadFlag("AlertWindow", true, path);
  param.start = ReadFlag("start", false, path);
  param.FolderPath = GetProfileString(kSection, "FolderPath", "", path);
  return param;
}

void SaveIniFolder(const std::string& folder, const std::string& path) {
  Write(kSection, "FolderPath", folder, path);
}
