// The settings dialog: the five on/off options and the watched folder, handed back to the options
// object when the user presses "ок".
#pragma once

#include <QDialog>
#include <memory>

QT_BEGIN_NAMESPACE
class QMenu;
class QAction;
namespace Ui {
class TfOptions;
}
QT_END_NAMESPACE

class TfOptions : public QDialog {
  Q_OBJECT
 public:
  // Centred over `parent` whenever it is shown.
  explicit TfOptions(QWidget* parent = nullptr);
  ~TfOptions() override;

  void FormShow();      // fills the controls from the options object
  void BitBtn1Click();  // "ок": apply, save (in one write), close
  // "добавить в автозагрузку" ticked or unticked by the user: a program path that no autorun entry
  // can name is refused at once, with a message, and the box unticked.
  void CheckBox5Click(bool checked);
  void BitBtn2Click();  // "отмена"
  void BitBtn3Click();  // "по умолчанию": the defaults at once; the dialog stays open
  void Button4Click();  // "x"
  void Edit1Click();    // a click in the folder box selects all of it
  void N2Click();       // "вставить          "
  void N1Click();       // "копировать"
  void N3Click();       // "очистить"

  Ui::TfOptions* ui() const { return ui_.get(); }
  QMenu* PopupMenu1 = nullptr;
  QAction* N2 = nullptr;
  QAction* N1 = nullptr;
  QAction* N3 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  // Escape presses no button and does not close the dialog.
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<Ui::TfOptions> ui_;
};

extern TfOptions* fOptions;

// Hands one check box back to the options object: the option of the Tag (its lowest 8 bits) gets
// the ticked state through its setter, only when the two differ. Other Tags do nothing.
void ApplyCheckBox(int tag, bool checked);

// Shows the dialog modally over the main window, creating it when there is none; returns when it
// has been closed.
void ShowOptionsDialog();
