// What the host's commands share: creating the plug-in object by its ProgID the way a chat host
// does, calling it by method name, and reporting failed calls. The host never links the
// module; it reaches it only through the registry store and the module's entry points.
// Threading: the host runs on one thread, which creates and calls the object.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/ole/dispatch.h"
#include "platform/ole/object.h"

namespace host {

// Creates Vorlick.PT. On failure prints why on standard error and returns no object.
platform::Ref<platform::Dispatch> CreatePlugin();

// One late-bound call and what came of it.
struct CallResult {
  HRESULT hr = S_OK;
  platform::Variant result;
  EXCEPINFO excep;
  UINT argErr = 0;
  bool ok() const { return SUCCEEDED(hr); }
};
CallResult CallMethod(platform::Dispatch& object, std::u16string_view name,
                      std::vector<platform::Argument> args);

// The error of a failed call: the raised error's number, source and description, or for a
// failure of the dispatch itself its status code and text.
struct CallError {
  std::int64_t number = 0;
  std::string source;
  std::string description;
  int argument = -1;  // the argument that did not fit, or -1
};
CallError ErrorOf(const CallResult& call, const platform::Dispatch& object);
// "error NUMBER (SOURCE): DESCRIPTION" (invoke's JSON also names the argument)
std::string ErrorLine(const CallError& error);

// The module loaded by `register` and `unregister` when none is named: PT.so beside the host
// program, in the build tree's plugin folder beside the host's folder, or in the package's
// library folder of an installed prefix.
std::string DefaultModulePath();

}  // namespace host
