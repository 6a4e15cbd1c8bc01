#include "settings/uFileIni.h"

#include <cerrno>
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

bool ReadFlag(const TProfileFile& file, const char* key, bool def) {
  return IniFlag(file.Get(kSection, key, ""), def);
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

FileParam LoadIni(const std::string& path, bool* damaged) {
  CheckIni(path);
  const TProfileFile file(path);
  if (damaged) *damaged = file.Error() == EFBIG;
  if (file.Error() == EFBIG) return FileParam{};
  FileParam param;
  param.AutoLoad = ReadFlag(file, "AutoLoad", true);
  param.tray = ReadFlag(file, "tray", false);
  param.sound = ReadFlag(file, "sound", true);
  param.AlertWindow = ReadFlag(file, "AlertWindow", true);
  param.start = ReadFlag(file, "start", false);
  param.FolderPath = file.Get(kSection, "FolderPath", "");
  return param;
}

void SaveIniFolder(const std::string& folder, const std::string& path) {
  Write(kSection, "FolderPath", folder, path);
}
