#include "ui/uMessage.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QMenu>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFrame>
#include <algorithm>
#include <cmath>

#include "actions/uAdditionalLogic.h"
#include "base/uPlatformText.h"
#include "ui/uAdditional.h"
#include "ui/uGuard.h"
#include "ui/uPictures.h"
#include "ui/uPlacement.h"
#include "ui/uScreen.h"
#include "ui_uMessage.h"

TfMessage* fMessage = nullptr;
std::unique_ptr<TMsgFrm> gMsgFrm;

namespace {

// A plain widget is offered to screen readers as a mere panel; the popup is a window with its
// caption.
QAccessibleInterface* PopupAccessible(const QString& className, QObject* object) {
  if (className == QLatin1String("TfMessage") && object && object->isWidgetType()) {
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
  }
  return nullptr;
}

void PlaceInCorner(QWidget& popup) {
  const QSize outer = OuterSize(popup);
  int16_t left = static_cast<int16_t>(outer.width());
  int16_t top = static_cast<int16_t>(outer.height());
  PopupPosition(left, top);
  popup.move(left, top);
}

// The path box's lines and its margins where they need not give way.
constexpr int kPathLines = 3;
constexpr int kPathMargin = 4;

// How tall `lines` lines of text are in this font, with the faces and marks that reach highest
// and lowest in a path.
int LinesHeight(const QFont& font, int lines) {
  QTextDocument document;
  document.setDefaultFont(font);
  document.setDocumentMargin(0);
  QStringList sample;
  for (int i = 0; i < lines; ++i) sample << QString::fromUtf8("ÅÉЙЁ_/Wgjpqy");
  document.setPlainText(sample.join(QLatin1Char('\n')));
  return static_cast<int>(std::ceil(document.size().height()));
}

// Names travel as the file system's bytes; undecodable bytes survive as escapes.
QString FromNarrow(const std::string& text) {
  const std::u16string wide = NarrowToUtf16(text);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

}  // namespace

TfMessage::TfMessage(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::TfMessage>()) {
  static const bool accessibleInstalled = [] {
    QAccessible::installFactory(PopupAccessible);
    return true;
  }();
  (void)accessibleInstalled;
  ui_->setupUi(this);
  ShowLabelsAsPlainText(*this);
  // Close box only; the popup keeps above other windows since it never takes the focus to come
  // forward.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setFixedSize(272, 138);
  setWindowIcon(AppIcon());

  ui_->SpeedButton6->setIcon(ButtonPicture("file"));
  ui_->SpeedButton5->setIcon(ButtonPicture("folder"));
  ui_->SpeedButton8->setIcon(ButtonPicture("close"));

  // The path lies on the window's own colour, centred and wrapped.
  QPalette memo = ui_->Memo1->palette();
  memo.setColor(QPalette::Base, palette().color(QPalette::Button));
  ui_->Memo1->setPalette(memo);
  QTextOption option = ui_->Memo1->document()->defaultTextOption();
  option.setAlignment(Qt::AlignHCenter);
  ui_->Memo1->document()->setDefaultTextOption(option);
  FitPathBox();

  QPalette word = ui_->Label2->palette();
  word.setColor(QPalette::WindowText, Qt::red);
  ui_->Label2->setPalette(word);

  PopupMenu1 = new QMenu(this);
  N1 = PopupMenu1->addAction(tr("копировать"));
  N2 = PopupMenu1->addAction(tr("выделить всё"));

  const auto bind = [this](auto* sender, auto signal, void (TfMessage::*handler)()) {
    connect(sender, signal, this, [this, handler] { GuardHandler([&] { (this->*handler)(); }); });
  };
  bind(ui_->SpeedButton6, &QToolButton::clicked, &TfMessage::SpeedButton6Click);
  bind(ui_->SpeedButton5, &QToolButton::clicked, &TfMessage::SpeedButton5Click);
  bind(ui_->SpeedButton8, &QToolButton::clicked, &TfMessage::SpeedButton8Click);
  bind(N1, &QAction::triggered, &TfMessage::N1Click);
  bind(N2, &QAction::triggered, &TfMessage::N2Click);
  connect(ui_->Memo1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(ui_->Memo1->viewport()->mapToGlobal(at)); });
}

TfMessage::~TfMessage() {
  if (fMessage == this) fMessage = nullptr;
}

void TfMessage::FitPathBox() {
  QTextEdit& memo = *ui_->Memo1;
  const int room = ui_->Label2->y() - memo.y();
  // The margins give way first, then the font.
  QFont font = memo.font();
  if (font.pointSizeF() <= 0) font.setPointSizeF(QFontInfo(font).pointSizeF());
  constexpr double kStep = 0.25, kSmallest = 5.0;
  while (LinesHeight(font, kPathLines) > room && font.pointSizeF() - kStep >= kSmallest) {
    font.setPointSizeF(font.pointSizeF() - kStep);
  }
  memo.setFont(font);
  const int lines = LinesHeight(font, kPathLines);
  pathTop_ = std::clamp(room - lines, 0, kPathMargin);
  // Three lines fill the box; a fourth scrolls.
  pathBottom_ = std::max(0, memo.height() - pathTop_ - lines);
  ApplyPathMargins();
}

void TfMessage::ApplyPathMargins() {
  QTextFrame* root = ui_->Memo1->document()->rootFrame();
  QTextFrameFormat format = root->frameFormat();
  format.setLeftMargin(kPathMargin);
  format.setRightMargin(kPathMargin);
  format.setTopMargin(pathTop_);
  format.setBottomMargin(pathBottom_);
  root->setFrameFormat(format);
}

void TfMessage::ShowPath(const QString& path) {
  ui_->Memo1->setPlainText(path);
  // New text comes in a new frame, with the document's own margins.
  ApplyPathMargins();
}

void TfMessage::SpeedButton8Click() {
  close();
}

void TfMessage::SpeedButton6Click() {
  // The name is read when the button is pressed: the latest change's item.
  if (gMsgFrm) OpenLoggedFile("#" + gMsgFrm->RelativeName);
}

void TfMessage::SpeedButton5Click() {
  if (gMsgFrm) OpenLoggedFolder("#" + gMsgFrm->RelativeName);
}

void TfMessage::N1Click() {
  ui_->Memo1->copy();
}

void TfMessage::N2Click() {
  ui_->Memo1->selectAll();
}

void TfMessage::closeEvent(QCloseEvent* event) {
  gMsgFrm.reset();
  QWidget::closeEvent(event);
}

void FillPopup(const TMsgFrm& content) {
  if (!fMessage) return;
  Ui::TfMessage& ui = *fMessage->ui();
  ui.Image1->setPixmap(QPixmap::fromImage(FileTypePicture(PictureEntry(content.PictureIndex))));
  ui.Label2->setText(FromNarrow(content.OperationWord));
  ui.Label2->setAccessibleName(ui.Label2->text());
  ui.Label2->adjustSize();
  fMessage->ShowPath(FromNarrow(content.FullPath));
}

void ShowChangePopup(const std::string& fullPath, const std::string& relativeName,
                     const std::string& word) {
  if (!fMessage) fMessage = new TfMessage();

  // Back to the corner at every change, even when the user has moved the popup away.
  PlaceInCorner(*fMessage);

  gMsgFrm = std::make_unique<TMsgFrm>(fullPath, word, relativeName);
  FillPopup(*gMsgFrm);

  // Shown without taking the keyboard from whatever the user is typing in.
  // A window that appears does so on top; one already shown is brought forward, and one the user
  // minimised comes back (a minimised window still counts as visible).
  if (fMessage->isMinimized())
    fMessage->setWindowState(fMessage->windowState() & ~Qt::WindowMinimized);
  if (fMessage->isVisible()) {
    fMessage->raise();
  } else {
    PlaceAgainWhenFramed(*fMessage, [popup = fMessage] { PlaceInCorner(*popup); });
    fMessage->show();
  }
}
