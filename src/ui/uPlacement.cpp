#include "ui/uPlacement.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <memory>

#include "ui/ufMain.h"

QSize OuterSize(const QWidget& window) {
  QSize outer = window.frameGeometry().size();
  if (outer == window.size() && fMonDirMain && fMonDirMain != &window) {
    outer += fMonDirMain->frameGeometry().size() - fMonDirMain->size();
  }
  return outer;
}

void PlaceAgainWhenFramed(QWidget& window, std::function<void()> place) {
  // The window manager frames a window some time after it is mapped, and says nothing to the
  // window about it; the frame is looked at briefly, which costs nothing noticeable.
  constexpr int kLookMs = 25;
  constexpr int kLookForMs = 1500;
  auto* timer = new QTimer(&window);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  // Placed once more by the frame as it is at the first look, whatever the guess was.
  auto placedFor = std::make_shared<QSize>();
  QObject::connect(
      timer, &QTimer::timeout, timer,
      [timer, clock, placedFor, place = std::move(place), target = QPointer<QWidget>(&window)] {
        if (!target || !target->isVisible() || clock->elapsed() > kLookForMs) {
          timer->deleteLater();
          timer->stop();
          return;
        }
        const QSize outer = target->frameGeometry().size();
        if (outer != *placedFor) {
          *placedFor = outer;
          place();
        }
      });
  timer->start(kLookMs);
}

void CenterOnScreen(QWidget& window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame(QPoint(), OuterSize(window));
  frame.moveCenter(screen->availableGeometry().center());
  window.move(frame.topLeft());
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
