// The windowing calls, answered by the current display: window handles are the display's window
// ids (X window ids), the desktop window is its root, and screen coordinates start at the
// top-left corner of the primary monitor.
#include "platform/user/window.h"

#include "platform/gdi/display.h"

HWND GetDesktopWindow() {
  return platform::CurrentDisplay().Screen().root;
}

HWND GetForegroundWindow() {
  return platform::CurrentDisplay().ActiveWindow();
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
  if (!rect || hwnd == 0) return FALSE;
  platform::Display& display = platform::CurrentDisplay();
  platform::ScreenInfo screen = display.Screen();
  if (!screen.connected) return FALSE;
  if (hwnd == screen.root) {
    *rect = {0, 0, screen.primary.width, screen.primary.height};
    return TRUE;
  }
  platform::ScreenRect r;
  if (!display.WindowRect(hwnd, false, &r)) return FALSE;
  int left = r.x - screen.primary.x, top = r.y - screen.primary.y;
  *rect = {left, top, left + r.width, top + r.height};
  return TRUE;
}

int GetSystemMetrics(int index) {
  platform::ScreenInfo screen = platform::CurrentDisplay().Screen();
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
