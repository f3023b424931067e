#include "host/plugin_host.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "platform/base/text.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/screen_source.h"
#include "platform/ole/com.h"
#include "platform/x11/x11.h"
#include "product/product.h"

namespace host {

platform::Ref<platform::Dispatch> CreatePlugin() {
  const std::string progId = std::string(product::kProgId.narrow());
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(product::kProgId.w, &clsid);
  if (FAILED(hr)) {
    std::fprintf(stderr, "pictoss: %s is not registered (run: pictoss setup)\n", progId.c_str());
    return nullptr;
  }
  platform::Ref<platform::Dispatch> object;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &object);
  if (FAILED(hr)) {
    std::string why = platform::StatusText(hr);
    if (hr == CO_E_DLLNOTFOUND || hr == CO_E_ERRORINDLL) why += ": " + platform::LastModuleError();
    std::fprintf(stderr, "pictoss: cannot create %s: %s\n", progId.c_str(), why.c_str());
    return nullptr;
  }
  // Under Wayland the X server shows only the XWayland windows; the rest of a capture is black.
  // The desktop portal reads the whole screen; without it captures fail.
  std::string why;
  platform::ScreenSource source = platform::CurrentScreenSource(&why);
  if (platform::WaylandSession() && source == platform::ScreenSource::kX11) {
    std::fprintf(stderr,
                 "pictoss: warning: this is a Wayland session; captures show only X11 windows "
                 "and may come out black\n");
  } else if (source != platform::ScreenSource::kX11 && source != platform::ScreenSource::kPortal) {
    std::fprintf(stderr, "pictoss: warning: captures will fail: %s\n", why.c_str());
  }
  return object;
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
  std::string line =
      "error " + std::to_string(error.number) + " (" + error.source + "): " + error.description;
  return line;
}

std::string DefaultModulePath() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "PT.so";
  fs::path dir = self.parent_path();
  for (const fs::path& candidate :
       {dir / "PT.so", dir.parent_path() / "plugin" / "PT.so", dir / PICTOSS_INSTALLED_MODULE}) {
    if (fs::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return (dir / "PT.so").string();
}

}  // namespace host
