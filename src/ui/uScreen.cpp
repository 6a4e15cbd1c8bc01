#include "ui/uScreen.h"

#include <QGuiApplication>
#include <QScreen>

#include "actions/uAdditionalLogic.h"

void PopupPosition(int16_t& x, int16_t& y) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return PopupPositionIn(x, y, 0, 0, 0);
  // The corner of the part of the screen that panels leave free: with a panel along the bottom this
  // is the screen's right edge and the panel's top edge; with panels elsewhere the popup still
  // lands on the screen, clear of them.
  const QRect available = screen->availableGeometry();
  PopupPositionIn(x, y, available.x() + available.width(), available.y() + available.height(), 0);
}
