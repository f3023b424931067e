#include "platform/wayland/outputs.h"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

#include <xdg-output-unstable-v1-client-protocol.h>

namespace platform::wayland {
namespace {

struct Entry {
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  Output info;
  bool described = false;  // xdg-output gave a logical size
};

struct Globals {
  zxdg_output_manager_v1* manager = nullptr;
  std::vector<std::unique_ptr<Entry>> entries;
};

void OnGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*,
                const char*, int32_t) {}
void OnMode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void OnDone(void*, wl_output*) {}
void OnScale(void* data, wl_output*, int32_t factor) {
  static_cast<Entry*>(data)->info.scale = std::max(1, factor);
}
void OnOutputText(void*, wl_output*, const char*) {}  // name and description, from version 4
const wl_output_listener kOutputListener = {OnGeometry, OnMode,       OnDone,
                                            OnScale,    OnOutputText, OnOutputText};

void OnLogicalPosition(void* data, zxdg_output_v1*, int32_t x, int32_t y) {
  auto* e = static_cast<Entry*>(data);
  e->info.logical.x = x;
  e->info.logical.y = y;
}
void OnLogicalSize(void* data, zxdg_output_v1*, int32_t width, int32_t height) {
  auto* e = static_cast<Entry*>(data);
  e->info.logical.width = width;
  e->info.logical.height = height;
  e->described = true;
}
void OnXdgDone(void*, zxdg_output_v1*) {}
void OnName(void* data, zxdg_output_v1*, const char* name) {
  static_cast<Entry*>(data)->info.name = name ? name : "";
}
void OnDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener kXdgListener = {OnLogicalPosition, OnLogicalSize, OnXdgDone, OnName,
                                              OnDescription};

void OnGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t version) {
  auto* g = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_output_interface.name) == 0) {
    auto e = std::make_unique<Entry>();
    // Version 2 brings the scale.
    e->output = static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 2u)));
    wl_output_add_listener(e->output, &kOutputListener, e.get());
    g->entries.push_back(std::move(e));
  } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
    // Version 2 brings the output's name.
    g->manager = static_cast<zxdg_output_manager_v1*>(
        wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, std::min(version, 2u)));
  }
}
void OnGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

void Destroy(Globals& g) {
  for (auto& e : g.entries) {
    if (e->xdg) zxdg_output_v1_destroy(e->xdg);
    if (e->output) wl_output_destroy(e->output);
  }
  if (g.manager) zxdg_output_manager_v1_destroy(g.manager);
}

// The client library prints its complaints (no XDG_RUNTIME_DIR, a refused connection) on
// standard error, which belongs to the host; the caller reports the failure itself.
void IgnoreLog(const char*, va_list) {}

}  // namespace

bool ReadOutputs(std::vector<Output>* outputs, std::string* error) {
  outputs->clear();
  wl_log_set_handler_client(IgnoreLog);
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    *error = std::string("cannot reach the Wayland compositor: ") + std::strerror(errno);
    return false;
  }
  Globals g;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &g);
  bool ok = wl_display_roundtrip(display) >= 0;
  if (ok && g.manager) {
    for (auto& e : g.entries) {
      e->xdg = zxdg_output_manager_v1_get_xdg_output(g.manager, e->output);
      zxdg_output_v1_add_listener(e->xdg, &kXdgListener, e.get());
    }
  }
  ok = ok && wl_display_roundtrip(display) >= 0;
  if (!ok)
    *error = "the Wayland compositor closed the connection";
  else if (!g.manager)
    *error = "the Wayland compositor does not describe its outputs (no xdg-output)";
  for (auto& e : g.entries)
    if (ok && e->described) outputs->push_back(e->info);
  if (ok && g.manager && outputs->empty()) *error = "the Wayland compositor has no outputs";
  Destroy(g);
  wl_registry_destroy(registry);
  wl_display_disconnect(display);
  return !outputs->empty();
}

}  // namespace platform::wayland
