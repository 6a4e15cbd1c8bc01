#include "ui/uPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "ui/ufMain.h"

QSize OuterSize(const QWidget& window) {
  QSize outer = window.frameGeometry().size();
  if (outer == window.size() && fMonDirMain && fMonDirMain != &window) {
    outer += fMonDirMain->frameGeometry().size() - fMonDirMain->size();
  }
  return outer;
}

void CenterOverMainWindow(QWidget& window) {
  const QSize outer = OuterSize(window);
  QScreen* screen = fMonDirMain ? fMonDirMain->screen() : QGuiApplication::primaryScreen();
  const QRect over = fMonDirMain && fMonDirMain->isVisible()
                         ? fMonDirMain->frameGeometry()
                         : (screen ? screen->availableGeometry() : QRect());
  QPoint topLeft(over.x() + (over.width() - outer.width()) / 2,
                 over.y() + (over.height() - outer.height()) / 2);
  if (screen) {
    // A main window near an edge must not push the dialog off the screen.
    const QRect free = screen->availableGeometry();
    topLeft.setX(std::clamp(topLeft.x(), free.left(),
                            std::max(free.left(), free.right() + 1 - outer.width())));
    topLeft.setY(std::clamp(topLeft.y(), free.top(),
                            std::max(free.top(), free.bottom() + 1 - outer.height())));
  }
  window.move(topLeft);
}
