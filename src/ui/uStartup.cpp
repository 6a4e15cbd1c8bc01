#include "ui/uStartup.h"

#include <QFont>
#include <chrono>

#include "actions/uAdditionalLogic.h"
#include "base/uTimeText.h"
#include "settings/uUserMessages.h"
#include "ui/uAdditional.h"
#include "ui/uInfo.h"
#include "ui/uMessage.h"
#include "ui/uOptions.h"
#include "ui/uShellOpen.h"
#include "ui/ufMain.h"
#include "watcher/uMonThread2.h"

namespace {
TQtShellOpen gShell;
}  // namespace

void InstallDesktopServices() {
  InstallMessageBoxes();
  SetShellOpen(&gShell);
  // The long time format is fixed once, at start.
  SetLongTimeFormat(TimeFormatFromLocale());
}

void CreateWindows() {
  // The layouts are drawn for "MS Sans Serif" 8 pt, which is narrow; where it is missing, a face of
  // similar width keeps the captions inside their boxes (the default sans face is wider).
  QFont::insertSubstitutions(
      QStringLiteral("MS Sans Serif"),
      {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
       QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Nimbus Sans"),
       QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans Condensed")});
  fMonDirMain = new TfMonDirMain();
  // The popup has no owner, so that it has a taskbar entry of its own.
  fMessage = new TfMessage();
  fMonDirMain->ShowChangePopup = ShowChangePopup;
  fOptions = new TfOptions(fMonDirMain);
  fMonDirMain->ShowSettings = ShowOptionsDialog;
  fInfo = new TfInfo(fMonDirMain);
  fMonDirMain->ShowAbout = ShowAboutBox;
}

void DestroyWindows() {
  // No report may reach a window that is gone: the watcher stops first.
  if (fMonDirMain) {
    fMonDirMain->Shutdown();
    fMonDirMain->ShowAbout = nullptr;
    fMonDirMain->ShowSettings = nullptr;
    fMonDirMain->ShowChangePopup = nullptr;
  }
  delete fInfo;
  delete fOptions;
  delete fMessage;
  gMsgFrm.reset();
  delete fMonDirMain;
  fMonDirMain = nullptr;
  WaitForWatchers(std::chrono::seconds(5));
  SetShellOpen(nullptr);
  SetUserMessages(nullptr);
}
