#include "ui/ufMain.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCursor>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <algorithm>

#include "actions/uAdditionalLogic.h"
#include "base/uPlatformText.h"
#include "settings/uUserMessages.h"
#include "ui/uAdditional.h"
#include "ui/uGuard.h"
#include "ui/uLagProbe.h"
#include "ui/uLogView.h"
#include "ui/uMainThreadQt.h"
#include "ui/uPictures.h"
#include "ui/uPlacement.h"
#include "ui/uRunEnd.h"
#include "ui/uSound.h"
#include "ui_ufMain.h"

TfMonDirMain* fMonDirMain = nullptr;

namespace {

// What reports change on the screen is shown a display frame after the first of them, and while a
// burst goes on 20 times a second: the log's rows and the popup are then redrawn that often, not
// once for every change, and each change reaches the screen well within a tenth of a second. New
// rows cost the log's view the same at any length, so the pace does not depend on it.
constexpr qint64 kFrameMs = 16;
constexpr qint64 kBurstFrameMs = 50;

// The status bar's height; its text takes the log's font, which fits it.
constexpr int kStatusBarHeight = 19;

// The real player of a sound file, told apart from a test's by its type.
struct TPlayFile {
  void operator()(const std::string& path) const { PlaySoundFile(path, "message-new-instant"); }
};

}  // namespace

const char* const kTrayTip = QT_TRANSLATE_NOOP("TfMonDirMain", "программа мониторит сетевую папку");
const char* const kApplicationTitle = QT_TRANSLATE_NOOP("TfMonDirMain", "Монитор каталогов");

QString ApplicationTitle() {
  return QCoreApplication::translate("TfMonDirMain", kApplicationTitle);
}

TfMonDirMain::TfMonDirMain(const std::string& exeDir, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::TfMonDirMain>()) {
  // The global is valid inside FormCreate and everything it calls.
  fMonDirMain = this;
  ui_->setupUi(this);
  setFixedSize(461, 415);
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(AppIcon());
  // Where it first appears; also without a window manager to place it.
  CenterOnScreen(*this);

  const std::pair<QToolButton*, const char*> pictures[] = {
      {ui_->SpeedButton2, "start"},  {ui_->SpeedButton3, "stop"},     {ui_->SpeedButton4, "file"},
      {ui_->SpeedButton5, "folder"}, {ui_->SpeedButton6, "settings"}, {ui_->SpeedButton7, "info"},
      {ui_->SpeedButton8, "close"}};
  for (const auto& [button, name] : pictures) button->setIcon(ButtonPicture(name));

  frame_.setSingleShot(true);
  connect(&frame_, &QTimer::timeout, this, [this] { ShowFrame(); });

  SetUpLog();
  SetUpMenus();
  ConnectHandlers();
  SetUpHooks(exeDir);
  AttachWatchers();

  FormCreate(exeDir);
}

void TfMonDirMain::SetUpLog() {
  // Rows of 13 pixels, as drawn: the font fits them.
  ui_->lbLog->FitFontToRows();
  ui_->sbMain->setFont(ui_->lbLog->font());
  ui_->sbMain->setFixedHeight(kStatusBarHeight);
  ui_->lbLog->setModel(&log_);
  // Every row is as wide as the widest line (see SetMeasure): no line is ever cut short, and
  // looking for where to cut it would only cost each repaint.
  ui_->lbLog->setTextElideMode(Qt::ElideNone);
  // Rows are measured as the log's own item view would draw them.
  log_.SetMeasure([view = ui_->lbLog](const QString& shown) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.fontMetrics = view->fontMetrics();
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = shown;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    return view->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), view);
  });
  status_ = new QLabel(this);
  // No name of its own: a screen reader reads, and is told of, the status text itself.
  status_->setAccessibleDescription(tr("состояние мониторинга"));
  ui_->sbMain->addWidget(status_, 1);
  ShowLabelsAsPlainText(*this);
}

void TfMonDirMain::SetUpMenus() {
  PopupMenu1 = new QMenu(this);
  N3 = PopupMenu1->addAction(tr("старт           "));
  N4 = PopupMenu1->addAction(tr("стоп"));
  N8 = PopupMenu1->addSeparator();
  N2 = PopupMenu1->addAction(tr("Выход"));
  PopupMenu2 = new QMenu(this);
  N1 = PopupMenu2->addAction(tr("открыть файл"));
  N5 = PopupMenu2->addAction(tr("открыть каталог"));

  tray_ = new QSystemTrayIcon(AppIcon(), this);
  tray_->setToolTip(QCoreApplication::translate("TfMonDirMain", kTrayTip));
}

void TfMonDirMain::ConnectHandlers() {
  const auto bind = [this](auto* sender, auto signal, void (TfMonDirMain::*handler)()) {
    connect(sender, signal, this, [this, handler] { GuardHandler([&] { (this->*handler)(); }); });
  };
  bind(ui_->SpeedButton2, &QToolButton::clicked, &TfMonDirMain::mmStartClick);
  bind(ui_->SpeedButton3, &QToolButton::clicked, &TfMonDirMain::mmStopClick);
  bind(ui_->SpeedButton4, &QToolButton::clicked, &TfMonDirMain::SpeedButton4Click);
  bind(ui_->SpeedButton5, &QToolButton::clicked, &TfMonDirMain::SpeedButton5Click);
  bind(ui_->SpeedButton6, &QToolButton::clicked, &TfMonDirMain::Button3Click);
  bind(ui_->SpeedButton7, &QToolButton::clicked, &TfMonDirMain::SpeedButton7Click);
  bind(ui_->SpeedButton8, &QToolButton::clicked, &TfMonDirMain::SpeedButton8Click);
  bind(N3, &QAction::triggered, &TfMonDirMain::mmStartClick);
  bind(N4, &QAction::triggered, &TfMonDirMain::mmStopClick);
  bind(N2, &QAction::triggered, &TfMonDirMain::SpeedButton8Click);
  bind(N1, &QAction::triggered, &TfMonDirMain::SpeedButton4Click);
  bind(N5, &QAction::triggered, &TfMonDirMain::SpeedButton5Click);
  bind(ui_->lbLog, &QListView::doubleClicked, &TfMonDirMain::SpeedButton4Click);
  bind(ui_->lbLog, &TLogView::OpenRequested, &TfMonDirMain::SpeedButton4Click);
  bind(ui_->lbLog, &TLogView::CopyRequested, &TfMonDirMain::CopySelectedLine);
  connect(ui_->lbLog, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu2->popup(ui_->lbLog->viewport()->mapToGlobal(at)); });
  connect(tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { TrayMessage(reason); });
}

void TfMonDirMain::SetUpHooks(const std::string& exeDir) {
  // Looked up at each report, so a sound put beside the program later is played: two looks in the
  // program's own folder, nothing on the watched one. A missing or unplayable file gives the
  // theme's default sound.
  PlayFile = TPlayFile{};
  PlayNotify = [this, dir = exeDir.empty() ? QCoreApplication::applicationDirPath()
                                           : QFile::decodeName(exeDir.c_str())] {
    // The sound of an earlier change still playing stands for this one too: starting it again
    // for every change of a burst would only cut it off.
    if (!PlayFile || (PlayFile.target<TPlayFile>() && FileSoundBusy())) return;
    PlayFile(QFile::encodeName(NotifySoundPathFrom(dir)).toStdString());
  };
  PlainMessageBox = [this](const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    // A short system text would leave the box too narrow for its caption.
    WidenForCaption(box);
    // The system's text, which may name the folder, as it stands.
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };
  TrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
}

void TfMonDirMain::AttachWatchers() {
  // Watchers hold the caller, not this window; the window revokes it when it goes. What they hand
  // over waits for the next frame, which reports it and shows it at once.
  mainThread_ = std::make_shared<TQtMainThreadCaller>(this);
  mainThread_->SetFrame([this] { ScheduleFrame(); });
  TWatcherEnv env = WatcherEnv();
  env.MainThread = mainThread_.get();
  env.MainThreadOwner = mainThread_;
  env.Ui = this;
  SetWatcherEnv(env);
}

TfMonDirMain::~TfMonDirMain() {
  Shutdown();
  // A watcher still alive now (one stuck opening a share) reaches nothing of this window.
  mainThread_->Revoke();
  TWatcherEnv env = WatcherEnv();
  if (env.Ui == this) {
    env.Ui = nullptr;
    env.MainThread = nullptr;
    env.MainThreadOwner.reset();
    SetWatcherEnv(env);
  }
  delete gObjtOpt;
  gObjtOpt = nullptr;
  if (fMonDirMain == this) fMonDirMain = nullptr;
}

void TfMonDirMain::FormCreate(const std::string& exeDir) {
  SetStatus(MonitoringStatus(false));
  QApplication::setApplicationName(ApplicationTitle());
  gObjtOpt = exeDir.empty() ? new TObjtOpt(*this) : new TObjtOpt(*this, exeDir);
  GuardHandler([&] { gObjtOpt->ApplyStartup(); });
  if (!gObjtOpt->start) N4->setEnabled(false);
}

void TfMonDirMain::mmStartClick() {
  if (!gObjtOpt || !gObjtOpt->FolderValid || running_) return;
  running_ = TMonDirThread::Create(gObjtOpt->FolderPath);
  N3->setEnabled(false);
  N4->setEnabled(true);
}

void TfMonDirMain::mmStopClick() {
  if (running_) {
    StopMonitor(running_);
    N4->setEnabled(false);
    N3->setEnabled(true);
  }
  running_.reset();
}

void TfMonDirMain::SelectedLine(const std::function<void(const std::string&)>& action) {
  const QModelIndex index = ui_->lbLog->currentIndex();
  if (!index.isValid() || !ui_->lbLog->selectionModel()->isSelected(index)) return;
  action(log_.Line(index.row()));
}

void TfMonDirMain::SpeedButton4Click() {
  SelectedLine(OpenLoggedFile);
}

void TfMonDirMain::SpeedButton5Click() {
  SelectedLine(OpenLoggedFolder);
}

void TfMonDirMain::CopySelectedLine() {
  // The line as it was made, its name's line breaks and all.
  SelectedLine([](const std::string& line) {
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
  });
}

void TfMonDirMain::Button3Click() {
  if (ShowSettings) ShowSettings();
}

void TfMonDirMain::SpeedButton7Click() {
  if (ShowAbout) ShowAbout();
}

void TfMonDirMain::SpeedButton8Click() {
  // The watcher is stopped and its last reports served before the options go
  // away, so no report reads a released options object.
  Shutdown();
  delete gObjtOpt;
  gObjtOpt = nullptr;
  close();
}

void TfMonDirMain::closeEvent(QCloseEvent* event) {
  TrayIcon(TrayDelete);
  Shutdown();
  event->accept();
  // Closing the main window ends the program, also while the popup is open.
  QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void TfMonDirMain::Shutdown() {
  if (running_) mmStopClick();
  // Stopped watchers wake at once; serve what they had already handed over,
  // then let them end.
  QElapsedTimer clock;
  clock.start();
  while (LiveWatchers() > 0 && clock.elapsed() < 5000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    WaitForWatchers(std::chrono::milliseconds(5));
  }
  // The log keeps every line; a popup still to come for the last changes is not shown any more.
  frame_.stop();
  log_.Flush();
  popup_.reset();
  shutDown_ = true;
}

void TfMonDirMain::SetRunningMonitor(std::shared_ptr<TMonDirThread> monitor) {
  running_ = std::move(monitor);
}

void TfMonDirMain::HideToTray() {
  // Posted, not sent: the window hides when the event loop gets to it.
  QMetaObject::invokeMethod(
      this, [this] { WMSysCommand(kScMinimize); }, Qt::QueuedConnection);
}

void TfMonDirMain::WMSysCommand(unsigned command) {
  if (command != kScMinimize) return;
  if (!TrayAvailable()) {
    // Without a notification area the user would have no way back: minimise as
    // usual.
    showMinimized();
    return;
  }
  TrayIcon(TrayAdd);
  // The window manager places a window anew when it is mapped again; it comes back where it was.
  restorePos_ = pos();
  restoreFramed_ = frameGeometry().size() != size();
  hide();
}

void TfMonDirMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Centred at its first showing by its real frame, once the window manager has drawn it; until
  // then the frame is only guessed.
  if (!shownOnce_) {
    shownOnce_ = true;
    PlaceAgainWhenFramed(*this, [this] { CenterOnScreen(*this); });
  }
}

void TfMonDirMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
      TrayAvailable()) {
    // The caption's minimise box goes to the tray, whatever the options say.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    QMetaObject::invokeMethod(
        this, [this] { WMSysCommand(kScMinimize); }, Qt::QueuedConnection);
  }
}

void TfMonDirMain::TrayMessage(QSystemTrayIcon::ActivationReason reason) {
  const QPoint cursor = QCursor::pos();
  switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
      TrayIcon(TrayDelete);
      if (restorePos_ && !isVisible()) {
        move(*restorePos_);
        // Hidden before it was ever framed (a start in the tray): its place was a guess.
        if (!restoreFramed_) PlaceAgainWhenFramed(*this, [this] { CenterOnScreen(*this); });
      }
      show();
      setWindowState(windowState() & ~Qt::WindowMinimized);
      raise();
      activateWindow();
      break;
    case QSystemTrayIcon::Context:
      activateWindow();
      PopupMenu1->popup(cursor);
      break;
    default:
      break;
  }
}

void TfMonDirMain::TrayIcon(int action) {
  switch (action) {
    case TrayAdd:
      tray_->show();
      break;
    case TrayDelete:
      tray_->hide();
      break;
    case TrayModify:
      tray_->setIcon(AppIcon());
      tray_->setToolTip(QCoreApplication::translate("TfMonDirMain", kTrayTip));
      break;
    default:
      break;
  }
}

bool TfMonDirMain::TrayShown() const {
  return tray_->isVisible();
}

QString TfMonDirMain::StatusText() const {
  return status_->text();
}

void TfMonDirMain::AppendLog(std::string line) {
  log_.Append(line);
  TLagProbe::NoteFrame(log_.rowCount(), false);
}

void TfMonDirMain::ScheduleFrame() {
  if (frame_.isActive()) return;
  qint64 wait = kFrameMs;
  if (lastFrame_.isValid()) wait = std::max(wait, kBurstFrameMs - lastFrame_.elapsed());
  frame_.start(static_cast<int>(wait));
}

void TfMonDirMain::ShowFrame() {
  // The changes handed over since the last frame are reported now (their reports ask for a frame:
  // this is it).
  mainThread_->ServeSoon();
  frame_.stop();
  lastFrame_.start();
  log_.Flush();
  const bool popup = popup_.has_value();
  if (popup) {
    const TPopupChange change = std::move(*popup_);
    popup_.reset();
    if (ShowChangePopup) ShowChangePopup(change.FullPath, change.RelativeName, change.Word);
  }
  TLagProbe::NoteFrame(log_.rowCount(), popup);
}

void TfMonDirMain::SetStatus(const std::string& text) {
  status_->setText(QString::fromStdString(text));
  // A screen reader is told of the new words as they change.
  QAccessibleEvent changed(status_, QAccessible::NameChanged);
  QAccessible::updateAccessibility(&changed);
}

void TfMonDirMain::AnnounceStart() {
  SetStatus(MonitoringStatus(true));
  AppendLog(StartLogLine());
}

void TfMonDirMain::AnnounceStop() {
  SetStatus(MonitoringStatus(false));
  AppendLog(StopLogLine());
}

void TfMonDirMain::ReportChange(const TMonDirThread& watcher) {
  log_.AppendLater(ChangeLogLine(watcher.OperationText, watcher.RelativeName));
  ScheduleFrame();
  // The options are read at each report, so a change in the settings applies at
  // once.
  if (!gObjtOpt) return;
  if (gObjtOpt->sound && PlayNotify) PlayNotify();
  if (gObjtOpt->AlertWindow && ShowChangePopup) {
    // Only the latest change of a frame could be seen in the popup.
    popup_ = TPopupChange{watcher.FullPath, watcher.RelativeName, watcher.OperationWord};
  }
}

void TfMonDirMain::ShowWatchError(const std::string& text) {
  PlainMessageBox(QString::fromUtf8(text));
}

void TfMonDirMain::ShowWatchNotice(const std::string& text) {
  ShowInfo(text);
}

void TfMonDirMain::RunEnded(const TMonDirThread& watcher, int error, bool opened) {
  // Nothing is watched any more: the window says so as after "стоп", and "старт" starts anew.
  if (running_.get() != &watcher) return;
  mmStopClick();
  const auto utf8 = [](const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  };
  PlainMessageBox(opened ? tr("Мониторинг папки «%1» прекращён: %2")
                               .arg(utf8(watcher.Folder), utf8(RunEndReason(error)))
                         : utf8(SystemErrorText(error)));
}
