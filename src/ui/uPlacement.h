// Placing the program's smaller windows: their size with the window manager's frame, and centring
// a dialog over the main window.
#pragma once

#include <QSize>

class QWidget;

// The window's size with its frame. Before its first showing the frame is not known yet; the main
// window's frame stands in for it, since the window manager draws the same frame around both.
QSize OuterSize(const QWidget& window);

// Moves `window` so that its frame is centred over the main window's frame (over the screen when
// there is no main window), kept on that screen.
void CenterOverMainWindow(QWidget& window);
