// Mouse moves posted to a window as Windows reports the pointer at a screen point: the
// client move in the window's own coordinates and the non-client move in the screen's.
#pragma once

#include <windows.h>

inline void PostMovesAt(HWND window, POINT screen) {
    POINT client = screen;
    ScreenToClient(window, &client);
    PostMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(client.x, client.y));
    PostMessageW(window, WM_NCMOUSEMOVE, HTNOWHERE, MAKELPARAM(screen.x, screen.y));
}
