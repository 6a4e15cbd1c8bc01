// The options object: the settings of the running program, loaded from the settings file,
// reconciled with the autorun entry, and written back when the user changes them.
#pragma once

#include <memory>
#include <string>

#include "settings/uAppPaths.h"

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

class TObjtOpt {
 public:
  // Loads the options. `exeDir` is the executable's folder, beside which the settings file lies
  // when that folder can be written and is not the installed program's folder (else
  // $XDG_CONFIG_HOME/vark/option.ini). Messages go through
  // ShowInfo/ShowError. A settings file that cannot be created leaves the defaults in memory,
  // after an error box.
  explicit TObjtOpt(IOptionsHost& host, std::string exeDir = ExecutableDir());

  bool AutoLoad = false;
  bool tray = false;
  bool sound = true;
  bool AlertWindow = true;
  bool start = false;
  std::string FolderPath;
  bool FolderValid = false;
  std::string IniPath;
  std::string AutorunName;

  // Sets FolderValid to whether `folder` names an existing folder; the information box when not.
  bool CheckFolder(const std::string& folder);
  // Hides to the notification area when `tray`; starts monitoring when FolderValid and `start`.
  void ApplyStartup();
  // Stores the value and adds or removes the autorun entry at once.
  void SetAutoLoad(bool value);
  // These store the value only; SaveAll writes it.
  void SetTray(bool value);
  void SetSound(bool value);
  void SetAlertWindow(bool value);
  void SetStart(bool value);
  // A new watched folder, written at once; a running watcher moves to it. A missing folder clears
  // the folder and stops monitoring.
  void SetFolder(const std::string& folder);
  // All six settings to the file.
  void SaveAll();
  // Stops monitoring, writes the defaults, removes the autorun entry, and takes the defaults.
  void RestoreDefaults();

 private:
  IOptionsHost& host_;
};

// Where the settings file lives for an executable in `exeDir`.
std::string SettingsFilePath(const std::string& exeDir);

// The one options object; created and released by the main window.
extern TObjtOpt* gObjtOpt;
