// The options object: the settings of the running program, loaded from the settings file,
// reconciled with the autorun entry, and written back when the user changes them.
#pragma once

#include <memory>
#include <string>

#include "settings/uAppPaths.h"
#include "settings/uFileIni.h"

class TMonDirThread;

// What the options need of the main window.
class IOptionsHost {
 public:
  virtual ~IOptionsHost() = default;
  virtual void HideToTray() = 0;    // minimise to the notification area (may act later)
  virtual void mmStartClick() = 0;  // start a watcher on FolderPath when FolderValid and none runs
  virtual std::shared_ptr<TMonDirThread> RunningMonitor() const = 0;
  virtual void SetRunningMonitor(std::shared_ptr<TMonDirThread> monitor) = 0;
};

// Information texts.
extern const char* const kFolderMissingAtStartText;  // the stored folder does not exist
extern const char* const kFolderMissingText;         // a folder being set does not exist
extern const char* const kFolderLineBreakText;       // a folder name that the file cannot hold
extern const char* const kFolderRelativeText;        // a folder given without its whole path
// Followed by the settings file's path: a file too large to be read.
extern const char* const kIniDamagedText;
// The installed program without a configuration folder: no place to keep settings.
extern const char* const kNoSettingsFolderText;

// Why a folder text cannot be set, or null when it can: a line break (which would end its line in
// the settings file) or a relative path (which would name another folder when the program starts
// from another one). Empty text can be set (it stands for no folder).
const char* FolderRefusal(const std::string& folder);

// The persistent settings (AutoLoad, tray, sound, AlertWindow, start, FolderPath) are the fields of
// FileParam; the options add what is not saved.
class TObjtOpt : public FileParam {
 public:
  // Loads the options. `exeDir` is the executable's folder, beside which the settings file lies
  // when that folder can be written and is not the installed program's folder (else
  // $XDG_CONFIG_HOME/vark/option.ini). Messages go through
  // ShowInfo/ShowError. A settings file that cannot be created leaves the defaults in memory,
  // after an error box.
  explicit TObjtOpt(IOptionsHost& host, std::string exeDir = ExecutableDir());

  bool FolderValid = false;
  // Empty when there is no place for the settings file (see SettingsFilePath): every save then
  // raises kNoSettingsFolderText.
  std::string IniPath;
  std::string AutorunName;
  // The program the autorun entry names: the running executable.
  std::string AutorunPath;

  // When SetFolder writes the new folder: at once, or with the next SaveAll, so that the settings
  // dialog's "ок" is one save.
  enum class TSave { Now, WithSaveAll };

  // Sets FolderValid to whether `folder` names an existing folder; the information box when not.
  bool CheckFolder(const std::string& folder);
  // Hides to the notification area when `tray`; starts monitoring when FolderValid and `start`.
  void ApplyStartup();
  // Stores the value and adds or removes the autorun entry at once. A program path that no entry
  // can name is refused with the error box kAutorunPathText, and the option stays off.
  void SetAutoLoad(bool value);
  // These store the value only; SaveAll writes it.
  void SetTray(bool value);
  void SetSound(bool value);
  void SetAlertWindow(bool value);
  void SetStart(bool value);
  // A new watched folder, written at once (or with the next SaveAll); a running watcher moves to
  // it. A missing folder clears the folder and stops monitoring. A refused one (FolderRefusal) is
  // told and changes nothing.
  void SetFolder(const std::string& folder, TSave when = TSave::Now);
  // The settings changed since they were last loaded or saved go to the file, in one write that
  // keeps whatever another program saved meanwhile.
  void SaveAll();
  // Stops monitoring, writes the defaults, removes the autorun entry, and takes the defaults.
  void RestoreDefaults();

 private:
  // Raises when there is no settings file to write.
  void RequireIniPath() const;

  IOptionsHost& host_;
  // What the file held, as far as these options know, when they were last loaded or saved.
  FileParam saved_;
};

// Where the settings file lives for an executable in `exeDir`: beside it when that folder can be
// written (or the file there can) and it is not the installed program's folder, else in the
// user's configuration folder. Empty for the installed program when no configuration folder is
// known: it never writes into the system's program folder.
std::string SettingsFilePath(const std::string& exeDir);

// The one options object; created and released by the main window.
extern TObjtOpt* gObjtOpt;
