#include "platform/wayland/refusals.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/wayland/bus.h"
#include "platform/wayland/permission.h"

namespace platform::wayland {
namespace {

namespace fs = std::filesystem;

constexpr const char* kKdePortal = "org.freedesktop.impl.portal.desktop.kde";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The XDG Pictures folder, as xdg-user-dir PICTURES finds it: XDG_PICTURES_DIR in
// user-dirs.dirs ("$HOME/..." or an absolute path), else ~/Pictures. Empty without a HOME.
fs::path PicturesFolder() {
  std::string home = Env("HOME");
  if (home.empty()) return {};
  std::string config = Env("XDG_CONFIG_HOME");
  fs::path dirs =
      (config.empty() ? fs::path(home) / ".config" : fs::path(config)) / "user-dirs.dirs";
  std::ifstream in(dirs);
  std::string line;
  const std::string key = "XDG_PICTURES_DIR=\"";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) != 0 || line.size() < key.size() + 1 || line.back() != '"') continue;
    std::string value = line.substr(key.size(), line.size() - key.size() - 1);
    if (value.rfind("$HOME", 0) == 0) return fs::path(home + value.substr(5));
    if (!value.empty() && value[0] == '/') return fs::path(value);
  }
  return fs::path(home) / "Pictures";
}

}  // namespace

bool PreparePortal(PortalFacts* facts, std::string* why) {
  std::string ignored;
  Bus bus = OpenSessionBus(&ignored);
  facts->kde = bus && HasOwner(bus.get(), kKdePortal);
  if (!facts->kde) return true;
  fs::path pictures = PicturesFolder();
  std::error_code ec;
  if (pictures.empty() || fs::is_directory(pictures, ec)) return true;
  fs::create_directories(pictures, ec);
  if (!ec) return true;
  *why = "KDE's screenshot portal writes its pictures into " + pictures.string() +
         ", which is missing and cannot be made: " + ec.message();
  return false;
}

void ExplainRefusal(const PortalFacts& facts, Screenshot* shot) {
  if (shot->outcome != Outcome::kDenied) return;
  if (StoredScreenshotPermission() == Permission::kNo) {
    shot->error =
        "the desktop refuses screenshots: it was told once not to allow them, and remembers "
        "that (the desktop portal's permission store holds \"no\" for programs outside a "
        "sandbox); to allow captures again, run: " +
        std::string(kAllowCommand);
    return;
  }
  std::string ignored;
  Bus bus = OpenSessionBus(&ignored);
  if (facts.kde && bus && !HasOwner(bus.get(), kKdePortal))
    shot->error =
        "KDE's screenshot portal (xdg-desktop-portal-kde) ended while taking the picture, as it "
        "does where plasma-workspace is missing: install plasma-workspace";
}

}  // namespace platform::wayland
