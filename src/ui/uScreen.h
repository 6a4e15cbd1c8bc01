// Screen geometry for placing the change popup.
#pragma once

#include <cstdint>

// In: x = window width, y = window height. Out: the window's left and top in the bottom-right
// corner of the primary screen, just above the taskbar.
void PopupPosition(int16_t& x, int16_t& y);
