#include "hosting/plugin_host.h"

#include "platform/base/text.h"
#include "platform/gdi/display.h"
#include "platform/ole/com.h"
#include "platform/registry/registry.h"
#include "product/product.h"

namespace hosting {

using platform::Argument;
using platform::Variant;

platform::Ref<platform::Dispatch> CreatePlugin(std::string* why, CreateFailure* failure) {
  const std::string progId(product::kProgId.narrow());
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(product::kProgId.wide(), &clsid);
  if (FAILED(hr)) {
    // A store that cannot be read is not the same as a class that is not registered.
    if (const std::string problem = platform::RegistryStoreProblem(); !problem.empty()) {
      *why = "cannot look up " + progId + ": the registry store cannot be used: " + problem;
      if (failure) *failure = CreateFailure::kCannotCreate;
      return nullptr;
    }
    *why = progId + " is not registered";
    if (failure) *failure = CreateFailure::kNotRegistered;
    return nullptr;
  }
  platform::Ref<platform::Dispatch> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object);
  if (FAILED(hr)) {
    std::string text = platform::StatusText(hr);
    if (hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL) text += ": " + platform::LastModuleError();
    *why = "cannot create " + progId + ": " + text;
    if (failure) *failure = CreateFailure::kCannotCreate;
    return nullptr;
  }
  if (failure) *failure = CreateFailure::kNone;
  return object;
}

std::string CaptureWarning() {
  const platform::DisplayStatus status = platform::CurrentDisplayStatus();
  switch (status.level) {
    case platform::DisplayStatus::Level::kPartial:
      return status.why;
    case platform::DisplayStatus::Level::kNothing:
      return "captures will fail: " + status.why;
    default:
      return "";
  }
}

CallResult CallMethod(platform::Dispatch& object, std::u16string_view name,
                      std::vector<platform::Argument> args) {
  CallResult call;
  call.hr = platform::CallByName(object, name, DISPATCH_METHOD, args, &call.result, &call.excep,
                                 &call.argErr);
  return call;
}

CallError ErrorOf(const CallResult& call, const platform::Dispatch& object) {
  CallError error;
  if (call.hr == DISP_E_EXCEPTION) {
    error.number = call.excep.number;
    error.source = platform::ToAnsi(call.excep.source);
    error.description = platform::ToAnsi(call.excep.description);
    return error;
  }
  error.number = call.hr;
  error.source = platform::ToAnsi(object.GetTypeInfo().source());
  error.description = platform::StatusText(call.hr);
  if (call.hr == DISP_E_TYPEMISMATCH || call.hr == DISP_E_OVERFLOW ||
      call.hr == DISP_E_PARAMNOTOPTIONAL) {
    error.argument = static_cast<int>(call.argErr);
  }
  return error;
}

std::string ErrorLine(const CallError& error) {
  return "error " + std::to_string(error.number) + " (" + error.source + "): " + error.description;
}

std::string TextOf(const Variant& value) {
  Variant s;
  return SUCCEEDED(VariantChangeType(s, value, VT_BSTR)) ? platform::ToAnsi(s.bstrVal()) : "";
}

namespace {

bool Failed(const CallResult& call, const platform::Dispatch& plugin, CallError* error) {
  if (call.ok()) return false;
  *error = ErrorOf(call, plugin);
  return true;
}

}  // namespace

std::optional<PublishInfo> StartPlugin(platform::Dispatch& plugin, CallError* error) {
  CallResult init = CallMethod(plugin, u"Initialize",
                               {Variant(std::int32_t{1}), Variant(u""), Variant::Nothing()});
  if (Failed(init, plugin, error)) return std::nullopt;
  Variant name(u""), commandCount(std::int32_t{0}), tagCount(std::int32_t{0});
  CallResult info =
      CallMethod(plugin, u"GetPublishInfo",
                 {Argument::ByRef(name), Argument::ByRef(commandCount), Argument::ByRef(tagCount)});
  if (Failed(info, plugin, error)) return std::nullopt;
  PublishInfo published;
  published.pluginName = TextOf(name);
  published.tagCount = tagCount.lVal();
  for (std::int32_t i = 1; i <= commandCount.lVal(); ++i) {
    Variant cmdName(u""), value(u""), help(u"");
    CallResult row = CallMethod(
        plugin, u"GetPublishCommandInfo",
        {Variant(i), Argument::ByRef(cmdName), Argument::ByRef(value), Argument::ByRef(help)});
    if (Failed(row, plugin, error)) return std::nullopt;
    published.commands.push_back({i, TextOf(cmdName), TextOf(value), TextOf(help)});
  }
  return published;
}

std::optional<std::string> DroppedFile(const std::string& reply) {
  if (!reply.starts_with(product::kDropFile.narrow())) return std::nullopt;
  return reply.substr(product::kDropFile.narrow().size());
}

std::optional<CommandOutcome> ParseCommand(platform::Dispatch& plugin, const std::string& word,
                                           const std::string& argument, CallError* error) {
  Variant reply(u"");
  CallResult call =
      CallMethod(plugin, u"ParseCommand",
                 {Variant(platform::FromAnsi(word)), Variant(platform::FromAnsi(argument)),
                  Variant::Nothing(), Argument::ByRef(reply)});
  if (Failed(call, plugin, error)) return std::nullopt;
  CommandOutcome outcome;
  outcome.handled = call.result.vt() == VT_BOOL && call.result.boolVal() != VARIANT_FALSE;
  if (outcome.handled && reply.vt() == VT_BSTR) outcome.reply = platform::ToAnsi(reply.bstrVal());
  return outcome;
}

}  // namespace hosting
