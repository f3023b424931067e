// What the host's commands share: creating the plug-in object by its ProgID the way a chat host
// does (see hosting/plugin_host.h for the calls and their errors), with failures printed on
// standard error, and the module that `register` and `unregister` load when none is named.
// Threading: the host runs on one thread, which creates and calls the object.
#pragma once

#include <string>

#include "hosting/plugin_host.h"

namespace host {

using hosting::CallError;
using hosting::CallMethod;
using hosting::CallResult;
using hosting::ErrorLine;
using hosting::ErrorOf;

// Creates Vorlick.PT; the first time, when the class is not registered yet, registers the
// module installed with the host and creates the settings first (as `pictoss setup`), and says
// so on standard error. On failure prints why on standard error and returns no object.
platform::Ref<platform::Dispatch> CreatePlugin();

// The module loaded by `register` and `unregister` when none is named: PT.so beside the host
// program, in the build tree's plugin folder beside the host's folder, or in the package's
// library folder of an installed prefix.
std::string DefaultModulePath();

}  // namespace host
