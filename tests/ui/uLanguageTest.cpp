// The program's language: Russian by default and under the C locale, English where the desktop
// prefers it, with no Russian left anywhere then; and the command line that answers without
// starting the windows.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <cerrno>

#include "base/uTimeText.h"
#include "uWindowsTestSupport.h"
#include "ui/uGuard.h"
#include "ui/uLanguage.h"
#include "watcher/uInotifyNotices.h"
#include "watcher/uLogLines.h"

namespace {

using windows_test::WaitUntil;

bool HasCyrillic(const QString& text) {
  return text.contains(QRegularExpression(QStringLiteral("[\\x{0400}-\\x{04FF}]")));
}

class Language : public windows_test::TWindowsTest {
 protected:
  void SetUp() override {
    TWindowsTest::SetUp();
    format = LongTimeFormat();
    SetLongTimeFormat(TimeFormatFromPattern("%k:%M:%S", "", "", ""));
    SetClockForTesting([] {
      std::tm time{};
      time.tm_mday = 1;
      time.tm_hour = 9;
      time.tm_min = 5;
      time.tm_sec = 7;
      return time;
    });
  }
  void TearDown() override {
    TWindowsTest::TearDown();
    SetClockForTesting({});
    SetLongTimeFormat(format);
    // The other suites of this process read the Russian texts.
    InstallLanguage(TLanguage::Russian, {});
  }

  // Every kind of text the program shows: windows, a log line of each action, the popup, the run's
  // end, a watch notice and message boxes.
  void PlayEverything() {
    WriteIni(true, watched);
    CreateWindows();
    main->PlainMessageBox = [this](const QString& text) { boxes << text; };
    ASSERT_TRUE(WaitUntil([&] { return Source()->Opened(); }));
    for (const uint32_t action : {1u, 2u, 3u, 4u, 5u, 0u}) {
      Source()->PlayNarrow(action, "n" + std::to_string(action));
    }
    Source()->PlayNotice(WatchLimitNotice(3, {8192, 0}));
    ASSERT_TRUE(WaitLines(7));
    ASSERT_TRUE(WaitUntil([&] { return fMessage->isVisible(); }));
    Source()->PlayFailure(ENOENT);
    ASSERT_TRUE(WaitUntil([&] { return !boxes.isEmpty(); }));
    gObjtOpt->SetFolder("relative", TObjtOpt::TSave::Now);
    GuardHandler([] { throw 1; });
    fOptions->FormShow();
    for (const std::string& text : messages.infos) boxes << QString::fromStdString(text);
    for (const std::string& text : messages.errors) boxes << QString::fromStdString(text);
  }

  // What a person reads or hears: the four windows with everything in them, their menus, the tray,
  // the log's lines, the popup words and the boxes.
  QStringList Shown() const {
    QStringList texts = boxes;
    const auto add = [&](const QString& text) {
      if (!text.isEmpty()) texts << text;
    };
    for (QWidget* window : std::initializer_list<QWidget*>{main.get(), fMessage, fOptions, fInfo}) {
      QList<QWidget*> widgets = window->findChildren<QWidget*>();
      widgets << window;
      for (QWidget* w : widgets) {
        for (const QString& text : {w->windowTitle(), w->toolTip(), w->statusTip(), w->whatsThis(),
                                    w->accessibleName(), w->accessibleDescription()}) {
          add(text);
        }
        if (auto* button = qobject_cast<QAbstractButton*>(w)) add(button->text());
        if (auto* label = qobject_cast<QLabel*>(w)) add(label->text());
        if (auto* edit = qobject_cast<QLineEdit*>(w)) add(edit->placeholderText());
        if (auto* memo = qobject_cast<QTextEdit*>(w)) add(memo->toPlainText());
        for (QAction* action : w->actions()) {
          add(action->text());
          add(action->toolTip());
        }
      }
    }
    add(main->findChild<QSystemTrayIcon*>()->toolTip());
    add(QApplication::applicationName());
    for (int i = 0; i < LogCount(); ++i) add(QString::fromStdString(main->Log().Line(i)));
    for (uint32_t action = 0; action <= 6; ++action)
      add(QString::fromStdString(ActionWord(action)));
    return texts;
  }

  QStringList boxes;
  TTimeFormat format;
};

}  // namespace

TEST(LanguageChoice, TheFirstLanguageOfTheDesktopThatTheProgramSpeaks) {
  const std::pair<QStringList, TLanguage> rows[] = {
      {{}, TLanguage::Russian},
      {{"C"}, TLanguage::Russian},
      {{"ru-RU", "ru"}, TLanguage::Russian},
      {{"en-US", "en"}, TLanguage::English},
      {{"en_GB.UTF-8"}, TLanguage::English},
      {{"de-DE", "de"}, TLanguage::Russian},
      {{"de-DE", "en-GB", "ru"}, TLanguage::English},
      {{"ru", "en"}, TLanguage::Russian},
      {{"eo", "English"}, TLanguage::Russian},
  };
  for (const auto& [languages, expected] : rows) {
    EXPECT_EQ(ChooseLanguage(languages), expected) << languages.join(',').toStdString();
  }
}

TEST_F(Language, EnglishLeavesNoRussianAnywhere) {
  ASSERT_TRUE(InstallLanguage(TLanguage::English, QCoreApplication::applicationDirPath()));
  PlayEverything();
  const QStringList shown = Shown();
  for (const QString& text : shown) EXPECT_FALSE(HasCyrillic(text)) << text.toStdString();
  // Log lines keep their layout, and their names read back.
  const std::string line = main->Log().Line(1);
  EXPECT_EQ(line, "9:05:07   created:    #n1");
  EXPECT_EQ(NameFromLogLine(line), "n1");
  EXPECT_EQ(main->Log().Line(LogCount() - 1), "9:05:07    monitor stopped");
  EXPECT_TRUE(shown.contains(QStringLiteral("Vark - Folder monitoring")));
  EXPECT_TRUE(shown.contains(QStringLiteral("Folder monitoring is off")));
  EXPECT_TRUE(shown.contains(QStringLiteral("Unknown error")));
}

TEST_F(Language, RussianIsTheDefaultAndComesBackWhole) {
  // From English back to Russian: the texts the core had translated are asked for again.
  ASSERT_TRUE(InstallLanguage(TLanguage::English, QCoreApplication::applicationDirPath()));
  EXPECT_EQ(ActionLabel(1), "created:");
  ASSERT_TRUE(InstallLanguage(TLanguage::Russian, QCoreApplication::applicationDirPath()));
  PlayEverything();
  const QStringList shown = Shown();
  for (const char* original :
       {"Vark - Мониторинг папки", "Изменения в папке", "Настройки программы",
        "Сведения о программе", "заврешить работу программы", "старт           ", "открыть каталог",
        "запускать мониторинг при старте программы", "программа мониторит сетевую папку",
        "Монитор каталогов", "9:05:07   создан:    #n1", "9:05:07   переименован из:    #n4",
        "9:05:07   неопознанная операция:    #n0", "9:05:07    монитор запущен",
        "9:05:07    монитор остановлен", "Мониторинг папки отключён", "неопознанная операция",
        "Неизвестная ошибка",
        "Укажите полный путь к папке: относительный путь зависит от того, из "
        "какой папки запущена программа"}) {
    EXPECT_TRUE(shown.contains(QString::fromUtf8(original))) << original;
  }
  EXPECT_TRUE(shown.contains(QString::fromStdString("Мониторинг папки «" + watched +
                                                    "» прекращён: папка удалена, перемещена или "
                                                    "отключена")));
  EXPECT_TRUE(shown.contains(QString::fromStdString(WatchLimitNotice(3, {8192, 0}))));
  EXPECT_TRUE(WatchLimitNotice(3, {8192, 0}).starts_with("Достигнут системный предел"));
}

// The real program, with the desktop's language in its environment as a session gives it, and no
// display: the command line is answered before any window is needed.
TEST(CommandLine, HelpVersionAndWrongOptionsInTheDesktopsLanguage) {
  struct TRow {
    QStringList Environment, Arguments;
    int Code;
    const char* Out;  // the start of the standard output, or of the standard error when Code is 2
  };
  const TRow rows[] = {
      {{"LANG=C"}, {"--help"}, 0, "Использование: vark"},
      {{"LC_ALL=POSIX", "LANG=en_US.UTF-8"}, {"-h"}, 0, "Использование: vark"},
      {{"LANG=C.UTF-8"}, {"--help"}, 0, "Использование: vark"},
      {{"LANG=de_DE.UTF-8"}, {"--help"}, 0, "Использование: vark"},
      {{"LANG=en_US.UTF-8"}, {"--help"}, 0, "Usage: vark [option]"},
      {{"LANG=ru_RU.UTF-8", "LC_MESSAGES=en_GB.UTF-8"}, {"--help"}, 0, "Usage: vark"},
      {{"LANG=ru_RU.UTF-8", "LANGUAGE=en_GB:ru"}, {"-h"}, 0, "Usage: vark"},
      {{"LANG=C"}, {"--version"}, 0, "vark " VARK_VERSION "\n"},
      {{"LANG=en_US.UTF-8"}, {"-v"}, 0, "vark " VARK_VERSION "\n"},
      {{"LANG=C"}, {"--bogus"}, 2, "vark: неизвестный параметр --bogus\n\nИспользование: vark"},
      {{"LANG=en_US.UTF-8"}, {"-x"}, 2, "vark: unknown option -x\n\nUsage: vark"},
      {{"LANG=en_US.UTF-8"}, {"/home"}, 2, "vark: unexpected argument /home\n\nUsage: vark"},
      {{"LANG=en_US.UTF-8"}, {"--help=yes"}, 2, "vark: invalid option: "},
  };
  for (const TRow& row : rows) {
    const std::string what = (row.Environment + row.Arguments).join(' ').toStdString();
    QProcess vark;
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    // The sanitizer builds' settings reach the program too.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (qEnvironmentVariableIsSet(name)) environment.insert(name, qEnvironmentVariable(name));
    }
    for (const QString& pair : row.Environment) {
      environment.insert(pair.section('=', 0, 0), pair.section('=', 1));
    }
    vark.setProcessEnvironment(environment);
    vark.start(QCoreApplication::applicationDirPath() + QStringLiteral("/vark"), row.Arguments);
    ASSERT_TRUE(vark.waitForFinished(30000)) << what;
    EXPECT_EQ(vark.exitStatus(), QProcess::NormalExit) << what;
    EXPECT_EQ(vark.exitCode(), row.Code) << what;
    const QString out = QString::fromUtf8(vark.readAllStandardOutput());
    const QString err = QString::fromUtf8(vark.readAllStandardError());
    const QString told = row.Code == 0 ? out : err;
    EXPECT_TRUE(told.startsWith(QString::fromUtf8(row.Out))) << what << ":\n" << told.toStdString();
    if (row.Code != 0) {
      EXPECT_TRUE(out.isEmpty()) << what;
    }
    if (!HasCyrillic(QString::fromUtf8(row.Out))) {
      EXPECT_FALSE(HasCyrillic(told)) << what;
    }
  }
}
