// Placing the program's smaller windows: their size with the window manager's frame, and centring
// a dialog over the main window.
#pragma once

#include <QSize>
#include <functional>

class QWidget;

// The window's size with its frame. Before its first showing the frame is not known yet; the main
// window's frame stands in for it, since the window manager draws the same frame around both.
QSize OuterSize(const QWidget& window);

// The frame of a window that has never been shown is a guess (it may be no frame at all, when the
// main window has not been shown either). For a short while after `window` is shown, `place` runs
// again each time its real frame turns out to be of another size, so the window ends where it
// belongs once the window manager has framed it.
void PlaceAgainWhenFramed(QWidget& window, std::function<void()> place);

// Moves `window` so that its frame is centred on the primary screen's free area.
void CenterOnScreen(QWidget& window);

// Moves `window` so that its frame is centred over the main window's frame (over the screen when
// there is no main window), kept on that screen.
void CenterOverMainWindow(QWidget& window);
