// The main window: toolbar, log, status bar, the tray icon and its menu, and
// the running monitor.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "settings/uObjtOpt.h"
#include "ui/uLogModel.h"
#include "watcher/uMonThread2.h"

QT_BEGIN_NAMESPACE
class QMenu;
class QAction;
class QLabel;
namespace Ui {
class TfMonDirMain;
}
QT_END_NAMESPACE

class TQtMainThreadCaller;

// The system command of a minimise request.
constexpr unsigned kScMinimize = 0xF020;

// Tray icon actions.
enum TTrayAction { TrayAdd = 1, TrayDelete = 2, TrayModify = 3 };

// The tip of the tray icon, in Russian.
extern const char* const kTrayTip;  // "программа мониторит сетевую папку"
// The application title, in Russian; ApplicationTitle gives it in the user's language.
extern const char* const kApplicationTitle;  // "Монитор каталогов"
QString ApplicationTitle();

class TfMonDirMain : public QMainWindow, public IWatcherUi, public IOptionsHost {
  Q_OBJECT
 public:
  // `exeDir` is where the settings file is looked for (empty: beside the
  // running program).
  explicit TfMonDirMain(const std::string& exeDir = {}, QWidget* parent = nullptr);
  ~TfMonDirMain() override;

  // Handlers.
  void FormCreate(const std::string& exeDir);
  void mmStartClick();
  void mmStopClick();
  void Button3Click();
  void SpeedButton8Click();
  void SpeedButton4Click();
  void SpeedButton5Click();
  void SpeedButton7Click();
  // Ctrl+C on the log: the selected line's text to the clipboard.
  void CopySelectedLine();
  // The system-command handler: a minimise goes to the tray.
  void WMSysCommand(unsigned command);
  // The tray icon's messages.
  void TrayMessage(QSystemTrayIcon::ActivationReason reason);
  void TrayIcon(int action);

  // IOptionsHost
  void HideToTray() override;
  std::shared_ptr<TMonDirThread> RunningMonitor() const override { return running_; }
  void SetRunningMonitor(std::shared_ptr<TMonDirThread> monitor) override;

  // IWatcherUi: the watcher's steps, on this thread.
  void AnnounceStart() override;
  void AnnounceStop() override;
  void ReportChange(const TMonDirThread& watcher) override;
  void ShowWatchError(const std::string& text) override;
  void ShowWatchNotice(const std::string& text) override;
  // The state after "стоп", then the box: the system's text for a folder that could not be opened,
  // else the folder and the reason.
  void RunEnded(const TMonDirThread& watcher, int error, bool opened) override;

  // The link through which watchers reach this window.
  const std::shared_ptr<TQtMainThreadCaller>& MainThreadLink() const { return mainThread_; }

  // Stops the running watcher and lets reports already on their way finish.
  // Safe to call twice.
  void Shutdown();

  TLogModel& Log() { return log_; }
  QString StatusText() const;
  QMenu* TrayMenu() const { return PopupMenu1; }
  QMenu* LogMenu() const { return PopupMenu2; }
  QAction* N3 = nullptr;  // tray "старт           "
  QAction* N4 = nullptr;  // tray "стоп"
  QAction* N8 = nullptr;  // separator
  QAction* N2 = nullptr;  // tray "Выход"
  QAction* N1 = nullptr;  // log "открыть файл"
  QAction* N5 = nullptr;  // log "открыть каталог"
  Ui::TfMonDirMain* ui() const { return ui_.get(); }
  bool TrayShown() const;

  // Seams for tests and for the windows that arrive later.
  std::function<void()> PlayNotify;                       // "notify.wav", asynchronously
  std::function<void(const std::string& path)> PlayFile;  // a sound file (empty: the default)
  std::function<void(const std::string& fullPath, const std::string& relativeName,
                     const std::string& word)>
      ShowChangePopup;                                       // the change popup
  std::function<void(const QString& text)> PlainMessageBox;  // a failed open of the watcher
  std::function<bool()> TrayAvailable;                       // is there a notification area
  std::function<void()> ShowSettings;                        // the settings dialog, modally
  std::function<void()> ShowAbout;                           // the about box, modally

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The constructor's steps, in order: the log and the status bar, the menus and the tray icon,
  // the buttons' and menus' handlers, the hooks tests may replace, and the watchers' way here.
  void SetUpLog();
  void SetUpMenus();
  void ConnectHandlers();
  void SetUpHooks(const std::string& exeDir);
  void AttachWatchers();
  void AppendLog(std::string line);
  void SetStatus(const std::string& text);
  // What a burst of reports changes on the screen is shown once a display frame: the new log rows
  // in one block and the popup with the latest change.
  void ScheduleFrame();
  void ShowFrame();
  void SelectedLine(const std::function<void(const std::string&)>& action);

  std::unique_ptr<Ui::TfMonDirMain> ui_;
  std::shared_ptr<TQtMainThreadCaller> mainThread_;
  TLogModel log_;
  QTimer frame_;
  QElapsedTimer lastFrame_;
  struct TPopupChange {
    std::string FullPath, RelativeName, Word;
  };
  std::optional<TPopupChange> popup_;  // the latest change not yet in the popup
  QLabel* status_ = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QMenu* PopupMenu2 = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  std::shared_ptr<TMonDirThread> running_;
  bool shutDown_ = false;
  std::optional<QPoint> restorePos_;  // where it was when it went to the tray
  bool restoreFramed_ = false;
  bool shownOnce_ = false;
};

extern TfMonDirMain* fMonDirMain;
