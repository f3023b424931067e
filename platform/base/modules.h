// Modules of the platform that lie beside the platform library and are loaded on first use, so
// that a process maps their libraries only when it needs them: the windows (FLTK), the Wayland
// display (sd-bus, the Wayland client), the PNG writer (libpng). A module stays loaded for the
// life of the process. Threading: the user-interface thread.
#pragma once

#include <string>

namespace platform {

// The path of `file` in the folder that the platform library was loaded from.
std::string ModuleBeside(const char* file);

// Loads the module `file` from beside the platform library (once; later calls return the same
// handle) and looks up its entry. nullptr when either fails, with *error saying why.
void* ModuleEntry(const char* file, const char* entry, std::string* error);

}  // namespace platform
