// What every chat host of the plug-in shares: creating Vorlick.PT by its ProgID, calling it by
// method name, reading what it publishes, and putting failed calls into words. A host never
// links the module; it reaches it only through the registry store and the module's entry points.
// Nothing here prints: failures come back as text for the host to show where it shows errors.
// Threading: the host's user-interface thread, which creates and calls the object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ole/dispatch.h"
#include "platform/ole/object.h"

namespace hosting {

// How CreatePlugin failed: the class is not registered, or it is but cannot be created.
enum class CreateFailure { kNone, kNotRegistered, kCannotCreate };

// Creates Vorlick.PT. On failure returns no object, and says why in *why and *failure.
platform::Ref<platform::Dispatch> CreatePlugin(std::string* why, CreateFailure* failure = nullptr);

// What to tell the user once when captures on this desktop will fail or show only part of it;
// "" when they work.
std::string CaptureWarning();

// One late-bound call and what came of it.
struct CallResult {
  HRESULT hr = S_OK;
  platform::Variant result;
  EXCEPINFO excep;
  UINT argErr = 0;
  bool ok() const { return SUCCEEDED(hr); }
};
CallResult CallMethod(platform::Dispatch& object, std::u16string_view name,
                      std::vector<platform::Argument> args);

// The error of a failed call: the raised error's number, source and description, or for a
// failure of the dispatch itself its status code and text.
struct CallError {
  std::int64_t number = 0;
  std::string source;
  std::string description;
  int argument = -1;  // the argument that did not fit, or -1
};
CallError ErrorOf(const CallResult& call, const platform::Dispatch& object);
// "error NUMBER (SOURCE): DESCRIPTION"
std::string ErrorLine(const CallError& error);

// A variant's text (its string conversion), or "" when it has none.
std::string TextOf(const platform::Variant& value);

// One entry of the command table: what GetPublishCommandInfo wrote, "" where it wrote nothing.
struct PublishedCommand {
  std::int32_t index = 0;
  std::string name;
  std::string word;  // without its slash
  std::string help;
};
struct PublishInfo {
  std::string pluginName;
  std::int32_t tagCount = 0;
  std::vector<PublishedCommand> commands;
};

// The start-up calls of a host: Initialize, GetPublishInfo, then GetPublishCommandInfo for
// each index. Stops at the first failed call, which comes back in *error.
std::optional<PublishInfo> StartPlugin(platform::Dispatch& plugin, CallError* error);

// The text of a True ParseCommand result to be sent in place of the typed line; "" for none.
struct CommandOutcome {
  bool handled = false;  // ParseCommand returned True
  std::string reply;
};
// The file that a reply asks the host to send ("/dropfile PATH"), or nothing for other text.
std::optional<std::string> DroppedFile(const std::string& reply);

// ParseCommand(word, argument, Nothing, ByRef reply). A failed call comes back in *error.
std::optional<CommandOutcome> ParseCommand(platform::Dispatch& plugin, const std::string& word,
                                           const std::string& argument, CallError* error);

}  // namespace hosting
