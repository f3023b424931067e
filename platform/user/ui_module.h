// The user-interface module, pictoss_ui.so: FLTK with its font stack, the platform's windows on
// it (message box, modal showing) and the dialogs' views. It lies beside the platform library,
// which loads it the first time a window is to be shown, so that a process that shows none
// never maps FLTK. This header is shared by the platform library and the module; the module
// hands the platform this table through its entry kUiPlatformEntry. Every function of the
// table returns normally: the module catches what it raises. User-interface thread only.
#pragma once

namespace platform {

struct UiPlatform {
  // Opens FLTK's connection to the display (the one named by DISPLAY) unless it is open. False
  // when there is no display to show a window on.
  bool (*openDisplay)();
  // The descriptor of FLTK's display connection; -1 while none is open. A connection whose
  // server has gone away is given up first (FLTK's windows hidden, the connection no longer
  // waited on); the next openDisplay opens one to the server that DISPLAY names by then.
  int (*displayFd)();
  // True when FLTK has something to dispatch: events already read, elapsed timers.
  bool (*ready)();
  // Dispatches what FLTK has pending without blocking, and redraws what needs it.
  void (*check)();
  // Shows the message box window (UTF-8 texts, MB_ICON* bits in type) and returns when it has
  // been closed. Requires: openDisplay() returned true.
  void (*messageBox)(const char* text, const char* caption, unsigned type);
};

inline constexpr char kUiModuleFile[] = "pictoss_ui.so";
inline constexpr char kUiPlatformEntry[] = "PictossUiPlatform";
using UiPlatformEntry = const UiPlatform* (*)();

// The module's table once the module is loaded; nullptr before. Never loads it.
const UiPlatform* LoadedUi();

// Loads the module on first use. nullptr when it cannot be loaded (UiModuleError says why).
const UiPlatform* LoadUi();

}  // namespace platform
