// pictoss invoke METHOD [ARG...]: one late-bound call of any method of the plug-in object, with
// typed arguments, printed as one JSON line with the result and the by-reference arguments.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host/command.h"
#include "host/invoke_arguments.h"
#include "host/plugin_host.h"
#include "platform/base/text.h"

namespace host {
namespace {

using platform::Argument;
using platform::Variant;

int Invoke(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fprintf(stderr, "usage: pictoss invoke METHOD [[&]TYPE:VALUE...]\n");
    return 2;
  }
  // Reserved first: by-reference arguments point into this vector.
  std::vector<Variant> values;
  values.reserve(args.size());
  std::vector<bool> byRef;
  for (std::size_t i = 1; i < args.size(); ++i) {
    bool ref = args[i].starts_with("&");
    auto value = ReadArgument(ref ? args[i].substr(1) : args[i]);
    if (!value) {
      std::fprintf(stderr,
                   "pictoss: bad argument '%s' (TYPE:VALUE with TYPE str, i2, i4, r8, "
                   "bool, empty, nothing or missing; & for by reference)\n",
                   args[i].c_str());
      return 2;
    }
    values.push_back(std::move(*value));
    byRef.push_back(ref);
  }
  std::vector<Argument> call;
  for (std::size_t i = 0; i < values.size(); ++i) {
    call.push_back(byRef[i] ? Argument::ByRef(values[i]) : Argument(values[i]));
  }
  platform::Ref<platform::Dispatch> plugin = CreatePlugin();
  if (!plugin) return 1;
  CallResult result = CallMethod(*plugin, platform::FromAnsi(args[0]), std::move(call));

  std::string json = std::string("{\"ok\":") + (result.ok() ? "true" : "false");
  if (!result.ok()) {
    CallError error = ErrorOf(result, *plugin);
    json += ",\"error\":{\"number\":" + std::to_string(error.number) +
            ",\"source\":" + JsonString(error.source) +
            ",\"description\":" + JsonString(error.description);
    if (error.argument >= 0) json += ",\"argument\":" + std::to_string(error.argument);
    json += "}";
  }
  json += ",\"result\":" + JsonVariant(result.result) + ",\"byref\":[";
  bool first = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!byRef[i]) continue;
    json += (first ? "" : ",") + JsonVariant(values[i]);
    first = false;
  }
  std::printf("%s]}\n", json.c_str());
  return result.ok() ? 0 : 1;
}

const HostCommand invokeCommand("invoke", "invoke METHOD [[&]TYPE:VALUE...]", Invoke);

}  // namespace
}  // namespace host
