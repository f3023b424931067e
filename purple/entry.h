// What the two files of the chat-client plug-in share. libpurple loads the loader,
// pictoss-purple.so (purple/loader), which loads pictoss_purple.so from the package's library
// folder and calls its one entry point in place of its own purple_init_plugin.
#pragma once

#include <purple.h>

namespace pictoss_purple {

// The plug-in's id in libpurple; "core-": no user-interface requirement, so that every libpurple
// client loads it.
inline constexpr char kPluginId[] = "core-vorlick-pictoss";

// The entry point of pictoss_purple.so: purple_init_plugin for the plug-in handed over.
inline constexpr char kEntryName[] = "pictoss_purple_init";
using EntryFunction = gboolean (*)(PurplePlugin* plugin);

}  // namespace pictoss_purple
