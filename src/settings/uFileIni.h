// The settings file "option.ini": the six persistent settings, their keys and defaults (one table),
// and the operations that carry them to and from the file. Each opens the file by its path and
// keeps nothing between calls; every save is one replacement of the file, so a reader or a crash
// sees all of a save's keys or none of them.
#pragma once

#include <stdexcept>
#include <string>

// The six persistent settings. The values a default-made record holds are the defaults that a new
// settings file is written with.
struct FileParam {
  bool AutoLoad = false;
  bool tray = false;
  bool sound = true;
  bool AlertWindow = true;
  bool start = false;
  std::string FolderPath;
};

// One row of the key table: the setting's key in the file and its field in FileParam (an on/off
// setting has `Flag`, the folder has `Text`), and what an on/off key that is missing, or not an
// integer, reads as.
struct TSettingKey {
  const char* Name;
  bool FileParam::*Flag;
  std::string FileParam::*Text;
  bool Missing;
};

// Every persistent setting, in the order the file holds them.
inline constexpr TSettingKey kSettingKeys[] = {
    {"AutoLoad", &FileParam::AutoLoad, nullptr, true},
    {"tray", &FileParam::tray, nullptr, false},
    {"sound", &FileParam::sound, nullptr, true},
    {"AlertWindow", &FileParam::AlertWindow, nullptr, true},
    {"start", &FileParam::start, nullptr, false},
    {"FolderPath", nullptr, &FileParam::FolderPath, false},
};

// The setting's value as the file holds it: "1" or "0", or the text.
std::string SettingText(const FileParam& param, const TSettingKey& key);
// True when the two records hold the same value for the setting.
bool SameSetting(const FileParam& a, const FileParam& b, const TSettingKey& key);

// A write that the system refused; what() is "Unable to write to <full path>".
class EIniWriteError : public std::runtime_error {
 public:
  EIniWriteError(const std::string& path, int error);
  const std::string& Path() const { return path_; }
  // The system's error code (errno), for logs and tests; the message does not show it.
  int Error() const { return error_; }

 private:
  std::string path_;
  int error_;
};

// All six keys, in section "Main".
void SaveIni(const FileParam& param, const std::string& path);
// The keys whose values differ between `before` (what this program last read or wrote) and
// `after`, in section "Main", on top of what the file holds now, so that whatever another program
// saved meanwhile stays. A file that is missing gets all six keys. Nothing is written when nothing
// changed, but a file that cannot be read (or is too large) still raises.
void SaveIniChanges(const FileParam& before, const FileParam& after, const std::string& path);
// The defaults of all six keys, in section "main"; creates the file when it is missing.
void SaveIniDefaults(const std::string& path);
// Writes the defaults when no file (a folder does not count) exists at the path.
void CheckIni(const std::string& path);
// CheckIni, then the six keys of section "main" with their read defaults, from one reading of the
// file. A file too large to be a settings file (see kProfileFileLimit) is taken as damaged: the
// result is the written defaults, `*damaged` (when given) is set, and the file is left alone.
FileParam LoadIni(const std::string& path, bool* damaged = nullptr);
// Only "FolderPath" in section "main", with the text unchanged.
void SaveIniFolder(const std::string& folder, const std::string& path);

// The on/off rule: a decimal integer, or a hexadecimal one after "$", "0x" or "0X"; non-zero is
// on. Anything that is not an integer gives `def`. A sign may stand before a decimal number or a
// "$" (only a leading "0x" counts as a prefix, so "-0x10" is no integer). The number must fit in
// 32 bits: a decimal one in -2147483648..2147483647, a hexadecimal one in at most eight digits
// after its leading zeros (up to $FFFFFFFF, which wraps to -1).
bool IniFlag(const std::string& text, bool def);
