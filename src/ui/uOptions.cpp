#include "ui/uOptions.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <string>

#include "base/uPlatformText.h"
#include "settings/uAutorunStore.h"
#include "settings/uObjtOpt.h"
#include "settings/uRegister.h"
#include "settings/uUserMessages.h"
#include "ui/uAdditional.h"
#include "ui/uGuard.h"
#include "ui/uPictures.h"
#include "ui/uPlacement.h"
#include "ui/ufMain.h"
#include "ui_uOptions.h"

TfOptions* fOptions = nullptr;

namespace {

// The folder travels as the file system's bytes; a name with undecodable bytes comes back from the
// box unchanged, so an untouched folder never counts as changed.
QString FromNarrow(const std::string& text) {
  const std::u16string wide = NarrowToUtf16(text);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

std::string ToNarrow(const QString& text) {
  return Utf16ToNarrow(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), text.size()));
}

}  // namespace

TfOptions::TfOptions(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::TfOptions>()) {
  ui_->setupUi(this);
  ShowLabelsAsPlainText(*this);
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(298, 199);
  // Only the main window waits for the dialog; the change popup stays usable meanwhile.
  setWindowModality(Qt::WindowModal);

  ui_->BitBtn1->setIcon(SmallPicture("tick"));
  ui_->BitBtn2->setIcon(SmallPicture("cross"));

  PopupMenu1 = new QMenu(this);
  N2 = PopupMenu1->addAction(tr("вставить          "));
  N1 = PopupMenu1->addAction(tr("копировать"));
  N3 = PopupMenu1->addAction(tr("очистить"));

  const auto bind = [this](auto* sender, auto signal, void (TfOptions::*handler)()) {
    connect(sender, signal, this, [this, handler] { GuardHandler([&] { (this->*handler)(); }); });
  };
  bind(ui_->BitBtn1, &QPushButton::clicked, &TfOptions::BitBtn1Click);
  bind(ui_->BitBtn2, &QPushButton::clicked, &TfOptions::BitBtn2Click);
  bind(ui_->BitBtn3, &QPushButton::clicked, &TfOptions::BitBtn3Click);
  bind(ui_->Button4, &QPushButton::clicked, &TfOptions::Button4Click);
  bind(N2, &QAction::triggered, &TfOptions::N2Click);
  bind(N1, &QAction::triggered, &TfOptions::N1Click);
  bind(N3, &QAction::triggered, &TfOptions::N3Click);
  // Clicks only: filling the box from the options is no tick.
  connect(ui_->CheckBox5, &QCheckBox::clicked, this,
          [this](bool checked) { GuardHandler([&] { CheckBox5Click(checked); }); });
  connect(ui_->Edit1, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PopupMenu1->popup(ui_->Edit1->mapToGlobal(at)); });
  ui_->Edit1->installEventFilter(this);
}

TfOptions::~TfOptions() {
  if (fOptions == this) fOptions = nullptr;
}

void TfOptions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  GuardHandler([this] { FormShow(); });
}

void TfOptions::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

bool TfOptions::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui_->Edit1 && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    // After the box has placed its cursor for the click, so that the selection stays.
    QMetaObject::invokeMethod(
        this, [this] { GuardHandler([this] { Edit1Click(); }); }, Qt::QueuedConnection);
  }
  return QDialog::eventFilter(watched, event);
}

void TfOptions::FormShow() {
  if (!gObjtOpt) return;
  ui_->CheckBox5->setChecked(gObjtOpt->AutoLoad);
  ui_->CheckBox1->setChecked(gObjtOpt->tray);
  ui_->CheckBox2->setChecked(gObjtOpt->sound);
  ui_->CheckBox4->setChecked(gObjtOpt->AlertWindow);
  ui_->CheckBox3->setChecked(gObjtOpt->start);
  ui_->Edit1->setText(FromNarrow(gObjtOpt->FolderPath));
}

void ApplyCheckBox(int tag, bool checked) {
  if (!gObjtOpt) return;
  TObjtOpt& opt = *gObjtOpt;
  switch (tag & 0xFF) {
    case 1:
      if (opt.AutoLoad != checked) opt.SetAutoLoad(checked);
      break;
    case 2:
      if (opt.tray != checked) opt.SetTray(checked);
      break;
    case 3:
      if (opt.sound != checked) opt.SetSound(checked);
      break;
    case 4:
      if (opt.AlertWindow != checked) opt.SetAlertWindow(checked);
      break;
    case 5:
      if (opt.start != checked) opt.SetStart(checked);
      break;
    default:
      break;
  }
}

void TfOptions::CheckBox5Click(bool checked) {
  if (!checked || !gObjtOpt || AutorunPathStorable(gObjtOpt->AutorunPath)) return;
  ui_->CheckBox5->setChecked(false);
  ShowError(MessageText(kAutorunPathText));
}

void TfOptions::BitBtn1Click() {
  if (!gObjtOpt) return reject();
  const std::string folder = ToNarrow(ui_->Edit1->text());
  const bool folderChanged = folder != gObjtOpt->FolderPath;
  // A folder that cannot be kept refuses the whole "ок": nothing is applied and the dialog stays
  // open for the user to put it right.
  if (const char* refusal = folderChanged ? FolderRefusal(folder) : nullptr) {
    ShowInfo(MessageText(refusal));
    return;
  }
  // The boxes are found by name, so the setters run in the order of the names.
  for (int i = 1; i <= 5; ++i) {
    if (auto* box = findChild<QCheckBox*>(QStringLiteral("CheckBox%1").arg(i))) {
      ApplyCheckBox(box->property("Tag").toInt(), box->isChecked());
    }
  }
  // The folder goes to the file with the rest: one save, which a crash leaves whole or undone.
  if (folderChanged) gObjtOpt->SetFolder(folder, TObjtOpt::TSave::WithSaveAll);
  // A write that fails raises here, and the dialog stays open with the error shown.
  gObjtOpt->SaveAll();
  accept();
}

void TfOptions::BitBtn2Click() {
  reject();
}

void TfOptions::BitBtn3Click() {
  if (!gObjtOpt) return;
  gObjtOpt->RestoreDefaults();
  FormShow();
}

void TfOptions::Button4Click() {
  ui_->Edit1->clear();
}

void TfOptions::Edit1Click() {
  ui_->Edit1->selectAll();
}

void TfOptions::N2Click() {
  ui_->Edit1->paste();
}

void TfOptions::N1Click() {
  ui_->Edit1->copy();
}

void TfOptions::N3Click() {
  ui_->Edit1->clear();
}

void ShowOptionsDialog() {
  if (!fOptions) fOptions = new TfOptions(fMonDirMain);
  // Centred over the main window at every showing, wherever it was left last time.
  CenterOverMainWindow(*fOptions);
  PlaceAgainWhenFramed(*fOptions, [dialog = fOptions] { CenterOverMainWindow(*dialog); });
  fOptions->exec();
}
