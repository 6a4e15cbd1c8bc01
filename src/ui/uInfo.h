// The about box: the program's picture, name, purpose, date, authors and address.
#pragma once

#include <QDialog>
#include <memory>

QT_BEGIN_NAMESPACE
namespace Ui {
class TfInfo;
}
QT_END_NAMESPACE

class TfInfo : public QDialog {
  Q_OBJECT
 public:
  // Centred over `parent` whenever it is shown.
  explicit TfInfo(QWidget* parent = nullptr);
  ~TfInfo() override;

  Ui::TfInfo* ui() const { return ui_.get(); }
  // The picture has been decoded (it is, at the first showing).
  bool PictureDecoded() const { return decoded_; }

 protected:
  void showEvent(QShowEvent* event) override;
  // Escape does not close it: only the caption's close box does.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<Ui::TfInfo> ui_;
  bool decoded_ = false;
};

extern TfInfo* fInfo;

// Shows the about box modally over the main window, creating it when there is none; returns when
// it has been closed. Closing only hides it, for the next showing.
void ShowAboutBox();
