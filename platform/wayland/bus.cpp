#include "platform/wayland/bus.h"

#include <cstring>

namespace platform::wayland {

std::string BusError::Text(int r) const {
  if (sd_bus_error_is_set(&e)) return std::string(e.name) + ": " + (e.message ? e.message : "");
  return std::strerror(-r);
}

bool BusError::NoOwner() const {
  return sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.ServiceUnknown") ||
         sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.NameHasNoOwner");
}

bool BusError::NoSuchMethod() const {
  return sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.UnknownObject") ||
         sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.UnknownInterface") ||
         sd_bus_error_has_name(&e, "org.freedesktop.DBus.Error.UnknownMethod");
}

Bus OpenSessionBus(std::string* why) {
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) {
    *why = std::strerror(-r);
    return nullptr;
  }
  return Bus(bus);
}

bool HasOwner(sd_bus* bus, const char* name) {
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &error.e, &raw, "s", name) < 0)
    return false;
  Message reply(raw);
  int has = 0;
  return sd_bus_message_read(reply.get(), "b", &has) >= 0 && has;
}

}  // namespace platform::wayland
