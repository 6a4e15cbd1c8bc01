#include "ui/uStartup.h"

#include <chrono>

#include "settings/uUserMessages.h"
#include "ui/uAdditionalLogic.h"
#include "ui/uShellOpen.h"
#include "ui/ufMain.h"
#include "watcher/uMonThread2.h"
#include "watcher/uTimeText.h"

namespace {
TQtShellOpen gShell;
}  // namespace

void InstallDesktopServices() {
  SetShellOpen(&gShell);
  // The long time format is fixed once, at start.
  SetLongTimeFormat(TimeFormatFromLocale());
}

void CreateWindows() {
  fMonDirMain = new TfMonDirMain();
}

void DestroyWindows() {
  if (fMonDirMain) fMonDirMain->Shutdown();
  delete fMonDirMain;
  fMonDirMain = nullptr;
  WaitForWatchers(std::chrono::seconds(5));
  SetShellOpen(nullptr);
  SetUserMessages(nullptr);
}
