#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "uWindowsTestSupport.h"
#include "ui/uAdditional.h"
#include "ui/uGuard.h"
#include "ui/uShellOpen.h"
#include "ui_uMessage.h"
#include "ui_uOptions.h"

namespace {

// Closes the next modal box from inside its own loop, after `check` has looked at it. Gives up
// after a few seconds when no box comes up.
class TBoxCloser {
 public:
  explicit TBoxCloser(std::function<void(QMessageBox&)> check) : check_(std::move(check)) {
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(10);
  }
  bool Closed() const { return closed_; }

 private:
  void Poll() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      timer_.stop();
      check_(*box);
      closed_ = true;
      if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
        ok->click();
      } else {
        box->reject();
      }
    } else if (std::chrono::steady_clock::now() > deadline_) {
      timer_.stop();
    }
  }

  std::function<void(QMessageBox&)> check_;
  std::chrono::steady_clock::time_point deadline_;
  QTimer timer_;
  bool closed_ = false;
};

struct TSeenBox {
  QString Title;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  QString Text;
  QStringList Buttons;
  bool Modal = false;
  QPoint Centre;
};

TSeenBox Look(QMessageBox& box) {
  TSeenBox seen;
  seen.Title = box.windowTitle();
  seen.Icon = box.icon();
  seen.Text = box.text();
  for (QAbstractButton* button : box.buttons()) seen.Buttons << button->text();
  seen.Modal = box.isModal();
  seen.Centre = box.frameGeometry().center();
  return seen;
}

void ExpectCentred(const QPoint& centre) {
  const QPoint screen = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((centre - screen).manhattanLength(), 4)
      << "box centre " << centre.x() << "," << centre.y() << " screen centre " << screen.x() << ","
      << screen.y();
}

}  // namespace

TEST(MessageBoxes, ErrorPlaysItsSoundThenShowsTheBoxAndWaitsForIt) {
  std::vector<std::string> steps;
  TQtUserMessages boxes([&](TQtUserMessages::TKind kind) {
    steps.push_back(kind == TQtUserMessages::TKind::Error ? "error sound" : "info sound");
    if (QApplication::activeModalWidget()) steps.push_back("box already up");
  });
  TSeenBox seen;
  TBoxCloser closer([&](QMessageBox& box) {
    steps.push_back("box");
    seen = Look(box);
  });
  boxes.ShowError("при работе с реестром произошла ошибка");
  steps.push_back("returned");

  EXPECT_TRUE(closer.Closed());
  EXPECT_EQ(steps, (std::vector<std::string>{"error sound", "box", "returned"}));
  EXPECT_EQ(seen.Title, "Error");
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(seen.Text, QString::fromUtf8("при работе с реестром произошла ошибка"));
  EXPECT_EQ(seen.Buttons, QStringList{"OK"});
  EXPECT_TRUE(seen.Modal);
  ExpectCentred(seen.Centre);
}

TEST(MessageBoxes, InformationBoxHasItsOwnCaptionIconAndSound) {
  std::vector<TQtUserMessages::TKind> sounds;
  TQtUserMessages boxes([&](TQtUserMessages::TKind kind) { sounds.push_back(kind); });
  TSeenBox seen;
  TBoxCloser closer([&](QMessageBox& box) { seen = Look(box); });
  boxes.ShowInfo("Такой папки не существует");
  EXPECT_TRUE(closer.Closed());
  EXPECT_EQ(sounds, std::vector<TQtUserMessages::TKind>{TQtUserMessages::TKind::Info});
  EXPECT_EQ(seen.Title, "Information");
  EXPECT_EQ(seen.Icon, QMessageBox::Information);
  EXPECT_EQ(seen.Text, QString::fromUtf8("Такой папки не существует"));
  EXPECT_EQ(seen.Buttons, QStringList{"OK"});
  ExpectCentred(seen.Centre);
}

TEST(MessageBoxes, RealSoundsWithoutASoundDeviceAreSilent) {
  // The installed boxes use the theme's sounds; with no device they must neither fail nor wait.
  InstallMessageBoxes();
  TSeenBox seen;
  TBoxCloser closer([&](QMessageBox& box) { seen = Look(box); });
  ShowError("Возникла ошибка, сообщите автору");
  SetUserMessages(nullptr);
  EXPECT_TRUE(closer.Closed());
  EXPECT_EQ(seen.Title, "Error");
}

TEST(MessageBoxes, ABoxAskedForFromAnotherThreadIsShownOnTheInterfaceThread) {
  TQtUserMessages boxes([](TQtUserMessages::TKind) {});
  bool onInterfaceThread = false;
  TBoxCloser closer([&](QMessageBox& box) {
    onInterfaceThread = box.thread() == QApplication::instance()->thread() &&
                        QThread::currentThread() == QApplication::instance()->thread();
  });
  std::atomic<bool> done{false};
  std::thread worker([&] {
    boxes.ShowInfo("Такой папки не существует");
    done = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
  worker.join();
  EXPECT_TRUE(closer.Closed());
  EXPECT_TRUE(onInterfaceThread);
}

// ---- names from a shared folder are shown, never read as markup ----

namespace {

// Renders a tooltip as a tooltip would and records every outside file it would read.
class TRecordingDocument : public QTextDocument {
 public:
  QVariant loadResource(int type, const QUrl& name) override {
    // Recorded, never read.
    (void)type;
    loaded << name.toString();
    return {};
  }
  QStringList loaded;
};

// What one place showed: the text the user reads and whether it was taken literally.
struct TShown {
  QString Text;
  bool Literal = false;
  QString Why;
};

TShown FromLabel(const QLabel* label) {
  if (!label) return {{}, false, QStringLiteral("no label")};
  return {label->text(), label->textFormat() == Qt::PlainText,
          QStringLiteral("text format %1").arg(label->textFormat())};
}

TShown FromBox(QMessageBox& box) {
  return FromLabel(box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label")));
}

// Every label of a window, each given the hostile text, must show it as it stands.
TShown FromAllLabels(QWidget& window, const QString& hostile) {
  const auto labels = window.findChildren<QLabel*>();
  if (labels.isEmpty()) return {{}, false, QStringLiteral("no labels")};
  for (QLabel* label : labels) {
    const QString kept = label->text();
    label->setText(hostile);
    TShown shown = FromLabel(label);
    label->setText(kept);
    if (!shown.Literal || shown.Text != hostile) {
      shown.Why += QStringLiteral(" in ") + label->objectName();
      return shown;
    }
  }
  return {hostile, true, {}};
}

class HostileNames : public windows_test::TWindowsTest {};

}  // namespace

TEST_F(HostileNames, EveryPlaceShowsThemAsPlainText) {
  WriteIni(false, watched);
  CreateWindows();
  TQtUserMessages boxes([](TQtUserMessages::TKind) {});
  SetUserMessages(&boxes);

  // A picture that does not exist: a place that takes the name for markup only tries to read it
  // (the real attack names /dev/zero or a pipe).
  const QString hostileNames[] = {QStringLiteral("<img src=\"/nonexistent-vark/zero\">"),
                                  QStringLiteral("<b>x</b>"), QStringLiteral("a &amp; b  <i>c</i>"),
                                  QStringLiteral("<html><a href=\"x\">тест</a>"),
                                  QStringLiteral("<p style='white-space:pre'>&lt;</p>")};

  struct TPlace {
    const char* Name;
    std::function<TShown(const QString& name, QString& expected)> Show;
  };
  const std::vector<TPlace> places = {
      {"log tooltip",
       [&](const QString& name, QString& expected) {
         main->Log().Append(ChangeLogLine("12:00:00   создан:   ", name.toStdString()));
         const QModelIndex row = main->Log().index(main->Log().Count() - 1);
         expected = QString::fromStdString(main->Log().Line(row.row()));
         const QString tip = main->Log().data(row, Qt::ToolTipRole).toString();
         // Rendered as a tooltip renders it: guessed, laid out, so images would be fetched.
         TRecordingDocument doc;
         if (Qt::mightBeRichText(tip)) {
           doc.setHtml(tip);
         } else {
           doc.setPlainText(tip);
         }
         doc.size();
         return TShown{doc.toPlainText(), doc.loaded.isEmpty(),
                       QStringLiteral("read ") + doc.loaded.join(QLatin1Char(' '))};
       }},
      {"log line for a screen reader",
       [&](const QString& name, QString& expected) {
         main->Log().Append(ChangeLogLine("12:00:00   создан:   ", name.toStdString()));
         const QModelIndex row = main->Log().index(main->Log().Count() - 1);
         expected = QString::fromStdString(main->Log().Line(row.row()));
         return TShown{main->Log().data(row, Qt::AccessibleTextRole).toString(), true, {}};
       }},
      {"popup path and word",
       [&](const QString& name, QString& expected) {
         const std::string path = watched + name.toStdString();
         ShowChangePopup(path, name.toStdString(), name.toStdString());
         expected = QString::fromStdString(path);
         TShown word = FromLabel(fMessage->ui()->Label2);
         if (word.Text != name || !word.Literal) return word;
         return TShown{fMessage->ui()->Memo1->toPlainText(),
                       !fMessage->ui()->Memo1->acceptRichText(), QStringLiteral("memo")};
       }},
      {"error box",
       [&](const QString& name, QString& expected) {
         expected = name;
         TShown shown;
         TBoxCloser closer([&](QMessageBox& box) { shown = FromBox(box); });
         ShowError(name.toStdString());
         return shown;
       }},
      {"information box",
       [&](const QString& name, QString& expected) {
         expected = name;
         TShown shown;
         TBoxCloser closer([&](QMessageBox& box) { shown = FromBox(box); });
         ShowInfo(name.toStdString());
         return shown;
       }},
      {"failed write of the settings",
       [&](const QString& name, QString& expected) {
         expected = QStringLiteral("Unable to write to /") + name;
         TShown shown;
         TBoxCloser closer([&](QMessageBox& box) { shown = FromBox(box); });
         GuardHandler([&] { throw std::runtime_error(expected.toStdString()); });
         return shown;
       }},
      {"plain box of a failed watch",
       [&](const QString& name, QString& expected) {
         expected = name;
         TShown shown;
         TBoxCloser closer([&](QMessageBox& box) { shown = FromBox(box); });
         main->ShowWatchError(name.toStdString());
         return shown;
       }},
      {"main window labels",
       [&](const QString& name, QString& expected) {
         expected = name;
         return FromAllLabels(*main, name);
       }},
      {"popup labels",
       [&](const QString& name, QString& expected) {
         expected = name;
         return FromAllLabels(*fMessage, name);
       }},
      {"settings dialog",
       [&](const QString& name, QString& expected) {
         // Its folder box shows text only; any label it has shows the name as it stands.
         expected = name;
         gObjtOpt->FolderPath = name.toStdString();
         fOptions->FormShow();
         if (fOptions->ui()->Edit1->text() != name)
           return TShown{fOptions->ui()->Edit1->text(), false, QStringLiteral("folder box")};
         if (fOptions->findChildren<QLabel*>().isEmpty()) return TShown{name, true, {}};
         return FromAllLabels(*fOptions, name);
       }},
      {"about box labels",
       [&](const QString& name, QString& expected) {
         expected = name;
         return FromAllLabels(*fInfo, name);
       }},
  };
  for (const TPlace& place : places) {
    for (const QString& name : hostileNames) {
      QString expected;
      const TShown shown = place.Show(name, expected);
      EXPECT_TRUE(shown.Literal) << place.Name << ": " << name.toStdString() << " ("
                                 << shown.Why.toStdString() << ")";
      EXPECT_EQ(shown.Text, expected) << place.Name;
    }
  }
  // The program's own tooltip holds no markup to guess at.
  const auto* tray = main->findChild<QSystemTrayIcon*>();
  ASSERT_NE(tray, nullptr);
  EXPECT_FALSE(Qt::mightBeRichText(tray->toolTip()));
  SetUserMessages(&messages);
}

// ---- the URL handed to the desktop ----

TEST(ShellUrls, AnyPathBecomesTheFileUrlOfThatAbsolutePath) {
  // Random names of awkward bytes, relative and absolute, against two oracles: the bytes read back
  // from the URL's path, and Qt's own file URL where the name is valid text.
  const std::string cwd = std::filesystem::current_path().string();
  const std::string alphabet = "ab/#?%:@;&=+ .~\\\x7f\xd0\xb9\xff\x80";
  std::mt19937 random(1234);
  for (int round = 0; round < 2000; ++round) {
    std::string name;
    const int length = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < length; ++i) name += alphabet[random() % alphabet.size()];
    const bool absolute = random() % 3 == 0;
    const std::string path = absolute ? "/" + name : name;
    const std::string expected = path[0] == '/' ? path : cwd + "/" + path;

    const QUrl url = UrlForPath(path);
    ASSERT_TRUE(url.isValid()) << path << ": " << url.errorString().toStdString();
    EXPECT_TRUE(url.isLocalFile()) << path;
    EXPECT_TRUE(url.host().isEmpty()) << path;
    const QByteArray back =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    EXPECT_EQ(back.toStdString(), expected) << path;
    // Through its text and back, as the desktop receives it.
    EXPECT_EQ(QUrl(url.toString(QUrl::FullyEncoded)), url) << path;
    const QString text = QString::fromUtf8(expected);
    if (text.toUtf8().toStdString() == expected) {
      EXPECT_EQ(url.toLocalFile(), text) << path;
    }
  }
  EXPECT_EQ(UrlForPath("docs/a.txt").toLocalFile(), QString::fromStdString(cwd + "/docs/a.txt"));
  EXPECT_EQ(AbsolutePath("a.txt"), cwd + "/a.txt");
  EXPECT_EQ(AbsolutePath("/w/a.txt"), "/w/a.txt");
}

TEST_F(HostileNames, ThePlainBoxOfAFailedWatchIsWideEnoughForItsCaption) {
  WriteIni(false, watched);
  CreateWindows();
  main->show();
  int width = 0;
  int captionWidth = 0;
  TBoxCloser closer([&](QMessageBox& box) {
    width = box.width();
    QFont bold = box.font();
    bold.setBold(true);
    captionWidth = QFontMetrics(bold).horizontalAdvance(box.windowTitle());
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Монитор каталогов"));
  });
  main->ShowWatchError("I/O error");
  ASSERT_TRUE(closer.Closed());
  // The caption and, beside it, the icon and the close box.
  EXPECT_GE(width, captionWidth + 60);
}
