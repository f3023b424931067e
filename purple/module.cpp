// pictoss_purple.so: the plug-in as a libpurple 2 plug-in, for Pidgin, Finch and any other
// libpurple client, loaded by pictoss-purple.so (purple/loader). It is a host of the Vorlick.PT
// object like the `pictoss` program: it loads the object by its ProgID and acts on its replies
// in the open conversation. Its name, summary and version come from the version record of the
// PT.so that was built or installed with it.
#include <dlfcn.h>
#include <purple.h>

#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>

#include "hosting/setup.h"
#include "hosting/version_record.h"
#include "platform/ole/com.h"
#include "purple/entry.h"
#include "purple/session.h"

namespace pictoss_purple {
namespace {

namespace fs = std::filesystem;

constexpr char kLog[] = "pictoss";

std::unique_ptr<Session> session;

// This module's own file, with symbolic links resolved.
fs::path OwnFile() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&OwnFile), &info) || !info.dli_fname) return {};
  std::error_code ec;
  fs::path file = fs::canonical(info.dli_fname, ec);
  return ec ? fs::path(info.dli_fname) : file;
}

// The plug-in module installed or built with this one: beside it in the package's library
// folder.
fs::path PluginModule() {
  return hosting::ModuleBeside(OwnFile(), "PT.so");
}

// Reports why loading failed, in the debug log and where the client shows plug-in errors.
gboolean Refuse(PurplePlugin* plugin, const std::string& why) {
  purple_debug_error(kLog, "not loaded: %s\n", why.c_str());
  g_free(plugin->error);
  plugin->error = g_strdup(why.c_str());
  return FALSE;
}

gboolean Load(PurplePlugin* plugin) {
  if (session) return TRUE;
  std::string why;
  try {
    session = Session::Start(plugin, PluginModule(), &why);
  } catch (...) {
    LogException("load");
    why = "an unexpected failure (see the debug log)";
  }
  if (!session) {
    CoFreeUnusedLibraries();
    return Refuse(plugin, why);
  }
  return TRUE;
}

gboolean Unload(PurplePlugin*) {
  if (session && session->busy()) {
    purple_debug_warning(kLog, "not unloaded: a command is running\n");
    return FALSE;
  }
  session.reset();
  CoFreeUnusedLibraries();
  return TRUE;
}

// Kept for the life of the module: libpurple holds pointers into them.
struct Texts {
  std::string name, version, summary, description, author;
};
Texts texts;

PurplePluginInfo info = {
    PURPLE_PLUGIN_MAGIC,
    PURPLE_MAJOR_VERSION,
    PURPLE_MINOR_VERSION,
    PURPLE_PLUGIN_STANDARD,
    nullptr,  // no user-interface requirement
    0,
    nullptr,
    PURPLE_PRIORITY_DEFAULT,
    const_cast<char*>(kPluginId),
    nullptr,  // name, version, summary, description, author: from the version record
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    Load,
    Unload,
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

void Describe() {
  fs::path module = PluginModule();
  std::string why;
  if (auto record = hosting::ReadVersionRecord(module, &why)) {
    texts.name = hosting::VersionValue(*record, "ProductName");
    texts.version = hosting::VersionValue(*record, "ProductVersion");
    texts.summary = hosting::VersionValue(*record, "FileDescription");
    texts.author = hosting::VersionValue(*record, "CompanyName");
  } else {
    purple_debug_error(kLog, "%s\n", why.c_str());
    texts.name = module.stem().string();
    texts.summary = why;
  }
  texts.description =
      "Sends a picture of the screen, or of the window in front, to the contact of the "
      "conversation with one typed command. Type /help in a conversation for its commands.";
  info.name = texts.name.data();
  info.version = texts.version.data();
  info.summary = texts.summary.data();
  info.description = texts.description.data();
  info.author = texts.author.data();
}

}  // namespace
}  // namespace pictoss_purple

extern "C" G_MODULE_EXPORT gboolean pictoss_purple_init(PurplePlugin* plugin) {
  try {
    pictoss_purple::Describe();
  } catch (...) {
    pictoss_purple::LogException("probe");
  }
  plugin->info = &pictoss_purple::info;
  return purple_plugin_register(plugin);
}
static_assert(std::is_same_v<decltype(&pictoss_purple_init), pictoss_purple::EntryFunction>);
