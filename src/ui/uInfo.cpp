#include "ui/uInfo.h"

#include <QKeyEvent>
#include <QLabel>

#include "ui/uAdditional.h"
#include "ui/uPictures.h"
#include "ui/uPlacement.h"
#include "ui/ufMain.h"
#include "ui_uInfo.h"

TfInfo* fInfo = nullptr;

TfInfo::TfInfo(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TfInfo>()) {
  ui_->setupUi(this);
  ShowLabelsAsPlainText(*this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(342, 102);
  setWindowModality(Qt::WindowModal);
  // These labels take the size of their text; the description keeps its fixed box and wraps.
  for (QLabel* label : {ui_->Label1, ui_->Label2, ui_->Label4, ui_->Label5, ui_->Label6})
    label->adjustSize();
  // The address in the colour of an active title bar; it is text, not a link.
  QPalette address = ui_->Label5->palette();
  address.setColor(QPalette::WindowText, palette().color(QPalette::Active, QPalette::Highlight));
  ui_->Label5->setPalette(address);
}

TfInfo::~TfInfo() {
  if (fInfo == this) fInfo = nullptr;
}

void TfInfo::showEvent(QShowEvent* event) {
  // The picture is decoded when it is first needed, not while the program starts.
  if (!decoded_) {
    decoded_ = true;
    ui_->Image1->setPixmap(QPixmap::fromImage(AboutPicture()));
  }
  QDialog::showEvent(event);
}

void TfInfo::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void ShowAboutBox() {
  if (!fInfo) fInfo = new TfInfo(fMonDirMain);
  CenterOverMainWindow(*fInfo);
  PlaceAgainWhenFramed(*fInfo, [box = fInfo] { CenterOverMainWindow(*box); });
  fInfo->exec();
}
