// The change popup: its layout, one window refilled by every change and moved back to the corner,
// closing and showing again, and the buttons opening the latest item.
#include <QAbstractTextDocumentLayout>
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextLayout>
#include <QToolButton>
#include <random>

#include "uWindowsTestSupport.h"
#include "ui/uPictures.h"
#include "ui/uScreen.h"
#include "ui_uMessage.h"

using namespace windows_test;

namespace {

QImage Shown(const QLabel* label) {
  return label->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
}

QImage Picture(const char* entry) {
  return FileTypePicture(entry).convertToFormat(QImage::Format_RGB32);
}

// Where a popup of this size belongs.
QPoint Corner(const QWidget& popup) {
  int16_t x = static_cast<int16_t>(popup.frameGeometry().width());
  int16_t y = static_cast<int16_t>(popup.frameGeometry().height());
  PopupPosition(x, y);
  return {x, y};
}

int PopupWindows() {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<TfMessage*>(w) != nullptr;
  return n;
}

class ChangePopup : public TWindowsTest {
 protected:
  // The window manager may settle the frame a moment after the popup is shown.
  bool InTheCorner() {
    return WaitUntil([] { return fMessage->frameGeometry().topLeft() == Corner(*fMessage); });
  }
  Ui::TfMessage& Ui() { return *fMessage->ui(); }
};

}  // namespace

TEST_F(ChangePopup, LayoutCaptionsHintsAndAccessibleNames) {
  WriteIni(false, watched);
  CreateWindows();
  TfMessage& popup = *fMessage;
  EXPECT_EQ(popup.parentWidget(), nullptr);
  EXPECT_TRUE(popup.isWindow());
  EXPECT_FALSE(popup.isVisible());
  EXPECT_EQ(popup.windowTitle(), QStringLiteral("Изменения в папке"));
  EXPECT_EQ(popup.size(), QSize(272, 138));
  EXPECT_EQ(popup.minimumSize(), popup.maximumSize());
  EXPECT_TRUE(popup.testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_FALSE(popup.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(popup.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(popup.windowFlags() & Qt::WindowCloseButtonHint);
  // A tool window would have no taskbar entry of its own.
  EXPECT_NE(popup.windowType(), Qt::Tool);

  const struct {
    QToolButton* button;
    QRect geometry;
    const char16_t* caption;
    const char16_t* hint;
  } buttons[] = {
      {Ui().SpeedButton6, {71, 8, 65, 55}, u"файл", u"открыть выбранный файл"},
      {Ui().SpeedButton5, {135, 8, 65, 55}, u"папка", u"открыть папку выбранного файла"},
      {Ui().SpeedButton8, {199, 8, 65, 55}, u"закрыть", u"закрыть это окно"},
  };
  for (const auto& b : buttons) {
    EXPECT_EQ(b.button->geometry(), b.geometry);
    EXPECT_EQ(b.button->text(), QString::fromUtf16(b.caption));
    EXPECT_EQ(b.button->toolTip(), QString::fromUtf16(b.hint));
    EXPECT_EQ(b.button->accessibleName(), b.button->text());
    EXPECT_EQ(b.button->iconSize(), QSize(32, 32));
    EXPECT_FALSE(b.button->icon().isNull());
  }
  QTextEdit* memo = Ui().Memo1;
  EXPECT_EQ(memo->geometry(), QRect(8, 78, 257, 50));
  EXPECT_EQ(memo->frameShape(), QFrame::NoFrame);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_FALSE(memo->isReadOnly());
  EXPECT_EQ(memo->lineWrapMode(), QTextEdit::WidgetWidth);
  EXPECT_EQ(memo->palette().color(QPalette::Base), popup.palette().color(QPalette::Button));
  EXPECT_FALSE(memo->accessibleName().isEmpty());
  EXPECT_EQ(Ui().Image1->geometry(), QRect(0, 0, 80, 80));
  EXPECT_FALSE(Ui().Image1->accessibleName().isEmpty());
  EXPECT_EQ(Ui().Label2->pos(), QPoint(40, 123));
  EXPECT_EQ(Ui().Label2->palette().color(QPalette::WindowText), QColor(Qt::red));

  ASSERT_EQ(popup.PopupMenu1->actions().size(), 2);
  EXPECT_EQ(popup.N1->text(), QStringLiteral("копировать"));
  EXPECT_EQ(popup.N2->text(), QStringLiteral("выделить всё"));
  EXPECT_EQ(memo->contextMenuPolicy(), Qt::CustomContextMenu);
}

TEST_F(ChangePopup, ShowsPictureWordAndPathInTheCornerWithoutTakingTheFocus) {
  WriteIni(false, watched);
  CreateWindows();
  main->show();
  main->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(main.get()));

  ShowChangePopup(watched + "photo.jpg", "photo.jpg", "создан");
  ASSERT_TRUE(fMessage->isVisible());
  EXPECT_EQ(Shown(Ui().Image1), Picture("jpg"));
  EXPECT_NE(Picture("jpg"), Picture("none"));
  EXPECT_EQ(Ui().Label2->text(), QStringLiteral("создан"));
  EXPECT_EQ(Ui().Label2->accessibleName(), QStringLiteral("создан"));
  EXPECT_EQ(Ui().Memo1->toPlainText(), QString::fromStdString(watched + "photo.jpg"));
  EXPECT_EQ(Ui().Memo1->document()->defaultTextOption().alignment() & Qt::AlignHCenter,
            Qt::AlignHCenter);
  EXPECT_TRUE(InTheCorner());
  EXPECT_TRUE(fMessage->testAttribute(Qt::WA_ShowWithoutActivating));
  // The offscreen platform gives the focus to every window it shows; a real window system
  // honours the request, and the main window keeps the keyboard.
  if (QGuiApplication::platformName() != QStringLiteral("offscreen")) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(fMessage));
    EXPECT_EQ(QApplication::activeWindow(), main.get());
  }

  ASSERT_NE(gMsgFrm, nullptr);
  EXPECT_EQ(gMsgFrm->RelativeName, "photo.jpg");
  EXPECT_EQ(gMsgFrm->OperationWord, "создан");
  EXPECT_EQ(gMsgFrm->PictureIndex, 14);

  // An upper-case extension has no picture of its own.
  ShowChangePopup(watched + "PHOTO.JPG", "PHOTO.JPG", "изменен");
  EXPECT_EQ(Shown(Ui().Image1), Picture("none"));
}

TEST_F(ChangePopup, EveryChangeRefillsTheOnePopupAndTheButtonsOpenTheLatestItem) {
  WriteIni(true, watched);
  std::filesystem::create_directories(watched + "docs");
  std::ofstream(watched + "docs/a.txt") << "a";
  std::ofstream(watched + "b.zip") << "b";
  CreateWindows();
  ASSERT_TRUE(WaitLines(1));
  Source()->PlayNarrow(1, "docs/a.txt");
  Source()->PlayNarrow(3, "b.zip");
  ASSERT_TRUE(WaitLines(3));

  EXPECT_EQ(PopupWindows(), 1);
  ASSERT_TRUE(fMessage->isVisible());
  EXPECT_EQ(Shown(Ui().Image1), Picture("zip"));
  EXPECT_EQ(Ui().Label2->text(), QStringLiteral("изменен"));
  EXPECT_EQ(Ui().Memo1->toPlainText(), QString::fromStdString(watched + "b.zip"));

  QTest::mouseClick(Ui().SpeedButton6, Qt::LeftButton);
  QTest::mouseClick(Ui().SpeedButton5, Qt::LeftButton);
  EXPECT_EQ(shell.opened, (std::vector<std::string>{watched + "b.zip", watched}));

  Source()->PlayNarrow(2, "docs/a.txt");
  ASSERT_TRUE(WaitLines(4));
  EXPECT_EQ(Ui().Label2->text(), QStringLiteral("удален"));
  QTest::mouseClick(Ui().SpeedButton6, Qt::LeftButton);
  QTest::mouseClick(Ui().SpeedButton5, Qt::LeftButton);
  // The item is still there, so both open: the file, then its folder.
  EXPECT_EQ(shell.opened, (std::vector<std::string>{watched + "b.zip", watched,
                                                    watched + "docs/a.txt", watched + "docs/"}));
  EXPECT_TRUE(messages.errors.empty());
}

TEST_F(ChangePopup, ClosingReleasesTheContentAndTheNextChangeShowsItAgainInTheCorner) {
  WriteIni(false, watched);
  CreateWindows();
  ShowChangePopup(watched + "a.txt", "a.txt", "создан");
  TfMessage* const first = fMessage;
  // The user drags it away; the next change brings it back.
  fMessage->move(10, 10);
  ShowChangePopup(watched + "b.txt", "b.txt", "изменен");
  EXPECT_TRUE(InTheCorner());

  QTest::mouseClick(Ui().SpeedButton8, Qt::LeftButton);
  EXPECT_FALSE(fMessage->isVisible());
  EXPECT_EQ(gMsgFrm, nullptr);
  EXPECT_EQ(fMessage, first);

  ShowChangePopup(watched + "c.txt", "c.txt", "удален");
  EXPECT_EQ(fMessage, first);
  EXPECT_TRUE(fMessage->isVisible());
  EXPECT_TRUE(InTheCorner());
  EXPECT_EQ(Ui().Label2->text(), QStringLiteral("удален"));

  // The caption's close box does the same as the button.
  fMessage->close();
  EXPECT_FALSE(fMessage->isVisible());
  EXPECT_EQ(gMsgFrm, nullptr);
  // Nothing to open once the content is gone.
  fMessage->SpeedButton6Click();
  fMessage->SpeedButton5Click();
  EXPECT_TRUE(shell.opened.empty());
}

TEST_F(ChangePopup, IsCreatedWhenThereIsNone) {
  WriteIni(false, watched);
  ASSERT_EQ(fMessage, nullptr);
  ShowChangePopup(watched + "x", "x", "неопознанная операция");
  ASSERT_NE(fMessage, nullptr);
  EXPECT_TRUE(fMessage->isVisible());
  EXPECT_EQ(Ui().Label2->text(), QStringLiteral("неопознанная операция"));
  EXPECT_EQ(Shown(Ui().Image1), Picture("none"));
}

TEST_F(ChangePopup, ANameWithAnyBytesOpensExactlyThatItem) {
  WriteIni(false, watched);
  const std::string name = "caf\xe9 #1.txt";  // not UTF-8
  std::ofstream(watched + name) << "x";
  CreateWindows();
  gObjtOpt->SetFolder(watched);
  ShowChangePopup(watched + name, name, "создан");
  EXPECT_EQ(Shown(Ui().Image1), Picture("txt"));
  fMessage->SpeedButton6Click();
  EXPECT_EQ(shell.opened, std::vector<std::string>{watched + name});
}

TEST_F(ChangePopup, MemoMenuCopiesAndSelectsAll) {
  WriteIni(false, watched);
  CreateWindows();
  ShowChangePopup(watched + "a.txt", "a.txt", "создан");
  QTextEdit* memo = Ui().Memo1;
  EXPECT_FALSE(memo->textCursor().hasSelection());
  fMessage->N2->trigger();
  EXPECT_EQ(memo->textCursor().selectedText(), QString::fromStdString(watched + "a.txt"));
  QApplication::clipboard()->clear();
  fMessage->N1->trigger();
  EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(watched + "a.txt"));
}

TEST_F(ChangePopup, AppearsAlsoWhileTheMainWindowIsInTheTray) {
  WriteIni(true, watched);
  CreateWindows();
  ASSERT_TRUE(WaitLines(1));
  main->TrayAvailable = [] { return true; };
  main->show();
  main->WMSysCommand(kScMinimize);
  ASSERT_FALSE(main->isVisible());
  Source()->PlayNarrow(1, "a.txt");
  ASSERT_TRUE(WaitLines(2));
  EXPECT_TRUE(fMessage->isVisible());
  EXPECT_EQ(Ui().Memo1->toPlainText(), QString::fromStdString(watched + "a.txt"));
}

TEST_F(ChangePopup, APathsFirstThreeLinesShowWholeAboveTheRedWordInAnyFont) {
  WriteIni(false, watched);
  CreateWindows();
  QTextEdit* memo = Ui().Memo1;
  const QFont base = memo->font();
  std::mt19937 random(5);
  for (double size : {5.5, 6.5, 7.0, 8.0, 9.0, 10.5, 12.0, 14.0}) {
    QFont font = base;
    font.setPointSizeF(size);
    memo->setFont(font);
    fMessage->FitPathBox();
    // A smaller font only where the chosen one would not fit.
    EXPECT_LE(memo->font().pointSizeF(), size);
    for (int round = 0; round < 6; ++round) {
      const std::string name(random() % 160, "xWЖя#_ "[random() % 7]);
      const char* word = round % 2 ? "неопознанная операция" : "переименован";
      ShowChangePopup(watched + name + ".txt", name + ".txt", word);
      QCoreApplication::processEvents();
      const QRect label = Ui().Label2->geometry();
      ASSERT_EQ(Ui().Label2->text(), QString::fromUtf8(word));
      ASSERT_TRUE(fMessage->rect().contains(label));
      // Every line of the path as the box lays it out, where the popup shows it.
      const QTextBlock block = memo->document()->begin();
      const QPointF at = memo->document()->documentLayout()->blockBoundingRect(block).topLeft();
      QTextLayout* layout = block.layout();
      const int lines = layout->lineCount();
      for (int i = 0; i < std::min(lines, 3); ++i) {
        const QRectF line = layout->lineAt(i).rect().translated(at).translated(
            memo->geometry().topLeft() - QPoint(0, memo->verticalScrollBar()->value()));
        ASSERT_GE(line.top(), memo->geometry().top()) << size << " line " << i;
        ASSERT_LE(line.bottom(), label.top()) << size << " line " << i;
      }
      // Three lines need no scrolling; a longer path can be scrolled to its end.
      ASSERT_EQ(memo->verticalScrollBar()->maximum() > 0, lines > 3) << size << " " << lines;
    }
  }
}

TEST_F(ChangePopup, AMinimisedPopupComesBackAtTheNextChange) {
  WriteIni(false, watched);
  CreateWindows();
  ShowChangePopup(watched + "a.txt", "a.txt", "создан");
  ASSERT_TRUE(fMessage->isVisible());
  fMessage->showMinimized();
  ASSERT_TRUE(WaitUntil([] { return fMessage->isMinimized(); }));
  ShowChangePopup(watched + "b.txt", "b.txt", "создан");
  EXPECT_TRUE(WaitUntil([] { return !fMessage->isMinimized(); }));
  EXPECT_TRUE(fMessage->isVisible());
  EXPECT_TRUE(fMessage->testAttribute(Qt::WA_ShowWithoutActivating));
  EXPECT_EQ(Ui().Memo1->toPlainText(), QString::fromStdString(watched + "b.txt"));
}

TEST_F(ChangePopup, ScreenReadersMeetAWindowWithItsCaption) {
  WriteIni(false, watched);
  CreateWindows();
  ShowChangePopup(watched + "a.txt", "a.txt", "создан");
  QAccessibleInterface* popup = QAccessible::queryAccessibleInterface(fMessage);
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(popup->role(), QAccessible::Window);
  EXPECT_EQ(popup->text(QAccessible::Name), QStringLiteral("Изменения в папке"));
  // Its parts are still reached through it.
  bool pathFound = false;
  for (int i = 0; i < popup->childCount(); ++i) {
    pathFound |= popup->child(i)->object() == Ui().Memo1;
  }
  EXPECT_TRUE(pathFound);
}

TEST_F(ChangePopup, InTheCornerByItsOwnFrameWhenNoWindowWasFramedBefore) {
  // A start hidden in the tray: the main window has never been shown, so no frame is known when
  // the first popup is placed.
  WriteIni(false, watched);
  CreateWindows();
  ASSERT_FALSE(main->isVisible());
  ShowChangePopup(watched + "a.txt", "a.txt", "создан");
  ASSERT_TRUE(fMessage->isVisible());
  EXPECT_TRUE(InTheCorner());
  EXPECT_NE(fMessage->frameGeometry().size(), fMessage->size());
}
