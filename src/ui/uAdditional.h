// Shared helpers of the user interface.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "settings/uUserMessages.h"

class QMessageBox;
class QWidget;

// ---- text that came from outside ----

// Names come from a folder that other people may write to, and system texts from elsewhere: what
// the program shows is never read as markup. A tooltip guesses rich text and cannot be told
// otherwise, so its text is escaped and kept on its own lines, blanks and all.
QString PlainToolTip(const QString& text);
// Every label under `window` (and the window's own, when it is one) shows its text as it stands.
void ShowLabelsAsPlainText(QWidget& window);

// ---- message boxes ----

// The real message boxes: the sound first, without waiting for it, then a modal box centred on
// the screen with the caption "Error" or "Information", the matching icon, the text and one "OK"
// button. Each returns when the box has been closed. Safe to call from any thread: the box is
// shown on the user-interface thread.
class TQtUserMessages : public IUserMessages {
 public:
  enum class TKind { Error, Info };
  // `playSound` makes the box's sound (default: the theme's error and information sounds).
  explicit TQtUserMessages(std::function<void(TKind)> playSound = {});
  void ShowError(const std::string& text) override;
  void ShowInfo(const std::string& text) override;

 private:
  void Show(TKind kind, const std::string& text);
  std::function<void(TKind)> playSound_;
};

// Makes a message box at least wide enough to show its whole caption in the title bar.
void WidenForCaption(QMessageBox& box);

// Installs the real boxes behind ShowError and ShowInfo for the rest of the program's life.
void InstallMessageBoxes();
