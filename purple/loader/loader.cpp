// pictoss-purple.so: the file that libpurple loads. It holds none of the plug-in's code: it
// finds pictoss_purple.so from where this file really is, loads it and hands it the plug-in. The
// dynamic loader would look for the plug-in's libraries beside the link that the client found (a
// user install links this file into ~/.purple/plugins), so they are found from here instead.
// A second copy of Pictoss (another link to this file, or another installation) is refused, so
// that the client never lists two rows that share one state. Threading: the client's main thread.
#include <dlfcn.h>
#include <purple.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "product/version.h"
#include "purple/entry.h"

namespace {

using pictoss_purple::kPluginId;

constexpr char kLog[] = "pictoss";

// The folder of this file with every link resolved, or "" when it cannot be told.
std::string RealFolder() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&RealFolder), &info) || !info.dli_fname) return "";
  std::unique_ptr<char, decltype(&std::free)> real(realpath(info.dli_fname, nullptr), &std::free);
  if (!real) return "";
  std::string path = real.get();
  return path.substr(0, path.rfind('/'));
}

// The entry point of pictoss_purple.so: beside this file in the build tree, in the package's
// library folder when installed. Loaded once and never unloaded: the client keeps pointers into
// it, and into the platform library, for the life of the process.
pictoss_purple::EntryFunction LoadEntry(std::string* why) {
  static pictoss_purple::EntryFunction entry = nullptr;
  if (entry) return entry;
  const std::string folder = RealFolder();
  if (folder.empty()) {
    *why = "cannot tell where pictoss-purple.so lies";
    return nullptr;
  }
  namespace fs = std::filesystem;
  std::string file = folder + "/" PICTOSS_PURPLE_HOST;
  if (access(file.c_str(), F_OK) != 0) {
    file = (fs::path(folder) / PICTOSS_PURPLE_HOST_DIR / PICTOSS_PURPLE_HOST).lexically_normal();
  }
  void* host = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!host) {
    *why = std::string("cannot load ") + dlerror() + " (reinstall Pictoss)";
    return nullptr;
  }
  entry = reinterpret_cast<pictoss_purple::EntryFunction>(dlsym(host, pictoss_purple::kEntryName));
  if (!entry) *why = file + " has no " + pictoss_purple::kEntryName + " (reinstall Pictoss)";
  return entry;
}

gboolean RefuseToLoad(PurplePlugin* plugin) {
  g_free(plugin->error);
  plugin->error = g_strdup(plugin->info->summary);
  purple_debug_error(kLog, "not loaded: %s\n", plugin->error);
  return FALSE;
}

// What the client lists when the plug-in's code cannot be loaded: the row says why.
std::string failure;
PurplePluginInfo failedInfo = {
    PURPLE_PLUGIN_MAGIC,
    PURPLE_MAJOR_VERSION,
    PURPLE_MINOR_VERSION,
    PURPLE_PLUGIN_STANDARD,
    nullptr,
    0,
    nullptr,
    PURPLE_PRIORITY_DEFAULT,
    const_cast<char*>(kPluginId),
    const_cast<char*>("Pictoss " PICTOSS_VERSION_MAJOR_TEXT),
    const_cast<char*>(PICTOSS_FILE_VERSION_TEXT),
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    RefuseToLoad,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" G_MODULE_EXPORT gboolean purple_init_plugin(PurplePlugin* plugin) {
  if (PurplePlugin* first = purple_plugins_find_with_id(kPluginId); first && first != plugin) {
    purple_debug_warning(kLog,
                         "%s not loaded: Pictoss is already listed from %s, and a second copy "
                         "would share its state (remove one of them)\n",
                         plugin->path ? plugin->path : "a plug-in", first->path ? first->path : "");
    return FALSE;
  }
  std::string why;
  if (pictoss_purple::EntryFunction entry = LoadEntry(&why)) return entry(plugin);
  failure = why;
  purple_debug_error(kLog, "%s\n", failure.c_str());
  failedInfo.summary = failure.data();
  failedInfo.description = failure.data();
  plugin->info = &failedInfo;
  plugin->error = g_strdup(failure.c_str());
  return purple_plugin_register(plugin);
}
