// The settings dialog: its layout, what "ок", "отмена", "по умолчанию" and the folder box hand to
// the options object, and that a failed write keeps it open.
#include <sys/inotify.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "settings/uRegister.h"
#include "uWindowsTestSupport.h"
#include "ui_uOptions.h"
#include "ui_ufMain.h"

using namespace windows_test;

namespace {

// Counts what happens to the names in one folder, from the moment it is made.
class TFolderEvents {
 public:
  explicit TFolderEvents(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK)) {
    EXPECT_GE(fd_, 0);
    EXPECT_GE(inotify_add_watch(
                  fd_, folder.c_str(),
                  IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB),
              0);
  }
  ~TFolderEvents() { close(fd_); }
  // Complete writes of `name` since the last call: each write moves a finished copy in.
  int Writes(const std::string& name) {
    Drain();
    int n = 0;
    for (const auto& [mask, what] : events_) n += what == name && (mask & IN_MOVED_TO) != 0;
    events_.clear();
    return n;
  }
  // Anything at all since the last call.
  int Any() {
    Drain();
    const int n = static_cast<int>(events_.size());
    events_.clear();
    return n;
  }

 private:
  void Drain() {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got <= 0) return;
      for (ssize_t at = 0; at < got;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        events_.emplace_back(e->mask, e->len ? std::string(e->name) : std::string());
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      }
    }
  }
  int fd_;
  std::vector<std::pair<uint32_t, std::string>> events_;
};

QWidget* NextTabStop(QWidget* from) {
  QWidget* w = from->nextInFocusChain();
  while (w != from && !(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
  return w;
}

class SettingsDialog : public TWindowsTest {
 protected:
  // Settings with a running watcher and, when asked, the autorun entry in place.
  void Start(bool autorun, bool start = true) {
    SCOPED_TRACE("start");
    autostart = root + "/config/autostart";
    std::filesystem::create_directories(autostart);
    if (autorun) std::ofstream(autostart + "/Vark.desktop") << "[Desktop Entry]\n";
    WriteIni(start, watched);
    CreateWindows();
    if (start) {
      ASSERT_TRUE(WaitLines(1));
    }
    // The file catches up with the autorun entry.
    gObjtOpt->SaveAll();
  }
  Ui::TfOptions& Ui() { return *fOptions->ui(); }
  std::string Ini() {
    std::ifstream in(gObjtOpt->IniPath);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool AutorunEntry() { return std::filesystem::exists(autostart + "/Vark.desktop"); }

  std::string autostart;
};

}  // namespace

TEST_F(SettingsDialog, LayoutTabOrderHintsAndAccessibleNames) {
  Start(false, false);
  TfOptions& dialog = *fOptions;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Настройки программы"));
  EXPECT_EQ(dialog.size(), QSize(298, 199));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowContextHelpButtonHint);

  const struct {
    QWidget* control;
    QRect geometry;
    const char16_t* caption;
    int tag;
  } controls[] = {
      {Ui().CheckBox5, {16, 8, 225, 17}, u"добавить в автозагрузку", 1},
      {Ui().CheckBox3, {16, 32, 265, 17}, u"запускать мониторинг при старте программы", 5},
      {Ui().CheckBox1, {16, 56, 249, 17}, u"сворачивать окно в область уведомлений", 2},
      {Ui().CheckBox2, {16, 80, 177, 17}, u"проигрывать звук", 3},
      {Ui().CheckBox4, {16, 104, 241, 17}, u"информирование всплывающим окном", 4},
      {Ui().Edit1, {16, 136, 233, 21}, nullptr, 0},
      {Ui().Button4, {250, 136, 33, 19}, u"x", 0},
      {Ui().BitBtn1, {8, 167, 89, 25}, u"ок", 0},
      {Ui().BitBtn2, {104, 167, 89, 25}, u"отмена", 0},
      {Ui().BitBtn3, {200, 167, 89, 25}, u"по умолчанию", 0},
  };
  for (size_t i = 0; i < std::size(controls); ++i) {
    const auto& c = controls[i];
    SCOPED_TRACE(c.control->objectName().toStdString());
    EXPECT_EQ(c.control->geometry(), c.geometry);
    EXPECT_EQ(c.control->property("Tag").toInt(), c.tag);
    EXPECT_FALSE(c.control->accessibleName().isEmpty());
    if (auto* button = qobject_cast<QAbstractButton*>(c.control)) {
      EXPECT_EQ(button->text(), QString::fromUtf16(c.caption));
      EXPECT_EQ(button->accessibleName(), button->text());
    }
    // Tab goes from each control to the next one of the table, and from the last to the first.
    EXPECT_EQ(NextTabStop(c.control), controls[(i + 1) % std::size(controls)].control);
  }
  // Only the four buttons show hints; none is the default button.
  for (QCheckBox* box : dialog.findChildren<QCheckBox*>()) EXPECT_TRUE(box->toolTip().isEmpty());
  EXPECT_TRUE(Ui().Edit1->toolTip().isEmpty());
  EXPECT_EQ(Ui().Button4->toolTip(), QStringLiteral("очистить"));
  EXPECT_EQ(Ui().BitBtn1->toolTip(), QStringLiteral("сохранить настройки"));
  EXPECT_EQ(Ui().BitBtn2->toolTip(), QStringLiteral("отменить изменения"));
  EXPECT_EQ(Ui().BitBtn3->toolTip(), QStringLiteral("вернуть настройки по умолчанию"));
  for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
    EXPECT_FALSE(button->isDefault());
    EXPECT_FALSE(button->autoDefault());
  }
  EXPECT_FALSE(Ui().BitBtn1->icon().isNull());
  EXPECT_FALSE(Ui().BitBtn2->icon().isNull());
  EXPECT_TRUE(Ui().BitBtn3->icon().isNull());
  EXPECT_EQ(Ui().BitBtn1->iconSize(), QSize(16, 16));

  ASSERT_EQ(dialog.PopupMenu1->actions().size(), 3);
  EXPECT_EQ(dialog.PopupMenu1->actions()[0], dialog.N2);
  EXPECT_EQ(dialog.N2->text(), QStringLiteral("вставить          "));
  EXPECT_EQ(dialog.N1->text(), QStringLiteral("копировать"));
  EXPECT_EQ(dialog.N3->text(), QStringLiteral("очистить"));
}

TEST_F(SettingsDialog, ShowingFillsTheControlsFromTheOptions) {
  Start(true);
  gObjtOpt->SetSound(true);
  gObjtOpt->SetTray(true);
  gObjtOpt->SetAlertWindow(false);
  fOptions->show();
  EXPECT_TRUE(Ui().CheckBox5->isChecked());   // AutoLoad
  EXPECT_TRUE(Ui().CheckBox1->isChecked());   // tray
  EXPECT_TRUE(Ui().CheckBox2->isChecked());   // sound
  EXPECT_FALSE(Ui().CheckBox4->isChecked());  // AlertWindow
  EXPECT_TRUE(Ui().CheckBox3->isChecked());   // start
  EXPECT_EQ(Ui().Edit1->text(), QString::fromStdString(watched));
}

TEST_F(SettingsDialog, OkWithoutChangesWritesNothingAndTouchesNothingElse) {
  Start(true);
  TFolderEvents settings(exeDir), entries(autostart);
  fOptions->show();
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_FALSE(fOptions->isVisible());
  EXPECT_EQ(settings.Writes("option.ini"), 0);  // nothing changed, nothing to save
  EXPECT_EQ(entries.Any(), 0);                  // the autorun entry is left alone
  EXPECT_EQ(SourceCount(), 1u);                 // the watcher was not restarted
  EXPECT_TRUE(messages.infos.empty());
  EXPECT_NE(Ini().find("AutoLoad=1"), std::string::npos);
}

TEST_F(SettingsDialog, OnlyTheFourPlainOptionsChangedLeavesTheAutorunEntryAlone) {
  Start(true);
  TFolderEvents entries(autostart);
  fOptions->show();
  Ui().CheckBox1->setChecked(true);   // tray
  Ui().CheckBox2->setChecked(true);   // sound
  Ui().CheckBox4->setChecked(false);  // AlertWindow
  Ui().CheckBox3->setChecked(false);  // start
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_TRUE(gObjtOpt->tray);
  EXPECT_TRUE(gObjtOpt->sound);
  EXPECT_FALSE(gObjtOpt->AlertWindow);
  EXPECT_FALSE(gObjtOpt->start);
  EXPECT_TRUE(gObjtOpt->AutoLoad);
  EXPECT_EQ(entries.Any(), 0);
  const std::string ini = Ini();
  for (const char* line : {"tray=1", "sound=1", "AlertWindow=0", "start=0", "AutoLoad=1"})
    EXPECT_NE(ini.find(line), std::string::npos) << line;
}

TEST_F(SettingsDialog, TheAutorunBoxAddsAndRemovesTheEntry) {
  Start(false, false);
  fOptions->show();
  Ui().CheckBox5->setChecked(true);
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_TRUE(AutorunEntry());
  EXPECT_TRUE(gObjtOpt->AutoLoad);
  fOptions->show();
  Ui().CheckBox5->setChecked(false);
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_FALSE(AutorunEntry());

  // A program path that no entry can name is refused at the tick, and the box unticked.
  gObjtOpt->AutorunPath = "/opt/100%/vark";
  fOptions->show();
  Ui().CheckBox5->click();
  EXPECT_EQ(messages.errors, std::vector<std::string>{kAutorunPathText});
  EXPECT_FALSE(Ui().CheckBox5->isChecked());
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_FALSE(gObjtOpt->AutoLoad);
  EXPECT_FALSE(AutorunEntry());
}

TEST_F(SettingsDialog, ApplyCheckBoxReadsTheLowestEightBitsOfTheTag) {
  Start(false, false);
  ApplyCheckBox(0x102, true);
  EXPECT_TRUE(gObjtOpt->tray);
  ApplyCheckBox(0x7F03, false);
  EXPECT_FALSE(gObjtOpt->sound);
  const bool before[] = {gObjtOpt->AutoLoad, gObjtOpt->tray, gObjtOpt->sound, gObjtOpt->AlertWindow,
                         gObjtOpt->start};
  for (int tag : {0, 6, 255, 0x100, -1}) ApplyCheckBox(tag, !before[1]);
  const bool after[] = {gObjtOpt->AutoLoad, gObjtOpt->tray, gObjtOpt->sound, gObjtOpt->AlertWindow,
                        gObjtOpt->start};
  EXPECT_TRUE(std::equal(std::begin(before), std::end(before), std::begin(after)));
}

TEST_F(SettingsDialog, AFolderWithoutItsSeparatorRestartsTheRunningWatcher) {
  Start(false);
  TFolderEvents settings(exeDir);
  fOptions->show();
  Ui().Edit1->setText(QString::fromStdString(watched.substr(0, watched.size() - 1)));
  Ui().CheckBox2->setChecked(true);   // sound
  Ui().CheckBox4->setChecked(false);  // AlertWindow
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_EQ(gObjtOpt->FolderPath, watched);
  // The folder and the two options in one write: a crash leaves all three or none.
  EXPECT_EQ(settings.Writes("option.ini"), 1);
  EXPECT_NE(Ini().find("sound=1\nAlertWindow=0\n"), std::string::npos);
  // The new watcher opens its folder on its own thread.
  EXPECT_TRUE(WaitUntil([&] { return SourceCount() == 2 && Source(2)->Opened(); }));
  EXPECT_EQ(Source(2)->OpenedFolder(), watched);
  EXPECT_NE(main->RunningMonitor(), nullptr);
  EXPECT_NE(Ini().find("FolderPath=" + watched + "\n"), std::string::npos);
  EXPECT_TRUE(messages.infos.empty());
}

TEST_F(SettingsDialog, TheFolderIsComparedWithRegardToCase) {
  const std::string upper = root + "/WATCHED/";
  std::filesystem::create_directories(upper);
  Start(false);
  fOptions->show();
  Ui().Edit1->setText(QString::fromStdString(upper));
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_EQ(gObjtOpt->FolderPath, upper);
  EXPECT_TRUE(WaitUntil([&] { return SourceCount() == 2 && Source(2)->Opened(); }));
  EXPECT_EQ(Source(2)->OpenedFolder(), upper);
}

TEST_F(SettingsDialog, AnEmptiedFolderTellsAndStopsMonitoring) {
  Start(false);
  fOptions->show();
  QTest::mouseClick(Ui().Button4, Qt::LeftButton);
  EXPECT_TRUE(Ui().Edit1->text().isEmpty());
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_EQ(messages.infos, std::vector<std::string>{"Такой папки не существует"});
  EXPECT_EQ(main->RunningMonitor(), nullptr);
  EXPECT_EQ(LastLine().substr(LastLine().find("   ") + 3), " монитор остановлен");
  EXPECT_NE(Ini().find("FolderPath=\n"), std::string::npos);
  EXPECT_FALSE(fOptions->isVisible());

  // Empty box and no folder: nothing to say, nothing written but SaveAll.
  TFolderEvents settings(exeDir);
  fOptions->show();
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_EQ(messages.infos.size(), 1u);
  EXPECT_EQ(settings.Writes("option.ini"), 0);
}

TEST_F(SettingsDialog, AFolderWithoutItsWholePathRefusesOkAndKeepsTheDialogOpen) {
  Start(false);
  TFolderEvents settings(exeDir);
  fOptions->show();
  Ui().CheckBox1->setChecked(true);
  Ui().Edit1->setText(QStringLiteral("watched"));
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_EQ(messages.infos, std::vector<std::string>{kFolderRelativeText});
  EXPECT_TRUE(fOptions->isVisible());
  EXPECT_FALSE(gObjtOpt->tray);  // nothing of it applied
  EXPECT_EQ(gObjtOpt->FolderPath, watched);
  EXPECT_EQ(settings.Any(), 0);
}

TEST_F(SettingsDialog, DefaultsAreFinalEvenAfterCancel) {
  Start(true);
  gObjtOpt->SetTray(true);
  gObjtOpt->SetSound(false);
  fOptions->show();
  QTest::mouseClick(Ui().BitBtn3, Qt::LeftButton);
  EXPECT_TRUE(fOptions->isVisible());
  EXPECT_EQ(main->RunningMonitor(), nullptr);
  EXPECT_FALSE(AutorunEntry());
  // The controls show the defaults at once.
  EXPECT_FALSE(Ui().CheckBox5->isChecked());
  EXPECT_FALSE(Ui().CheckBox1->isChecked());
  EXPECT_TRUE(Ui().CheckBox2->isChecked());
  EXPECT_TRUE(Ui().CheckBox4->isChecked());
  EXPECT_FALSE(Ui().CheckBox3->isChecked());
  EXPECT_TRUE(Ui().Edit1->text().isEmpty());

  Ui().CheckBox1->setChecked(true);
  QTest::mouseClick(Ui().BitBtn2, Qt::LeftButton);
  EXPECT_FALSE(fOptions->isVisible());
  EXPECT_FALSE(gObjtOpt->tray);
  EXPECT_TRUE(gObjtOpt->sound);
  EXPECT_TRUE(gObjtOpt->FolderPath.empty());
  EXPECT_FALSE(gObjtOpt->FolderValid);
  EXPECT_FALSE(AutorunEntry());
  const std::string ini = Ini();
  for (const char* line :
       {"AutoLoad=0", "tray=0", "sound=1", "AlertWindow=1", "start=0", "FolderPath=\n"})
    EXPECT_NE(ini.find(line), std::string::npos) << line;
}

TEST_F(SettingsDialog, AFailedWriteLeavesTheDialogOpenWithTheErrorShown) {
  Start(false, false);
  const std::string ini = gObjtOpt->IniPath;
  // A folder where the file was: even root cannot write it as a file.
  std::filesystem::remove(ini);
  std::filesystem::create_directory(ini);
  fOptions->show();
  Ui().CheckBox1->setChecked(true);
  QTest::mouseClick(Ui().BitBtn1, Qt::LeftButton);
  EXPECT_TRUE(fOptions->isVisible());
  ASSERT_EQ(messages.errors.size(), 1u);
  EXPECT_EQ(messages.errors[0], "Unable to write to " + ini);
  // The setters before the write ran, as the handler's steps say.
  EXPECT_TRUE(gObjtOpt->tray);
  QTest::mouseClick(Ui().BitBtn2, Qt::LeftButton);
  EXPECT_FALSE(fOptions->isVisible());
}

TEST_F(SettingsDialog, EnterAndEscapePressNothingAndTheCloseBoxCancels) {
  Start(false, false);
  TFolderEvents settings(exeDir);
  fOptions->show();
  Ui().CheckBox1->setChecked(true);
  for (QWidget* focus : {static_cast<QWidget*>(Ui().Edit1), static_cast<QWidget*>(Ui().BitBtn1),
                         static_cast<QWidget*>(Ui().BitBtn2)}) {
    focus->setFocus();
    QTest::keyClick(focus, Qt::Key_Return);
    QTest::keyClick(focus, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(focus, Qt::Key_Escape);
    EXPECT_TRUE(fOptions->isVisible()) << focus->objectName().toStdString();
  }
  EXPECT_EQ(settings.Writes("option.ini"), 0);
  fOptions->close();
  EXPECT_FALSE(fOptions->isVisible());
  EXPECT_FALSE(gObjtOpt->tray);
  EXPECT_EQ(settings.Writes("option.ini"), 0);
}

TEST_F(SettingsDialog, TheFolderBoxAndItsMenu) {
  Start(false, false);
  fOptions->show();
  QLineEdit* edit = Ui().Edit1;
  ASSERT_FALSE(edit->text().isEmpty());
  // A click selects everything, so typing replaces the whole folder.
  QTest::mouseClick(edit, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(WaitUntil([&] { return edit->selectedText() == edit->text(); }));
  QTest::keyClicks(edit, "/tmp");
  EXPECT_EQ(edit->text(), QStringLiteral("/tmp"));

  edit->selectAll();
  QApplication::clipboard()->clear();
  fOptions->N1->trigger();  // "копировать"
  EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("/tmp"));
  QApplication::clipboard()->setText(QStringLiteral("/var"));
  edit->setSelection(0, 1);
  fOptions->N2->trigger();  // "вставить": replaces the selection
  EXPECT_EQ(edit->text(), QStringLiteral("/vartmp"));
  fOptions->N3->trigger();  // "очистить"
  EXPECT_TRUE(edit->text().isEmpty());
}

TEST_F(SettingsDialog, ShownModallyOverTheMainWindowWhileReportsKeepArriving) {
  Start(false);
  main->show();
  const int before = LogCount();
  bool checked = false;
  QTimer::singleShot(0, [&] {
    checked = true;
    EXPECT_TRUE(fOptions->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), fOptions);
    // The window manager may place the frame a moment later.
    EXPECT_TRUE(WaitUntil([&] {
      const QPoint offset = fOptions->frameGeometry().center() - main->frameGeometry().center();
      return offset.manhattanLength() <= 2;
    }));
    Source()->PlayNarrow(1, "new.txt");
    EXPECT_TRUE(WaitLines(before + 1));
    fOptions->BitBtn2Click();
  });
  main->ui()->SpeedButton6->click();  // "настройки": returns when the dialog has closed
  EXPECT_TRUE(checked);
  EXPECT_FALSE(fOptions->isVisible());
  EXPECT_EQ(LogCount(), before + 1);
}
