// The change popup: a small window in the bottom-right corner of the screen that shows the picture
// of the changed item's type, the kind of change in red and the item's full path, with buttons
// that open the item or its folder.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "actions/uObjFiles.h"

QT_BEGIN_NAMESPACE
class QMenu;
class QAction;
namespace Ui {
class TfMessage;
}
QT_END_NAMESPACE

class TfMessage : public QWidget {
  Q_OBJECT
 public:
  // Top-level and without an owner, so that it has a taskbar entry of its own, also while the main
  // window is in the notification area.
  explicit TfMessage(QWidget* parent = nullptr);
  ~TfMessage() override;

  void SpeedButton8Click();  // "закрыть"
  void SpeedButton6Click();  // "файл"
  void SpeedButton5Click();  // "папка"
  void N1Click();            // "копировать"
  void N2Click();            // "выделить всё"

  // The full path in its box.
  void ShowPath(const QString& path);
  // Fits the path box's font and margins: a path's first three lines show whole above the red
  // word, which lies over the box's lowest pixels; a longer path scrolls. Done at construction;
  // again after the box's font changes.
  void FitPathBox();

  Ui::TfMessage* ui() const { return ui_.get(); }
  QMenu* PopupMenu1 = nullptr;
  QAction* N1 = nullptr;
  QAction* N2 = nullptr;

 protected:
  // FormClose: the content goes, the window only hides and is reused.
  void closeEvent(QCloseEvent* event) override;

 private:
  void ApplyPathMargins();

  std::unique_ptr<Ui::TfMessage> ui_;
  int pathTop_ = 0;     // the path box's margin above its first line
  int pathBottom_ = 0;  // and below its third
};

extern TfMessage* fMessage;

// The content of the popup now shown; empty while it is hidden. It owns its object.
extern std::unique_ptr<TMsgFrm> gMsgFrm;

// Shows a change in the popup, creating the popup when there is none: places it in the corner,
// refills it and shows it without taking the keyboard focus. Returns at once.
void ShowChangePopup(const std::string& fullPath, const std::string& relativeName,
                     const std::string& word);

// Puts a content's picture, operation word and full path into the popup.
void FillPopup(const TMsgFrm& content);
