#include "settings/uObjtOpt.h"

#include <filesystem>
#include <stdexcept>

#include "base/uPlatformText.h"
#include "settings/uAutorunStore.h"
#include "settings/uProfile.h"
#include "settings/uRegister.h"
#include "settings/uUserMessages.h"
#include "watcher/uMonThread2.h"

const char* const kFolderMissingAtStartText =
    QT_TRANSLATE_NOOP("Messages", "Такой папки не существует, вы не сможете запустить мониторинг");
const char* const kFolderMissingText = QT_TRANSLATE_NOOP("Messages", "Такой папки не существует");
const char* const kFolderLineBreakText = QT_TRANSLATE_NOOP(
    "Messages", "Имя папки содержит перевод строки: такую папку нельзя сохранить в настройках");
const char* const kFolderRelativeText = QT_TRANSLATE_NOOP(
    "Messages",
    "Укажите полный путь к папке: относительный путь зависит от того, из какой папки запущена "
    "программа");
const char* const kNoSettingsFolderText = QT_TRANSLATE_NOOP(
    "Messages",
    "Не найдена папка для настроек пользователя (не заданы XDG_CONFIG_HOME и HOME, и домашняя "
    "папка неизвестна), а в системную папку программы настройки не записываются: изменения "
    "настроек не будут сохранены");
const char* const kIniDamagedText = QT_TRANSLATE_NOOP(
    "Messages",
    "Файл настроек слишком велик и, видимо, повреждён. Программа работает с настройками по "
    "умолчанию и не изменяет этот файл; исправьте или удалите его:\n");

TObjtOpt* gObjtOpt = nullptr;

namespace {

constexpr const char* kIniName = "option.ini";
constexpr const char* kAutorunName = "Vark";

std::string AsFolderText(std::string folder) {
  if (!folder.empty() && folder.back() != kFolderSeparator) folder += kFolderSeparator;
  return folder;
}

// A folder (or a link to one) exists under this name. A file does not count, nor does empty text
// or a name with a NUL, which no folder can have.
bool FolderExists(const std::string& folder) {
  if (folder.empty() || folder.find('\0') != std::string::npos) return false;
  std::error_code error;
  return std::filesystem::is_directory(PlatformPath(folder), error);
}

}  // namespace

const char* FolderRefusal(const std::string& folder) {
  if (folder.find_first_of("\r\n") != std::string::npos) return kFolderLineBreakText;
  if (!folder.empty() && !PlatformPath(folder).is_absolute()) return kFolderRelativeText;
  return nullptr;
}

std::string SettingsFilePath(const std::string& exeDir) {
  const std::string folder = AsFolderText(exeDir);
  const std::string beside = folder + kIniName;
  // An installed copy keeps its settings with the user's configuration, even as root, who could
  // write into the system's program folder.
  const bool installed = IsInstalledProgramDir(folder.empty() ? "." : folder);
  if (!installed && FolderWritable(folder.empty() ? "." : folder)) return beside;
  if (!installed && ProfileFileExists(beside) && FileWritable(beside)) return beside;
  const std::string home = ConfigHome();
  if (home.empty()) return installed ? std::string() : beside;
  const std::string own = home + kFolderSeparator + "vark";
  std::error_code error;
  std::filesystem::create_directories(PlatformPath(own), error);
  return own + kFolderSeparator + kIniName;
}

TObjtOpt::TObjtOpt(IOptionsHost& host, std::string exeDir) : host_(host) {
  IniPath = SettingsFilePath(exeDir);
  AutorunName = kAutorunName;
  AutorunPath = ExecutablePath();

  // Without a settings file the program still runs, on the defaults, after saying so once.
  FileParam file;
  if (IniPath.empty()) {
    ShowError(MessageText(kNoSettingsFolderText));
  } else {
    try {
      bool damaged = false;
      file = LoadIni(IniPath, &damaged);
      if (damaged) ShowError(MessageText(kIniDamagedText) + IniPath);
    } catch (const EIniWriteError& error) {
      file = FileParam{};
      ShowError(error.what());
    }
  }

  // The autorun entry is what really happens at log-on, so it wins over the file.
  const bool registered = AutorunExists(AutorunName);
  if (registered != file.AutoLoad) SetAutorun(AutorunName, registered, AutorunPath);

  static_cast<FileParam&>(*this) = file;
  AutoLoad = registered;
  FolderPath.clear();
  if (CheckFolder(file.FolderPath)) FolderPath = file.FolderPath;
  // A save writes what changes from here on. The file catches up with the autorun entry at the
  // next save, as the entry is what happens at log-on; a stored folder that is missing now (a
  // drive not plugged in) stays in the file until the user sets another.
  saved_ = *this;
  saved_.AutoLoad = file.AutoLoad;
}

bool TObjtOpt::CheckFolder(const std::string& folder) {
  FolderValid = FolderExists(folder);
  if (!FolderValid) ShowInfo(MessageText(kFolderMissingAtStartText));
  return FolderValid;
}

void TObjtOpt::ApplyStartup() {
  if (tray) host_.HideToTray();
  if (FolderValid && start) host_.mmStartClick();
}

void TObjtOpt::SetAutoLoad(bool value) {
  if (value && !AutorunPathStorable(AutorunPath)) {
    ShowError(MessageText(kAutorunPathText));
    return;
  }
  AutoLoad = value;
  SetAutorun(AutorunName, value, AutorunPath);
}

void TObjtOpt::SetTray(bool value) {
  tray = value;
}
void TObjtOpt::SetSound(bool value) {
  sound = value;
}
void TObjtOpt::SetAlertWindow(bool value) {
  AlertWindow = value;
}
void TObjtOpt::SetStart(bool value) {
  start = value;
}

void TObjtOpt::SetFolder(const std::string& folder, TSave when) {
  if (const char* refusal = FolderRefusal(folder)) {
    ShowInfo(MessageText(refusal));
    return;
  }
  const std::string text = AsFolderText(folder);
  if (FolderExists(text)) {
    FolderPath = text;
    FolderValid = true;
    if (when == TSave::Now) {
      RequireIniPath();
      SaveIniFolder(text, IniPath);
      saved_.FolderPath = text;
    }
    if (const std::shared_ptr<TMonDirThread> running = host_.RunningMonitor()) {
      StopMonitor(running);
      host_.SetRunningMonitor(TMonDirThread::Create(FolderPath));
      ApplyStartup();
    }
    return;
  }
  FolderValid = false;
  FolderPath.clear();
  if (const std::shared_ptr<TMonDirThread> running = host_.RunningMonitor()) {
    StopMonitor(running);
    host_.SetRunningMonitor(nullptr);
  }
  ShowInfo(MessageText(kFolderMissingText));
}

void TObjtOpt::SaveAll() {
  RequireIniPath();
  const FileParam now = *this;
  SaveIniChanges(saved_, now, IniPath);
  saved_ = now;
}

void TObjtOpt::RestoreDefaults() {
  if (const std::shared_ptr<TMonDirThread> running = host_.RunningMonitor()) {
    StopMonitor(running);
    host_.SetRunningMonitor(nullptr);
  }
  RequireIniPath();
  SaveIniDefaults(IniPath);
  SetAutorun(AutorunName, false);
  static_cast<FileParam&>(*this) = FileParam{};
  FolderValid = false;
  saved_ = FileParam{};
}

void TObjtOpt::RequireIniPath() const {
  if (IniPath.empty()) throw std::runtime_error(MessageText(kNoSettingsFolderText));
}
