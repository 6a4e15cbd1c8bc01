#include "ui/uInfo.h"

#include "ui/uPictures.h"
#include "ui/ufMain.h"
#include "ui_uInfo.h"

TfInfo* fInfo = nullptr;

TfInfo::TfInfo(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TfInfo>()) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(342, 102);
  setWindowModality(Qt::WindowModal);
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

void ShowAboutBox() {
  if (!fInfo) fInfo = new TfInfo(fMonDirMain);
  fInfo->setAttribute(Qt::WA_Moved, false);
  fInfo->exec();
}
