// The main window with a scripted change source on the offscreen platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "actions/uAdditionalLogic.h"
#include "base/uPlatformText.h"
#include "settings/uObjtOpt.h"
#include "settings/uUserMessages.h"
#include "uScriptedDirChanges.h"
#include "uWindowsTestSupport.h"
#include "ui/uMainThreadQt.h"
#include "ui/ufMain.h"
#include "ui_ufMain.h"
#include "watcher/uDirChanges.h"

namespace fs = std::filesystem;

namespace {

using windows_test::WaitUntil;

// The main window alone, with its sound, popup and plain box recorded.
class MainWindow : public windows_test::TWindowsTest {
 protected:
  void WriteIni(bool start, const std::string& folder, bool tray = false) {
    std::ofstream(exeDir + "option.ini")
        << "[main]\nAutoLoad=0\ntray=" << tray << "\nsound=1\nAlertWindow=1\nstart=" << start
        << "\nFolderPath=" << folder << "\n";
  }
  void Open() {
    main = std::make_unique<TfMonDirMain>(exeDir);
    window = main.get();
    window->PlayNotify = [this] { events.push_back("sound"); };
    window->ShowChangePopup = [this](const std::string& full, const std::string& rel,
                                     const std::string& word) {
      events.push_back("popup " + full + "|" + rel + "|" + word);
    };
    window->PlainMessageBox = [this](const QString& text) {
      events.push_back("box " + text.toStdString());
    };
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < window->Log().Count(); ++i) lines.push_back(window->Log().Line(i));
    return lines;
  }
  static std::string Tail(const std::string& line) { return line.substr(line.find("   ") + 3); }

  std::vector<std::string> events;
  TfMonDirMain* window = nullptr;
};

}  // namespace

TEST_F(MainWindow, LayoutTitlesAndAccessibleNames) {
  WriteIni(false, watched);
  Open();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Vark - Мониторинг папки"));
  EXPECT_EQ(window->size(), QSize(461, 415));
  EXPECT_EQ(window->StatusText(), QStringLiteral("Мониторинг папки отключён"));
  EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("Монитор каталогов"));
  const auto buttons = window->findChildren<QToolButton*>();
  EXPECT_EQ(buttons.size(), 7);
  for (QToolButton* b : buttons) {
    EXPECT_EQ(b->accessibleName(), b->text());
    EXPECT_FALSE(b->toolTip().isEmpty());
    EXPECT_FALSE(b->icon().isNull()) << b->text().toStdString();
  }
  EXPECT_EQ(window->ui()->SpeedButton8->toolTip(), QStringLiteral("заврешить работу программы"));
  EXPECT_FALSE(window->ui()->lbLog->accessibleName().isEmpty());
  EXPECT_EQ(window->N3->text(), QStringLiteral("старт           "));
  EXPECT_EQ(window->N2->text(), QStringLiteral("Выход"));
  EXPECT_EQ(window->N1->text(), QStringLiteral("открыть файл"));
  EXPECT_EQ(window->N5->text(), QStringLiteral("открыть каталог"));
}

TEST_F(MainWindow, StartWithoutStartOptionLeavesStopDisabled) {
  WriteIni(false, watched);
  Open();
  EXPECT_TRUE(window->N3->isEnabled());
  EXPECT_FALSE(window->N4->isEnabled());
  EXPECT_EQ(window->RunningMonitor(), nullptr);
  EXPECT_TRUE(messages.infos.empty());
}

TEST_F(MainWindow, StartOptionWithValidFolderStartsMonitoring) {
  WriteIni(true, watched);
  Open();
  EXPECT_NE(window->RunningMonitor(), nullptr);
  EXPECT_FALSE(window->N3->isEnabled());
  EXPECT_TRUE(window->N4->isEnabled());
  ASSERT_TRUE(WaitLines(1));
  EXPECT_EQ(window->StatusText(), QStringLiteral("Мониторинг папки активен"));
  EXPECT_EQ(Tail(Lines()[0]), " монитор запущен");
}

TEST_F(MainWindow, StartOptionWithMissingFolderTellsAndStartsNothing) {
  WriteIni(true, root + "/nowhere/");
  Open();
  EXPECT_EQ(messages.infos, std::vector<std::string>{
                                "Такой папки не существует, вы не сможете запустить мониторинг"});
  EXPECT_EQ(window->RunningMonitor(), nullptr);
  EXPECT_TRUE(window->N3->isEnabled());
  EXPECT_TRUE(window->N4->isEnabled());
  window->ui()->SpeedButton2->click();
  EXPECT_EQ(window->RunningMonitor(), nullptr);
}

TEST_F(MainWindow, StartAndStopFromToolbarAndTrayMenu) {
  WriteIni(false, watched);
  Open();
  window->ui()->SpeedButton2->click();
  window->ui()->SpeedButton2->click();  // a second start changes nothing
  ASSERT_TRUE(WaitLines(1));
  EXPECT_TRUE(WaitUntil([&] { return Source()->Opened(); }));
  EXPECT_EQ(SourceCount(), 1u);
  EXPECT_EQ(Source()->OpenedFolder(), watched);
  Source()->PlayNarrow(1, "a.txt");
  Source()->PlayNarrow(3, "a.txt");
  Source()->PlayNarrow(3, "a.txt");
  Source()->PlayNarrow(4, "a.txt");
  Source()->PlayNarrow(5, "b.txt");
  ASSERT_TRUE(WaitLines(5));
  window->ui()->SpeedButton3->click();
  window->ui()->SpeedButton3->click();  // a second stop announces nothing
  EXPECT_EQ(window->StatusText(), QStringLiteral("Мониторинг папки отключён"));
  EXPECT_TRUE(window->N3->isEnabled());
  EXPECT_FALSE(window->N4->isEnabled());
  ASSERT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
  QCoreApplication::processEvents();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Tail(lines[1]), "создан:    #a.txt");
  EXPECT_EQ(Tail(lines[2]), "изменен:    #a.txt");
  EXPECT_EQ(Tail(lines[3]), "переименован из:    #a.txt");
  EXPECT_EQ(Tail(lines[4]), "переименован в:    #b.txt");
  EXPECT_EQ(Tail(lines[5]), " монитор остановлен");

  // The tray menu's items do the same.
  window->N3->trigger();
  ASSERT_TRUE(WaitLines(7));
  Source(2);
  EXPECT_EQ(SourceCount(), 2u);
  EXPECT_FALSE(window->N3->isEnabled());
  window->N4->trigger();
  EXPECT_EQ(Tail(Lines().back()), " монитор остановлен");
  EXPECT_EQ(window->RunningMonitor(), nullptr);
}

TEST_F(MainWindow, SoundAndPopupFollowTheOptionsAtEachReport) {
  WriteIni(true, watched);
  Open();
  ASSERT_TRUE(WaitLines(1));
  Source()->PlayNarrow(1, "a.txt");
  ASSERT_TRUE(WaitLines(2));
  EXPECT_EQ(events, (std::vector<std::string>{"sound", "popup " + watched + "a.txt|a.txt|создан"}));
  gObjtOpt->SetSound(false);
  gObjtOpt->SetAlertWindow(false);
  Source()->PlayNarrow(2, "a.txt");
  ASSERT_TRUE(WaitLines(3));
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(MainWindow, OpeningFromTheLog) {
  WriteIni(true, watched);
  std::ofstream(watched + "a#b.txt") << "x";
  Open();
  ASSERT_TRUE(WaitLines(1));
  Source()->PlayNarrow(1, "a#b.txt");
  ASSERT_TRUE(WaitLines(2));
  QListView* log = window->ui()->lbLog;

  window->SpeedButton4Click();  // nothing selected
  EXPECT_TRUE(shell.opened.empty());

  log->setCurrentIndex(window->Log().index(0));  // the start line names nothing
  emit log->doubleClicked(window->Log().index(0));
  EXPECT_TRUE(shell.opened.empty());

  log->setCurrentIndex(window->Log().index(1));
  emit log->doubleClicked(window->Log().index(1));
  window->N5->trigger();
  EXPECT_EQ(shell.opened, (std::vector<std::string>{watched + "a#b.txt", watched}));

  // Enter opens as a double click does; Ctrl+C copies the selected line, and nothing without one.
  QTest::keyClick(log, Qt::Key_Return);
  QTest::keyClick(log, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(shell.opened.size(), 4u);
  EXPECT_EQ(shell.opened.back(), watched + "a#b.txt");
  QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(window->Log().Line(1)));
  log->selectionModel()->clearSelection();
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
  QTest::keyClick(log, Qt::Key_Return);
  EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
  EXPECT_EQ(shell.opened.size(), 4u);
}

TEST_F(MainWindow, MinimiseGoesToTheTrayAndAClickBringsItBack) {
  WriteIni(false, watched);
  Open();
  window->TrayAvailable = [] { return true; };
  window->show();
  window->WMSysCommand(kScMinimize);
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(window->TrayShown());
  window->TrayMessage(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(window->TrayShown());

  // The tray option hides the window later, from the event loop.
  window->HideToTray();
  EXPECT_TRUE(window->isVisible());
  ASSERT_TRUE(WaitUntil([&] { return !window->isVisible(); }));
  window->TrayMessage(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindow, WithoutANotificationAreaMinimiseStaysReachable) {
  WriteIni(false, watched);
  Open();
  window->TrayAvailable = [] { return false; };
  window->show();
  window->WMSysCommand(kScMinimize);
  EXPECT_FALSE(window->TrayShown());
  EXPECT_TRUE(window->isVisible());
}

// A source whose reading breaks with an error of the program's own.
class TThrowingRead : public TScriptedDirChanges {
 public:
  TReadResult Read(uint8_t*, size_t, uint32_t) override { throw std::runtime_error("broken"); }
};

TEST_F(MainWindow, EveryWayARunEndsLeavesTheStateOfAStopAndSaysWhy) {
  const std::string ended = "Мониторинг папки «" + watched + "» прекращён: ";
  const struct {
    int OpenError, ReadError;
    bool Thrown;
    std::string Box;
  } rows[] = {
      // The folder cannot be opened: the system's text alone.
      {ENOENT, 0, false, SystemErrorText(ENOENT)},
      {EACCES, 0, false, SystemErrorText(EACCES)},
      // Gone, moved or unmounted; unreadable; a failed read; an error inside the run.
      {0, ENOENT, false, ended + "папка удалена, перемещена или отключена"},
      {0, EACCES, false, ended + "нет доступа к папке"},
      {0, EIO, false, ended + "ошибка чтения"},
      {0, 0, true, ended + "внутренняя ошибка программы"},
  };
  WriteIni(false, watched);
  std::atomic<int> openError{0};
  std::atomic<bool> thrown{false};
  TWatcherEnv env = WatcherEnv();
  env.MakeSource = [&, made = env.MakeSource]() -> std::shared_ptr<TDirChanges> {
    if (thrown) return std::make_shared<TThrowingRead>();
    auto source = std::static_pointer_cast<TScriptedDirChanges>(made());
    source->SetOpenError(openError);
    return source;
  };
  SetWatcherEnv(env);
  Open();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Box);
    events.clear();
    openError = row.OpenError;
    thrown = row.Thrown;
    const size_t made = SourceCount(), shown = Lines().size();
    // "старт" starts a new run after every way the one before ended.
    window->ui()->SpeedButton2->click();
    ASSERT_TRUE(WaitUntil([&] { return Lines().size() > shown; }));
    EXPECT_EQ(Tail(Lines()[shown]), " монитор запущен");
    if (row.ReadError) Source(made + 1)->PlayFailure(row.ReadError);
    ASSERT_TRUE(WaitUntil([&] { return !events.empty(); }));
    EXPECT_EQ(events, std::vector<std::string>{"box " + row.Box});
    EXPECT_EQ(Tail(Lines().back()), " монитор остановлен");
    EXPECT_EQ(window->StatusText(), QStringLiteral("Мониторинг папки отключён"));
    EXPECT_EQ(window->RunningMonitor(), nullptr);
    EXPECT_TRUE(window->N3->isEnabled());
    EXPECT_FALSE(window->N4->isEnabled());
    ASSERT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
  }
  // Each run has its start and its stop line, and a "стоп" now adds nothing.
  window->mmStopClick();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2 * std::size(rows));
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(Tail(lines[i]), i % 2 ? " монитор остановлен" : " монитор запущен") << i;
  }
}

TEST_F(MainWindow, ExitInTheMiddleOfABurst) {
  WriteIni(true, watched);
  Open();
  ASSERT_TRUE(WaitLines(1));
  for (int i = 0; i < 20000; ++i) Source()->PlayNarrow(1 + i % 3, "f" + std::to_string(i));
  ASSERT_TRUE(WaitLines(100));
  window->SpeedButton8Click();
  EXPECT_EQ(gObjtOpt, nullptr);
  EXPECT_EQ(LiveWatchers(), 0u);
  // A stopped watcher reports nothing after its stop line.
  EXPECT_EQ(Tail(Lines().back()), " монитор остановлен");
}

namespace {

// A source whose open hangs, as on a share whose server is down, until it is let go; then it
// fails.
class THangingOpen : public TScriptedDirChanges {
 public:
  int Open(const std::string&) override {
    entered = true;
    std::unique_lock lock(mutex_);
    released_.wait(lock, [this] { return released; });
    return EIO;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released = true;
    released_.notify_all();
  }
  std::atomic<bool> entered{false};

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool released = false;
};

}  // namespace

TEST_F(MainWindow, AWatcherStoppedWhileItsOpenHangsAnnouncesNothingAfterTheStop) {
  WriteIni(false, watched);
  auto hanging = std::make_shared<THangingOpen>();
  TWatcherEnv env = WatcherEnv();
  env.MakeSource = [hanging] { return hanging; };
  SetWatcherEnv(env);
  Open();
  window->mmStartClick();
  ASSERT_TRUE(WaitUntil([&] { return hanging->entered.load(); }));
  window->mmStopClick();
  hanging->Release();
  ASSERT_TRUE(WaitUntil([] { return LiveWatchers() == 0; }));
  QCoreApplication::processEvents();
  EXPECT_TRUE(events.empty()) << events.front();
  EXPECT_EQ(Tail(Lines().back()), " монитор остановлен");
}

TEST_F(MainWindow, AWatcherThatOutlivesTheWindowReachesNothingOfIt) {
  WriteIni(false, watched);
  auto hanging = std::make_shared<THangingOpen>();
  TWatcherEnv env = WatcherEnv();
  env.MakeSource = [hanging] { return hanging; };
  SetWatcherEnv(env);
  Open();
  // Only the link is looked at once the window has gone.
  bool boxShown = false;
  window->PlainMessageBox = [&boxShown](const QString&) { boxShown = true; };
  std::weak_ptr<TQtMainThreadCaller> link = window->MainThreadLink();
  window->mmStartClick();
  ASSERT_TRUE(WaitUntil([&] { return hanging->entered.load(); }));
  // The window goes while the open still hangs; the watcher keeps running past the wait at exit.
  window->SetRunningMonitor(nullptr);
  main.reset();
  window = nullptr;
  ASSERT_EQ(LiveWatchers(), 1u);
  auto held = link.lock();
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->Revoked());
  held.reset();
  // The open fails now; its box would go to the freed window.
  hanging->Release();
  EXPECT_TRUE(WaitForWatchers(std::chrono::seconds(5)));
  QCoreApplication::processEvents();
  EXPECT_FALSE(boxShown);
  EXPECT_TRUE(link.expired());
}

TEST_F(MainWindow, TheNotifySoundIsLookedUpAtEachReport) {
  WriteIni(false, watched);
  main = std::make_unique<TfMonDirMain>(exeDir);
  std::vector<std::string> played;
  main->PlayFile = [&](const std::string& path) { played.push_back(path); };
  main->PlayNotify();
  std::ofstream(exeDir + "notify.wav") << "RIFF";
  main->PlayNotify();
  fs::remove(exeDir + "notify.wav");
  main->PlayNotify();
  EXPECT_EQ(played, (std::vector<std::string>{"", root + "/bin/notify.wav", ""}));
}

namespace {

QObject* gReadObject = nullptr;
std::vector<QString> gNamesAnnounced;
QAccessible::UpdateHandler gEarlierHandler = nullptr;

void RecordNameChange(QAccessibleEvent* event) {
  if (event->type() == QAccessible::NameChanged && event->object() == gReadObject) {
    gNamesAnnounced.push_back(event->accessibleInterface()->text(QAccessible::Name));
  }
  if (gEarlierHandler) gEarlierHandler(event);
}

}  // namespace

TEST_F(MainWindow, TheStatusWordsReachAScreenReader) {
  WriteIni(false, watched);
  Open();
  QLabel* status = nullptr;
  for (QLabel* label : window->ui()->sbMain->findChildren<QLabel*>()) {
    if (label->text() == window->StatusText()) status = label;
  }
  ASSERT_NE(status, nullptr);
  QAccessibleInterface* read = QAccessible::queryAccessibleInterface(status);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->text(QAccessible::Name), QStringLiteral("Мониторинг папки отключён"));

  gReadObject = status;
  gNamesAnnounced.clear();
  const bool wasActive = QAccessible::isActive();
  QAccessible::setActive(true);
  gEarlierHandler = QAccessible::installUpdateHandler(RecordNameChange);
  window->mmStartClick();
  const bool started = WaitLines(1);
  const QString whileRunning = read->text(QAccessible::Name);
  window->mmStopClick();
  QAccessible::installUpdateHandler(gEarlierHandler);
  QAccessible::setActive(wasActive);
  gReadObject = nullptr;

  ASSERT_TRUE(started);
  EXPECT_EQ(whileRunning, QStringLiteral("Мониторинг папки активен"));
  EXPECT_EQ(read->text(QAccessible::Name), QStringLiteral("Мониторинг папки отключён"));
  // Each change is told to the screen reader as it happens; without an accessibility bridge (as
  // offscreen) nothing is sent at all.
  if (QAccessible::isActive()) {
    EXPECT_EQ(gNamesAnnounced, (std::vector<QString>{QStringLiteral("Мониторинг папки активен"),
                                                     QStringLiteral("Мониторинг папки отключён")}));
  }
}

TEST_F(MainWindow, CentredAtFirstAndBackWhereItWasFromTheTray) {
  WriteIni(false, watched);
  Open();
  const QRect free = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((window->frameGeometry().center() - free.center()).manhattanLength(), 2);
  window->show();
  // Once the (simulated) frame is known, it is centred by that frame.
  EXPECT_TRUE(WaitUntil(
      [&] { return (window->frameGeometry().center() - free.center()).manhattanLength() <= 1; }));
  EXPECT_NE(window->frameGeometry().size(), window->size());

  window->TrayAvailable = [] { return true; };
  window->move(37, 41);
  window->WMSysCommand(kScMinimize);
  ASSERT_FALSE(window->isVisible());
  window->TrayMessage(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->pos(), QPoint(37, 41));
}

TEST_F(MainWindow, AStopBeforeTheStartIsAnnouncedWritesBothLinesInOrder) {
  WriteIni(false, watched);
  std::atomic<bool> entered{false};
  TWatcherEnv env = WatcherEnv();
  env.BeforeRun = [&entered] { entered = true; };
  SetWatcherEnv(env);
  Open();
  window->mmStartClick();
  // No event is served meanwhile: the watcher hands its start announcement to this thread, which
  // has not served it yet when the user stops.
  for (int i = 0; i < 5000 && !entered; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(entered);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  window->mmStopClick();
  ASSERT_TRUE(WaitUntil([] { return LiveWatchers() == 0; }));
  QCoreApplication::processEvents();
  ASSERT_EQ(Lines().size(), 2u);
  EXPECT_EQ(Tail(Lines().front()), " монитор запущен");
  EXPECT_EQ(Tail(Lines().back()), " монитор остановлен");
  EXPECT_EQ(window->StatusText(), QStringLiteral("Мониторинг папки отключён"));
}

TEST_F(MainWindow, LongLinesKeepTheirWidthWheneverTheyArrived) {
  WriteIni(false, watched);
  Open();
  QListView* log = window->ui()->lbLog;
  const QFontMetrics metrics(log->font());
  const auto wholeLinesShown = [&] {
    // Laid out as the view does by itself, from its event loop.
    QCoreApplication::processEvents();
    for (int row = 0; row < window->Log().Count(); ++row) {
      const QModelIndex index = window->Log().index(row);
      const int needed = metrics.horizontalAdvance(index.data().toString());
      if (log->visualRect(index).width() < needed) return false;
    }
    return log->horizontalScrollBar()->maximum() > 0;
  };
  const std::string longName(300, 'x');
  const std::string shortName = "a";
  std::mt19937 random(7);
  // Lines long and short, arriving while the window is shown, hidden in the tray, or shown again.
  window->TrayAvailable = [] { return true; };
  window->show();
  window->Log().Append(ChangeLogLine("12:00:00   создан:   ", longName));
  for (int step = 0; step < 40; ++step) {
    switch (random() % 4) {
      case 0:
        window->Log().Append(ChangeLogLine("12:00:00   создан:   ", longName + "y"));
        break;
      case 1:
        window->Log().Append(ChangeLogLine("12:00:00   создан:   ", shortName));
        break;
      case 2:
        if (window->isVisible()) window->WMSysCommand(kScMinimize);
        break;
      case 3:
        if (!window->isVisible()) window->TrayMessage(QSystemTrayIcon::Trigger);
        break;
    }
    if (window->isVisible()) {
      ASSERT_TRUE(WaitUntil(wholeLinesShown, 1000)) << "step " << step;
    }
  }
}

TEST(MainThreadLink, WorkWaitingWhenTheLinkIsRevokedNeverRunsAndItsCallerIsReleased) {
  QObject target;
  auto link = std::make_shared<TQtMainThreadCaller>(&target);
  std::atomic<bool> ran{false};
  std::atomic<bool> released{false};
  std::thread worker([&] {
    try {
      link->RunAndWait([&] { ran = true; });
    } catch (const std::exception&) {
      released = true;
    }
  });
  // The work is posted; this thread serves no event before it revokes the link.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  link->Revoke();
  worker.join();
  QCoreApplication::processEvents();
  EXPECT_TRUE(released);
  EXPECT_FALSE(ran);
  // Nothing is posted any more.
  EXPECT_THROW(link->RunAndWait([&] { ran = true; }), std::exception);
  EXPECT_FALSE(ran);
}

namespace {

// Names of any bytes: scripts shaped alike and not, marks that join the letter before them, pairs
// that kern or join, blanks, line breaks, "#", and bytes that are not UTF-8 at all.
std::string RandomName(std::mt19937& random) {
  static const char* const pieces[] = {"a",  "W",  "i",  "0",  "1",    " ",    "#",
                                       "\n", ".",  "я",  "Ж",  "中",   "文",   "ب",
                                       "ع",  "א",  "ש",  "AV", "fi",   "ffi",  "\xCC\x81",
                                       "😀",  "\t", "To", "ﬁ",  "\xFF", "\xC3", "\xE2\x80\xA8",
                                       "श्र", "ก็",  "Ω"};
  // Plain names too: ASCII and basic Cyrillic, the letters of most names.
  static const char* const plain[] = {"a", "W", "i",  "0",  "1",  " ", "#", ".",
                                      "я", "Ж", "AV", "To", "fi", "ё", "~", "_"};
  const bool plainOnly = random() % 2 == 0;
  std::string name;
  const int count = static_cast<int>(random() % 30);
  for (int i = 0; i < count; ++i) {
    name += plainOnly ? plain[random() % std::size(plain)] : pieces[random() % std::size(pieces)];
  }
  return name;
}

// The line as the log shows it.
QString ShownLine(const std::string& line) {
  QString text = QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
  text.replace(QLatin1Char('\n'), QChar(0x21B5));
  return text;
}

}  // namespace

TEST_F(MainWindow, TheLogKeepsEveryLineAndItsRowsFitTheWidestAsMeasuredWhole) {
  WriteIni(false, watched);
  Open();
  QListView* view = window->ui()->lbLog;
  // Every line measured whole, as the log's own view lays it out.
  const auto measure = [view](const QString& shown) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.fontMetrics = view->fontMetrics();
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = shown;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    return view->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), view);
  };
  const char* const texts[] = {"12:00:00   создан:   ", "12:00:01   удален:   ",
                               "23:59:59   переименован из:   ", "00:00:00   изменен:   "};
  for (unsigned seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    // The model against a plain list of lines and the widest of them measured whole.
    TLogModel log;
    log.SetMeasure(measure);
    std::vector<std::string> lines;
    size_t shown = 0;
    QSize widest;
    const auto showAll = [&] {
      for (; shown < lines.size(); ++shown) {
        widest = widest.expandedTo(measure(ShownLine(lines[shown])));
      }
    };
    const auto check = [&] {
      ASSERT_EQ(log.Count(), static_cast<int>(lines.size()));
      ASSERT_EQ(log.rowCount(), static_cast<int>(shown));
      if (shown == 0) return;
      const int step = TLogModel::kWidthStep;
      ASSERT_EQ(log.RowSize(), QSize((widest.width() + step - 1) / step * step, widest.height()));
      const int row = static_cast<int>(random() % shown);
      ASSERT_EQ(log.data(log.index(row)).toString(), ShownLine(lines[row]));
      ASSERT_EQ(log.data(log.index(row), Qt::SizeHintRole).toSize(), log.RowSize());
    };
    for (int step = 0; step < 300; ++step) {
      std::string line;
      switch (random() % 4) {
        case 0:
          line = RandomName(random);  // a line without the usual parts
          break;
        case 1:
          line = StartLogLine();
          break;
        default:
          line = ChangeLogLine(texts[random() % std::size(texts)], RandomName(random));
      }
      switch (random() % 5) {
        case 0:
          log.Append(line);
          lines.push_back(line);
          showAll();
          break;
        case 1:
          log.Flush();
          showAll();
          break;
        default:
          log.AppendLater(line);
          lines.push_back(line);
      }
      check();
      if (HasFatalFailure()) return;
    }
    log.Flush();
    showAll();
    check();
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(log.Line(static_cast<int>(i)), lines[i]);
  }
}

TEST(LogModel, LinesOfAnySizeReadBackByteForByte) {
  // Lines around and beyond the size of a block of the store, with every byte value.
  std::mt19937 random(11);
  TLogModel log;
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    size_t size = random() % 64;
    if (random() % 10 == 0) size = (size_t{1} << 18) - 32 + random() % 64;
    if (random() % 40 == 0) size = (size_t{1} << 19) + random() % 1000;
    std::string line(size, '\0');
    for (char& c : line) c = static_cast<char>(random());
    lines.push_back(line);
    if (random() % 2) {
      log.Append(line);
    } else {
      log.AppendLater(line);
    }
  }
  ASSERT_EQ(log.Count(), static_cast<int>(lines.size()));
  for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(log.Line(static_cast<int>(i)), lines[i]) << i;
  EXPECT_TRUE(log.Flush() || log.rowCount() == log.Count());
  EXPECT_EQ(log.rowCount(), log.Count());
  EXPECT_FALSE(log.Flush());
}

TEST_F(MainWindow, ABurstGivesEveryChangeItsLineInOrderAndThePopupEndsOnTheLatest) {
  WriteIni(true, watched);
  Open();
  ASSERT_TRUE(WaitLines(1));
  constexpr int kChanges = 3000;
  const auto name = [](int i) { return "f" + std::to_string(i); };
  const uint32_t actions[] = {1, 3, 2};  // no two alike in a row: none is a repeat
  for (int i = 0; i < kChanges; ++i) Source()->PlayNarrow(actions[i % 3], name(i));
  ASSERT_TRUE(WaitLines(kChanges + 1));
  const std::string last = "popup " + watched + name(kChanges - 1) + "|" + name(kChanges - 1);
  ASSERT_TRUE(
      WaitUntil([&] { return !events.empty() && events.back().rfind(last + "|", 0) == 0; }));
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kChanges + 1));
  const char* const labels[] = {"создан:", "изменен:", "удален:"};
  for (int i = 0; i < kChanges; ++i) {
    ASSERT_EQ(Tail(lines[i + 1]), std::string(labels[i % 3]) + "    #" + name(i)) << i;
  }
  // A sound request for every change; the popup showed changes in their order, the latest last.
  int sounds = 0;
  int shownUpTo = -1;
  for (const std::string& event : events) {
    if (event == "sound") {
      ++sounds;
      continue;
    }
    const std::string prefix = "popup " + watched;
    ASSERT_EQ(event.rfind(prefix, 0), 0u) << event;
    const int shown = std::stoi(event.substr(prefix.size() + 1));
    EXPECT_GT(shown, shownUpTo) << event;
    shownUpTo = shown;
  }
  EXPECT_EQ(sounds, kChanges);
  EXPECT_EQ(shownUpTo, kChanges - 1);
}

TEST_F(MainWindow, AStopInTheMiddleOfAHandOverEndsTheReportsThere) {
  WriteIni(true, watched);
  Open();
  ASSERT_TRUE(WaitLines(1));
  int reports = 0;
  window->PlayNotify = [&] {
    if (++reports == 5) window->mmStopClick();
  };
  // No event is served while they are played: the watcher hands the first over and waits, and
  // its next read carries all the others, the fifth among them.
  for (int i = 0; i < 50; ++i) Source()->PlayNarrow(1, "g" + std::to_string(i));
  ASSERT_TRUE(WaitUntil([] { return LiveWatchers() == 0; }));
  QCoreApplication::processEvents();
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 7u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Tail(lines[i + 1]), "создан:    #g" + std::to_string(i));
  EXPECT_EQ(Tail(lines[6]), " монитор остановлен");
  EXPECT_EQ(reports, 5);
}
