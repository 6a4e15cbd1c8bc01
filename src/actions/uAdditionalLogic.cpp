#include "actions/uAdditionalLogic.h"

#include <atomic>

#include "base/uPathProbe.h"
#include "base/uPlatformText.h"
#include "settings/uObjtOpt.h"
#include "settings/uUserMessages.h"
#include "watcher/uMonThread2.h"

const char* const kOpenFailedText =
    QT_TRANSLATE_NOOP("Messages", "Возникла ошибка, сообщите автору");
const char* const kOpenNoAnswerText =
    QT_TRANSLATE_NOOP("Messages", "Папка не ответила вовремя, открыть не удалось: ");

namespace {

std::atomic<IShellOpen*> gShell{nullptr};

enum class TKind { None, File, Folder };

// What exists at the path, following links as the shell would. An empty path names nothing. A
// share that does not answer in time is not taken for a missing item: the user is told, since
// nothing else would happen.
TKind KindOf(const std::string& path) {
  switch (ProbePath(path, kOpenProbeLimit)) {
    case TPathKind::File:
      return TKind::File;
    case TPathKind::Folder:
      return TKind::Folder;
    case TPathKind::NoAnswer:
      ShowError(MessageText(kOpenNoAnswerText) + path);
      break;
    case TPathKind::None:
      break;
  }
  return TKind::None;
}

void Hand(const std::string& path) {
  if (IShellOpen* shell = gShell.load()) shell->Open(path);
}

template <typename Action>
void Guarded(Action action) {
  try {
    action();
  } catch (...) {
    ShowError(MessageText(kOpenFailedText));
  }
}

}  // namespace

void SetShellOpen(IShellOpen* shell) {
  gShell.store(shell);
}

void OpenLoggedFileIn(const std::string& folder, const std::string& line) {
  Guarded([&] {
    const std::string name = NameFromLogLine(line);
    if (name.empty()) return;
    const std::string path = folder + name;
    if (KindOf(path) != TKind::None) Hand(path);
  });
}

void OpenLoggedFolderIn(const std::string& folder, const std::string& line) {
  Guarded([&] {
    const std::string name = NameFromLogLine(line);
    if (name.empty()) return;
    const std::string path = folder + name;
    switch (KindOf(path)) {
      case TKind::File:
        Hand(path.substr(0, path.rfind(kFolderSeparator) + 1));
        break;
      case TKind::Folder:
        Hand(path);
        break;
      case TKind::None:
        break;
    }
  });
}

void OpenLoggedFile(const std::string& line) {
  OpenLoggedFileIn(gObjtOpt ? gObjtOpt->FolderPath : std::string(), line);
}

void OpenLoggedFolder(const std::string& line) {
  OpenLoggedFolderIn(gObjtOpt ? gObjtOpt->FolderPath : std::string(), line);
}

void PopupPositionIn(int16_t& x, int16_t& y, int screenWidth, int screenHeight, int taskbarHeight) {
  x = static_cast<int16_t>(screenWidth - x);
  y = static_cast<int16_t>(screenHeight - (y + taskbarHeight));
}
