// The settings file "option.ini": five operations that carry one complete set of settings to and
// from the file. Each opens the file by its path and keeps nothing between calls.
#pragma once

#include <stdexcept>
#include <string>

// The six persistent settings.
struct FileParam {
  bool AutoLoad = false;
  bool tray = false;
  bool sound = true;
  bool AlertWindow = true;
  bool start = false;
  std::string FolderPath;
};

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
