// The windowing calls: window handles are X window ids, the desktop window is the root window,
// and screen coordinates start at the top-left corner of the primary monitor.
#include "platform/user/window.h"

#include "platform/x11/x11.h"

HWND GetDesktopWindow() {
  return platform::x11::Screen().root;
}

HWND GetForegroundWindow() {
  return platform::x11::ActiveTopLevel();
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
  if (!rect || hwnd == 0) return FALSE;
  platform::x11::ScreenInfo screen = platform::x11::Screen();
  if (!screen.connected) return FALSE;
  if (hwnd == screen.root) {
    *rect = {0, 0, screen.primary.width, screen.primary.height};
    return TRUE;
  }
  platform::x11::Rect r;
  if (!platform::x11::WindowRect(hwnd, false, &r)) return FALSE;
  int left = r.x - screen.primary.x, top = r.y - screen.primary.y;
  *rect = {left, top, left + r.width, top + r.height};
  return TRUE;
}

int GetSystemMetrics(int index) {
  platform::x11::ScreenInfo screen = platform::x11::Screen();
  if (!screen.connected) return 0;
  switch (index) {
    case SM_CXSCREEN:
      return screen.primary.width;
    case SM_CYSCREEN:
      return screen.primary.height;
    default:
      return 0;
  }
}
