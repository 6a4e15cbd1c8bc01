// The program's start and end: the desktop's services behind the core's seams, and the four windows
// created in order and released at the end.
#pragma once

// Message boxes, the shell open, the time format of the locale.
void InstallDesktopServices();
// The main window, then the change popup, the settings dialog and the about box.
void CreateWindows();
// Stops monitoring and releases the windows in reverse order.
void DestroyWindows();
