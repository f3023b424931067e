// The windowing calls: window handles are X window ids, the desktop window is the root window,
// and screen coordinates start at the top-left corner of the primary monitor.
#include "platform/user/window.h"

#include "platform/gdi/screen_source.h"

HWND GetDesktopWindow() {
  return platform::screen::Screen().root;
}

HWND GetForegroundWindow() {
  return platform::screen::ActiveTopLevel();
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
  if (!rect || hwnd == 0) return FALSE;
  platform::x11::ScreenInfo screen = platform::screen::Screen();
  if (!screen.connected) return FALSE;
  if (hwnd == screen.root) {
    *rect = {0, 0, screen.primary.width, screen.primary.height};
    return TRUE;
  }
  platform::x11::Rect r;
  if (!platform::screen::WindowRect(hwnd, false, &r)) return FALSE;
  int left = r.x - screen.primary.x, top = r.y - screen.primary.y;
  *rect = {left, top, left + r.width, top + r.height};
  return TRUE;
}

int GetSystemMetrics(int index) {
  platform::x11::ScreenInfo screen = platform::screen::Screen();
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
