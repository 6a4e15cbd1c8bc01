#include "ui/uAdditional.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QSpacerItem>
#include <QString>
#include <QStyle>
#include <QThread>
#include <cstdio>

#include "ui/uPlacement.h"
#include "ui/uSound.h"

QString PlainToolTip(const QString& text) {
  return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
         QStringLiteral("</p>");
}

void ShowLabelsAsPlainText(QWidget& window) {
  if (auto* label = qobject_cast<QLabel*>(&window)) label->setTextFormat(Qt::PlainText);
  for (QLabel* label : window.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
}

void WidenForCaption(QMessageBox& box) {
  // The title bar's font is the window manager's; a bold face of the application's size stands in
  // for it, with room for the icon and three buttons beside the caption.
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);
  const int buttons = 4 * box.style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, &box);
  const int width = QFontMetrics(font).horizontalAdvance(box.windowTitle()) + buttons;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  } else {
    box.setMinimumWidth(width);
  }
}

namespace {

void DefaultSound(TQtUserMessages::TKind kind) {
  if (kind == TQtUserMessages::TKind::Error) {
    PlayErrorSound();
  } else {
    PlayInfoSound();
  }
}

void RunBox(TQtUserMessages::TKind kind, const QString& text) {
  const bool error = kind == TQtUserMessages::TKind::Error;
  QMessageBox box(error ? QMessageBox::Critical : QMessageBox::Information,
                  error ? QStringLiteral("Error") : QStringLiteral("Information"), text,
                  QMessageBox::Ok);
  // The text may carry a path or a system's words; a box would otherwise guess at markup.
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  // Centred on the screen, not on whichever window happens to be active: by the frame the main
  // window has at first, and again by its own once the window manager has drawn it.
  box.adjustSize();
  CenterOnScreen(box);
  PlaceAgainWhenFramed(box, [&box] { CenterOnScreen(box); });
  box.exec();
}

}  // namespace

TQtUserMessages::TQtUserMessages(std::function<void(TKind)> playSound)
    : playSound_(playSound ? std::move(playSound) : DefaultSound) {}

void TQtUserMessages::ShowError(const std::string& text) {
  Show(TKind::Error, text);
}

void TQtUserMessages::ShowInfo(const std::string& text) {
  Show(TKind::Info, text);
}

void TQtUserMessages::Show(TKind kind, const std::string& text) {
  playSound_(kind);
  const QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
    // Before the application exists (or after it is gone) the text still reaches somebody.
    std::fprintf(stderr, "%s: %s\n", kind == TKind::Error ? "Error" : "Information", text.c_str());
    return;
  }
  if (QThread::currentThread() == app->thread()) {
    RunBox(kind, message);
  } else {
    // Windows belong to the user-interface thread; wait there for the box to be closed.
    QMetaObject::invokeMethod(
        app, [kind, message] { RunBox(kind, message); }, Qt::BlockingQueuedConnection);
  }
}

void InstallMessageBoxes() {
  static TQtUserMessages boxes;
  SetUserMessages(&boxes);
}
