// Program start: the command line, then the four windows in order and the message loop.
#include <QApplication>
#include <cstdio>

#include "ui/uCommandLine.h"
#include "ui/uLagProbe.h"
#include "ui/uLanguage.h"
#include "ui/uStartup.h"
#include "ui/ufMain.h"

int main(int argc, char* argv[]) {
  if (const std::optional<int> answered = AnswerCommandLine(argc, argv)) return *answered;
#ifndef Q_OS_WIN  // Windows always has its desktop; DISPLAY means nothing there
  // A program cannot place its own windows on Wayland, and the popup's corner would be lost: run
  // through XWayland when it is there, unless the user chose a platform.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
      !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    std::fprintf(stderr, "vark: no display: start it from a desktop session\n");
    return 1;
  }
#endif
  QApplication app(argc, argv);
  // Before any window: their texts are translated as they are made.
  InstallDesktopLanguage();
  app.setApplicationName(ApplicationTitle());
  app.setDesktopFileName(QStringLiteral("vark"));
  app.setQuitOnLastWindowClosed(false);  // the main window alone ends the program
  // For the benchmarks: how late the interface thread answers; off unless asked for.
  const auto lagProbe = StartLagProbeFromEnvironment();

  InstallDesktopServices();
  CreateWindows();
  fMonDirMain->show();
  const int code = app.exec();
  DestroyWindows();
  return code;
}
