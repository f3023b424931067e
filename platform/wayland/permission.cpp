#include "platform/wayland/permission.h"

#include <cstring>

#include "platform/wayland/bus.h"

namespace platform::wayland {
namespace {

constexpr const char* kStore = "org.freedesktop.impl.portal.PermissionStore";
constexpr const char* kStorePath = "/org/freedesktop/impl/portal/PermissionStore";
constexpr const char* kTable = "screenshot";
constexpr const char* kEntry = "screenshot";

// The first permission stored for app "" in Lookup's answer (a{sas} permissions, v data).
Permission ReadEntry(sd_bus_message* m) {
  if (sd_bus_message_enter_container(m, 'a', "{sas}") < 0) return Permission::kUnknown;
  Permission found = Permission::kUnset;
  while (sd_bus_message_enter_container(m, 'e', "sas") > 0) {
    const char* app = nullptr;
    if (sd_bus_message_read(m, "s", &app) < 0) return Permission::kUnknown;
    if (sd_bus_message_enter_container(m, 'a', "s") < 0) return Permission::kUnknown;
    const char* value = nullptr;
    if (sd_bus_message_read(m, "s", &value) > 0 && app && !*app && value)
      found = std::strcmp(value, "yes") == 0  ? Permission::kYes
              : std::strcmp(value, "no") == 0 ? Permission::kNo
                                              : found;
    sd_bus_message_exit_container(m);  // the strings left are skipped
    if (sd_bus_message_exit_container(m) < 0) return Permission::kUnknown;
  }
  return found;
}

}  // namespace

Permission StoredScreenshotPermission() {
  std::string why;
  Bus bus = OpenSessionBus(&why);
  if (!bus) return Permission::kUnknown;
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus.get(), kStore, kStorePath, kStore, "Lookup", &error.e, &raw, "ss",
                             kTable, kEntry);
  Message reply(raw);
  if (r < 0)
    return sd_bus_error_has_name(&error.e, "org.freedesktop.portal.Error.NotFound")
               ? Permission::kUnset
               : Permission::kUnknown;
  return ReadEntry(reply.get());
}

bool AllowScreenshots(std::string* why) {
  Bus bus = OpenSessionBus(why);
  if (!bus) {
    *why = "no session bus to reach the permission store: " + *why;
    return false;
  }
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus.get(), kStore, kStorePath, kStore, "SetPermission", &error.e, &raw,
                             "sbssas", kTable, 1, kEntry, "", 1, "yes");
  Message reply(raw);
  if (r < 0) {
    *why = "the permission store (" + std::string(kStore) + ") does not store it: " + error.Text(r);
    return false;
  }
  return true;
}

}  // namespace platform::wayland
