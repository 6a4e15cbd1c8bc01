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
// CheckIni, then the six keys of section "main" with their read defaults.
FileParam LoadIni(const std::string& path);
// Only "FolderPath" in section "main", with the text unchanged.
void SaveIniFolder(const std::string& folder, const std::string& path);

// The on/off rule: a decimal integer, or a hexadecimal one after "$", "0x" or "0X"; non-zero is
// on. Anything that is not an integer gives `def`.
bool IniFlag(const std::string& text, bool def);
