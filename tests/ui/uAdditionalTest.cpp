#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ui/uAdditional.h"

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
