// sd-bus handles that free themselves, for the Wayland back end's callers of D-Bus services (the
// desktop portal, the permission store, KWin, GNOME Shell). Each caller opens a connection of its
// own for its call and closes it when done. The user-interface thread only.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace platform::wayland {

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Frees a bus error however the call ended.
struct BusError {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&e); }
  std::string Text(int r) const;
  // Whether the call failed because nobody owns the name it went to.
  bool NoOwner() const;
  // Whether the name's owner has no such object, interface or method.
  bool NoSuchMethod() const;
};

// The session bus, or nullptr with *why set to the system's reason.
Bus OpenSessionBus(std::string* why);

// Whether someone owns the name on the bus.
bool HasOwner(sd_bus* bus, const char* name);

// Calls that a service answers at once.
inline constexpr std::uint64_t kCallMicroseconds = 5'000'000;

}  // namespace platform::wayland
