// What an installer does for the plug-in, for the hosts that install it themselves: run the
// module's self-registration (load it, call its entry point), create the settings values that
// are missing, and find the module that was built or installed beside a host. Failures come back
// as text. Threading: the host's user-interface thread.
#pragma once

#include <filesystem>
#include <string>

namespace hosting {

// Loads the module and calls its DllRegisterServer or DllUnregisterServer (`entry`). False with
// the reason in *why when the module cannot be loaded or the entry point fails.
bool CallRegistrationEntry(const std::filesystem::path& module, const char* entry,
                           std::string* why);

// Creates the settings key under HKEY_LOCAL_MACHINE and the values that are missing, with their
// default text; never overwrites a value.
bool CreateSettings(std::string* why);

// Registers the module and creates the missing settings, as `pictoss setup` does.
bool SetUp(const std::filesystem::path& module, std::string* why);

// The module for a host file: PT.so beside it, in the build tree's plugin folder beside its
// folder, or at `installed` (relative to its folder) in an installed prefix; the first of them
// when none exists.
std::filesystem::path ModuleBeside(const std::filesystem::path& hostFile,
                                   const std::filesystem::path& installed);

}  // namespace hosting
