// The about box: its layout and texts, the picture decoded when first shown, and a modal showing
// over the main window that only hides the box when it closes.
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include "uWindowsTestSupport.h"
#include "ui/uPictures.h"
#include "ui_uInfo.h"
#include "ui_ufMain.h"

using namespace windows_test;

namespace {

class AboutBox : public TWindowsTest {
 protected:
  Ui::TfInfo& Ui() { return *fInfo->ui(); }
};

}  // namespace

TEST_F(AboutBox, LayoutTextsAndAccessibleNames) {
  WriteIni(false, watched);
  CreateWindows();
  TfInfo& box = *fInfo;
  EXPECT_EQ(box.windowTitle(), QStringLiteral("Сведения о программе"));
  EXPECT_EQ(box.size(), QSize(342, 102));
  EXPECT_EQ(box.minimumSize(), box.maximumSize());
  EXPECT_FALSE(box.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(box.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(box.windowFlags() & Qt::WindowCloseButtonHint);

  EXPECT_EQ(Ui().Image1->geometry(), QRect(3, 5, 90, 90));
  EXPECT_EQ(Ui().Bevel1->geometry(), QRect(95, 6, 242, 89));
  EXPECT_EQ(Ui().Bevel1->frameShape(), QFrame::Box);
  EXPECT_EQ(Ui().Bevel1->frameShadow(), QFrame::Sunken);
  const struct {
    QLabel* label;
    QPoint at;
    const char16_t* text;
  } labels[] = {
      {Ui().Label1, {120, 12}, u"Vark 1.0"},
      {Ui().Label2, {178, 12}, u"Мониториг папки"},
      {Ui().Label3,
       {103, 31},
       u"Программа Vark мониторит указанную папку и подпапки на: изменения, создание, удаление, "
       u"переименование файлов и папок."},
      {Ui().Label6, {102, 78}, u"28.11.2010г."},
      {Ui().Label4, {172, 78}, nullptr},
      {Ui().Label5, {252, 78}, nullptr},
  };
  for (const auto& l : labels) {
    SCOPED_TRACE(l.label->objectName().toStdString());
    EXPECT_EQ(l.label->pos(), l.at);
    if (l.text) {
      EXPECT_EQ(l.label->text(), QString::fromUtf16(l.text));
    }
    EXPECT_FALSE(l.label->text().isEmpty());
    EXPECT_EQ(l.label->accessibleName(), l.label->text());
  }
  EXPECT_EQ(Ui().Label3->size(), QSize(229, 49));
  EXPECT_TRUE(Ui().Label3->wordWrap());
  EXPECT_TRUE(Ui().Label1->font().bold());
  EXPECT_FALSE(Ui().Label2->font().bold());
  // The address is underlined in the title-bar colour but is no link.
  EXPECT_TRUE(Ui().Label5->font().underline());
  EXPECT_EQ(Ui().Label5->palette().color(QPalette::WindowText),
            box.palette().color(QPalette::Active, QPalette::Highlight));
  EXPECT_EQ(Ui().Label5->textInteractionFlags(), Qt::NoTextInteraction);
  EXPECT_FALSE(Ui().Label5->openExternalLinks());
  EXPECT_FALSE(Ui().Image1->accessibleName().isEmpty());
  EXPECT_FALSE(Ui().Bevel1->accessibleName().isEmpty());
}

TEST_F(AboutBox, ThePictureIsDecodedWhenFirstShown) {
  WriteIni(false, watched);
  CreateWindows();
  EXPECT_FALSE(fInfo->PictureDecoded());
  EXPECT_TRUE(Ui().Image1->pixmap().isNull());
  fInfo->show();
  ASSERT_TRUE(fInfo->PictureDecoded());
  const QImage shown = Ui().Image1->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shown.size(), QSize(90, 90));
  EXPECT_EQ(shown, AboutPicture());
  // The blue button, and no blue outside it.
  const QColor button = shown.pixelColor(18, 45);
  EXPECT_GT(button.blue(), button.red() + 60);
  EXPECT_GT(button.blue(), button.green() + 30);
  const QColor corner = shown.pixelColor(1, 1);
  EXPECT_LT(corner.blue(), corner.red() + 40);
}

TEST_F(AboutBox, ShownModallyOverTheMainWindowAndOnlyHiddenWhenClosed) {
  WriteIni(true, watched);
  CreateWindows();
  ASSERT_TRUE(WaitLines(1));
  main->show();
  TfInfo* const box = fInfo;
  int showings = 0;
  const auto check = [&] {
    ++showings;
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), box);
    // The window manager may place the frame a moment later.
    EXPECT_TRUE(WaitUntil([&] {
      const QPoint offset = box->frameGeometry().center() - main->frameGeometry().center();
      return offset.manhattanLength() <= 2;
    }));
    EXPECT_EQ(box->ui()->Label1->text(), QStringLiteral("Vark 1.0"));
    EXPECT_FALSE(box->ui()->Image1->pixmap().isNull());
    // Reports keep arriving while the box is open.
    const int before = LogCount();
    Source()->PlayNarrow(1, "f" + std::to_string(showings));
    EXPECT_TRUE(WaitLines(before + 1));
    box->close();
  };
  QTimer::singleShot(0, check);
  main->ui()->SpeedButton7->click();  // "инфо": returns when the box has closed
  EXPECT_EQ(showings, 1);
  EXPECT_FALSE(box->isVisible());
  EXPECT_EQ(fInfo, box);

  // The user moved it; the next showing is centred again, with the same texts and picture.
  box->move(0, 0);
  QTimer::singleShot(0, check);
  main->ui()->SpeedButton7->click();
  EXPECT_EQ(showings, 2);
  EXPECT_EQ(fInfo, box);
  EXPECT_EQ(LogCount(), 3);
}

TEST_F(AboutBox, IsCreatedWhenThereIsNone) {
  WriteIni(false, watched);
  main = std::make_unique<TfMonDirMain>(exeDir);
  main->ShowAbout = ShowAboutBox;
  ASSERT_EQ(fInfo, nullptr);
  QTimer::singleShot(0, [] {
    ASSERT_NE(fInfo, nullptr);
    fInfo->close();
  });
  main->SpeedButton7Click();
  ASSERT_NE(fInfo, nullptr);
  EXPECT_EQ(fInfo->parentWidget(), main.get());
}

TEST_F(AboutBox, EscapeDoesNotCloseIt) {
  WriteIni(false, watched);
  CreateWindows();
  main->show();
  bool stayed = false;
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(fInfo->isVisible());
    QTest::keyClick(fInfo, Qt::Key_Escape);
    QCoreApplication::processEvents();
    stayed = fInfo->isVisible();
    fInfo->close();
  });
  main->SpeedButton7Click();
  EXPECT_TRUE(stayed);
  EXPECT_FALSE(fInfo->isVisible());
}
